#include "simulation/full_model_simulation.hpp"

#include <cmath>
#include <utility>

#include "simulation/full_model_trials.hpp"
#include "simulation/worker_pool.hpp"

namespace ventrola {

namespace {

// Drift and distances in units of the noise, squared where the sampler
// squares them, must stay far inside the range of a double.
constexpr double LARGEST_SCALED = 1e100;

bool finite_at_least(double value, double lowest) { return value >= lowest && std::isfinite(value); }

}  // namespace

Result<SimulationMethod> parse_simulation_method(std::string_view name) {
    if (name == "exact") return SimulationMethod::Exact;
    if (name == "euler") return SimulationMethod::Euler;
    return fail(ErrorKind::ValueError, "method must be 'exact' or 'euler'");
}

std::optional<Error> check_full_model(const FullModelParams& model, const SimulationControls& controls) {
    const DiffusionParams& p = model.trial;
    auto value_error = [](const char* message) { return Error{ErrorKind::ValueError, message}; };
    // Each test is phrased so that NaN fails it.
    if (!std::isfinite(p.drift_rate)) return value_error("drift_rate must be finite");
    if (!(p.boundary_separation > 0 && std::isfinite(p.boundary_separation))) {
        return value_error("boundary_separation must be > 0 and finite");
    }
    if (!(p.starting_point > 0 && p.starting_point < 1)) return value_error("starting_point must be in (0, 1)");
    if (!finite_at_least(p.non_decision_time, 0)) return value_error("non_decision_time must be >= 0 and finite");
    if (!finite_at_least(model.drift_rate_sd, 0)) return value_error("drift_rate_sd must be >= 0 and finite");
    const double half_range = model.starting_point_range * 0.5;
    if (!(half_range >= 0 && half_range < p.starting_point && half_range < 1 - p.starting_point)) {
        return value_error(
            "starting_point_range must be >= 0 with starting_point_range / 2 < min(starting_point, 1 - "
            "starting_point)");
    }
    if (!finite_at_least(model.non_decision_time_range, 0)) {
        return value_error("non_decision_time_range must be >= 0 and finite");
    }
    if (!(p.noise_sd > 0 && std::isfinite(p.noise_sd))) return value_error("noise_sd must be > 0 and finite");
    const double s = p.noise_sd;
    if (!(std::fabs(p.drift_rate) / s < LARGEST_SCALED && p.boundary_separation / s < LARGEST_SCALED &&
          model.drift_rate_sd / s < LARGEST_SCALED)) {
        return value_error(
            "noise_sd is too small: drift_rate, drift_rate_sd and boundary_separation divided by noise_sd must be "
            "below 1e100");
    }
    if (!(controls.dt > 0 && std::isfinite(controls.dt))) return value_error("dt must be > 0 and finite");
    if (!(controls.max_time > 0)) return value_error("max_time must be > 0 (inf allowed)");
    return std::nullopt;
}

Result<std::vector<TrialOutcome>> simulate_full_model_outcomes(const FullModelParams& model,
                                                               const SimulationControls& controls, std::uint64_t n,
                                                               std::uint64_t seed) {
    WorkerPool& pool = WorkerPool::instance();
    Result<std::vector<TrialOutcome>> outcomes = reserve_outcomes(n);
    if (!outcomes) return outcomes;
    TrialOutcome* out = outcomes->data();
    pool.for_each_piece(n, [&model, &controls, seed, out](std::uint64_t first, std::uint64_t last) {
        simulate_full_model_range(model, controls, seed, first, last, out + first);
    });
    return outcomes;
}

Result<SimulatedData> simulate_full_model_batch(const FullModelParams& model, const SimulationControls& controls,
                                                std::uint64_t n, std::uint64_t seed, const RunUnlocked& run_unlocked) {
    if (std::optional<Error> invalid = check_full_model(model, controls)) return std::unexpected(std::move(*invalid));
    Result<SimulatedData> result;
    run_unlocked([&] {
        Result<std::vector<TrialOutcome>> outcomes = simulate_full_model_outcomes(model, controls, n, seed);
        if (!outcomes) {
            result = std::unexpected(std::move(outcomes.error()));
            return;
        }
        result = keep_finished_trials(*outcomes);
    });
    return result;
}

}  // namespace ventrola
