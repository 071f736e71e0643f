// The three functions of _ventrola, as the interpreter calls them
// (METH_VARARGS | METH_KEYWORDS | METH_STATIC: NULL self, tuple, dict or NULL).
#pragma once

#include "module/py_ref.hpp"

namespace ventrola::py {

PyObject* simulate_entry(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fit_ez_entry(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fit_sim_entry(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace ventrola::py
