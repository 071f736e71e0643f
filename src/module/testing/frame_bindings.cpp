// Test hooks for the call frame and the fault boundary.
#include "fault.hpp"
#include "module/call_frame.hpp"
#include "module/fault_boundary.hpp"
#include "module/testing/bindings.hpp"

namespace ventrola::testing {
namespace {

// Raises an internal fault with the given text, as a broken invariant would.
PyObject* raise_internal_fault(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const char* message = nullptr;
        if (!PyArg_ParseTuple(args, "s", &message)) return nullptr;
        raise_fault(message);
    });
}

// A CPython call that must not fail, failing: the null-pointer fault path.
PyObject* fail_checked_call(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* {
        py::PyRef missing = py::checked(PyObject_GetAttrString(Py_None, "no_such_attribute"));
        return missing.release();
    });
}

// Something other than an internal fault thrown by mistake.
PyObject* throw_foreign_exception(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* { throw 42; });
}

PyMethodDef frame_methods[] = {
    {"raise_internal_fault", raise_internal_fault, METH_VARARGS, "Raise an internal fault with a message."},
    {"fail_checked_call", fail_checked_call, METH_NOARGS, "Fail a CPython call that must not fail."},
    {"throw_foreign_exception", throw_foreign_exception, METH_NOARGS, "Throw a non-fault C++ exception."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

int add_frame_functions(PyObject* module) { return PyModule_AddFunctions(module, frame_methods); }

}  // namespace ventrola::testing
