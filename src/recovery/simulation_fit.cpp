#include "recovery/simulation_fit.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <variant>
#include <vector>

#include "recovery/ez_estimator.hpp"
#include "recovery/nelder_mead.hpp"
#include "recovery/sim_objective.hpp"
#include "recovery/simplex.hpp"

namespace ventrola {

namespace {

struct Phase {
    double relative_step;
    double floor;
};

constexpr Phase COARSE{0.15, 0.05};
constexpr Phase REFINEMENT{0.05, 0.02};

std::expected<Solved, FitError> run_phase(const SimObjective& objective, const std::array<double, 3>& centre,
                                          const Phase& phase, std::uint64_t budget, std::uint64_t& evaluations) {
    const auto cost = [&objective, &evaluations](std::span<const double> x) {
        ++evaluations;
        return objective_cost(objective, x);
    };
    RunOutcome outcome = minimize(cost, build_simplex(centre, phase.relative_step, phase.floor), budget);
    if (auto* failed = std::get_if<Failed>(&outcome)) {
        return std::unexpected(FitError{FitErrorKind::OptimizerFailed, std::move(failed->message)});
    }
    if (std::holds_alternative<NoSolution>(outcome)) {
        return std::unexpected(FitError{FitErrorKind::NoSolution, {}});
    }
    return std::get<Solved>(std::move(outcome));
}

}  // namespace

std::string fit_error_message(const FitError& error) {
    switch (error.kind) {
        case FitErrorKind::NoTarget: return "target data has no usable trials, or fewer than two upper-boundary trials";
        case FitErrorKind::NoSolution: return "the optimizer did not produce a solution";
        case FitErrorKind::OptimizerFailed: return "optimizer error: " + error.optimizer_text;
    }
    return "unknown fit failure";
}

Error to_error(const FitError& error) { return Error{ErrorKind::VentrolaError, fit_error_message(error)}; }

std::uint64_t coarse_budget(std::uint64_t max_iters) {
    // floor(M * 55 / 100) split as M = 100q + r, so that M * 55 never has to
    // fit in 64 bits: the result is 55q + floor(55r / 100).
    const std::uint64_t budget = (max_iters / 100) * 55 + (max_iters % 100) * 55 / 100;
    return std::max<std::uint64_t>(1, budget);
}

std::uint64_t refinement_budget(std::uint64_t max_iters, std::uint64_t coarse_iterations) {
    const std::uint64_t rest = coarse_iterations >= max_iters ? 0 : max_iters - coarse_iterations;
    return std::max<std::uint64_t>(1, rest);
}

bool refinement_wins(double coarse_cost, double refined_cost) { return coarse_cost > refined_cost; }

DiffusionParams warm_start(std::span<const TrialOutcome> trials) {
    return ez_estimate(trials).value_or(FALLBACK_START);
}

std::expected<FitResult, FitError> fit_by_simulation(std::span<const TrialOutcome> trials, const DiffusionParams& start,
                                                     std::uint64_t max_iters) {
    const auto objective = make_sim_objective(trials);
    if (!objective) return std::unexpected(FitError{FitErrorKind::NoTarget, {}});

    const std::array<double, 3> x0{start.drift_rate, start.boundary_separation, start.non_decision_time};
    std::uint64_t evaluations = 0;
    auto coarse = run_phase(*objective, x0, COARSE, coarse_budget(max_iters), evaluations);
    if (!coarse) return std::unexpected(std::move(coarse.error()));

    const std::array<double, 3> centre{coarse->best[0], coarse->best[1], coarse->best[2]};
    auto refined =
        run_phase(*objective, centre, REFINEMENT, refinement_budget(max_iters, coarse->iterations), evaluations);
    if (!refined) return std::unexpected(std::move(refined.error()));

    const Solved& chosen = refinement_wins(coarse->cost, refined->cost) ? *refined : *coarse;
    return FitResult{
        DiffusionParams{chosen.best[0], chosen.best[1], 0.5, chosen.best[2], 1.0},
        coarse->iterations + refined->iterations,
        chosen.cost,
        evaluations,
    };
}

}  // namespace ventrola
