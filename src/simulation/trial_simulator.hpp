// One drift-diffusion trial: Euler-Maruyama steps of 1 ms between absorbing
// boundaries at 0 and boundary_separation, capped at 10 s of simulated time.
#pragma once

#include <cstdint>

#include "model/parameters.hpp"
#include "simulation/trial_outcome.hpp"

namespace ventrola {

// The outcome of trial `index` for `seed`: a pure function of its arguments.
TrialOutcome simulate_trial(const DiffusionParams& params, std::uint64_t seed, std::uint64_t index);

// Trials first .. last-1, outcome of trial i written to out[i - first]. Picks the
// fastest compiled copy of the trial loop for this processor once per call.
void simulate_trial_range(const DiffusionParams& params, std::uint64_t seed, std::uint64_t first, std::uint64_t last,
                          TrialOutcome* out);

}  // namespace ventrola
