#include "simulation/tabulated_simulation.hpp"

#include <atomic>
#include <cmath>

#include "parallel/worker_pool.hpp"
#include "simulation/tabulated_trial.hpp"
#include "simulation/trial_range.hpp"

namespace ventrola {

namespace {

// A trial of many steps asks on the way whether to stop.
struct UntilInterrupted {
    static constexpr bool checks = true;
    Interruption& interruption;
    bool operator()() const { return !interruption.stop_requested(); }
};

}  // namespace

Result<SimulatedData> simulate_tabulated_trials(const FullModelParams& ranges, const StepTables& tables,
                                                std::uint64_t n, std::uint64_t seed, Interruption& interruption) {
    Result<SimulatedData> reserved = reserve_trial_columns(n);
    if (!reserved) return reserved;
    SimulatedData& data = *reserved;
    bool* choices = data.choices.data();
    double* rts = data.rts.data();
    std::atomic<std::uint64_t> timed_out{0};
    WorkerPool::instance().for_each_piece(
        n,
        [&](std::uint64_t first, std::uint64_t last) {
            if (!(first < last)) return;
            timed_out += run_trial_range(
                ranges, 1, seed, first, last - first, choices + first, rts + first,
                [&](const DiffusionParams& trial, TrialStream& stream) {
                    return run_tabulated_trial(trial, trial.drift_rate - ranges.drift_rate, tables, stream,
                                               UntilInterrupted{interruption});
                },
                &interruption);
        },
        &interruption);
    if (interruption.stopped()) return fail(ErrorKind::Interrupted, "interrupted");
    data.n_excluded = timed_out.load();
    close_timed_out_gaps(data, n);
    return reserved;
}

}  // namespace ventrola
