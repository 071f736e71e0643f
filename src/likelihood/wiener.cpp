// The one-trial functions: scale to noise 1, shift by the non-decision time,
// and hand the base model straight to the decision-time level; only a
// positive starting-point or non-decision-time range reaches the averages.
#include "likelihood/wiener.hpp"

#include <cmath>
#include <limits>

#include "likelihood/decision_time.hpp"
#include "likelihood/non_decision_average.hpp"
#include "likelihood/start_point_average.hpp"

namespace ventrola::likelihood {

namespace {

constexpr double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// A model with noise s is the model with noise 1 and v/s, a/s, sv/s.
DecisionParameters unit_noise(const WienerParameters& p) {
    const double s = p.noise_sd;
    return {p.drift_rate / s, p.boundary_separation / s, p.starting_point, p.drift_rate_sd / s};
}

LogDensityGradient no_density(double log_density) {
    LogDensityGradient result{log_density, {}};
    result.partials.fill(NAN_VALUE);
    return result;
}

// Back to the caller's parameters: d/dv = (1/s) d/d(v/s), likewise a and sv.
LogDensityGradient in_caller_units(const AveragedGradient& g, double s) {
    LogDensityGradient result{g.log_density, {}};
    auto set = [&](Gradient which, double value) { result.partials[static_cast<std::size_t>(which)] = value; };
    set(Gradient::DriftRate, g.d_v / s);
    set(Gradient::BoundarySeparation, g.d_a / s);
    set(Gradient::StartingPoint, g.d_w);
    set(Gradient::NonDecisionTime, g.d_t0);
    set(Gradient::DriftRateSd, g.d_sv / s);
    set(Gradient::StartingPointRange, g.d_sz);
    set(Gradient::NonDecisionTimeRange, g.d_st0);
    return result;
}

}  // namespace

double log_density(bool upper, double rt, const WienerParameters& p) {
    if (std::isnan(rt)) return rt;
    const double longest = rt - p.non_decision_time;
    if (!(longest > 0) || longest == INF) return -INF;
    const DecisionParameters q = unit_noise(p);
    const double sz = p.starting_point_range;
    const double st0 = p.non_decision_time_range;
    if (sz > 0) return log_start_point_average(upper, longest, st0, sz, q);
    if (st0 > 0) return log_non_decision_average(upper, longest, st0, q);
    return decision_log_density(upper, longest, q);
}

double density(bool upper, double rt, const WienerParameters& p) { return std::exp(log_density(upper, rt, p)); }

double distribution(bool upper, double rt, const WienerParameters& p) {
    if (std::isnan(rt)) return rt;
    const double longest = rt - p.non_decision_time;
    if (!(longest > 0)) return 0;
    const DecisionParameters q = unit_noise(p);
    const double sz = p.starting_point_range;
    const double st0 = p.non_decision_time_range;
    // Past every non-decision time the window collapses onto F(inf) itself.
    const double range = longest == INF ? 0.0 : st0;
    if (sz > 0) return start_point_average_distribution(upper, longest, range, sz, q);
    if (range > 0) return non_decision_average_distribution(upper, longest, range, q);
    return decision_distribution(upper, longest, q);
}

LogDensityGradient log_density_gradient(bool upper, double rt, const WienerParameters& p) {
    if (std::isnan(rt)) return no_density(rt);
    const double longest = rt - p.non_decision_time;
    if (!(longest > 0) || longest == INF) return no_density(-INF);
    const DecisionParameters q = unit_noise(p);
    const double sz = p.starting_point_range;
    const double st0 = p.non_decision_time_range;
    AveragedGradient g;
    if (sz > 0) {
        g = start_point_average_gradient(upper, longest, st0, sz, q);
    } else if (st0 > 0) {
        g = non_decision_average_gradient(upper, longest, st0, q);
    } else {
        const DecisionLogDensityGradient d = decision_log_density_gradient(upper, longest, q);
        // At sz = 0 the average over start points is flat to first order; at
        // st0 = 0 the average over [t - st0, t] moves at half the density's slope.
        g = {d.log_density, d.d_v, d.d_a, d.d_w, d.d_sv, -d.d_t, 0.0, -0.5 * d.d_t};
    }
    if (!std::isfinite(g.log_density)) return no_density(g.log_density);
    return in_caller_units(g, p.noise_sd);
}

}  // namespace ventrola::likelihood
