#include "simulation/full_model_trials.hpp"

#include <cmath>

#include "simulation/euler_trial.hpp"
#include "simulation/exact_trial.hpp"
#include "simulation/random_stream.hpp"
#include "simulation/trial_variability.hpp"

namespace ventrola {

namespace {

// Each trial starts from a copy of the seeded stream, which saves deriving
// the key again; the copy is a stream that has not drawn yet.
template <class RunTrial>
[[gnu::always_inline]] inline void run_range(const FullModelParams& model, std::uint64_t seed, std::uint64_t first,
                                             std::uint64_t count, TrialOutcome* out, RunTrial&& run_trial) {
    const RandomStream seeded = RandomStream::from_seed(seed);
    for (std::uint64_t i = 0; i < count; ++i) {
        RandomStream stream = seeded;
        stream.set_stream(first + i);  // wraps modulo 2^64 like the stream numbers
        const DiffusionParams trial = draw_trial_parameters(model, stream);
        out[i] = run_trial(trial, stream);
    }
}

}  // namespace

void simulate_full_model_range(const FullModelParams& model, const SimulationControls& controls, std::uint64_t seed,
                               std::uint64_t first, std::uint64_t last, TrialOutcome* out) {
    if (!(first < last)) return;
    const std::uint64_t count = last - first;
    if (controls.method == SimulationMethod::Exact) {
        ExactStepLawCache laws;
        run_range(model, seed, first, count, out, [&](const DiffusionParams& trial, RandomStream& stream) {
            return run_exact_trial(trial, controls.max_time, stream, laws);
        });
    } else {
        const EulerGrid grid{controls.dt, std::sqrt(controls.dt), controls.max_time};
        run_range(model, seed, first, count, out, [&](const DiffusionParams& trial, RandomStream& stream) {
            return run_euler_trial(trial, grid, stream);
        });
    }
}

}  // namespace ventrola
