// The error value of the Python-facing layer: either an exception class with a
// message, raised only at the end of the call, or an exception the interpreter
// has already raised, held until then.
#pragma once

#include <expected>
#include <string>
#include <utility>

#include "error.hpp"
#include "module/py_ref.hpp"

namespace ventrola::py {

class CallError {
public:
    // An error to raise as `type(message)`; `type` is a process-lifetime class.
    static CallError of(PyObject* type, std::string message);
    // Takes the exception that is pending in the interpreter.
    static CallError fetch();
    // A computing error value, raised as its Python class.
    static CallError from(const Error& error);

    // Sets the Python exception; the caller then returns NULL or -1.
    void raise() &&;
    // Calls the pending exception's add_note with `note`, when there is one and
    // the interpreter supports notes; a failure of that call is dropped.
    void add_note(const char* note);

private:
    PyObject* type_ = nullptr;  // borrowed: exception classes live as long as the process
    std::string message_;
    PyRef pending_type_, pending_value_, pending_traceback_;
};

template <class T>
using CallResult = std::expected<T, CallError>;

inline std::unexpected<CallError> raise_later(CallError error) { return std::unexpected<CallError>(std::move(error)); }

// What an entry hands the interpreter: the result's new reference, or NULL
// with the error raised.
PyObject* finish(CallResult<PyRef> outcome);

}  // namespace ventrola::py
