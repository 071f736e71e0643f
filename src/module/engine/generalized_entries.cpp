#include "module/engine/generalized_entries.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "generalized/step_tabulation.hpp"
#include "generalized/trial_batch.hpp"
#include "module/arrays.hpp"
#include "module/call_frame.hpp"
#include "module/fault_boundary.hpp"
#include "module/interpreter_lock.hpp"
#include "module/text.hpp"
#include "simulation/tabulated_simulation.hpp"

namespace ventrola::py {
namespace {

using generalized::GeneralTrials;
using generalized::ModelShape;

constexpr ArgumentSpec GENERAL_ARGUMENTS{
    "general_likelihood", {"quantity", "model", "choices", "rts", "parameters", "wanted"}, 6, 5};

enum class Request { LogDensity, Density, Distribution, Gradient };

template <class Element>
CallResult<std::vector<Element>> copy_elements(PyObject* object, ElementType type, const char* name) {
    auto view = borrow_input_array(object, type);
    if (!view) return raise_later(with_argument_note(std::move(view.error()), name));
    auto span = view_elements(*view, name);
    if (!span) return raise_later(std::move(span.error()));
    std::vector<Element> values(span->length);
    if (span->length != 0) std::memcpy(values.data(), span->data, span->length * sizeof(Element));
    return values;
}

CallResult<std::string> text_argument(PyObject* object, const char* name) {
    if (!PyUnicode_Check(object))
        return raise_later(CallError::of(PyExc_TypeError, std::string(name) + " must be a str"));
    std::optional<std::string> text = utf8_text(object);
    if (!text) return raise_later(with_argument_note(CallError::fetch(), name));
    return *text;
}

CallResult<Request> read_request(PyObject* object) {
    auto text = text_argument(object, "quantity");
    if (!text) return raise_later(std::move(text.error()));
    if (*text == "logpdf") return Request::LogDensity;
    if (*text == "pdf") return Request::Density;
    if (*text == "cdf") return Request::Distribution;
    if (*text == "logpdf_grad") return Request::Gradient;
    return raise_later(CallError::of(PyExc_ValueError, "quantity must be 'logpdf', 'pdf', 'cdf' or 'logpdf_grad'"));
}

// The model tuple, with its tables copied into `storage` (which the shape's spans point into).
CallResult<ModelShape> read_model(PyObject* object, std::vector<double>& bound_storage,
                                  std::vector<double>& drift_storage) {
    if (!PyTuple_Check(object) || PyTuple_Size(object) != 7) {
        return raise_later(CallError::of(PyExc_TypeError, "model must be a tuple of seven items"));
    }
    ModelShape shape;
    auto bound = text_argument(PyTuple_GetItem(object, 0), "bound");  // borrowed
    if (!bound) return raise_later(std::move(bound.error()));
    if (*bound == "constant")
        shape.bound = BoundFamily::Constant;
    else if (*bound == "linear")
        shape.bound = BoundFamily::Linear;
    else if (*bound == "exponential")
        shape.bound = BoundFamily::Exponential;
    else if (*bound == "hyperbolic")
        shape.bound = BoundFamily::Hyperbolic;
    else if (*bound == "weibull")
        shape.bound = BoundFamily::Weibull;
    else if (*bound == "table")
        shape.bound = BoundFamily::Tabulated;
    else
        return raise_later(CallError::of(PyExc_ValueError, "unknown bound family '" + *bound + "'"));
    auto drift = text_argument(PyTuple_GetItem(object, 1), "drift");
    if (!drift) return raise_later(std::move(drift.error()));
    if (*drift == "constant")
        shape.drift = DriftFamily::Constant;
    else if (*drift == "dmc")
        shape.drift = DriftFamily::Dmc;
    else if (*drift == "table")
        shape.drift = DriftFamily::Tabulated;
    else
        return raise_later(CallError::of(PyExc_ValueError, "unknown drift family '" + *drift + "'"));
    const int leak = PyObject_IsTrue(PyTuple_GetItem(object, 2));
    if (leak < 0) return raise_later(CallError::fetch());
    shape.leak = leak != 0;
    const auto table = [&](std::size_t position, std::vector<double>& storage, generalized::Table& out,
                           const char* name) -> CallResult<bool> {
        PyObject* values = PyTuple_GetItem(object, static_cast<Py_ssize_t>(position));
        if (values == Py_None) return true;
        auto copied = copy_elements<double>(values, ElementType::Double, name);
        if (!copied) return raise_later(std::move(copied.error()));
        storage = std::move(*copied);
        auto step = convert_double(PyTuple_GetItem(object, static_cast<Py_ssize_t>(position + 1)), name);
        if (!step) return raise_later(std::move(step.error()));
        if (storage.size() < 4 || !(*step > 0.0)) {
            return raise_later(
                CallError::of(PyExc_ValueError, std::string(name) + " needs at least four values and a positive step"));
        }
        out.values = storage;
        out.step = *step;
        return true;
    };
    if (auto ok = table(3, bound_storage, shape.bound_table, "bound_table"); !ok)
        return raise_later(std::move(ok.error()));
    if (auto ok = table(5, drift_storage, shape.drift_table, "drift_table"); !ok)
        return raise_later(std::move(ok.error()));
    if ((shape.bound == BoundFamily::Tabulated) != !shape.bound_table.values.empty() ||
        (shape.drift == DriftFamily::Tabulated) != !shape.drift_table.values.empty()) {
        return raise_later(CallError::of(PyExc_ValueError, "a table family needs its table, and only it"));
    }
    return shape;
}

// For 'logpdf_grad': None (every partial) or fifteen truths, GeneralParameters' order.
CallResult<generalized::WantedPartials> read_wanted(PyObject* object) {
    generalized::WantedPartials wanted;
    wanted.fill(true);
    if (object == nullptr || object == Py_None) return wanted;
    if (!PyTuple_Check(object) || PyTuple_Size(object) != static_cast<Py_ssize_t>(GENERAL_PARAMETER_COUNT)) {
        return raise_later(CallError::of(PyExc_TypeError, "wanted must be None or a tuple of fifteen truths"));
    }
    for (std::size_t k = 0; k < GENERAL_PARAMETER_COUNT; ++k) {
        const int truth = PyObject_IsTrue(PyTuple_GetItem(object, static_cast<Py_ssize_t>(k)));
        if (truth < 0) return raise_later(with_argument_note(CallError::fetch(), "wanted"));
        wanted[k] = truth != 0;
    }
    return wanted;
}

CallResult<GeneralTrials> read_trials(const ArgumentSlots& given) {
    GeneralTrials trials;
    auto choices = copy_elements<std::uint8_t>(given[2], ElementType::Bool, "choices");
    if (!choices) return raise_later(std::move(choices.error()));
    trials.choices = std::move(*choices);
    auto rts = copy_elements<double>(given[3], ElementType::Double, "rts");
    if (!rts) return raise_later(std::move(rts.error()));
    trials.rts.values = std::move(*rts);
    PyObject* columns = given[4];
    if (!PyTuple_Check(columns) || PyTuple_Size(columns) != static_cast<Py_ssize_t>(GENERAL_PARAMETER_COUNT)) {
        return raise_later(CallError::of(PyExc_TypeError, "parameters must be a tuple of fifteen arrays"));
    }
    for (std::size_t k = 0; k < GENERAL_PARAMETER_COUNT; ++k) {
        auto values = copy_elements<double>(PyTuple_GetItem(columns, static_cast<Py_ssize_t>(k)), ElementType::Double,
                                            "parameters");
        if (!values) return raise_later(std::move(values.error()));
        trials.parameters[k].values = std::move(*values);
    }
    // Every column holds one value or one per trial.
    std::size_t n = 1;
    std::vector<std::size_t> lengths{trials.choices.size(), trials.rts.values.size()};
    for (const auto& column : trials.parameters) lengths.push_back(column.values.size());
    bool empty = false;
    for (const std::size_t length : lengths) {
        if (length == 0) empty = true;
        if (length != 1 && length != 0) {
            if (n != 1 && length != n) {
                return raise_later(CallError::of(PyExc_ValueError, "columns of " + std::to_string(length) + " and " +
                                                                       std::to_string(n) + " trials"));
            }
            n = length;
        }
    }
    trials.trial_count = empty ? 0 : n;
    return trials;
}

CallResult<PyRef> general_call(PyObject* args, PyObject* kwargs) {
    auto slots = parse_call_arguments(GENERAL_ARGUMENTS, args, kwargs);
    if (!slots) return raise_later(std::move(slots.error()));
    const ArgumentSlots& given = *slots;
    auto request = read_request(given[0]);
    if (!request) return raise_later(std::move(request.error()));
    std::vector<double> bound_storage, drift_storage;
    auto shape = read_model(given[1], bound_storage, drift_storage);
    if (!shape) return raise_later(std::move(shape.error()));
    auto trials = read_trials(given);
    if (!trials) return raise_later(std::move(trials.error()));
    if (auto error = generalized::check_trials(*shape, *trials)) return raise_later(CallError::from(*error));
    auto wanted = read_wanted(given[5]);
    if (!wanted) return raise_later(std::move(wanted.error()));
    if (*request == Request::Gradient) {
        Result<generalized::GeneralGradients> buffers;
        run_interruptibly([&](Interruption& interruption) {
            buffers = generalized::evaluate_general_gradients(*shape, *trials, *wanted, interruption);
        });
        if (!buffers) return raise_later(CallError::from(buffers.error()));
        PyRef log_density = make_output_array(buffers->log_density.release(), ElementType::Double);
        PyRef partials = checked(PyTuple_New(GENERAL_PARAMETER_COUNT));
        for (std::size_t k = 0; k < GENERAL_PARAMETER_COUNT; ++k) {
            PyRef partial = make_output_array(buffers->partials[k].release(), ElementType::Double);
            PyTuple_SetItem(partials.get(), static_cast<Py_ssize_t>(k), partial.release());  // steals
        }
        return checked(PyTuple_Pack(2, log_density.get(), partials.get()));
    }
    const generalized::Quantity quantity = *request == Request::LogDensity ? generalized::Quantity::LogDensity
                                           : *request == Request::Density  ? generalized::Quantity::Density
                                                                           : generalized::Quantity::Distribution;
    Result<OwnedBuffer<double>> values;
    run_interruptibly([&](Interruption& interruption) {
        values = generalized::evaluate_general(*shape, quantity, *trials, interruption);
    });
    if (!values) return raise_later(CallError::from(values.error()));
    return make_output_array(values->release(), ElementType::Double);
}

constexpr ArgumentSpec SIMULATE_ARGUMENTS{
    "general_simulate", {"model", "n", "seed", "parameters", "dt", "max_time"}, 6, 6};

CallResult<PyRef> simulate_call(PyObject* args, PyObject* kwargs) {
    auto slots = parse_call_arguments(SIMULATE_ARGUMENTS, args, kwargs);
    if (!slots) return raise_later(std::move(slots.error()));
    const ArgumentSlots& given = *slots;
    std::vector<double> bound_storage, drift_storage;
    auto shape = read_model(given[0], bound_storage, drift_storage);
    if (!shape) return raise_later(std::move(shape.error()));
    auto n = convert_u64(given[1], "n");
    if (!n) return raise_later(std::move(n.error()));
    auto seed = convert_u64(given[2], "seed");
    if (!seed) return raise_later(std::move(seed.error()));
    PyObject* values = given[3];
    if (!PyTuple_Check(values) || PyTuple_Size(values) != static_cast<Py_ssize_t>(GENERAL_PARAMETER_COUNT)) {
        return raise_later(CallError::of(PyExc_TypeError, "parameters must be a tuple of fifteen numbers"));
    }
    GeneralParameters p;
    auto* fields = reinterpret_cast<double*>(&p);  // NOLINT: a plain record of doubles in this order
    for (std::size_t k = 0; k < GENERAL_PARAMETER_COUNT; ++k) {
        auto value = convert_double(PyTuple_GetItem(values, static_cast<Py_ssize_t>(k)), "parameters");
        if (!value) return raise_later(std::move(value.error()));
        fields[k] = *value;
    }
    auto dt = convert_double(given[4], "dt");
    if (!dt) return raise_later(std::move(dt.error()));
    auto max_time = convert_double(given[5], "max_time");
    if (!max_time) return raise_later(std::move(max_time.error()));
    if (auto error = check_general_parameters(*shape, p)) return raise_later(CallError::from(*error));
    auto tables = generalized::tabulate_steps(*shape, p, *dt, *max_time);
    if (!tables) return raise_later(CallError::from(tables.error()));
    const FullModelParams ranges{
        p.drift_rate,    p.boundary_separation,  p.starting_point,          p.non_decision_time,
        p.drift_rate_sd, p.starting_point_range, p.non_decision_time_range, p.noise_sd};
    Result<SimulatedData> data;
    run_interruptibly([&](Interruption& interruption) {
        data = simulate_tabulated_trials(ranges, *tables, *n, *seed, interruption);
    });
    if (!data) return raise_later(CallError::from(data.error()));
    PyRef choices = make_output_array(data->choices.release(), ElementType::Bool);
    PyRef rts = make_output_array(data->rts.release(), ElementType::Double);
    PyRef excluded = checked(PyLong_FromUnsignedLongLong(data->n_excluded));
    return checked(PyTuple_Pack(3, choices.get(), rts.get(), excluded.get()));
}

}  // namespace

PyObject* general_simulate_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_entry([&] { return finish(simulate_call(args, kwargs)); });
}

PyObject* general_likelihood_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_entry([&] { return finish(general_call(args, kwargs)); });
}

}  // namespace ventrola::py
