// Trials of the seven-parameter model, exact or by Euler steps. Trial i reads
// only stream i of the seed, so a trial's outcome depends on nothing but the
// model, the controls, the seed and i.
#pragma once

#include <cstdint>

#include "simulation/full_model.hpp"

namespace ventrola {

// Trials first .. last-1, outcome of trial i written to out[i - first].
// Validates nothing; the parameters must be in range.
void simulate_full_model_range(const FullModelParams& model, const SimulationControls& controls, std::uint64_t seed,
                               std::uint64_t first, std::uint64_t last, TrialOutcome* out);

}  // namespace ventrola
