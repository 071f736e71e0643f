// Batches of trials on the process-wide worker pool: the body of `simulate`
// and of every evaluation of the simulation objective.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "error.hpp"
#include "model/parameters.hpp"
#include "parallel/interruption.hpp"
#include "simulation/trial_outcome.hpp"
#include "simulation/trial_storage.hpp"

namespace ventrola {

// Runs a piece of work with the interpreter lock released, handing it the
// interruption to check between blocks. The simulation code knows nothing of
// Python; the caller supplies how the lock is let go and how a stop is asked.
using RunUnlocked = std::function<void(const std::function<void(Interruption&)>&)>;

// All n outcomes in trial order, timed-out trials included. Validates nothing.
// Fails with MemoryError when the outcome sequence cannot be reserved, and
// with Interrupted when the interruption stopped the batch.
Result<std::vector<TrialOutcome>> simulate_outcomes(const DiffusionParams& params, std::uint64_t n, std::uint64_t seed,
                                                    Interruption& interruption);

// The same for work too short to be worth stopping (an objective's batch).
Result<std::vector<TrialOutcome>> simulate_outcomes(const DiffusionParams& params, std::uint64_t n, std::uint64_t seed);

// Validates the parameters (ValueError), then simulates with the lock released
// and keeps the trials that did not time out.
Result<SimulatedData> simulate_batch(double drift, double boundary, double start, double t0, std::uint64_t n,
                                     std::uint64_t seed, double noise_sd, const RunUnlocked& run_unlocked);

}  // namespace ventrola
