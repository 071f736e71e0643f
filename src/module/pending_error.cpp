#include "module/pending_error.hpp"

#include <optional>

#include "module/text.hpp"

namespace ventrola::py {
namespace {

std::optional<std::string> attribute_text(PyObject* object, const char* name) {
    PyRef attribute = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!attribute || !PyUnicode_Check(attribute.get())) return std::nullopt;
    return utf8_text(attribute.get());
}

}  // namespace

std::string take_pending_error_text() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value), owned_traceback = PyRef::steal(traceback);
    if (!owned_type) return "unknown error";

    std::string text = attribute_text(owned_type.get(), "__name__").value_or("<unknown exception type>");
    PyErr_Clear();
    if (owned_value) {
        PyRef shown = PyRef::steal(PyObject_Str(owned_value.get()));
        std::optional<std::string> detail = shown ? utf8_text(shown.get()) : std::nullopt;
        PyErr_Clear();
        text += ": " + detail.value_or("<unprintable>");
    }
    return text;
}

}  // namespace ventrola::py
