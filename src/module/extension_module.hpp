// What every extension of the package is made of: entries that the
// interpreter calls with (NULL self, args tuple, kwargs dict or NULL), added
// by name in the module's exec slot inside the fault boundary; multi-phase
// initialisation, no per-module state, the stable ABI.
#pragma once

#include <span>

#include "module/py_ref.hpp"

namespace ventrola::py {

inline constexpr int ENTRY_FLAGS = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

using EntryFunction = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);

// An entry as a method table stores it; ENTRY_FLAGS tell the interpreter the
// function's real type.
template <EntryFunction Entry>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

// A step of an exec slot: 0, or -1 with an exception set.
using ExecStep = int (*)(PyObject* module);

// The body of every exec slot, inside the fault boundary: `first` when given
// (attributes that come ahead of the functions in __all__, say), then each
// of `entries` added under its own name. The entries must outlive the
// process.
int exec_module(PyObject* module, std::span<PyMethodDef> entries, ExecStep first = nullptr) noexcept;

// A module's definition with its one exec slot. Lives as long as the
// process, as the interpreter requires; PyInit_<name> returns init().
class ModuleDefinition {
public:
    ModuleDefinition(const char* name, const char* doc, ExecStep exec) noexcept;
    ModuleDefinition(const ModuleDefinition&) = delete;
    ModuleDefinition& operator=(const ModuleDefinition&) = delete;
    ~ModuleDefinition() = default;

    PyObject* init() noexcept { return PyModuleDef_Init(&definition_); }

private:
    PyModuleDef_Slot slots_[2] = {
        {Py_mod_exec, nullptr},  // the exec function, set by the constructor
        // sentinel
        {0, nullptr},
    };
    PyModuleDef definition_;
};

}  // namespace ventrola::py
