#include "recovery/sim_objective.hpp"

#include <bit>
#include <cmath>

#include "fault.hpp"
#include "model/parameters.hpp"
#include "simulation/batch_simulation.hpp"

namespace ventrola {

namespace {

constexpr std::uint64_t GOLDEN_RATIO = 0x9e3779b97f4a7c15ULL;
constexpr std::uint64_t MIX_MULTIPLIER = 0xff51afd7ed558ccdULL;
constexpr std::uint64_t FINAL_MULTIPLIER = 0xc4ceb9fe1a85ec53ULL;

bool is_valid_vector(double drift, double boundary, double non_decision_time) {
    if (!std::isfinite(drift) || !std::isfinite(boundary) || !std::isfinite(non_decision_time)) {
        return false;
    }
    return !(non_decision_time < 0.0) && !(boundary <= MIN_BOUNDARY);
}

}  // namespace

std::uint64_t summary_seed(const SummaryStatistics& summary) {
    const std::uint64_t rest[] = {std::bit_cast<std::uint64_t>(summary.mean_rt),
                                  std::bit_cast<std::uint64_t>(summary.var_rt), summary.n_valid, summary.n_upper};
    std::uint64_t h = (std::bit_cast<std::uint64_t>(summary.accuracy) ^ GOLDEN_RATIO) * MIX_MULTIPLIER;
    for (const std::uint64_t w : rest) h = (h ^ (h >> 33) ^ w) * MIX_MULTIPLIER;
    return (h ^ (h >> 33)) * FINAL_MULTIPLIER;
}

std::optional<SimObjective> make_sim_objective(std::span<const TrialOutcome> observed) {
    const auto target = compute_summary(observed);
    if (!target) return std::nullopt;
    return SimObjective{*target, SIM_TRIALS, summary_seed(*target)};
}

double objective_cost(const SimObjective& objective, std::span<const double> x) {
    if (x.size() < 3) raise_fault("objective_cost needs a vector of three parameters");
    const double drift = x[0];
    const double boundary = x[1];
    const double non_decision_time = x[2];
    if (!is_valid_vector(drift, boundary, non_decision_time)) return PENALTY_COST;

    const DiffusionParams params{drift, boundary, 0.5, non_decision_time, 1.0};
    const auto outcomes = simulate_outcomes(params, objective.n_sim, objective.seed);
    // A batch of SIM_TRIALS records always fits; failing to reserve it is a fault.
    if (!outcomes) raise_fault("objective simulation failed: " + outcomes.error().message);
    const auto simulated = compute_summary(*outcomes);
    if (!simulated) return PENALTY_COST;

    const SummaryStatistics& t = objective.target;
    const double ea = (simulated->accuracy - t.accuracy) / t.accuracy;
    const double em = (simulated->mean_rt - t.mean_rt) / t.mean_rt;
    const double ev = (simulated->var_rt - t.var_rt) / t.var_rt;
    return (ev * ev) * 0.5 + ((em * em) + (ea * ea));
}

}  // namespace ventrola
