// Batches of trials on the process-wide worker pool: the body of `simulate`
// and of every evaluation of the simulation objective.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "error.hpp"
#include "model/parameters.hpp"
#include "simulation/trial_outcome.hpp"
#include "simulation/trial_storage.hpp"

namespace ventrola {

// Runs a piece of work with the interpreter lock released. The simulation code
// knows nothing of Python; the caller supplies how the lock is let go.
using RunUnlocked = std::function<void(const std::function<void()>&)>;

// All n outcomes in trial order, timed-out trials included. Validates nothing.
// Fails with MemoryError when the outcome sequence cannot be reserved.
Result<std::vector<TrialOutcome>> simulate_outcomes(const DiffusionParams& params, std::uint64_t n, std::uint64_t seed);

// Validates the parameters (ValueError), then simulates with the lock released
// and keeps the trials that did not time out.
Result<SimulatedData> simulate_batch(double drift, double boundary, double start, double t0, std::uint64_t n,
                                     std::uint64_t seed, double noise_sd, const RunUnlocked& run_unlocked);

}  // namespace ventrola
