#include "module/type_name.hpp"

#include <optional>

#include "module/text.hpp"

namespace ventrola::py {

std::string type_qualname(PyObject* object) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    std::optional<std::string> text = name && PyUnicode_Check(name.get()) ? utf8_text(name.get()) : std::nullopt;
    if (!text) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return *text;
}

CallError not_an_instance(PyObject* object, const char* expected) {
    return CallError::of(PyExc_TypeError,
                         "'" + type_qualname(object) + "' object is not an instance of '" + expected + "'");
}

}  // namespace ventrola::py
