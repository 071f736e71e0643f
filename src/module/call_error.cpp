#include "module/call_error.hpp"

#include "module/exceptions.hpp"

namespace ventrola::py {

CallError CallError::of(PyObject* type, std::string message) {
    CallError error;
    error.type_ = type;
    error.message_ = std::move(message);
    return error;
}

CallError CallError::fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    CallError error;
    error.pending_type_ = PyRef::steal(type);
    error.pending_value_ = PyRef::steal(value);
    error.pending_traceback_ = PyRef::steal(traceback);
    if (!error.pending_type_) {
        // Callers fetch only after a failure; an empty fetch is a broken invariant.
        error.type_ = PyExc_SystemError;
        error.message_ = "error return without exception set";
    }
    return error;
}

CallError CallError::from(const Error& error) {
    switch (error.kind) {
        case ErrorKind::ValueError: return of(PyExc_ValueError, error.message);
        case ErrorKind::VentrolaError: return of(ventrola_error_type(), error.message);
        case ErrorKind::MemoryError: return of(PyExc_MemoryError, error.message);
        // The signal handler's exception (KeyboardInterrupt for Ctrl-C) is pending.
        case ErrorKind::Interrupted: return fetch();
    }
    return of(PyExc_SystemError, error.message);
}

void CallError::raise() && {
    if (pending_type_) {
        PyErr_Restore(pending_type_.release(), pending_value_.release(), pending_traceback_.release());
        return;
    }
    PyRef text = checked(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    PyErr_SetObject(type_, text.get());
}

PyObject* finish(CallResult<PyRef> outcome) {
    if (!outcome) {
        std::move(outcome.error()).raise();
        return nullptr;
    }
    return outcome->release();
}

void CallError::add_note(const char* note) {
    if (!pending_value_) {
        // A note needs an exception instance: make it now, as raising would.
        std::move(*this).raise();
        *this = fetch();
    }
    PyRef method = PyRef::steal(PyObject_GetAttrString(pending_value_.get(), "add_note"));
    if (method) {
        PyRef result = PyRef::steal(PyObject_CallFunction(method.get(), "s", note));
    }
    // A missing add_note (before 3.11) or a failing one only loses the note.
    PyErr_Clear();
}

}  // namespace ventrola::py
