// The one-trial functions: scale to noise 1, shift by the non-decision time,
// and hand the base model straight to the decision-time level; only a
// positive starting-point or non-decision-time range reaches the averages.
#include "likelihood/wiener.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "likelihood/decision_time.hpp"
#include "likelihood/non_decision_average.hpp"
#include "likelihood/start_point_average.hpp"

namespace ventrola::likelihood {

namespace {

constexpr double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// The decision times the response allows and the ranges that really act.
struct Window {
    double longest;  // rt - t0
    double range;    // st0
    double sz;
};

// A non-decision-time range below this fraction of the decision time moves
// the average only by shifting the time by half the range, to within
// (range * d log f / dt)^2 / 24, which stays below 1e-13 wherever the
// log-density is above -1e3; a starting-point range whose half underflows is
// no range at all.
constexpr double NEGLIGIBLE_RANGE = 1e-9;

Window window_of(double longest, const FullModelParams& p) {
    Window window{longest, p.non_decision_time_range, p.starting_point_range};
    if (!(0.5 * window.sz > 0)) window.sz = 0;
    if (window.range > 0 && window.range < NEGLIGIBLE_RANGE * longest) {
        window.longest -= 0.5 * window.range;
        window.range = 0;
    }
    return window;
}

// A model with noise s is the model with noise 1 and v/s, a/s, sv/s.
DecisionParameters unit_noise(const FullModelParams& p) {
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

double log_density(bool upper, double rt, const FullModelParams& p) {
    if (std::isnan(rt)) return rt;
    const double longest = rt - p.non_decision_time;
    if (!(longest > 0) || longest == INF) return -INF;
    const DecisionParameters q = unit_noise(p);
    const Window w = window_of(longest, p);
    if (w.sz > 0) return log_start_point_average(upper, w.longest, w.range, w.sz, q);
    if (w.range > 0) return log_non_decision_average(upper, w.longest, w.range, q);
    return decision_log_density(upper, w.longest, q);
}

double density(bool upper, double rt, const FullModelParams& p) { return std::exp(log_density(upper, rt, p)); }

double distribution(bool upper, double rt, const FullModelParams& p) {
    if (std::isnan(rt)) return rt;
    const double longest = rt - p.non_decision_time;
    if (!(longest > 0)) return 0;
    const DecisionParameters q = unit_noise(p);
    Window w = window_of(longest, p);
    // Past every non-decision time the window collapses onto F(inf) itself.
    if (longest == INF) w.range = 0;
    // Averages of probabilities can round a hair outside [0, 1].
    if (w.sz > 0) return std::clamp(start_point_average_distribution(upper, w.longest, w.range, w.sz, q), 0.0, 1.0);
    if (w.range > 0) return std::clamp(non_decision_average_distribution(upper, w.longest, w.range, q), 0.0, 1.0);
    return decision_distribution(upper, w.longest, q);
}

LogDensityGradient log_density_gradient(bool upper, double rt, const FullModelParams& p) {
    if (std::isnan(rt)) return no_density(rt);
    const double longest = rt - p.non_decision_time;
    if (!(longest > 0) || longest == INF) return no_density(-INF);
    const DecisionParameters q = unit_noise(p);
    const Window w = window_of(longest, p);
    AveragedGradient g{};
    if (w.sz > 0) {
        g = start_point_average_gradient(upper, w.longest, w.range, w.sz, q);
    } else if (w.range > 0) {
        g = non_decision_average_gradient(upper, w.longest, w.range, q);
    } else {
        const DecisionLogDensityGradient d = decision_log_density_gradient(upper, w.longest, q);
        // At sz = 0 the average over start points is flat to first order; at
        // st0 = 0 the average over [t - st0, t] moves at half the density's slope.
        g = {d.log_density, d.d_v, d.d_a, d.d_w, d.d_sv, -d.d_t, 0.0, -0.5 * d.d_t};
    }
    if (!std::isfinite(g.log_density)) return no_density(g.log_density);
    return in_caller_units(g, p.noise_sd);
}

}  // namespace ventrola::likelihood
