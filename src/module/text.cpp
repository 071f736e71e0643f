#include "module/text.hpp"

namespace ventrola::py {

std::optional<std::string> utf8_text(PyObject* str) {
    PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(str));
    if (!encoded) return std::nullopt;
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &length) < 0) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace ventrola::py
