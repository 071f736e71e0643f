#include "simulation/full_model_trials.hpp"

#include <cmath>

#include "simulation/euler_trial.hpp"
#include "simulation/exact_trial.hpp"
#include "simulation/trial_range.hpp"

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

// An Euler trial goes on stepping until the interruption stops.
struct UntilInterrupted {
    static constexpr bool checks = true;
    Interruption& interruption;
    bool operator()() const { return !interruption.stop_requested(); }
};

}  // namespace

std::uint64_t simulate_full_model_range(const FullModelParams& model, const SimulationControls& controls,
                                        std::uint64_t seed, std::uint64_t first, std::uint64_t last, bool* choices,
                                        double* rts, Interruption& interruption) {
    if (!(first < last)) return 0;
    const std::uint64_t count = last - first;
    if (controls.method == SimulationMethod::Exact) {
        ExactStepLawCache laws;
        return run_trial_range(
            model, blocks_ahead(model), seed, first, count, choices, rts,
            [&](const DiffusionParams& trial, TrialStream& stream) {
                return run_exact_trial(trial, controls.max_time, stream, laws);
            },
            &interruption);
    }
    const EulerGrid grid{controls.dt, std::sqrt(controls.dt), controls.max_time};
    const auto stream_of = [](TrialStream& stream) { return [&stream]() -> TrialStream& { return stream; }; };
    // Euler trials draw hundreds of variates: one block ahead is enough. Only
    // trials that may outlast many blocks of ordinary ones count their steps
    // to check for a stop; the others keep the plain loop.
    if (controls.max_time / controls.dt <= STEPS_PER_CHECK) {
        return run_trial_range(
            model, 1, seed, first, count, choices, rts,
            [&](const DiffusionParams& trial, TrialStream& stream) {
                return run_euler_trial(trial, grid, stream_of(stream));
            },
            &interruption);
    }
    return run_trial_range(
        model, 1, seed, first, count, choices, rts,
        [&](const DiffusionParams& trial, TrialStream& stream) {
            return run_euler_trial(trial, grid, stream_of(stream), UntilInterrupted{interruption});
        },
        &interruption);
}

}  // namespace ventrola
