// The seven-parameter model as the full-model simulation takes it: the five
// parameters of one trial and the across-trial ranges around them, and how
// its trials are run.
#pragma once

#include "simulation/model.hpp"

namespace ventrola {

struct FullModelParams {
    DiffusionParams trial;           // v, a, w, t0, s; the centres of the ranges below
    double drift_rate_sd;            // sv: per-trial drift ~ N(v, sv^2)
    double starting_point_range;     // sz: per-trial start ~ U(w - sz/2, w + sz/2)
    double non_decision_time_range;  // st0: per-trial t0 ~ U(t0, t0 + st0)
};

enum class SimulationMethod {
    Exact,  // first-passage time and boundary from their exact joint law
    Euler,  // Euler-Maruyama steps of dt, as `simulate` takes them
};

struct SimulationControls {
    SimulationMethod method;
    double dt;        // Euler step, seconds
    double max_time;  // longest decision time kept, seconds (may be +inf)
};

}  // namespace ventrola
