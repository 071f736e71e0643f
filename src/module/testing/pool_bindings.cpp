// Test hooks for the worker pool and batch simulation: the sizing rules with
// any strings, the live pool, the range split, and batches returned as raw
// bytes so that runs can be compared bit for bit.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "module/call_error.hpp"
#include "module/fault_boundary.hpp"
#include "module/interpreter_lock.hpp"
#include "module/testing/bindings.hpp"
#include "module/text.hpp"
#include "parallel/interruption.hpp"
#include "parallel/range_split.hpp"
#include "parallel/thread_count.hpp"
#include "parallel/worker_pool.hpp"
#include "simulation/batch_simulation.hpp"

namespace ventrola::testing {
namespace {

using py::run_interruptibly;
using py::run_without_lock;

PyObject* raise_error(const Error& error) {
    py::CallError::from(error).raise();
    return nullptr;
}

// An unsigned 64-bit integer argument; OverflowError for negative or too big.
std::optional<std::uint64_t> u64_argument(PyObject* object) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return std::nullopt;
    return value;
}

// A str argument or None; the outer optional is empty on a conversion error.
std::optional<std::optional<std::string>> optional_text(PyObject* object) {
    if (object == Py_None) return std::optional<std::string>();
    auto text = py::utf8_text(object);
    if (!text) return std::nullopt;
    return std::optional<std::optional<std::string>>(std::in_place, std::move(text));
}

py::PyRef bytes_of(const void* data, std::size_t size) {
    return py::checked(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

// parse_thread_count(text) -> int | None
PyObject* parse_thread_count_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject* text_object = nullptr;
        if (!PyArg_ParseTuple(args, "U", &text_object)) return nullptr;
        auto text = py::utf8_text(text_object);
        if (!text) return nullptr;
        const auto count = parse_thread_count(*text);
        if (!count) Py_RETURN_NONE;
        return PyLong_FromUnsignedLongLong(*count);
    });
}

// pool_size_from(rayon_num_threads | None, rayon_rs_num_cpus | None, available) -> int
PyObject* pool_size_from_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject *num_threads_object = nullptr, *num_cpus_object = nullptr, *available_object = nullptr;
        if (!PyArg_ParseTuple(args, "OOO", &num_threads_object, &num_cpus_object, &available_object)) {
            return nullptr;
        }
        const auto num_threads = optional_text(num_threads_object);
        if (!num_threads) return nullptr;
        const auto num_cpus = optional_text(num_cpus_object);
        if (!num_cpus) return nullptr;
        const auto available = u64_argument(available_object);
        if (!available) return nullptr;
        const std::size_t size = pool_size_from(*num_threads ? (*num_threads)->c_str() : nullptr,
                                                *num_cpus ? (*num_cpus)->c_str() : nullptr, *available);
        return PyLong_FromSize_t(size);
    });
}

// available_processors() -> int: the processors of this process's affinity mask
PyObject* available_processors_hook(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* { return PyLong_FromSize_t(available_processors()); });
}

// pool_thread_count() -> int: the live pool's size, creating the pool
PyObject* pool_thread_count_hook(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* { return PyLong_FromSize_t(WorkerPool::instance().thread_count()); });
}

// pool_running_count() -> int: threads that actually take part, the caller included
PyObject* pool_running_count_hook(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* { return PyLong_FromSize_t(WorkerPool::instance().running_count()); });
}

// split_range(n, participants) -> list of (first, last): the pieces a batch of n
// indices is cut into for that many threads
PyObject* split_range_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject *n_object = nullptr, *participants_object = nullptr;
        if (!PyArg_ParseTuple(args, "OO", &n_object, &participants_object)) return nullptr;
        const auto n = u64_argument(n_object);
        if (!n) return nullptr;
        const auto participants = u64_argument(participants_object);
        if (!participants) return nullptr;
        const unsigned depth = split_depth(*n, *participants);
        const std::uint64_t count = std::uint64_t{1} << depth;
        py::PyRef pieces = py::checked(PyList_New(static_cast<Py_ssize_t>(count)));
        for (std::uint64_t k = 0; k < count; ++k) {
            const IndexRange piece = split_piece(*n, depth, k);
            PyObject* item = Py_BuildValue("(KK)", static_cast<unsigned long long>(piece.first),
                                           static_cast<unsigned long long>(piece.last));
            if (item == nullptr) return nullptr;
            PyList_SetItem(pieces.get(), static_cast<Py_ssize_t>(k), item);  // steals item
        }
        return pieces.release();
    });
}

struct BatchArguments {
    DiffusionParams params;
    std::uint64_t n;
    std::uint64_t seed;
};

// (drift, boundary, start, t0, noise_sd, n, seed)
std::optional<BatchArguments> batch_arguments(PyObject* args) {
    BatchArguments parsed{};
    DiffusionParams& p = parsed.params;
    PyObject *n_object = nullptr, *seed_object = nullptr;
    if (!PyArg_ParseTuple(args, "dddddOO", &p.drift_rate, &p.boundary_separation, &p.starting_point,
                          &p.non_decision_time, &p.noise_sd, &n_object, &seed_object)) {
        return std::nullopt;
    }
    const auto n = u64_argument(n_object);
    if (!n) return std::nullopt;
    const auto seed = u64_argument(seed_object);
    if (!seed) return std::nullopt;
    parsed.n = *n;
    parsed.seed = *seed;
    return parsed;
}

