#include "module/entries.hpp"

#include "module/arrays.hpp"
#include "module/call_frame.hpp"
#include "module/fault_boundary.hpp"
#include "module/parameter_dicts.hpp"
#include "simulation/batch_simulation.hpp"

namespace ventrola::py {
namespace {

constexpr ArgumentSpec SIMULATE_ARGUMENTS{
    "simulate", {"drift", "boundary", "start", "t0", "n", "seed", "noise_sd"}, 7, 6};
constexpr ArgumentSpec FIT_EZ_ARGUMENTS{"fit_ez", {"choices", "rts"}, 2, 2};
constexpr ArgumentSpec FIT_SIM_ARGUMENTS{"fit_sim", {"choices", "rts", "initial_guess", "max_iters"}, 4, 2};

constexpr double DEFAULT_NOISE_SD = 1.0;
constexpr std::uint64_t DEFAULT_MAX_ITERS = 200;

// Runs `work` with the interpreter lock released, taking it back on every path.
void run_without_lock(const std::function<void()>& work) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
    PyEval_RestoreThread(state);
}

// Turns an entry's outcome into what the interpreter expects.
PyObject* finish(CallResult<PyRef> outcome) {
    if (!outcome) {
        std::move(outcome.error()).raise();
        return nullptr;
    }
    return outcome->release();
}

CallResult<PyRef> not_connected(const char* function) {
    return raise_later(CallError::of(PyExc_NotImplementedError, std::string(function) + "() is not available yet"));
}

CallResult<PyRef> simulate_call(PyObject* args, PyObject* kwargs) {
    auto slots = parse_call_arguments(SIMULATE_ARGUMENTS, args, kwargs);
    if (!slots) return raise_later(std::move(slots.error()));
    const ArgumentSlots& given = *slots;

    double reals[4];
    for (std::size_t i = 0; i < 4; ++i) {
        auto value = convert_double(given[i], SIMULATE_ARGUMENTS.parameters[i]);
        if (!value) return raise_later(std::move(value.error()));
        reals[i] = *value;
    }
    auto n = convert_u64(given[4], "n");
    if (!n) return raise_later(std::move(n.error()));
    auto seed = convert_u64(given[5], "seed");
    if (!seed) return raise_later(std::move(seed.error()));
    double noise_sd = DEFAULT_NOISE_SD;
    if (given[6] != nullptr) {
        auto value = convert_double(given[6], "noise_sd");
        if (!value) return raise_later(std::move(value.error()));
        noise_sd = *value;
    }

    auto data = simulate_batch(reals[0], reals[1], reals[2], reals[3], *n, *seed, noise_sd, run_without_lock);
    if (!data) return raise_later(CallError::from(data.error()));

    PyRef choices = make_output_array(data->choices.release(), ElementType::Bool);
    PyRef rts = make_output_array(data->rts.release(), ElementType::Double);
    PyRef excluded = checked(PyLong_FromUnsignedLongLong(data->n_excluded));
    return checked(PyTuple_Pack(3, choices.get(), rts.get(), excluded.get()));
}

CallResult<PyRef> fit_ez_call(PyObject* args, PyObject* kwargs) {
    auto slots = parse_call_arguments(FIT_EZ_ARGUMENTS, args, kwargs);
    if (!slots) return raise_later(std::move(slots.error()));
    return not_connected("fit_ez");
}

CallResult<PyRef> fit_sim_call(PyObject* args, PyObject* kwargs) {
    auto slots = parse_call_arguments(FIT_SIM_ARGUMENTS, args, kwargs);
    if (!slots) return raise_later(std::move(slots.error()));
    const ArgumentSlots& given = *slots;
    std::uint64_t max_iters = DEFAULT_MAX_ITERS;
    if (given[3] != nullptr) {
        auto value = convert_u64(given[3], "max_iters");
        if (!value) return raise_later(std::move(value.error()));
        max_iters = *value;
    }
    (void)max_iters;
    return not_connected("fit_sim");
}

}  // namespace

PyObject* simulate_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_entry([&] { return finish(simulate_call(args, kwargs)); });
}

PyObject* fit_ez_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_entry([&] { return finish(fit_ez_call(args, kwargs)); });
}

PyObject* fit_sim_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_entry([&] { return finish(fit_sim_call(args, kwargs)); });
}

}  // namespace ventrola::py
