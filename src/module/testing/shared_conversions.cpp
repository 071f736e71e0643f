// The conversions that several groups of test hooks share.
#include "module/testing/bindings.hpp"

namespace ventrola::testing {

PyObject* float_tuple(std::span<const double> values) {
    py::PyRef tuple = py::checked(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return tuple.release();
}

}  // namespace ventrola::testing
