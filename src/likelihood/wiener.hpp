// The likelihood of the seven-parameter diffusion model for one trial: the
// log-density, density and distribution function of (choice, response time),
// and the partial derivatives of the log-density. Plain C++, no Python.
//
// Conventions: boundaries at 0 and a, start w*a, drift v, noise s per unit
// time; `upper` is the response at a. Across trials v ~ N(v, sv^2),
// w ~ U(w - sz/2, w + sz/2), t0 ~ U(t0, t0 + st0).
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "likelihood/decision_time.hpp"
#include "likelihood/range_average.hpp"
#include "model/parameters.hpp"

namespace ventrola::likelihood {

// The order of the seven partial derivatives (noise_sd is never estimated).
enum class Gradient : std::size_t {
    DriftRate,
    BoundarySeparation,
    StartingPoint,
    NonDecisionTime,
    DriftRateSd,
    StartingPointRange,
    NonDecisionTimeRange,
};
inline constexpr std::size_t GRADIENT_SIZE = 7;

struct LogDensityGradient {
    double log_density;
    std::array<double, GRADIENT_SIZE> partials;  // d log f / d parameter, in Gradient order
};

// The functions below take parameters that passed check_parameters
// (model/parameter_checks.hpp). A response
// time at or below t0 gives log-density -inf, density 0 and distribution 0; a
// NaN response time gives NaN. Where the density underflows a double the
// log-density stays finite.

// The same functions for one parameter set and any number of trials: what
// does not depend on the response time is worked out once, and kept (with
// the averages' cached start points) for every trial. A trial's result is the
// same as from the free functions below.
class ParameterSet {
public:
    // `shared`: many trials will use this set, so that tabulating its averages
    // (time_profile.hpp) pays.
    explicit ParameterSet(const FullModelParams& p, bool shared = false);

    const FullModelParams& parameters() const { return p_; }
    double log_density(bool upper, double rt) const;
    double distribution(bool upper, double rt) const;
    LogDensityGradient log_density_gradient(bool upper, double rt) const;

private:
    FullModelParams p_;
    DecisionParameters unit_;  // v/s, a/s, w, sv/s
    double sz_;                // 0 where half of it underflows
    std::optional<RangeAverage> average_;
};

double log_density(bool upper, double rt, const FullModelParams& p);
double density(bool upper, double rt, const FullModelParams& p);

// P(response = upper and RT <= rt).
double distribution(bool upper, double rt, const FullModelParams& p);

// The log-density and its seven partial derivatives in one pass. Where the
// log-density is -inf or NaN the partials are NaN.
LogDensityGradient log_density_gradient(bool upper, double rt, const FullModelParams& p);

}  // namespace ventrola::likelihood
