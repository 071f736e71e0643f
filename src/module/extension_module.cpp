#include "module/extension_module.hpp"

#include "module/fault_boundary.hpp"
#include "module/module_attributes.hpp"

namespace ventrola::py {

int exec_module(PyObject* module, std::span<PyMethodDef> entries, ExecStep first) noexcept {
    return run_in_boundary(-1, [&] {
        if (first != nullptr && first(module) < 0) return -1;
        for (PyMethodDef& definition : entries) {
            if (add_function(module, &definition) < 0) return -1;
        }
        return 0;
    });
}

ModuleDefinition::ModuleDefinition(const char* name, const char* doc, ExecStep exec) noexcept
    : definition_{
          PyModuleDef_HEAD_INIT,
          name,
          doc,
          0,  // no per-module state
          nullptr,
          slots_,
          nullptr,
          nullptr,
          nullptr,
      } {
    slots_[0].value = reinterpret_cast<void*>(exec);
}

}  // namespace ventrola::py
