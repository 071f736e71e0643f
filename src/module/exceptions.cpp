#include "module/exceptions.hpp"

#include <string>

#include "fault.hpp"
#include "module/pending_error.hpp"

namespace ventrola::py {
namespace {

constexpr const char* GENERIC_FAULT_MESSAGE = "internal fault in the ventrola extension";

constexpr const char* PANIC_DOC =
    "Raised when the extension's native code meets an internal fault (a broken\n"
    "invariant of the extension itself, never bad input). Like SystemExit, it\n"
    "derives from BaseException rather than Exception, so that it normally\n"
    "propagates to the top of the stack and ends the interpreter.";

// Made with the interpreter lock held, which serialises the first use.
PyObject* ventrola_error = nullptr;

}  // namespace

void adopt_ventrola_error_type(PyObject* type) {
    Py_INCREF(type);
    Py_XDECREF(ventrola_error);
    ventrola_error = type;
}

PyObject* ventrola_error_type() {
    PyObject*& type = ventrola_error;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("ventrola.VentrolaError",
                                         "Raised when parameter recovery fails on bad or degenerate input data.",
                                         PyExc_ValueError, nullptr);
        if (type == nullptr) {
            raise_fault("Failed to initialize new exception type.: " + take_pending_error_text());
        }
    }
    return type;
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("ventrola.PanicException", PANIC_DOC, PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) Py_FatalError("uncaught panic at ffi boundary");
    PyRef text =
        PyRef::steal(PyUnicode_FromString(message != nullptr && *message != '\0' ? message : GENERIC_FAULT_MESSAGE));
    if (!text) Py_FatalError("uncaught panic at ffi boundary");
    PyErr_SetObject(type, text.get());
}

}  // namespace ventrola::py
