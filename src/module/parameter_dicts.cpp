#include "module/parameter_dicts.hpp"

#include <array>
#include <string_view>
#include <utility>

#include "fault.hpp"
#include "module/text.hpp"
#include "module/type_name.hpp"

namespace ventrola::py {
namespace {

constexpr double DEFAULT_STARTING_POINT = 0.5;
constexpr double DEFAULT_NOISE_SD = 1.0;

// Sets dict[key] = float(value); false with the interpreter's error pending.
bool set_float_item(PyObject* dict, std::string_view key, double value) {
    PyRef key_object = PyRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    if (!key_object) return false;
    PyRef value_object = PyRef::steal(PyFloat_FromDouble(value));
    if (!value_object) return false;
    return PyDict_SetItem(dict, key_object.get(), value_object.get()) == 0;
}

bool has_type_flag(PyObject* object, unsigned long flag) { return (PyType_GetFlags(Py_TYPE(object)) & flag) != 0; }

}  // namespace

CallResult<PyRef> params_to_dict(const DiffusionParams& params) {
    const std::array<std::pair<std::string_view, double>, 5> entries{{
        {"drift_rate", params.drift_rate},
        {"boundary_separation", params.boundary_separation},
        {"starting_point", params.starting_point},
        {"non_decision_time", params.non_decision_time},
        {"noise_sd", params.noise_sd},
    }};
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return raise_later(CallError::fetch());
    for (const auto& [key, value] : entries) {
        if (!set_float_item(dict.get(), key, value)) return raise_later(CallError::fetch());
    }
    return dict;
}

CallResult<std::optional<GuessMap>> read_initial_guess(PyObject* object) {
    if (object == Py_None) return std::optional<GuessMap>();
    if (!has_type_flag(object, Py_TPFLAGS_DICT_SUBCLASS)) return raise_later(not_an_instance(object, "dict"));

    const Py_ssize_t size = PyDict_Size(object);
    GuessMap guess;
    guess.reserve(static_cast<std::size_t>(size));
    Py_ssize_t remaining = size;
    Py_ssize_t position = 0;
    for (;;) {
        // Converting a value can run Python code that changes the dictionary.
        if (PyDict_Size(object) != size) raise_fault("dictionary changed size during iteration");
        if (remaining == -1) raise_fault("dictionary keys changed during iteration");

        PyObject *borrowed_key = nullptr, *borrowed_value = nullptr;
        if (!PyDict_Next(object, &position, &borrowed_key, &borrowed_value))
            return std::optional<GuessMap>(std::move(guess));
        --remaining;
        // Held while in use: the dictionary may drop its own references meanwhile.
        PyRef key = PyRef::ref(borrowed_key);
        PyRef value = PyRef::ref(borrowed_value);

        if (!has_type_flag(key.get(), Py_TPFLAGS_UNICODE_SUBCLASS))
            return raise_later(not_an_instance(key.get(), "str"));
        std::optional<std::string> text = utf8_text(key.get());
        if (!text) return raise_later(CallError::fetch());
        const double number = PyFloat_AsDouble(value.get());
        if (number == -1.0 && PyErr_Occurred() != nullptr) return raise_later(CallError::fetch());
        guess.insert_or_assign(std::move(*text), number);
    }
}

CallResult<DiffusionParams> guess_to_params(const GuessMap& guess) {
    auto required = [&](const char* key) -> CallResult<double> {
        const auto found = guess.find(key);
        if (found == guess.end()) {
            return raise_later(CallError::of(PyExc_ValueError, std::string("initial_guess is missing '") + key + "'"));
        }
        return found->second;
    };
    auto optional = [&](const char* key, double fallback) {
        const auto found = guess.find(key);
        return found == guess.end() ? fallback : found->second;
    };

    DiffusionParams params{};
    auto drift_rate = required("drift_rate");
    if (!drift_rate) return raise_later(std::move(drift_rate.error()));
    params.drift_rate = *drift_rate;
    auto boundary_separation = required("boundary_separation");
    if (!boundary_separation) return raise_later(std::move(boundary_separation.error()));
    params.boundary_separation = *boundary_separation;
    params.starting_point = optional("starting_point", DEFAULT_STARTING_POINT);
    auto non_decision_time = required("non_decision_time");
    if (!non_decision_time) return raise_later(std::move(non_decision_time.error()));
    params.non_decision_time = *non_decision_time;
    params.noise_sd = optional("noise_sd", DEFAULT_NOISE_SD);
    return params;
}

}  // namespace ventrola::py
