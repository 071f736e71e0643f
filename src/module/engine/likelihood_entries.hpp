// The likelihood functions of ventrola._engine. Each takes ten one-dimensional
// contiguous arrays in this order: choices (bool), rts, and the eight
// parameters of the model (float64), each of length 1 or of the trial count.
#pragma once

#include "module/py_ref.hpp"

namespace ventrola::py {

PyObject* wiener_logpdf_entry(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* wiener_pdf_entry(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* wiener_cdf_entry(PyObject* self, PyObject* args, PyObject* kwargs);
// Returns (logpdf, (seven arrays of partial derivatives)).
PyObject* wiener_logpdf_grad_entry(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace ventrola::py
