// Each file of the private test module adds its group of functions to the
// module; each returns 0, or -1 with an exception set.
#pragma once

#include <span>
#include <string_view>

#include "module/py_ref.hpp"

namespace ventrola::testing {

// Conversions the hooks share; each returns a new reference, or NULL with an exception set.
PyObject* float_tuple(std::span<const double> values);

// The names of compiled copies (anything with a `name` string view), in their order.
template <class Copies>
PyObject* name_tuple(const Copies& copies) {
    py::PyRef names = py::checked(PyTuple_New(static_cast<Py_ssize_t>(copies.size())));
    for (std::size_t i = 0; i < copies.size(); ++i) {
        const std::string_view name = copies[i]->name;
        PyObject* item = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (item == nullptr) return nullptr;
        PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return names.release();
}

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
