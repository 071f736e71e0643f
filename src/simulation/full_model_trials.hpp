// Trials of the seven-parameter model, exact or by Euler steps. Trial i reads
// only stream i of the seed, so a trial's outcome depends on nothing but the
// model, the controls, the seed and i.
#pragma once

#include <cstdint>

#include "parallel/interruption.hpp"
#include "simulation/simulation_controls.hpp"

namespace ventrola {

// Trials first .. last-1: trial i's choice and response time written to
// choices[i - first] and rts[i - first], its response time NaN when its
// decision time passed the cap. Returns how many did. Validates nothing; the
// parameters must be in range. Checks `interruption` between blocks of trials
// and within long Euler trials, and returns early once it stops; what it
// wrote is then incomplete.
std::uint64_t simulate_full_model_range(const FullModelParams& model, const SimulationControls& controls,
                                        std::uint64_t seed, std::uint64_t first, std::uint64_t last, bool* choices,
                                        double* rts, Interruption& interruption);

}  // namespace ventrola
