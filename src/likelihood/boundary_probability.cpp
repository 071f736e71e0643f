// The probability of each boundary. For a fixed drift it is closed form; with
// drift variability it is the average of the logistic-like closed form over
// Normal(v, sv^2), whose poles a distance pi / a from the real axis make
// direct quadrature over the drift slow for large sv a. Instead it is the
// distribution function at t* = a^2 (small-time series, averaged in closed
// form) plus the survival beyond t* (large-time series, averaged by quadrature).
#include <cmath>

#include "likelihood/decision_time.hpp"
#include "likelihood/distribution_series.hpp"
#include "likelihood/lower_boundary.hpp"

namespace ventrola::likelihood {

namespace {

// Below this |2 v a| the result differs from 1 - w by less than |2 v a| / 8,
// and the ratio of expm1 values would lose digits to subnormal arguments.
constexpr double NEGLIGIBLE_DRIFT = 1e-250;

}  // namespace

// (1 - exp(2 v a (1 - w))) / (1 - exp(2 v a)), arranged so that every
// exponential has a non-positive argument.
double fixed_drift_lower_probability(double v, double a, double w) {
    const double x = 2.0 * v * a;
    if (std::fabs(x) < NEGLIGIBLE_DRIFT) return 1.0 - w;
    if (x > 0.0) return std::exp(-x * w) * (std::expm1(-x * (1.0 - w)) / std::expm1(-x));
    return std::expm1(x * (1.0 - w)) / std::expm1(x);
}

double boundary_probability(bool upper, const DecisionParameters& p) {
    const DecisionParameters lower = seen_from_lower(upper, p);
    if (lower.sv == 0.0) return fixed_drift_lower_probability(lower.v, lower.a, lower.w);
    const double split = SWITCH_VARIABLE_DRIFT * lower.a * lower.a;
    const double probability =
        small_time_distribution(split, lower, SERIES_TOLERANCE) + large_time_survival(split, lower, SERIES_TOLERANCE);
    return clamp_probability(probability);
}

}  // namespace ventrola::likelihood
