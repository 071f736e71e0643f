#include "module/py_ref.hpp"

#include "fault.hpp"

namespace ventrola::py {

PyRef checked(PyObject* new_reference) {
    if (new_reference == nullptr) {
        if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(nullptr);
        raise_fault("PyObject pointer is null");
    }
    return PyRef::steal(new_reference);
}

}  // namespace ventrola::py
