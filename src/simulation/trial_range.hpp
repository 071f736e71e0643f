// The loop shared by every batch of independent trials: the stream key is
// derived once per range, the first blocks of the trials' streams are computed
// eight trials at a time, and each trial draws its own parameters first.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "model/parameters.hpp"
#include "parallel/interruption.hpp"
#include "simulation/first_blocks.hpp"
#include "simulation/random_stream.hpp"
#include "simulation/trial_outcome.hpp"
#include "simulation/trial_stream.hpp"
#include "simulation/trial_variability.hpp"

namespace ventrola {

// Trials between two checks for a stop: a few milliseconds of steps at most
// (10 s trials of 1 ms steps), often far less.
inline constexpr std::uint64_t TRIALS_PER_CHECK = 256;
static_assert(TRIALS_PER_CHECK % FIRST_BLOCK_LANES == 0, "a check falls between groups of lanes");

// run_trial(trial parameters, stream) -> TrialOutcome. A trial past the cap
// gets a NaN response time. Returns how many did. With an interruption, checks
// it every TRIALS_PER_CHECK trials and returns early once it stops.
template <class RunTrial>
[[gnu::always_inline]] inline std::uint64_t run_trial_range(const FullModelParams& model, int blocks,
                                                            std::uint64_t seed, std::uint64_t first,
                                                            std::uint64_t count, bool* choices, double* rts,
                                                            RunTrial&& run_trial,
                                                            Interruption* interruption = nullptr) {
    const FirstBlocksFunction first_blocks = best_first_blocks_variant().run;
    const ChachaInput keyed{derive_chacha_key(seed), 0, 0};
    ChachaInput group_input = keyed;
    alignas(32) std::uint32_t words[FIRST_BLOCKS_WORDS];
    std::uint64_t timed_out = 0;
    for (std::uint64_t done = 0; done < count; done += FIRST_BLOCK_LANES) {
        if (interruption != nullptr && done % TRIALS_PER_CHECK == 0 && interruption->stop_requested()) break;
        // Stream numbers wrap modulo 2^64 like the trial indices.
        group_input.stream = first + done;
        first_blocks(group_input, blocks, words);
        const std::uint64_t group = std::min<std::uint64_t>(FIRST_BLOCK_LANES, count - done);
        for (std::uint64_t j = 0; j < group; ++j) {
            TrialStream stream(keyed, first + done + j, words + j, blocks);
            const DiffusionParams trial = draw_trial_parameters(model, stream);
            const TrialOutcome outcome = run_trial(trial, stream);
            choices[done + j] = outcome.choice;
            rts[done + j] = outcome.timed_out ? std::numeric_limits<double>::quiet_NaN() : outcome.rt;
            timed_out += outcome.timed_out ? 1 : 0;
        }
    }
    return timed_out;
}

}  // namespace ventrola
