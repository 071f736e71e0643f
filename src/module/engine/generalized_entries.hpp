// The generalized models' likelihood function of ventrola._engine:
//
//   general_likelihood(quantity, model, choices, rts, parameters, wanted=None)
//
// quantity: "logpdf", "pdf", "cdf" or "logpdf_grad"; model: the tuple
// (bound, drift, leak, bound_table, bound_step, drift_table, drift_step) with
// the family names as strings, leak a bool, and the tables None or
// one-dimensional float64 arrays of a user's function on an even grid;
// choices (bool) and rts one-dimensional arrays; parameters a tuple of the
// fifteen parameter columns in GeneralParameters' order, each of length 1 or
// of the trial count. Returns an array, or for "logpdf_grad" (logpdf, tuple of
// fifteen arrays of partial derivatives); wanted, None or fifteen truths in
// the same order, picks the partials computed (the others are NaN).
#pragma once

#include "module/py_ref.hpp"

namespace ventrola::py {

PyObject* general_likelihood_entry(PyObject* self, PyObject* args, PyObject* kwargs);

// general_simulate(model, n, seed, parameters, dt, max_time) -> (choices, rts, n_excluded):
// model as above, parameters a tuple of the fifteen values.
PyObject* general_simulate_entry(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace ventrola::py
