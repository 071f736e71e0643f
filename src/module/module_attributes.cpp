#include "module/module_attributes.hpp"

#include <optional>
#include <string>

#include "fault.hpp"
#include "module/text.hpp"

namespace ventrola::py {

int add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return -1;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text) return -1;
    if (PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        raise_fault(std::string("could not append __name__ to __all__: ") + name);
    }
    return PyObject_SetAttr(module, text.get(), value);
}

int add_function(PyObject* module, PyMethodDef* definition) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyRef function = PyRef::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) return -1;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be a str");
        return -1;
    }
    std::optional<std::string> text = utf8_text(name.get());
    if (!text) return -1;
    return add_to_module(module, text->c_str(), function.get());
}

}  // namespace ventrola::py
