// Batches of the seven-parameter model on the process-wide worker pool: the
// body of `simulate_ddm`.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "simulation/batch_simulation.hpp"
#include "simulation/full_model.hpp"
#include "simulation/trial_storage.hpp"

namespace ventrola {

// The method of that name ("exact" or "euler"), or ValueError.
Result<SimulationMethod> parse_simulation_method(std::string_view name);

// ValueError naming the first parameter or control out of its range, NaN
// included; nothing when all are usable.
std::optional<Error> check_full_model(const FullModelParams& model, const SimulationControls& controls);

// All n outcomes in trial order, timed-out trials included. Validates nothing.
// Fails with MemoryError when the outcome sequence cannot be reserved.
Result<std::vector<TrialOutcome>> simulate_full_model_outcomes(const FullModelParams& model,
                                                               const SimulationControls& controls, std::uint64_t n,
                                                               std::uint64_t seed);

// Validates (ValueError), then simulates with the lock released and keeps the
// trials whose decision time did not pass max_time.
Result<SimulatedData> simulate_full_model_batch(const FullModelParams& model, const SimulationControls& controls,
                                                std::uint64_t n, std::uint64_t seed, const RunUnlocked& run_unlocked);

}  // namespace ventrola
