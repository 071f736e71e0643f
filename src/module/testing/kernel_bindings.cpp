// Test hooks for the likelihood's compiled kernel copies: Clenshaw's
// recurrence over a time-table cell's series, run by a named copy.
#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>

#include "likelihood/clenshaw_kernels.hpp"
#include "module/fault_boundary.hpp"
#include "module/testing/bindings.hpp"

namespace ventrola::testing {
namespace {

using likelihood::ClenshawKernels;

const ClenshawKernels* clenshaw_copy(const char* name) {
    for (const ClenshawKernels* copy : likelihood::available_clenshaw_kernels()) {
        if (copy->name == name) return copy;
    }
    PyErr_Format(PyExc_ValueError, "Clenshaw copy '%s' is not available here", name);
    return nullptr;
}

// clenshaw_variants() -> names of the compiled copies, the fastest last
PyObject* clenshaw_variants_hook(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* { return name_tuple(likelihood::available_clenshaw_kernels()); });
}

// Fills `series` from the float64 bytes of its coefficients, degree-major.
template <std::size_t Rows, std::size_t Columns>
bool read_series(const char* bytes, Py_ssize_t size, double (&series)[Rows][Columns]) {
    if (size != static_cast<Py_ssize_t>(sizeof series)) {
        PyErr_Format(PyExc_ValueError, "expected %zu coefficients", Rows * Columns);
        return false;
    }
    std::memcpy(series, bytes, sizeof series);
    return true;
}

// One kernel over the series read from the bytes: every series at z.
template <std::size_t Rows, std::size_t Columns>
PyObject* run_kernel(void (*kernel)(const double (&)[Rows][Columns], double, double*), const char* bytes,
                     Py_ssize_t size, double z) {
    double series[Rows][Columns];
    if (!read_series(bytes, size, series)) return nullptr;
    double values[Columns];
    kernel(series, z, values);
    return float_tuple(values);
}

// clenshaw_series(variant, kind, coefficients, z) -> every series at z, kind
// "profile" (degree 16, 9 series) or "antiderivative" (degree 17, 10 series),
// the coefficients' float64 bytes degree-major
PyObject* clenshaw_series_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const char* name = nullptr;
        const char* kind = nullptr;
        const char* coefficients = nullptr;
        Py_ssize_t size = 0;
        double z = 0.0;
        if (!PyArg_ParseTuple(args, "ssy#d", &name, &kind, &coefficients, &size, &z)) return nullptr;
        const ClenshawKernels* copy = clenshaw_copy(name);
        if (copy == nullptr) return nullptr;
        if (std::string_view(kind) == "profile") return run_kernel(copy->profile, coefficients, size, z);
        if (std::string_view(kind) == "antiderivative") return run_kernel(copy->antiderivative, coefficients, size, z);
        PyErr_Format(PyExc_ValueError, "no Clenshaw kernel for '%s'", kind);
        return nullptr;
    });
}

PyMethodDef kernel_methods[] = {
    {"clenshaw_variants", clenshaw_variants_hook, METH_NOARGS, "Names of the Clenshaw copies, the fastest last."},
    {"clenshaw_series", clenshaw_series_hook, METH_VARARGS, "Every series of a time-table cell at z, by one copy."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

int add_kernel_functions(PyObject* module) { return PyModule_AddFunctions(module, kernel_methods); }

}  // namespace ventrola::testing
