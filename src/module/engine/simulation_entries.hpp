// The simulation function of ventrola._engine:
//   simulate_ddm(drift_rate, boundary_separation, starting_point,
//                non_decision_time, n, seed, drift_rate_sd,
//                starting_point_range, non_decision_time_range, noise_sd,
//                method, dt, max_time) -> (choices, rts, n_excluded)
// every argument required (the package's wrapper gives the defaults).
#pragma once

#include "module/py_ref.hpp"

namespace ventrola::py {

PyObject* simulate_ddm_entry(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace ventrola::py
