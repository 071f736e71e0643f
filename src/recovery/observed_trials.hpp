// Pairing of the caller's choice and response-time arrays into trial records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "error.hpp"
#include "simulation/trial_outcome.hpp"

namespace ventrola {

// One record per element, choice i with rt i, none timed out. Any non-zero
// choice byte counts as true. Fails with ValueError when the lengths differ
// and with MemoryError when the records cannot be reserved.
Result<std::vector<TrialOutcome>> pair_observed_trials(const std::uint8_t* choices, std::size_t n_choices,
                                                       const double* rts, std::size_t n_rts);

}  // namespace ventrola
