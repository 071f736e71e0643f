#include "simulation/batch_simulation.hpp"

#include <unistd.h>

#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "simulation/trial_simulator.hpp"
#include "simulation/worker_pool.hpp"

namespace ventrola {

namespace {

// What one trial of `simulate` needs at most: its outcome, then its choice
// and response time in the filtered result.
constexpr std::uint64_t BYTES_PER_TRIAL = sizeof(TrialOutcome) + sizeof(bool) + sizeof(double);

std::string too_many_trials(std::uint64_t n) { return "cannot reserve memory for " + std::to_string(n) + " trials"; }

// With overcommit a huge allocation "succeeds" and the process is killed
// later, when the pages are touched; refuse what could never fit in memory.
bool exceeds_physical_memory(std::uint64_t n) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return false;  // unknown: let the allocator decide
    const auto physical = static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page_size);
    if (n > std::numeric_limits<std::uint64_t>::max() / BYTES_PER_TRIAL) return true;
    return n * BYTES_PER_TRIAL > physical;
}

}  // namespace

Result<std::vector<TrialOutcome>> simulate_outcomes(const DiffusionParams& params, std::uint64_t n,
                                                    std::uint64_t seed) {
    WorkerPool& pool = WorkerPool::instance();
    if (exceeds_physical_memory(n)) return fail(ErrorKind::MemoryError, too_many_trials(n));
    std::vector<TrialOutcome> outcomes;
    try {
        outcomes.resize(n);
    } catch (const std::bad_alloc&) {
        return fail(ErrorKind::MemoryError, too_many_trials(n));
    } catch (const std::length_error&) {
        return fail(ErrorKind::MemoryError, too_many_trials(n));
    }
    TrialOutcome* out = outcomes.data();
    pool.for_each_piece(n, [&params, seed, out](std::uint64_t first, std::uint64_t last) {
        simulate_trial_range(params, seed, first, last, out + first);
    });
    return outcomes;
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
    run_unlocked([&] {
        Result<std::vector<TrialOutcome>> outcomes = simulate_outcomes(params, n, seed);
        if (!outcomes) {
            result = std::unexpected(std::move(outcomes.error()));
            return;
        }
        SimulatedData data;
        if (!OwnedBuffer<bool>::try_reserve(data.choices, n) || !OwnedBuffer<double>::try_reserve(data.rts, n)) {
            result = fail(ErrorKind::MemoryError, too_many_trials(n));
            return;
        }
        for (const TrialOutcome& outcome : *outcomes) {
            if (outcome.timed_out) continue;
            data.choices.push_unchecked(outcome.choice);
            data.rts.push_unchecked(outcome.rt);
        }
        data.n_excluded = n - data.rts.size();
        result = std::move(data);
    });
    return result;
}

}  // namespace ventrola
