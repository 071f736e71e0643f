// _ventrola_testing: a private module, built only for the test suite, that
// exposes the extension's internal kernels to pytest.
#include "module/fault_boundary.hpp"
#include "module/testing/bindings.hpp"

namespace {

int testing_exec(PyObject* module) {
    return ventrola::py::run_in_boundary(-1, [&] {
        using namespace ventrola::testing;
        // Errors raised here must be the very class users catch.
        ventrola::py::PyRef extension = ventrola::py::PyRef::steal(PyImport_ImportModule("_ventrola"));
        if (!extension) return -1;
        ventrola::py::PyRef error =
            ventrola::py::PyRef::steal(PyObject_GetAttrString(extension.get(), "VentrolaError"));
        if (!error) return -1;
        ventrola::py::adopt_ventrola_error_type(error.get());
        for (auto add : {add_frame_functions, add_module_functions, add_stream_functions, add_trial_functions,
                         add_pool_functions, add_recovery_functions, add_variability_functions, add_ddm_functions}) {
            if (add(module) < 0) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot testing_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(testing_exec)},
    // sentinel
    {0, nullptr},
};

PyModuleDef testing_definition = {
    PyModuleDef_HEAD_INIT,
    "_ventrola_testing",
    "Internal kernels of _ventrola, exposed for its test suite only.",
    0,
    nullptr,
    testing_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit__ventrola_testing() { return PyModuleDef_Init(&testing_definition); }
