// Memory for a batch of trials: the outcome of every trial while it runs,
// then the choices and response times of those that ended in time. Shared by
// `simulate` and the full-model simulation, which needs no more per trial.
#pragma once

#include <cstdint>
#include <vector>

#include "error.hpp"
#include "parallel/owned_buffer.hpp"
#include "simulation/trial_outcome.hpp"

namespace ventrola {

// The trials that did not time out, in ascending trial index.
struct SimulatedData {
    OwnedBuffer<bool> choices;
    OwnedBuffer<double> rts;
    std::uint64_t n_excluded = 0;
};

// n value-initialised outcomes, or MemoryError when they cannot be reserved
// (or could never fit in the machine's memory together with the kept trials).
Result<std::vector<TrialOutcome>> reserve_outcomes(std::uint64_t n);

// Empty columns with room for n trials, or MemoryError.
Result<SimulatedData> reserve_trial_columns(std::uint64_t n);

// Columns of n trials filled in place, a NaN response time marking a trial past
// the cap: closes the gaps (keeping trial order) and sets the lengths and the
// count of trials left out, n_excluded, which the caller has counted.
void close_timed_out_gaps(SimulatedData& data, std::uint64_t n);

// The trials of `outcomes` that did not time out, or MemoryError.
Result<SimulatedData> keep_finished_trials(const std::vector<TrialOutcome>& outcomes);

}  // namespace ventrola
