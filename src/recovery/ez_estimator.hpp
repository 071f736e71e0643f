// Closed-form EZ-diffusion estimate of drift rate, boundary separation and
// non-decision time (noise scale 1.0, unbiased start).
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "error.hpp"
#include "model/parameters.hpp"
#include "simulation/trial_outcome.hpp"

namespace ventrola {

// In the order the estimator tests them.
enum class EzErrorKind {
    NotEnoughData,   // count: valid trials
    NotEnoughUpper,  // count: valid upper-boundary trials
    ChanceAccuracy,
    NonPositiveVariance,
    NoRealSolution,
};

struct EzError {
    EzErrorKind kind;
    std::uint64_t count = 0;  // only for NotEnoughData and NotEnoughUpper
};

std::string ez_error_message(const EzError& error);

// As the error value fit_ez raises: VentrolaError with the message.
Error to_error(const EzError& error);

// The estimator's equations on given statistics: proportion of upper-boundary
// responses, mean and variance of their response times, and the number of
// valid trials (used only by the correction of a proportion of exactly 1).
std::expected<DiffusionParams, EzError> ez_from_statistics(double accuracy, double mean_rt, double var_rt,
                                                           std::uint64_t n_valid);

// The estimate from trial records; timed-out records are ignored.
std::expected<DiffusionParams, EzError> ez_estimate(std::span<const TrialOutcome> trials);

}  // namespace ventrola
