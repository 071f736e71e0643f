// The cost that the simulation-based fit minimises: squared relative
// deviations of simulated summary statistics from the observed ones.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "recovery/summary_statistics.hpp"
#include "simulation/trial_outcome.hpp"

namespace ventrola {

inline constexpr std::uint64_t SIM_TRIALS = 5000;
inline constexpr double PENALTY_COST = 1e9;
inline constexpr double MIN_BOUNDARY = 1e-6;

struct SimObjective {
    SummaryStatistics target;  // summary of the observed trials
    std::uint64_t n_sim;       // trials simulated per evaluation
    std::uint64_t seed;        // seed of every simulated batch
};

// The seed of the simulated batches, derived from the five summary fields so
// that data with bit-identical summaries are fitted with the same numbers.
std::uint64_t summary_seed(const SummaryStatistics& summary);

// None when the observed trials have no summary (no trials, or fewer than two
// upper-boundary trials).
std::optional<SimObjective> make_sim_objective(std::span<const TrialOutcome> observed);

// The cost of x = (drift_rate, boundary_separation, non_decision_time); only
// the first three elements are read. Invalid vectors and simulations without
// a summary cost PENALTY_COST. Never fails.
double objective_cost(const SimObjective& objective, std::span<const double> x);

}  // namespace ventrola
