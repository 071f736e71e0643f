#include "module/entries.hpp"

#include "module/arrays.hpp"
#include "module/call_frame.hpp"
#include "module/fault_boundary.hpp"
#include "module/interpreter_lock.hpp"
#include "module/parameter_dicts.hpp"
#include "recovery/ez_estimator.hpp"
#include "recovery/observed_trials.hpp"
#include "recovery/simulation_fit.hpp"
#include "simulation/batch_simulation.hpp"

namespace ventrola::py {
namespace {

constexpr ArgumentSpec SIMULATE_ARGUMENTS{
    "simulate", {"drift", "boundary", "start", "t0", "n", "seed", "noise_sd"}, 7, 6};
constexpr ArgumentSpec FIT_EZ_ARGUMENTS{"fit_ez", {"choices", "rts"}, 2, 2};
constexpr ArgumentSpec FIT_SIM_ARGUMENTS{"fit_sim", {"choices", "rts", "initial_guess", "max_iters"}, 4, 2};

constexpr double DEFAULT_NOISE_SD = 1.0;
constexpr std::uint64_t DEFAULT_MAX_ITERS = 200;

// The observed arrays of both fits, converted in parameter order. Members are
// destroyed in reverse order, so rts is released before choices.
struct ObservedArrays {
    ArrayView choices;
    ArrayView rts;
};

CallResult<ObservedArrays> convert_observed(const ArgumentSlots& given) {
    ObservedArrays arrays;
    auto choices = borrow_input_array(given[0], ElementType::Bool);
    if (!choices) return raise_later(with_argument_note(std::move(choices.error()), "choices"));
    arrays.choices = std::move(*choices);
    auto rts = borrow_input_array(given[1], ElementType::Double);
    if (!rts) return raise_later(with_argument_note(std::move(rts.error()), "rts"));
    arrays.rts = std::move(*rts);
    return arrays;
}

// Layout of choices, then of rts, then the lengths; copies the elements into
// trial records so nothing reads the arrays once the lock is released.
CallResult<std::vector<TrialOutcome>> pair_arrays(const ObservedArrays& arrays) {
    auto choices = view_elements(arrays.choices, "choices");
    if (!choices) return raise_later(std::move(choices.error()));
    auto rts = view_elements(arrays.rts, "rts");
    if (!rts) return raise_later(std::move(rts.error()));
    auto trials = pair_observed_trials(static_cast<const std::uint8_t*>(choices->data), choices->length,
                                       static_cast<const double*>(rts->data), rts->length);
    if (!trials) return raise_later(CallError::from(trials.error()));
    return std::move(*trials);
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

    auto data = simulate_batch(reals[0], reals[1], reals[2], reals[3], *n, *seed, noise_sd, run_interruptibly);
    if (!data) return raise_later(CallError::from(data.error()));

    PyRef choices = make_output_array(data->choices.release(), ElementType::Bool);
    PyRef rts = make_output_array(data->rts.release(), ElementType::Double);
    PyRef excluded = checked(PyLong_FromUnsignedLongLong(data->n_excluded));
    return checked(PyTuple_Pack(3, choices.get(), rts.get(), excluded.get()));
}

CallResult<PyRef> fit_ez_call(PyObject* args, PyObject* kwargs) {
    auto slots = parse_call_arguments(FIT_EZ_ARGUMENTS, args, kwargs);
    if (!slots) return raise_later(std::move(slots.error()));
    auto arrays = convert_observed(*slots);
    if (!arrays) return raise_later(std::move(arrays.error()));
    auto trials = pair_arrays(*arrays);
    if (!trials) return raise_later(std::move(trials.error()));

    auto estimate = ez_estimate(*trials);
    if (!estimate) return raise_later(CallError::from(to_error(estimate.error())));
    return params_to_dict(*estimate);
}

CallResult<PyRef> fit_sim_call(PyObject* args, PyObject* kwargs) {
    auto slots = parse_call_arguments(FIT_SIM_ARGUMENTS, args, kwargs);
    if (!slots) return raise_later(std::move(slots.error()));
    const ArgumentSlots& given = *slots;
    auto arrays = convert_observed(given);
    if (!arrays) return raise_later(std::move(arrays.error()));
    std::optional<GuessMap> guess;
    if (given[2] != nullptr) {
        auto read = read_initial_guess(given[2]);
        if (!read) return raise_later(with_argument_note(std::move(read.error()), "initial_guess"));
        guess = std::move(*read);
    }
    std::uint64_t max_iters = DEFAULT_MAX_ITERS;
    if (given[3] != nullptr) {
        auto value = convert_u64(given[3], "max_iters");
        if (!value) return raise_later(std::move(value.error()));
        max_iters = *value;
    }

    auto trials = pair_arrays(*arrays);
    if (!trials) return raise_later(std::move(trials.error()));
    DiffusionParams start{};
    if (guess) {
        auto from_guess = guess_to_params(*guess);
        if (!from_guess) return raise_later(std::move(from_guess.error()));
        start = *from_guess;
    } else {
        start = warm_start(*trials);
    }

    const auto fit = without_lock([&] { return fit_by_simulation(*trials, start, max_iters); });
    if (!fit) return raise_later(CallError::from(to_error(fit.error())));

    auto result = params_to_dict(fit->params);
    if (!result) return raise_later(std::move(result.error()));
    PyRef iterations = checked(PyLong_FromUnsignedLongLong(fit->iterations));
    PyRef final_cost = checked(PyFloat_FromDouble(fit->final_cost));
    if (PyDict_SetItemString(result->get(), "iterations", iterations.get()) < 0 ||
        PyDict_SetItemString(result->get(), "final_cost", final_cost.get()) < 0) {
        return raise_later(CallError::fetch());
    }
    return std::move(*result);
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
