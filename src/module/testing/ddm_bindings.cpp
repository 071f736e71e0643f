// Test hooks for the full-model simulation: the eight-lane first blocks of
// every compiled variant read through a trial stream, the exit-time sampler
// on its own, and the number of steps of exact trials.
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "module/fault_boundary.hpp"
#include "module/testing/bindings.hpp"
#include "simulation/exact_trial.hpp"
#include "simulation/exit_time_sampler.hpp"
#include "simulation/first_blocks.hpp"
#include "simulation/random_stream.hpp"
#include "simulation/trial_stream.hpp"

namespace ventrola::testing {
namespace {

const FirstBlocksVariant* first_blocks_variant(const char* name) {
    for (const FirstBlocksVariant* variant : available_first_blocks_variants()) {
        if (variant->name == name) return variant;
    }
    PyErr_Format(PyExc_ValueError, "first-blocks variant '%s' is not available here", name);
    return nullptr;
}

bool check_count(Py_ssize_t n) {
    if (n >= 0) return true;
    PyErr_SetString(PyExc_ValueError, "n must not be negative");
    return false;
}

PyObject* list_of_u64(const std::vector<std::uint64_t>& values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(values[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

// first_blocks_variants() -> names of the compiled copies, the fastest last
PyObject* first_blocks_variants_hook(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject* names = PyList_New(0);
        if (names == nullptr) return nullptr;
        for (const FirstBlocksVariant* variant : available_first_blocks_variants()) {
            PyObject* name =
                PyUnicode_FromStringAndSize(variant->name.data(), static_cast<Py_ssize_t>(variant->name.size()));
            if (name == nullptr || PyList_Append(names, name) < 0) {
                Py_XDECREF(name);
                Py_DECREF(names);
                return nullptr;
            }
            Py_DECREF(name);
        }
        return names;
    });
}

// first_block_draws(variant, seed, first_stream, blocks, lane, n) -> the first
// n draws of stream first_stream + lane, read through a trial stream that
// starts from the blocks that variant computed for streams first_stream ..
// first_stream + 7
PyObject* first_block_draws_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const char* name = nullptr;
        unsigned long long seed = 0, first_stream = 0;
        int blocks = 0, lane = 0;
        Py_ssize_t n = 0;
        if (!PyArg_ParseTuple(args, "sKKiin", &name, &seed, &first_stream, &blocks, &lane, &n)) return nullptr;
        const FirstBlocksVariant* variant = first_blocks_variant(name);
        if (variant == nullptr || !check_count(n)) return nullptr;
        if (blocks < 1 || blocks > MAX_FIRST_BLOCKS || lane < 0 || lane >= FIRST_BLOCK_LANES) {
            PyErr_SetString(PyExc_ValueError, "blocks or lane out of range");
            return nullptr;
        }
        const ChachaInput keyed{derive_chacha_key(seed), 0, first_stream};
        alignas(32) std::uint32_t words[FIRST_BLOCKS_WORDS];
        variant->run(keyed, blocks, words);
        TrialStream stream(keyed, first_stream + static_cast<std::uint64_t>(lane), words + lane, blocks);
        std::vector<std::uint64_t> draws(static_cast<std::size_t>(n));
        for (std::uint64_t& draw : draws) draw = stream.next_u64();
        return list_of_u64(draws);
    });
}

// unit_exit_times(theta, seed, n) -> float64 bytes of n exit times from
// (-1, 1) of Brownian motion with drift theta, drawn one after another from
// stream 0 of the seed
PyObject* unit_exit_times_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        double theta = 0;
        unsigned long long seed = 0;
        Py_ssize_t n = 0;
        if (!PyArg_ParseTuple(args, "dKn", &theta, &seed, &n)) return nullptr;
        if (!check_count(n)) return nullptr;
        if (!std::isfinite(theta)) {
            PyErr_SetString(PyExc_ValueError, "theta must be finite");
            return nullptr;
        }
        RandomStream stream = RandomStream::from_seed(seed);
        const ExitTimeTilt tilt = make_exit_time_tilt(theta);
        std::vector<double> times(static_cast<std::size_t>(n));
        for (double& time : times) time = sample_unit_exit_time(stream, tilt);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(times.data()),
                                         static_cast<Py_ssize_t>(times.size() * sizeof(double)));
    });
}

// Counts the steps of a trial: it asks for one law per step.
class CountingLaws {
public:
    const ExactStepLaw& law(double theta) {
        ++steps;
        return laws_.law(theta);
    }

    std::uint64_t steps = 0;

private:
    ExactStepLawCache laws_;
};

// exact_steps(drift, boundary, start, noise_sd, seed, n) -> list of the
// number of steps each of the first n exact trials took (no time cap)
PyObject* exact_steps_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        DiffusionParams params{};
        unsigned long long seed = 0;
        Py_ssize_t n = 0;
        if (!PyArg_ParseTuple(args, "ddddKn", &params.drift_rate, &params.boundary_separation, &params.starting_point,
                              &params.noise_sd, &seed, &n)) {
            return nullptr;
        }
        if (!check_count(n)) return nullptr;
        CountingLaws laws;
        std::vector<std::uint64_t> steps(static_cast<std::size_t>(n));
        for (std::size_t i = 0; i < steps.size(); ++i) {
            RandomStream stream = RandomStream::from_seed(seed);
            stream.set_stream(i);
            const std::uint64_t before = laws.steps;
            run_exact_trial(params, INFINITY, stream, laws);
            steps[i] = laws.steps - before;
        }
        return list_of_u64(steps);
    });
}

PyMethodDef full_model_methods[] = {
    {"first_blocks_variants", first_blocks_variants_hook, METH_NOARGS,
     "Names of the eight-lane first-block variants available here, the default last."},
    {"first_block_draws", first_block_draws_hook, METH_VARARGS,
     "Draws of one lane's trial stream: (variant, seed, first_stream, blocks, lane, n)."},
    {"unit_exit_times", unit_exit_times_hook, METH_VARARGS,
     "n exit times from (-1, 1) with drift theta as float64 bytes: (theta, seed, n)."},
    {"exact_steps", exact_steps_hook, METH_VARARGS,
     "Steps taken by each of n exact trials: (drift, boundary, start, noise_sd, seed, n)."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

int add_ddm_functions(PyObject* module) { return PyModule_AddFunctions(module, full_model_methods); }

}  // namespace ventrola::testing
