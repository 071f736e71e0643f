// ventrola._engine: the compiled functions of ventrola beyond _ventrola's,
// wrapped by the `ventrola` package, which gives them their defaults,
// broadcasting and documentation.
//
//   wiener_logpdf(choices, rts, drift_rate, boundary_separation, starting_point,
//                 non_decision_time, drift_rate_sd, starting_point_range,
//                 non_decision_time_range, noise_sd) -> ndarray
//   wiener_pdf(...), wiener_cdf(...) -> ndarray
//   wiener_logpdf_grad(...) -> (ndarray, tuple of seven ndarrays)
//   simulate_ddm(drift_rate, boundary_separation, starting_point,
//                non_decision_time, n, seed, drift_rate_sd, starting_point_range,
//                non_decision_time_range, noise_sd, method, dt, max_time)
//       -> (choices, rts, n_excluded)
//
// Built on the same shared layer as _ventrola: one worker pool and one set of
// exception classes serve both. Multi-phase initialisation, no module state.
#include "module/engine/likelihood_entries.hpp"
#include "module/engine/simulation_entries.hpp"
#include "module/fault_boundary.hpp"
#include "module/module_attributes.hpp"

namespace ventrola::py {
namespace {

constexpr int ENTRY_FLAGS = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

template <PyObject* (*Entry)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

#define VENTROLA_LIKELIHOOD_SIGNATURE                                                                    \
    "(choices, rts, drift_rate, boundary_separation, starting_point, non_decision_time, drift_rate_sd, " \
    "starting_point_range, non_decision_time_range, noise_sd)\n--\n\n"

// Lives as long as the process: the function objects point at these records.
PyMethodDef entry_definitions[] = {
    {"wiener_logpdf", as_method<wiener_logpdf_entry>(), ENTRY_FLAGS,
     "wiener_logpdf" VENTROLA_LIKELIHOOD_SIGNATURE "Log-density of each trial's choice and response time."},
    {"wiener_pdf", as_method<wiener_pdf_entry>(), ENTRY_FLAGS,
     "wiener_pdf" VENTROLA_LIKELIHOOD_SIGNATURE "Density of each trial's choice and response time."},
    {"wiener_cdf", as_method<wiener_cdf_entry>(), ENTRY_FLAGS,
     "wiener_cdf" VENTROLA_LIKELIHOOD_SIGNATURE "P(response = choice and RT <= rt) of each trial."},
    {"wiener_logpdf_grad", as_method<wiener_logpdf_grad_entry>(), ENTRY_FLAGS,
     "wiener_logpdf_grad" VENTROLA_LIKELIHOOD_SIGNATURE
     "Log-densities and their partial derivatives with respect to the seven parameters."},
    {"simulate_ddm", as_method<simulate_ddm_entry>(), ENTRY_FLAGS,
     "simulate_ddm(drift_rate, boundary_separation, starting_point, non_decision_time, n, seed, drift_rate_sd, "
     "starting_point_range, non_decision_time_range, noise_sd, method, dt, max_time)\n--\n\n"
     "Trials of the seven-parameter model, exact or by Euler steps: (choices, rts, n_excluded)."},
};

#undef VENTROLA_LIKELIHOOD_SIGNATURE

int engine_exec(PyObject* module) {
    return run_in_boundary(-1, [&] {
        for (PyMethodDef& definition : entry_definitions) {
            if (add_function(module, &definition) < 0) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(engine_exec)},
    // sentinel
    {0, nullptr},
};

PyModuleDef engine_definition = {
    PyModuleDef_HEAD_INIT,
    "ventrola._engine",
    "Compiled likelihood and simulation functions behind the ventrola package.",
    0,  // no per-module state
    nullptr,
    engine_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace ventrola::py

extern "C" PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&ventrola::py::engine_definition); }
