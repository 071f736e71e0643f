// The decision-time distribution function of one boundary: the small-time
// series up to t / a^2 of order 1, the boundary probability minus the
// large-time survival beyond (see distribution_series.hpp).
#include <cmath>
#include <limits>

#include "likelihood/decision_time.hpp"
#include "likelihood/distribution_series.hpp"
#include "likelihood/lower_boundary.hpp"

namespace ventrola::likelihood {

namespace {

double lower_distribution(double t, const DecisionParameters& lower) {
    const double a2 = lower.a * lower.a;
    if (lower.sv == 0.0) {
        if (t <= SWITCH_FIXED_DRIFT * a2) return small_time_distribution(t, lower, SERIES_TOLERANCE);
        return fixed_drift_lower_probability(lower.v, lower.a, lower.w) -
               large_time_survival(t, lower, SERIES_TOLERANCE);
    }
    const double split = SWITCH_VARIABLE_DRIFT * a2;
    if (t <= split) return small_time_distribution(t, lower, SERIES_TOLERANCE);
    // Both survivals are small here, so their difference keeps its absolute accuracy.
    return small_time_distribution(split, lower, SERIES_TOLERANCE) +
           (large_time_survival(split, lower, SERIES_TOLERANCE) - large_time_survival(t, lower, SERIES_TOLERANCE));
}

}  // namespace

double decision_distribution(bool upper, double t, const DecisionParameters& p) {
    if (std::isnan(t)) return t;
    if (t <= 0.0) return 0.0;
    if (t == std::numeric_limits<double>::infinity()) return boundary_probability(upper, p);
    const double value = lower_distribution(t, seen_from_lower(upper, p));
    return clamp_probability(value);
}

}  // namespace ventrola::likelihood
