// _ventrola: simulate and fit the drift-diffusion model.
//
//   simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0) -> (choices, rts, n_excluded)
//   fit_ez(choices, rts) -> dict
//   fit_sim(choices, rts, initial_guess=None, max_iters=200) -> dict
//   VentrolaError: ValueError subclass raised when a recovery fails
//   __version__, __all__
//
// Multi-phase initialisation, no per-module state: the exec slot adds the
// names; everything process-wide is made on first need.
#include "module/entries.hpp"
#include "module/exceptions.hpp"
#include "module/extension_module.hpp"
#include "module/module_attributes.hpp"

namespace ventrola::py {
namespace {

constexpr const char* VERSION = "0.1.0";

// Lives as long as the process: the function objects point at these records.
PyMethodDef entry_definitions[] = {
    {"simulate", as_method<simulate_entry>(), ENTRY_FLAGS,
     "simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0)\n"
     "--\n"
     "\n"
     "simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0)\n"
     "\n"
     "Simulate `n` drift-diffusion trials. Returns `(choices, rts, n_excluded)`:\n"
     "\n"
     "* `choices` \u2014 `np.ndarray` of `bool`, `True` if the trial hit the upper\n"
     "  boundary;\n"
     "* `rts` \u2014 `np.ndarray` of `float64`, response times in seconds;\n"
     "* `n_excluded` \u2014 how many trials hit the 10 s simulation cap and were\n"
     "  dropped from both arrays (their choice/RT are unreliable).\n"
     "\n"
     "The two arrays are built in one pass over the filtered trials \u2014 no\n"
     "intermediate Python objects."},
    {"fit_ez", as_method<fit_ez_entry>(), ENTRY_FLAGS,
     "fit_ez(choices, rts)\n"
     "--\n"
     "\n"
     "fit_ez(choices, rts) -> dict\n"
     "\n"
     "Recover parameters from `(choices, rts)` arrays with closed-form\n"
     "EZ-diffusion. Raises `VentrolaError` (a `ValueError` subclass) with a\n"
     "specific message when the data cannot be fitted."},
    {"fit_sim", as_method<fit_sim_entry>(), ENTRY_FLAGS,
     "fit_sim(choices, rts, initial_guess=None, max_iters=200)\n"
     "--\n"
     "\n"
     "fit_sim(choices, rts, initial_guess=None, max_iters=200) -> dict\n"
     "\n"
     "Recover parameters by simulation-based Nelder-Mead fitting. `initial_guess`\n"
     "is a params dict (e.g. the return value of `fit_ez`); when omitted the fit\n"
     "warm-starts from the EZ estimate. The result dict adds `iterations` and\n"
     "`final_cost` to the usual params keys. Raises `VentrolaError` on failure."},
};

// __version__ and VentrolaError, ahead of the functions.
int add_attributes(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "module_exec expects a module object");
        return -1;
    }
    PyRef version = PyRef::steal(PyUnicode_FromString(VERSION));
    if (!version || add_to_module(module, "__version__", version.get()) < 0) return -1;
    return add_to_module(module, "VentrolaError", ventrola_error_type());
}

int module_exec(PyObject* module) { return exec_module(module, entry_definitions, add_attributes); }

ModuleDefinition module_definition("_ventrola", "", module_exec);

}  // namespace
}  // namespace ventrola::py

extern "C" PyMODINIT_FUNC PyInit__ventrola() { return ventrola::py::module_definition.init(); }
