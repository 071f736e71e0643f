#include "simulation/batch_simulation.hpp"

#include <utility>

#include "parallel/worker_pool.hpp"
#include "simulation/trial_range.hpp"
#include "simulation/trial_simulator.hpp"

namespace ventrola {

Result<std::vector<TrialOutcome>> simulate_outcomes(const DiffusionParams& params, std::uint64_t n, std::uint64_t seed,
                                                    Interruption& interruption) {
    WorkerPool& pool = WorkerPool::instance();
    Result<std::vector<TrialOutcome>> outcomes = reserve_outcomes(n);
    if (!outcomes) return outcomes;
    TrialOutcome* out = outcomes->data();
    // Each trial depends only on its index, so running a piece block by
    // block computes exactly what running it whole would.
    pool.for_each_piece(
        n,
        [&](std::uint64_t first, std::uint64_t last) {
            for (std::uint64_t block = first; block < last;) {
                if (interruption.stop_requested()) return;
                const std::uint64_t end = last - block > TRIALS_PER_CHECK ? block + TRIALS_PER_CHECK : last;
                simulate_trial_range(params, seed, block, end, out + block);
                block = end;
            }
        },
        &interruption);
    if (interruption.stopped()) return fail(ErrorKind::Interrupted, "interrupted");
    return outcomes;
}

Result<std::vector<TrialOutcome>> simulate_outcomes(const DiffusionParams& params, std::uint64_t n,
                                                    std::uint64_t seed) {
    Interruption never;
    return simulate_outcomes(params, n, seed, never);
}

Result<SimulatedData> simulate_batch(double drift, double boundary, double start, double t0, std::uint64_t n,
                                     std::uint64_t seed, double noise_sd, const RunUnlocked& run_unlocked) {
    // Each test is phrased so that NaN fails it.
    if (!(boundary > 0)) return fail(ErrorKind::ValueError, "boundary must be > 0");
    if (!(start >= 0 && start <= 1)) return fail(ErrorKind::ValueError, "start must be in [0, 1]");
    if (!(t0 >= 0)) return fail(ErrorKind::ValueError, "t0 must be >= 0");
    if (!(noise_sd > 0)) return fail(ErrorKind::ValueError, "noise_sd must be > 0");

    const DiffusionParams params{drift, boundary, start, t0, noise_sd};
    Result<SimulatedData> result;
    run_unlocked([&](Interruption& interruption) {
        Result<std::vector<TrialOutcome>> outcomes = simulate_outcomes(params, n, seed, interruption);
        if (!outcomes) {
            result = std::unexpected(std::move(outcomes.error()));
            return;
        }
        result = keep_finished_trials(*outcomes);
    });
    return result;
}

}  // namespace ventrola
