#include "simulation/full_model_trials.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "simulation/batch_simulation.hpp"
#include "simulation/euler_trial.hpp"
#include "simulation/exact_trial.hpp"
#include "simulation/first_blocks.hpp"
#include "simulation/random_stream.hpp"
#include "simulation/trial_stream.hpp"
#include "simulation/trial_variability.hpp"

namespace ventrola {

namespace {

// How many blocks of each stream to compute ahead: one holds the eight draws
// a trial starting at the centre without variability rarely exceeds; drawn
// parameters and off-centre starts (more than one step) often need a second.
int blocks_ahead(const FullModelParams& model) {
    const bool one_step = model.drift_rate_sd == 0.0 && model.starting_point_range == 0.0 &&
                          model.non_decision_time_range == 0.0 && model.starting_point == 0.5;
    return one_step ? 1 : MAX_FIRST_BLOCKS;
}

static_assert(TRIALS_PER_CHECK % FIRST_BLOCK_LANES == 0, "a check falls between groups of lanes");

// An Euler trial goes on stepping until the interruption stops.
struct UntilInterrupted {
    static constexpr bool checks = true;
    Interruption& interruption;
    bool operator()() const { return !interruption.stop_requested(); }
};

// The key is derived once per range, and the first blocks of the trials'
// streams are computed eight trials at a time.
template <class RunTrial>
[[gnu::always_inline]] inline std::uint64_t run_range(const FullModelParams& model, int blocks, std::uint64_t seed,
                                                      std::uint64_t first, std::uint64_t count, bool* choices,
                                                      double* rts, Interruption& interruption, RunTrial&& run_trial) {
    const FirstBlocksFunction first_blocks = best_first_blocks_variant().run;
    const ChachaInput keyed{derive_chacha_key(seed), 0, 0};
    ChachaInput group_input = keyed;
    alignas(32) std::uint32_t words[FIRST_BLOCKS_WORDS];
    std::uint64_t timed_out = 0;
    for (std::uint64_t done = 0; done < count; done += FIRST_BLOCK_LANES) {
        if (done % TRIALS_PER_CHECK == 0 && interruption.stop_requested()) break;
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

}  // namespace

std::uint64_t simulate_full_model_range(const FullModelParams& model, const SimulationControls& controls,
                                        std::uint64_t seed, std::uint64_t first, std::uint64_t last, bool* choices,
                                        double* rts, Interruption& interruption) {
    if (!(first < last)) return 0;
    const std::uint64_t count = last - first;
    if (controls.method == SimulationMethod::Exact) {
        ExactStepLawCache laws;
        return run_range(model, blocks_ahead(model), seed, first, count, choices, rts, interruption,
                         [&](const DiffusionParams& trial, TrialStream& stream) {
                             return run_exact_trial(trial, controls.max_time, stream, laws);
                         });
    }
    const EulerGrid grid{controls.dt, std::sqrt(controls.dt), controls.max_time};
    const auto stream_of = [](TrialStream& stream) { return [&stream]() -> TrialStream& { return stream; }; };
    // Euler trials draw hundreds of variates: one block ahead is enough. Only
    // trials that may outlast many blocks of ordinary ones count their steps
    // to check for a stop; the others keep the plain loop.
    if (controls.max_time / controls.dt <= STEPS_PER_CHECK) {
        return run_range(model, 1, seed, first, count, choices, rts, interruption,
                         [&](const DiffusionParams& trial, TrialStream& stream) {
                             return run_euler_trial(trial, grid, stream_of(stream));
                         });
    }
    return run_range(model, 1, seed, first, count, choices, rts, interruption,
                     [&](const DiffusionParams& trial, TrialStream& stream) {
                         return run_euler_trial(trial, grid, stream_of(stream), UntilInterrupted{interruption});
                     });
}

}  // namespace ventrola
