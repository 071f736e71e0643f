#include "recovery/ez_estimator.hpp"

#include <cmath>

#include "recovery/summary_statistics.hpp"

namespace ventrola {

std::string ez_error_message(const EzError& error) {
    switch (error.kind) {
        case EzErrorKind::NotEnoughData:
            return "not enough data: " + std::to_string(error.count) + " non-timed-out trial(s), need at least 2";
        case EzErrorKind::NotEnoughUpper:
            return "not enough correct responses: " + std::to_string(error.count) +
                   " upper-boundary trial(s), need at least 2 to form RT statistics";
        case EzErrorKind::ChanceAccuracy:
            return "accuracy is exactly 0.5; drift rate is not identifiable from chance performance";
        case EzErrorKind::NonPositiveVariance:
            return "the RT variance of correct responses is not positive; cannot recover parameters";
        case EzErrorKind::NoRealSolution:
            return "the EZ-diffusion equations have no real solution for these summary statistics";
    }
    return "unknown estimator failure";
}

Error to_error(const EzError& error) { return Error{ErrorKind::VentrolaError, ez_error_message(error)}; }

std::expected<DiffusionParams, EzError> ez_from_statistics(double accuracy, double mean_rt, double var_rt,
                                                           std::uint64_t n_valid) {
    double p = accuracy;
    if (p == 1.0) {
        // Perfect accuracy would make the logit infinite; use 1 - 1/(2N).
        const double n = static_cast<double>(n_valid);
        p = 1.0 - 1.0 / (n + n);
    } else if (p == 0.5) {
        return std::unexpected(EzError{EzErrorKind::ChanceAccuracy});
    }
    if (!(var_rt > 0.0)) return std::unexpected(EzError{EzErrorKind::NonPositiveVariance});

    const double logit = std::log(p / (1.0 - p));
    const double t = p * logit;
    const double radicand = ((((p * t) - t) + p) + (-0.5)) * logit / var_rt;
    if (!(radicand >= 0.0)) return std::unexpected(EzError{EzErrorKind::NoRealSolution});

    const double centred = p + (-0.5);
    const double sign = std::isnan(centred) ? centred : (std::signbit(centred) ? -1.0 : 1.0);
    const double drift = std::pow(radicand, 0.25) * sign;
    const double boundary = logit / drift;
    const double exponent = (-drift) * boundary;
    const double half_ratio = boundary / (drift + drift);
    const double e = std::exp(exponent);
    const double mean_decision_time = ((1.0 - e) / (e + 1.0)) * half_ratio;
    const double non_decision_time = mean_rt - mean_decision_time;
    return DiffusionParams{drift, boundary, 0.5, non_decision_time, 1.0};
}

std::expected<DiffusionParams, EzError> ez_estimate(std::span<const TrialOutcome> trials) {
    const auto [n_valid, n_upper] = count_trials(trials);
    if (n_valid < 2) return std::unexpected(EzError{EzErrorKind::NotEnoughData, n_valid});
    const auto summary = compute_summary(trials);
    if (!summary) return std::unexpected(EzError{EzErrorKind::NotEnoughUpper, n_upper});
    return ez_from_statistics(summary->accuracy, summary->mean_rt, summary->var_rt, n_valid);
}

}  // namespace ventrola
