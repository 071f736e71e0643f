// The two-phase simulation-based fit behind fit_sim: a coarse Nelder-Mead run
// with a wide simplex, then a refinement run with a narrow one around the
// coarse result; the better of the two is returned.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "error.hpp"
#include "model/parameters.hpp"
#include "simulation/trial_outcome.hpp"

namespace ventrola {

// The start when there is no initial guess and the EZ estimate fails.
inline constexpr DiffusionParams FALLBACK_START{1.0, 1.0, 0.5, 0.2, 1.0};

struct FitResult {
    DiffusionParams params;     // starting_point 0.5 and noise_sd 1.0 always
    std::uint64_t iterations;   // steps of both phases together
    double final_cost;          // the chosen phase's best cost
    std::uint64_t evaluations;  // objective evaluations of both phases, for benchmarks
};

enum class FitErrorKind { NoTarget, NoSolution, OptimizerFailed };

struct FitError {
    FitErrorKind kind;
    std::string optimizer_text;  // the failed run's text, for OptimizerFailed
};

std::string fit_error_message(const FitError& error);

// As the error value fit_sim raises: VentrolaError with the message.
Error to_error(const FitError& error);

// max(1, floor(max_iters * 55 / 100)), exact for every 64-bit max_iters.
std::uint64_t coarse_budget(std::uint64_t max_iters);

// max(1, max_iters - coarse_iterations), the difference taken as 0 when the
// coarse phase used max_iters steps or more.
std::uint64_t refinement_budget(std::uint64_t max_iters, std::uint64_t coarse_iterations);

// Whether the refinement phase's result replaces the coarse one: only a
// strictly lower cost does, so equal costs and NaN keep the coarse result.
bool refinement_wins(double coarse_cost, double refined_cost);

// The start without an initial guess: the EZ estimate of the trials, or
// FALLBACK_START when the estimator fails (its failure is dropped).
DiffusionParams warm_start(std::span<const TrialOutcome> trials);

// Runs with the interpreter lock released; touches no Python object. Only the
// drift rate, boundary separation and non-decision time of `start` are used.
std::expected<FitResult, FitError> fit_by_simulation(std::span<const TrialOutcome> trials, const DiffusionParams& start,
                                                     std::uint64_t max_iters);

}  // namespace ventrola
