// Batches of the seven-parameter model on the process-wide worker pool: the
// body of `simulate_ddm`.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "error.hpp"
#include "simulation/batch_simulation.hpp"
#include "simulation/simulation_controls.hpp"
#include "simulation/trial_storage.hpp"

namespace ventrola {

// The method of that name ("exact" or "euler"), or ValueError.
Result<SimulationMethod> parse_simulation_method(std::string_view name);

// ValueError naming the first parameter or control out of its range, NaN
// included; nothing when all are usable.
std::optional<Error> check_full_model(const FullModelParams& model, const SimulationControls& controls);

// The n trials' choices and response times, those past the cap left out.
// Validates nothing. Fails with MemoryError when the columns cannot be
// reserved, and with Interrupted when the interruption stopped the batch.
Result<SimulatedData> simulate_full_model_trials(const FullModelParams& model, const SimulationControls& controls,
                                                 std::uint64_t n, std::uint64_t seed, Interruption& interruption);

// Validates (ValueError), then simulates with the lock released and keeps the
// trials whose decision time did not pass max_time.
Result<SimulatedData> simulate_full_model_batch(const FullModelParams& model, const SimulationControls& controls,
                                                std::uint64_t n, std::uint64_t seed, const RunUnlocked& run_unlocked);

}  // namespace ventrola
