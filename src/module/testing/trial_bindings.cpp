// Test hooks for the single-trial simulator: one trial with its step count,
// a range of trials, each compiled copy of the trial loop by name, and a
// timing loop measured here so that Python's overhead is not counted.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "module/fault_boundary.hpp"
#include "module/testing/bindings.hpp"
#include "simulation/trial_kernels.hpp"
#include "simulation/trial_simulator.hpp"

namespace ventrola::testing {
namespace {

using py::PyRef;

// Each step adds 1 ms to a running sum that stays within a tiny fraction of
// a millisecond of steps * 0.001 up to the cap, so rounding recovers the count.
unsigned long long steps_of(double decision_time) {
    return static_cast<unsigned long long>(std::llround(decision_time / 0.001));
}

// The five parameters in their order, then the given integers (seed, index, ...).
template <class... Integers>
bool parse_trial_arguments(PyObject* args, const char* format, DiffusionParams& p, Integers*... integers) {
    return PyArg_ParseTuple(args, format, &p.drift_rate, &p.boundary_separation, &p.starting_point,
                            &p.non_decision_time, &p.noise_sd, integers...) != 0;
}

PyObject* outcome_tuple(const TrialOutcome& outcome) {
    return Py_BuildValue("(dOO)", outcome.rt, outcome.choice ? Py_True : Py_False,
                         outcome.timed_out ? Py_True : Py_False);
}

PyObject* outcome_list(const std::vector<TrialOutcome>& outcomes) {
    PyRef list = py::checked(PyList_New(static_cast<Py_ssize_t>(outcomes.size())));
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        PyObject* item = outcome_tuple(outcomes[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

std::optional<std::vector<TrialOutcome>> reserve_outcomes(unsigned long long count) {
    if (count > 100'000'000ULL) {
        PyErr_SetString(PyExc_ValueError, "at most 100000000 trials at once");
        return std::nullopt;
    }
    return std::vector<TrialOutcome>(static_cast<std::size_t>(count));
}

// simulate_trial(drift, boundary, start, t0, noise_sd, seed, index)
//   -> (rt, choice, timed_out, steps)
PyObject* simulate_trial_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        DiffusionParams params{};
        unsigned long long seed = 0, index = 0;
        if (!parse_trial_arguments(args, "dddddKK", params, &seed, &index)) return nullptr;
        const TrialOutcome outcome = simulate_trial(params, seed, index);
        // The same trial without non-decision time: its rt is the decision time itself.
        DiffusionParams without_t0 = params;
        without_t0.non_decision_time = 0.0;
        const TrialOutcome decision = simulate_trial(without_t0, seed, index);
        return Py_BuildValue("(dOOK)", outcome.rt, outcome.choice ? Py_True : Py_False,
                             outcome.timed_out ? Py_True : Py_False, steps_of(decision.rt));
    });
}

// simulate_trial_range(drift, boundary, start, t0, noise_sd, seed, first, count)
//   -> list of (rt, choice, timed_out) of trials first .. first+count-1
PyObject* simulate_trial_range_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        DiffusionParams params{};
        unsigned long long seed = 0, first = 0, count = 0;
        if (!parse_trial_arguments(args, "dddddKKK", params, &seed, &first, &count)) return nullptr;
        if (count > ~first) {
            PyErr_SetString(PyExc_ValueError, "the range must end at or below 2**64 - 1");
            return nullptr;
        }
        auto outcomes = reserve_outcomes(count);
        if (!outcomes) return nullptr;
        simulate_trial_range(params, seed, first, first + count, outcomes->data());
        return outcome_list(*outcomes);
    });
}

// trial_kernels() -> tuple of the names of the compiled trial loops this
// processor runs, the one used by default last
PyObject* trial_kernels_hook(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* { return name_tuple(available_trial_kernels()); });
}

// run_trial_kernel(kernel, drift, boundary, start, t0, noise_sd, seed, first, count)
//   -> (rts: bytes of float64, choices: bytes, timed_out: bytes)
PyObject* run_trial_kernel_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const char* name = nullptr;
        DiffusionParams p{};
        unsigned long long seed = 0, first = 0, count = 0;
        if (!PyArg_ParseTuple(args, "sdddddKKK", &name, &p.drift_rate, &p.boundary_separation, &p.starting_point,
                              &p.non_decision_time, &p.noise_sd, &seed, &first, &count)) {
            return nullptr;
        }

        const TrialKernel* kernel = nullptr;
        for (const TrialKernel* candidate : available_trial_kernels()) {
            if (candidate->name == name) kernel = candidate;
        }
        if (kernel == nullptr) {
            PyErr_Format(PyExc_ValueError, "trial kernel '%s' is not available here", name);
            return nullptr;
        }
        auto outcomes = reserve_outcomes(count);
        if (!outcomes) return nullptr;
        kernel->run(p, seed, first, count, outcomes->data());

        const std::size_t n = outcomes->size();
        std::vector<double> rts(n);
        std::vector<char> choices(n), timed_out(n);
        for (std::size_t i = 0; i < n; ++i) {
            rts[i] = (*outcomes)[i].rt;
            choices[i] = (*outcomes)[i].choice ? 1 : 0;
            timed_out[i] = (*outcomes)[i].timed_out ? 1 : 0;
        }
        PyRef rt_bytes = py::checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rts.data()),
                                                               static_cast<Py_ssize_t>(n * sizeof(double))));
        PyRef choice_bytes = py::checked(PyBytes_FromStringAndSize(choices.data(), static_cast<Py_ssize_t>(n)));
        PyRef timed_out_bytes = py::checked(PyBytes_FromStringAndSize(timed_out.data(), static_cast<Py_ssize_t>(n)));
        return PyTuple_Pack(3, rt_bytes.get(), choice_bytes.get(), timed_out_bytes.get());
    });
}

// bench_trials(drift, boundary, start, t0, noise_sd, seed, n) -> (seconds, steps):
// trials 0 .. n-1 one after another on this thread, as a batch piece runs them
PyObject* bench_trials_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        DiffusionParams params{};
        unsigned long long seed = 0, n = 0;
        if (!parse_trial_arguments(args, "dddddKK", params, &seed, &n)) return nullptr;
        auto outcomes = reserve_outcomes(n);
        if (!outcomes) return nullptr;
        const auto start = std::chrono::steady_clock::now();
        simulate_trial_range(params, seed, 0, n, outcomes->data());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        unsigned long long steps = 0;
        for (const TrialOutcome& outcome : *outcomes) {
            steps += steps_of(outcome.rt - params.non_decision_time);
        }
        return Py_BuildValue("(dK)", seconds, steps);
    });
}

PyMethodDef trial_methods[] = {
    {"simulate_trial", simulate_trial_hook, METH_VARARGS,
     "One trial (drift, boundary, start, t0, noise_sd, seed, index) -> (rt, choice, timed_out, steps)."},
    {"simulate_trial_range", simulate_trial_range_hook, METH_VARARGS,
     "Trials first .. first+count-1 as a list of (rt, choice, timed_out)."},
    {"trial_kernels", trial_kernels_hook, METH_NOARGS, "Names of the compiled trial loops this processor runs."},
    {"run_trial_kernel", run_trial_kernel_hook, METH_VARARGS,
     "Trials by one named trial loop as (rts float64 bytes, choices bytes, timed_out bytes)."},
    {"bench_trials", bench_trials_hook, METH_VARARGS, "Seconds and diffusion steps of n trials on one thread."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

int add_trial_functions(PyObject* module) { return PyModule_AddFunctions(module, trial_methods); }

}  // namespace ventrola::testing
