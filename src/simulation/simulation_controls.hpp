// How the full-model simulation runs its trials: the method, the Euler step
// and the cap on the decision time. The model it simulates is
// FullModelParams (model/parameters.hpp).
#pragma once

#include "model/parameters.hpp"

namespace ventrola {

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
