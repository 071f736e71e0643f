#include "simulation/full_model_simulation.hpp"

#include <atomic>
#include <cmath>
#include <string>
#include <utility>

#include "model/parameter_checks.hpp"
#include "parallel/worker_pool.hpp"
#include "simulation/full_model_trials.hpp"

namespace ventrola {

namespace {

// The most Euler steps a trial may take before its cap: far more than any
// fine grid needs (steps of 1e-8 s up to 10 s), few enough that a trial at
// the cap ends within seconds, and that t + dt always moves on from t.
constexpr double MOST_EULER_STEPS = 1e9;

}  // namespace

Result<SimulationMethod> parse_simulation_method(std::string_view name) {
    if (name == "exact") return SimulationMethod::Exact;
    if (name == "euler") return SimulationMethod::Euler;
    return fail(ErrorKind::ValueError, "method must be 'exact' or 'euler', got '" + std::string(name) + "'");
}

std::optional<Error> check_full_model(const FullModelParams& model, const SimulationControls& controls) {
    // The seven parameters and the noise as the likelihood checks them, which
    // keeps the sampler's squares of them inside the range of a double.
    if (std::optional<Error> invalid = check_parameters(model)) return invalid;
    // Each test is phrased so that NaN fails it.
    if (!(controls.dt > 0 && std::isfinite(controls.dt))) return out_of_range("dt", "be > 0 and finite", controls.dt);
    if (!(controls.max_time > 0)) return out_of_range("max_time", "be > 0 (inf allowed)", controls.max_time);
    // Below half a rounding step of t, t + dt is t again and a trial never
    // reaches its cap; long before that it would take for ever. Without a cap
    // a trial steps until it ends, and only an interruption stops it sooner.
    if (controls.method == SimulationMethod::Euler && std::isfinite(controls.max_time) &&
        !(controls.max_time / controls.dt <= MOST_EULER_STEPS)) {
        return out_of_range("dt", "be at least max_time / 1e9, so that Euler steps reach max_time in at most 1e9 steps",
                            controls.dt);
    }
    return std::nullopt;
}

Result<SimulatedData> simulate_full_model_trials(const FullModelParams& model, const SimulationControls& controls,
                                                 std::uint64_t n, std::uint64_t seed, Interruption& interruption) {
    WorkerPool& pool = WorkerPool::instance();
    Result<SimulatedData> reserved = reserve_trial_columns(n);
    if (!reserved) return reserved;
    SimulatedData& data = *reserved;
    // Every trial writes its own place in the final columns, so the pieces
    // also share the first writes to the fresh memory; only the count of
    // trials past the cap is gathered.
    bool* choices = data.choices.data();
    double* rts = data.rts.data();
    std::atomic<std::uint64_t> timed_out{0};
    pool.for_each_piece(
        n,
        [&](std::uint64_t first, std::uint64_t last) {
            timed_out += simulate_full_model_range(model, controls, seed, first, last, choices + first, rts + first,
                                                   interruption);
        },
        &interruption);
    if (interruption.stopped()) return fail(ErrorKind::Interrupted, "interrupted");
    data.n_excluded = timed_out.load();
    close_timed_out_gaps(data, n);
    return reserved;
}

Result<SimulatedData> simulate_full_model_batch(const FullModelParams& model, const SimulationControls& controls,
                                                std::uint64_t n, std::uint64_t seed, const RunUnlocked& run_unlocked) {
    if (std::optional<Error> invalid = check_full_model(model, controls)) return std::unexpected(std::move(*invalid));
    Result<SimulatedData> result;
    run_unlocked([&](Interruption& interruption) {
        result = simulate_full_model_trials(model, controls, n, seed, interruption);
    });
    return result;
}

}  // namespace ventrola
