#include "module/engine/likelihood_entries.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "likelihood/trial_batch.hpp"
#include "module/arrays.hpp"
#include "module/call_frame.hpp"
#include "module/fault_boundary.hpp"
#include "module/interpreter_lock.hpp"

namespace ventrola::py {
namespace {

using likelihood::TrialColumns;

constexpr std::size_t ARGUMENT_COUNT = 10;

constexpr ArgumentSpec argument_spec(const char* name) {
    return ArgumentSpec{name,
                        {"choices", "rts", "drift_rate", "boundary_separation", "starting_point", "non_decision_time",
                         "drift_rate_sd", "starting_point_range", "non_decision_time_range", "noise_sd"},
                        ARGUMENT_COUNT,
                        ARGUMENT_COUNT};
}

// The elements of one argument, copied so that nothing reads the caller's
// arrays once the interpreter lock is released.
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

// Every column must hold one value or one per trial.
CallResult<std::size_t> trial_count(const TrialColumns& columns, const ArgumentSpec& spec) {
    std::size_t n = 1;
    auto widen = [&](std::size_t length, std::size_t index) -> CallResult<bool> {
        if (length == 1 || length == n) return true;
        if (n == 1) {
            n = length;
            return true;
        }
        return raise_later(CallError::of(PyExc_ValueError, std::string("`") + spec.parameters[index] + "` has " +
                                                               std::to_string(length) + " elements where 1 or " +
                                                               std::to_string(n) + " were expected"));
    };
    std::array<std::size_t, ARGUMENT_COUNT> lengths{columns.choices.size(), columns.rts.values.size()};
    for (std::size_t k = 0; k < PARAMETER_COUNT; ++k) lengths[k + 2] = columns.parameters[k].values.size();
    for (std::size_t index = 0; index < ARGUMENT_COUNT; ++index) {
        if (lengths[index] == 0) return std::size_t{0};
    }
    for (std::size_t index = 0; index < ARGUMENT_COUNT; ++index) {
        auto ok = widen(lengths[index], index);
        if (!ok) return raise_later(std::move(ok.error()));
    }
    return n;
}

CallResult<TrialColumns> read_columns(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs) {
    auto slots = parse_call_arguments(spec, args, kwargs);
    if (!slots) return raise_later(std::move(slots.error()));
    const ArgumentSlots& given = *slots;
    TrialColumns columns;
    auto choices = copy_elements<std::uint8_t>(given[0], ElementType::Bool, spec.parameters[0]);
    if (!choices) return raise_later(std::move(choices.error()));
    columns.choices = std::move(*choices);
    auto rts = copy_elements<double>(given[1], ElementType::Double, spec.parameters[1]);
    if (!rts) return raise_later(std::move(rts.error()));
    columns.rts.values = std::move(*rts);
    for (std::size_t k = 0; k < PARAMETER_COUNT; ++k) {
        auto values = copy_elements<double>(given[k + 2], ElementType::Double, spec.parameters[k + 2]);
        if (!values) return raise_later(std::move(values.error()));
        columns.parameters[k].values = std::move(*values);
    }
    auto n = trial_count(columns, spec);
    if (!n) return raise_later(std::move(n.error()));
    columns.trial_count = *n;
    if (auto error = likelihood::check_columns(columns)) return raise_later(CallError::from(*error));
    return columns;
}

CallResult<PyRef> quantity_call(likelihood::Quantity quantity, const ArgumentSpec& spec, PyObject* args,
                                PyObject* kwargs) {
    auto columns = read_columns(spec, args, kwargs);
    if (!columns) return raise_later(std::move(columns.error()));
    auto values = without_lock([&] { return likelihood::evaluate_trials(quantity, *columns); });
    if (!values) return raise_later(CallError::from(values.error()));
    return make_output_array(values->release(), ElementType::Double);
}

CallResult<PyRef> gradient_call(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs) {
    auto columns = read_columns(spec, args, kwargs);
    if (!columns) return raise_later(std::move(columns.error()));
    auto buffers = without_lock([&] { return likelihood::evaluate_trial_gradients(*columns); });
    if (!buffers) return raise_later(CallError::from(buffers.error()));
    PyRef log_density = make_output_array(buffers->log_density.release(), ElementType::Double);
    PyRef partials = checked(PyTuple_New(likelihood::GRADIENT_SIZE));
    for (std::size_t k = 0; k < likelihood::GRADIENT_SIZE; ++k) {
        PyRef partial = make_output_array(buffers->partials[k].release(), ElementType::Double);
        PyTuple_SetItem(partials.get(), static_cast<Py_ssize_t>(k), partial.release());  // steals
    }
    return checked(PyTuple_Pack(2, log_density.get(), partials.get()));
}

constexpr ArgumentSpec LOGPDF_ARGUMENTS = argument_spec("wiener_logpdf");
constexpr ArgumentSpec PDF_ARGUMENTS = argument_spec("wiener_pdf");
constexpr ArgumentSpec CDF_ARGUMENTS = argument_spec("wiener_cdf");
constexpr ArgumentSpec GRADIENT_ARGUMENTS = argument_spec("wiener_logpdf_grad");

}  // namespace

PyObject* wiener_logpdf_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_entry(
        [&] { return finish(quantity_call(likelihood::Quantity::LogDensity, LOGPDF_ARGUMENTS, args, kwargs)); });
}

PyObject* wiener_pdf_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_entry(
        [&] { return finish(quantity_call(likelihood::Quantity::Density, PDF_ARGUMENTS, args, kwargs)); });
}

PyObject* wiener_cdf_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_entry(
        [&] { return finish(quantity_call(likelihood::Quantity::Distribution, CDF_ARGUMENTS, args, kwargs)); });
}

PyObject* wiener_logpdf_grad_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_entry([&] { return finish(gradient_call(GRADIENT_ARGUMENTS, args, kwargs)); });
}

}  // namespace ventrola::py
