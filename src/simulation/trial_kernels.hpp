// The compiled copies of the trial loop, one per instruction set, and the
// choice among them for this processor.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "model/parameters.hpp"
#include "simulation/trial_outcome.hpp"

namespace ventrola {

// `count` trials of `seed` from index `first` on, outcome of trial first + i
// written to out[i].
using TrialRunFunction = void (*)(const DiffusionParams& params, std::uint64_t seed, std::uint64_t first,
                                  std::uint64_t count, TrialOutcome* out);

struct TrialKernel {
    std::string_view name;
    TrialRunFunction run;
};

// The copies this processor can run, the baseline first and the fastest last.
// All of them give bit-identical outcomes.
std::span<const TrialKernel* const> available_trial_kernels() noexcept;

// The fastest of them, chosen on the first call.
const TrialKernel& best_trial_kernel() noexcept;

}  // namespace ventrola
