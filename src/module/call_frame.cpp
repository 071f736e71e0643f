#include "module/call_frame.hpp"

#include "module/text.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace ventrola::py {
namespace {

std::string function_label(const ArgumentSpec& spec) { return std::string(spec.function_name) + "()"; }

CallError too_many_positional(const ArgumentSpec& spec, std::size_t given) {
    std::string message = function_label(spec);
    if (spec.required < spec.parameter_count) {
        message += " takes from " + std::to_string(spec.required) + " to " + std::to_string(spec.parameter_count);
    } else {
        message += " takes " + std::to_string(spec.parameter_count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return CallError::of(PyExc_TypeError, std::move(message));
}

CallError missing_required(const ArgumentSpec& spec, const ArgumentSlots& slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < spec.required; ++i) {
        if (slots[i] == nullptr) missing.emplace_back(spec.parameters[i]);
    }
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                list += " and ";
            } else {
                list += i + 1 == missing.size() ? ", and " : ", ";
            }
        }
        list += "'" + std::string(missing[i]) + "'";
    }
    return CallError::of(PyExc_TypeError, function_label(spec) + " missing " + std::to_string(missing.size()) +
                                              " required positional argument" + (missing.size() == 1 ? "" : "s") +
                                              ": " + list);
}

// Index of the parameter named exactly `name`, or parameter_count.
std::size_t find_parameter(const ArgumentSpec& spec, std::string_view name) {
    for (std::size_t i = 0; i < spec.parameter_count; ++i) {
        if (name == spec.parameters[i]) return i;
    }
    return spec.parameter_count;
}

}  // namespace

CallResult<ArgumentSlots> parse_call_arguments(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs) {
    ArgumentSlots slots{};
    const Py_ssize_t given_signed = PyTuple_Size(args);
    if (given_signed < 0) return raise_later(CallError::fetch());
    const auto given = static_cast<std::size_t>(given_signed);
    for (std::size_t i = 0; i < given && i < spec.parameter_count; ++i) {
        slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    if (given > spec.parameter_count) return raise_later(too_many_positional(spec, given));

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            std::optional<std::string> text = utf8_text(key);
            if (!text) return raise_later(CallError::fetch());
            const std::string_view name(*text);
            const std::size_t index = find_parameter(spec, name);
            if (index == spec.parameter_count) {
                return raise_later(CallError::of(
                    PyExc_TypeError,
                    function_label(spec) + " got an unexpected keyword argument '" + std::string(name) + "'"));
            }
            if (slots[index] != nullptr) {
                return raise_later(CallError::of(
                    PyExc_TypeError,
                    function_label(spec) + " got multiple values for argument '" + std::string(name) + "'"));
            }
            slots[index] = value;
        }
    }

    if (given < spec.required) {
        for (std::size_t i = 0; i < spec.required; ++i) {
            if (slots[i] == nullptr) return raise_later(missing_required(spec, slots));
        }
    }
    return slots;
}

CallError with_argument_note(CallError error, const char* name) {
    const std::string note = std::string("while processing '") + name + "'";
    error.add_note(note.c_str());
    return error;
}

CallResult<double> convert_double(PyObject* object, const char* name) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return raise_later(with_argument_note(CallError::fetch(), name));
    }
    return value;
}

CallResult<std::uint64_t> convert_u64(PyObject* object, const char* name) {
    PyRef index;
    PyObject* integer = object;
    if (!PyLong_Check(object)) {
        index = PyRef::steal(PyNumber_Index(object));
        if (!index) return raise_later(with_argument_note(CallError::fetch(), name));
        integer = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return raise_later(with_argument_note(CallError::fetch(), name));
    }
    return static_cast<std::uint64_t>(value);
}

}  // namespace ventrola::py
