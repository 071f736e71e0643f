// The module's two exception classes, made once per process on first need.
#pragma once

#include "module/py_ref.hpp"

namespace ventrola::py {

// ventrola.VentrolaError, a ValueError subclass for failed recoveries. Faults
// when the class cannot be made.
PyObject* ventrola_error_type();

// Makes `type` the class that ventrola_error_type() returns. Another extension
// that links this layer (the test module) adopts _ventrola's class, so that one
// class serves the whole process.
void adopt_ventrola_error_type(PyObject* type);

// The class of internal faults; derives from BaseException so that ordinary
// `except Exception` handlers let it through. NULL when it cannot be made.
PyObject* panic_exception_type();

// Raises PanicException with `message` (a generic text when empty). A failure
// while doing so ends the process: there is no sound way left to report it.
void raise_panic(const char* message) noexcept;

}  // namespace ventrola::py
