// Adding names to a module in its exec slot, shared by every extension.
#pragma once

#include "module/py_ref.hpp"

namespace ventrola::py {

// Appends `name` to the module's __all__ (made on first use) and sets the
// attribute. Returns 0, or -1 with an exception set.
int add_to_module(PyObject* module, const char* name, PyObject* value);

// Makes a function of `definition` bound to the module and adds it under its
// own name. The definition must outlive the process.
int add_function(PyObject* module, PyMethodDef* definition);

}  // namespace ventrola::py
