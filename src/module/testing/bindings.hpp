// Each file of the private test module adds its group of functions to the
// module; each returns 0, or -1 with an exception set.
#pragma once

#include "module/py_ref.hpp"

namespace ventrola::testing {

int add_frame_functions(PyObject* module);        // fault path, call frame helpers
int add_module_functions(PyObject* module);       // arrays and parameter dictionaries
int add_stream_functions(PyObject* module);       // random stream, ChaCha variants, normal variates
int add_trial_functions(PyObject* module);        // single-trial simulator
int add_pool_functions(PyObject* module);         // worker pool and batch simulation
int add_recovery_functions(PyObject* module);     // summary, EZ, objective, Nelder-Mead, fit
int add_variability_functions(PyObject* module);  // one-trial likelihood and its quadrature rules
int add_ddm_functions(PyObject* module);          // full model: first blocks, exit times, exact steps
int add_kernel_functions(PyObject* module);       // the likelihood's compiled kernel copies

}  // namespace ventrola::testing
