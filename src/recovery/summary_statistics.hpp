// Accuracy and the mean and sample variance of the upper-boundary response
// times of a trial set; timed-out trials are left out of everything.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "simulation/trial_outcome.hpp"

namespace ventrola {

struct SummaryStatistics {
    double accuracy;  // n_upper / n_valid
    double mean_rt;   // of the valid upper-boundary trials
    double var_rt;    // sample variance (divisor n_upper - 1) of the same times
    std::uint64_t n_valid;
    std::uint64_t n_upper;
};

struct TrialCounts {
    std::uint64_t n_valid;  // trials that did not time out
    std::uint64_t n_upper;  // of those, the ones that hit the upper boundary
};

TrialCounts count_trials(std::span<const TrialOutcome> trials);

// None unless at least one trial is valid and at least two valid trials hit
// the upper boundary. Sums run sequentially in record order from -0.0 and the
// variance is two-pass, so the result is reproducible to the bit.
std::optional<SummaryStatistics> compute_summary(std::span<const TrialOutcome> trials);

}  // namespace ventrola
