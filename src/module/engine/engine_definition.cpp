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
//   general_likelihood(quantity, model, choices, rts, parameters, wanted=None): a
//       generalized model's likelihood (see generalized_entries.hpp)
//   general_simulate(model, n, seed, parameters, dt, max_time): its trials
//
// Built on the same shared layer as _ventrola: one worker pool and one set of
// exception classes serve both. Multi-phase initialisation, no module state.
#include "module/engine/generalized_entries.hpp"
#include "module/engine/likelihood_entries.hpp"
#include "module/engine/simulation_entries.hpp"
#include "module/extension_module.hpp"

namespace ventrola::py {
namespace {

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
    {"general_likelihood", as_method<general_likelihood_entry>(), ENTRY_FLAGS,
     "general_likelihood(quantity, model, choices, rts, parameters, wanted=None)\n--\n\n"
     "Log-density, density, distribution function or log-density with partial derivatives of a generalized "
     "model's trials (with 'logpdf_grad', those of the parameters ``wanted`` marks; NaN for the others)."},
    {"general_simulate", as_method<general_simulate_entry>(), ENTRY_FLAGS,
     "general_simulate(model, n, seed, parameters, dt, max_time)\n--\n\n"
     "Trials of a generalized model by steps of dt: (choices, rts, n_excluded)."},
    {"simulate_ddm", as_method<simulate_ddm_entry>(), ENTRY_FLAGS,
     "simulate_ddm(drift_rate, boundary_separation, starting_point, non_decision_time, n, seed, drift_rate_sd, "
     "starting_point_range, non_decision_time_range, noise_sd, method, dt, max_time)\n--\n\n"
     "Trials of the seven-parameter model, exact or by Euler steps: (choices, rts, n_excluded)."},
};

#undef VENTROLA_LIKELIHOOD_SIGNATURE

int engine_exec(PyObject* module) { return exec_module(module, entry_definitions); }

ModuleDefinition engine_definition("ventrola._engine",
                                   "Compiled likelihood and simulation functions behind the ventrola package.",
                                   engine_exec);

}  // namespace
}  // namespace ventrola::py

extern "C" PyMODINIT_FUNC PyInit__engine() { return ventrola::py::engine_definition.init(); }
