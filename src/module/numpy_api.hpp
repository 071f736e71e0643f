// NumPy's C API as this module reaches it: the function table that NumPy
// publishes in the `_ARRAY_API` capsule of its multiarray module, loaded on
// the first array operation of the process (never at import), plus the few
// constants and the array-structure fields read directly.
//
// NumPy's own headers are not included: their macros assume the full C API,
// and the table indices, field layout and constants below are fixed by NumPy's
// ABI, identical in NumPy 1.x and 2.x.
#pragma once

#include <cstdint>

#include "module/py_ref.hpp"

namespace ventrola::py::numpy {

using npy_intp = std::intptr_t;

// Type numbers and flags, as NumPy defines them.
constexpr int NPY_BOOL = 0;
constexpr int NPY_DOUBLE = 12;
constexpr int NPY_ARRAY_C_CONTIGUOUS = 0x0001;
constexpr int NPY_ARRAY_F_CONTIGUOUS = 0x0002;
constexpr int NPY_ARRAY_ALIGNED = 0x0100;
constexpr int NPY_ARRAY_WRITEABLE = 0x0400;

// The leading fields of NumPy's array object (PyArrayObject_fields). Only
// read, and only through an object whose type is ndarray or a subtype.
struct ArrayFields {
    PyObject ob_base;
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline const ArrayFields& array_fields(PyObject* array) { return *reinterpret_cast<const ArrayFields*>(array); }

// The table entries the module calls, typed.
struct ArrayApi {
    PyTypeObject* array_type;
    // New reference to the built-in descriptor of a type number.
    PyObject* (*descr_from_type)(int type_number);
    unsigned char (*equiv_types)(PyObject* first, PyObject* second);
    // Steals the reference to `descr`, also on failure.
    PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd, const npy_intp* dims,
                                const npy_intp* strides, void* data, int flags, PyObject* obj);
    // Steals the reference to `base`, also on failure.
    int (*set_base_object)(PyObject* array, PyObject* base);
};

// The table, loaded on first use with the interpreter lock held. A failed
// loading is an internal fault ("Failed to access NumPy array API capsule: ...")
// and is not remembered: the next call tries again.
const ArrayApi& array_api();

// Whether the table has been loaded in this process.
bool array_api_loaded() noexcept;

}  // namespace ventrola::py::numpy
