// _ventrola_testing: a private module, built only for the test suite, that
// exposes the extension's internal kernels to pytest.
#include "module/exceptions.hpp"
#include "module/extension_module.hpp"
#include "module/testing/bindings.hpp"

namespace ventrola::testing {
namespace {

// The hooks come in groups, each with its own table; none is listed in __all__.
int add_hooks(PyObject* module) {
    // Errors raised here must be the very class users catch.
    py::PyRef extension = py::PyRef::steal(PyImport_ImportModule("_ventrola"));
    if (!extension) return -1;
    py::PyRef error = py::PyRef::steal(PyObject_GetAttrString(extension.get(), "VentrolaError"));
    if (!error) return -1;
    py::adopt_ventrola_error_type(error.get());
    for (auto add : {add_frame_functions, add_module_functions, add_stream_functions, add_trial_functions,
                     add_pool_functions, add_recovery_functions, add_variability_functions, add_ddm_functions,
                     add_kernel_functions}) {
        if (add(module) < 0) return -1;
    }
    return 0;
}

int testing_exec(PyObject* module) { return py::exec_module(module, {}, add_hooks); }

py::ModuleDefinition testing_definition("_ventrola_testing",
                                        "Internal kernels of _ventrola, exposed for its test suite only.",
                                        testing_exec);

}  // namespace
}  // namespace ventrola::testing

extern "C" PyMODINIT_FUNC PyInit__ventrola_testing() { return ventrola::testing::testing_definition.init(); }