// simulate_outcomes(drift, boundary, start, t0, noise_sd, n, seed)
//   -> (rts: bytes of float64, choices: bytes, timed_out: bytes), all n trials
PyObject* simulate_outcomes_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const auto parsed = batch_arguments(args);
        if (!parsed) return nullptr;
        Result<std::vector<TrialOutcome>> outcomes;
        run_without_lock([&] { outcomes = simulate_outcomes(parsed->params, parsed->n, parsed->seed); });
        if (!outcomes) return raise_error(outcomes.error());
        const std::size_t n = outcomes->size();
        std::vector<double> rts(n);
        std::vector<unsigned char> choices(n), timed_out(n);
        for (std::size_t i = 0; i < n; ++i) {
            rts[i] = (*outcomes)[i].rt;
            choices[i] = (*outcomes)[i].choice ? 1 : 0;
            timed_out[i] = (*outcomes)[i].timed_out ? 1 : 0;
        }
        py::PyRef rt_bytes = bytes_of(rts.data(), n * sizeof(double));
        py::PyRef choice_bytes = bytes_of(choices.data(), n);
        py::PyRef timed_out_bytes = bytes_of(timed_out.data(), n);
        return PyTuple_Pack(3, rt_bytes.get(), choice_bytes.get(), timed_out_bytes.get());
    });
}

// simulate_batch(drift, boundary, start, t0, noise_sd, n, seed)
//   -> (choices: bytes, rts: bytes of float64, n_excluded)
PyObject* simulate_batch_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const auto parsed = batch_arguments(args);
        if (!parsed) return nullptr;
        const DiffusionParams& p = parsed->params;
        auto data = simulate_batch(p.drift_rate, p.boundary_separation, p.starting_point, p.non_decision_time,
                                   parsed->n, parsed->seed, p.noise_sd, run_interruptibly);
        if (!data) return raise_error(data.error());
        py::PyRef choice_bytes = bytes_of(data->choices.data(), data->choices.size());
        py::PyRef rt_bytes = bytes_of(data->rts.data(), data->rts.size() * sizeof(double));
        py::PyRef excluded = py::checked(PyLong_FromUnsignedLongLong(data->n_excluded));
        return PyTuple_Pack(3, choice_bytes.get(), rt_bytes.get(), excluded.get());
    });
}

// time_simulate_outcomes(drift, boundary, start, t0, noise_sd, n, seed)
//   -> (seconds, diffusion steps): wall time of the batch alone, measured here
//   so that making Python objects is not counted
PyObject* time_simulate_outcomes_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const auto parsed = batch_arguments(args);
        if (!parsed) return nullptr;
        Result<std::vector<TrialOutcome>> outcomes;
        double seconds = 0;
        run_without_lock([&] {
            const auto start = std::chrono::steady_clock::now();
            outcomes = simulate_outcomes(parsed->params, parsed->n, parsed->seed);
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
        if (!outcomes) return raise_error(outcomes.error());
        // Each step adds 1 ms to the decision time, so the steps are recovered
        // from the response times to within rounding.
        unsigned long long steps = 0;
        for (const TrialOutcome& outcome : *outcomes) {
            const double decision_time = outcome.rt - parsed->params.non_decision_time;
            steps += static_cast<unsigned long long>(std::llround(decision_time / 0.001));
        }
        return Py_BuildValue("(dK)", seconds, steps);
    });
}

// pieces_until_interrupted(n) -> pieces that stopped: a batch of n whose
// pieces on the submitting thread take a moment (so that workers claim some)
// and whose pieces on workers run until the batch is interrupted, so the
// submitter must notice a signal while it only waits. Raises the signal
// handler's exception.
PyObject* pieces_until_interrupted_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        unsigned long long n = 0;
        if (!PyArg_ParseTuple(args, "K", &n)) return nullptr;
        std::atomic<unsigned long long> stopped_pieces{0};
        bool stopped = false;
        run_interruptibly([&](Interruption& interruption) {
            const std::thread::id submitter = std::this_thread::get_id();
            WorkerPool::instance().for_each_piece(
                n,
                [&](std::uint64_t, std::uint64_t) {
                    if (std::this_thread::get_id() == submitter) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                        return;
                    }
                    while (!interruption.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    ++stopped_pieces;
                },
                &interruption);
            stopped = interruption.stopped();
        });
        if (stopped) return raise_error(Error{ErrorKind::Interrupted, "interrupted"});
        return PyLong_FromUnsignedLongLong(stopped_pieces.load());
    });
}

PyMethodDef pool_methods[] = {
    {"parse_thread_count", parse_thread_count_hook, METH_VARARGS,
     "Parse a thread-count variable's value; None when it counts as unset."},
    {"pool_size_from", pool_size_from_hook, METH_VARARGS,
     "Pool size from RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS (None when unset) and the processors available."},
    {"available_processors", available_processors_hook, METH_NOARGS, "Processors in this process's affinity mask."},
    {"pool_thread_count", pool_thread_count_hook, METH_NOARGS, "The worker pool's size, creating the pool."},
    {"pool_running_count", pool_running_count_hook, METH_NOARGS,
     "Threads that actually run pieces of a batch, the caller included."},
    {"split_range", split_range_hook, METH_VARARGS, "The pieces [first, last) of a batch of n for k threads."},
    {"simulate_outcomes", simulate_outcomes_hook, METH_VARARGS,
     "All n outcomes as (rts float64 bytes, choices bytes, timed_out bytes)."},
    {"simulate_batch", simulate_batch_hook, METH_VARARGS,
     "Validated batch without timed-out trials as (choices bytes, rts float64 bytes, n_excluded)."},
    {"time_simulate_outcomes", time_simulate_outcomes_hook, METH_VARARGS,
     "Wall seconds and diffusion steps of one batch."},
    {"pieces_until_interrupted", pieces_until_interrupted_hook, METH_VARARGS,
     "Run a batch whose pieces on worker threads last until a signal handler raises."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

int add_pool_functions(PyObject* module) { return PyModule_AddFunctions(module, pool_methods); }

}  // namespace ventrola::testing
