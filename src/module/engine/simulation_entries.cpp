#include "module/engine/simulation_entries.hpp"

#include <utility>

#include "module/arrays.hpp"
#include "module/call_frame.hpp"
#include "module/fault_boundary.hpp"
#include "module/interpreter_lock.hpp"
#include "module/text.hpp"
#include "simulation/full_model_simulation.hpp"

namespace ventrola::py {
namespace {

constexpr ArgumentSpec SIMULATE_DDM_ARGUMENTS{
    "simulate_ddm",
    {"drift_rate", "boundary_separation", "starting_point", "non_decision_time", "n", "seed", "drift_rate_sd",
     "starting_point_range", "non_decision_time_range", "noise_sd", "method", "dt", "max_time"},
    13,
    13};

// Argument positions.
enum Slot : std::size_t {
    DRIFT_RATE,
    BOUNDARY_SEPARATION,
    STARTING_POINT,
    NON_DECISION_TIME,
    N,
    SEED,
    DRIFT_RATE_SD,
    STARTING_POINT_RANGE,
    NON_DECISION_TIME_RANGE,
    NOISE_SD,
    METHOD,
    DT,
    MAX_TIME,
};

CallResult<SimulationMethod> convert_method(PyObject* object) {
    if (!PyUnicode_Check(object)) return raise_later(CallError::of(PyExc_TypeError, "method must be a str"));
    const std::optional<std::string> name = utf8_text(object);
    if (!name) return raise_later(with_argument_note(CallError::fetch(), "method"));
    auto method = parse_simulation_method(*name);
    if (!method) return raise_later(CallError::from(method.error()));
    return *method;
}

CallResult<PyRef> simulate_ddm_call(PyObject* args, PyObject* kwargs) {
    const ArgumentSpec& spec = SIMULATE_DDM_ARGUMENTS;
    auto slots = parse_call_arguments(spec, args, kwargs);
    if (!slots) return raise_later(std::move(slots.error()));
    const ArgumentSlots& given = *slots;

    // The real-valued arguments, in parameter order.
    constexpr Slot REALS[] = {DRIFT_RATE,
                              BOUNDARY_SEPARATION,
                              STARTING_POINT,
                              NON_DECISION_TIME,
                              DRIFT_RATE_SD,
                              STARTING_POINT_RANGE,
                              NON_DECISION_TIME_RANGE,
                              NOISE_SD,
                              DT,
                              MAX_TIME};
    double reals[MAX_PARAMETERS] = {};
    for (const Slot slot : REALS) {
        auto value = convert_double(given[slot], spec.parameters[slot]);
        if (!value) return raise_later(std::move(value.error()));
        reals[slot] = *value;
    }
    auto n = convert_u64(given[N], "n");
    if (!n) return raise_later(std::move(n.error()));
    auto seed = convert_u64(given[SEED], "seed");
    if (!seed) return raise_later(std::move(seed.error()));
    auto method = convert_method(given[METHOD]);
    if (!method) return raise_later(std::move(method.error()));

    const FullModelParams model{
        reals[DRIFT_RATE],    reals[BOUNDARY_SEPARATION],  reals[STARTING_POINT],          reals[NON_DECISION_TIME],
        reals[DRIFT_RATE_SD], reals[STARTING_POINT_RANGE], reals[NON_DECISION_TIME_RANGE], reals[NOISE_SD]};
    const SimulationControls controls{*method, reals[DT], reals[MAX_TIME]};
    auto data = simulate_full_model_batch(model, controls, *n, *seed, run_interruptibly);
    if (!data) return raise_later(CallError::from(data.error()));

    PyRef choices = make_output_array(data->choices.release(), ElementType::Bool);
    PyRef rts = make_output_array(data->rts.release(), ElementType::Double);
    PyRef excluded = checked(PyLong_FromUnsignedLongLong(data->n_excluded));
    return checked(PyTuple_Pack(3, choices.get(), rts.get(), excluded.get()));
}

}  // namespace

PyObject* simulate_ddm_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_entry([&] { return finish(simulate_ddm_call(args, kwargs)); });
}

}  // namespace ventrola::py
