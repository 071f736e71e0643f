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

// A non-decision-time range below this fraction of the decision time moves
// the average only by shifting the time by half the range, to within
// (range * d log f / dt)^2 / 24, which stays below 1e-13 wherever the
// log-density is above -1e3.
constexpr double NEGLIGIBLE_RANGE = 1e-9;

// The decision times the response allows and the window that really acts.
struct Window {
    double longest;  // rt - t0
    double range;    // st0
};

Window window_of(double longest, double range) {
    if (range > 0 && range < NEGLIGIBLE_RANGE * longest) return {longest - 0.5 * range, 0.0};
    return {longest, range};
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

// A starting-point range whose half underflows is no range at all.
ParameterSet::ParameterSet(const FullModelParams& p, bool shared)
    : p_(p), unit_(unit_noise(p)), sz_(0.5 * p.starting_point_range > 0 ? p.starting_point_range : 0.0) {
    if (sz_ > 0 || p.non_decision_time_range > 0) average_.emplace(unit_, 0.5 * sz_, shared);
}

double ParameterSet::log_density(bool upper, double rt) const {
    if (std::isnan(rt)) return rt;
    const double longest = rt - p_.non_decision_time;
    if (!(longest > 0) || longest == INF) return -INF;
    const Window w = window_of(longest, p_.non_decision_time_range);
    if (sz_ > 0 || w.range > 0) return average_->log_density(upper, w.longest, w.range);
    return decision_log_density(upper, w.longest, unit_);
}

double ParameterSet::distribution(bool upper, double rt) const {
    if (std::isnan(rt)) return rt;
    const double longest = rt - p_.non_decision_time;
    if (!(longest > 0)) return 0;
    Window w = window_of(longest, p_.non_decision_time_range);
    // Past every non-decision time the window collapses onto F(inf) itself.
    if (longest == INF) w.range = 0;
    if (sz_ == 0 && w.range == 0) return decision_distribution(upper, w.longest, unit_);
    auto average = [&](double longest_, double range) {
        if (sz_ > 0) return start_point_average_distribution(upper, longest_, range, sz_, unit_);
        return range > 0 ? non_decision_average_distribution(upper, longest_, range, unit_)
                         : decision_distribution(upper, longest_, unit_);
    };
    // Averages of probabilities can round a hair outside [0, 1], and a window's
    // average a hair past the probability it rises to.
    const double at_infinity = std::clamp(average(INF, 0.0), 0.0, 1.0);
    if (longest == INF) return at_infinity;
    return std::clamp(average(w.longest, w.range), 0.0, at_infinity);
}

LogDensityGradient ParameterSet::log_density_gradient(bool upper, double rt) const {
    if (std::isnan(rt)) return no_density(rt);
    const double longest = rt - p_.non_decision_time;
    if (!(longest > 0) || longest == INF) return no_density(-INF);
    const Window w = window_of(longest, p_.non_decision_time_range);
    AveragedGradient g{};
    if (sz_ > 0 || w.range > 0) {
        g = average_->gradient(upper, w.longest, w.range);
    } else {
        const DecisionLogDensityGradient d = decision_log_density_gradient(upper, w.longest, unit_);
        // At sz = 0 the average over start points is flat to first order; at
        // st0 = 0 the average over [t - st0, t] moves at half the density's slope.
        g = {d.log_density, d.d_v, d.d_a, d.d_w, d.d_sv, -d.d_t, 0.0, -0.5 * d.d_t};
    }
    if (!std::isfinite(g.log_density)) return no_density(g.log_density);
    return in_caller_units(g, p_.noise_sd);
}

double log_density(bool upper, double rt, const FullModelParams& p) { return ParameterSet(p).log_density(upper, rt); }

double density(bool upper, double rt, const FullModelParams& p) { return std::exp(log_density(upper, rt, p)); }

double distribution(bool upper, double rt, const FullModelParams& p) { return ParameterSet(p).distribution(upper, rt); }

LogDensityGradient log_density_gradient(bool upper, double rt, const FullModelParams& p) {
    return ParameterSet(p).log_density_gradient(upper, rt);
}

}  // namespace ventrola::likelihood
