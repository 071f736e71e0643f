#include "simulation/trial_simulator.hpp"

#include "simulation/trial_kernels.hpp"

namespace ventrola {

TrialOutcome simulate_trial(const DiffusionParams& params, std::uint64_t seed, std::uint64_t index) {
    TrialOutcome outcome{};
    best_trial_kernel().run(params, seed, index, 1, &outcome);
    return outcome;
}

void simulate_trial_range(const DiffusionParams& params, std::uint64_t seed, std::uint64_t first, std::uint64_t last,
                          TrialOutcome* out) {
    if (first < last) best_trial_kernel().run(params, seed, first, last - first, out);
}

}  // namespace ventrola
