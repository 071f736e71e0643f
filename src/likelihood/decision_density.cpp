// The decision-time log-density of one boundary and its partial derivatives.
// At the lower boundary
//   f(t) = g(t/a^2, w) / a^2 * exp(((a w sv)^2 - 2 a v w - v^2 t) / (2 (1 + sv^2 t))) / sqrt(1 + sv^2 t),
// which is the familiar exp(-v a w - v^2 t / 2) g(t/a^2, w) / a^2 when sv = 0;
// at the upper boundary it is the same with v -> -v and w -> 1 - w.
#include <cmath>
#include <limits>

#include "likelihood/decision_time.hpp"
#include "likelihood/lower_boundary.hpp"
#include "likelihood/unit_density.hpp"

namespace ventrola::likelihood {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// The drift's share of log f: numerator / (2 spread) - log(spread) / 2.
struct DriftTilt {
    double spread;     // 1 + sv^2 t
    double numerator;  // (a w sv)^2 - 2 a v w - v^2 t

    double exponent() const { return spread == 1.0 ? 0.5 * numerator : numerator / (spread + spread); }
};

DriftTilt drift_tilt(double t, double a, const LowerView& x, double sv) {
    const double aw = a * x.w;
    const double minus_mean = x.v * (aw + aw + x.v * t);  // 2 a v w + v^2 t
    if (sv == 0.0) return {1.0, -minus_mean};
    const double asw = aw * sv;
    return {1.0 + sv * sv * t, asw * asw - minus_mean};
}

// log(factor / (a^2 sqrt(spread))) with one logarithm, or three where the
// quotient would leave the range of doubles.
double log_scale(double factor, double a, double spread) {
    double divisor = a * a;
    if (spread != 1.0) divisor *= std::sqrt(spread);
    const double x = factor * (1.0 / divisor);  // the reciprocal overlaps the series
    if (std::isnormal(x)) return std::log(x);
    return std::log(factor) - 2.0 * std::log(a) - 0.5 * std::log(spread);
}

bool outside_support(double t) { return !(t > 0.0) || t == INF; }

// t / a^2, or NaN where that leaves the normal doubles: the density is then
// below exp(-10^300) or so, and its logarithm is taken as -inf.
double unit_time(double t, double a) {
    const double u = t / (a * a);
    return std::isnormal(u) ? u : NaN;
}

}  // namespace

double decision_log_density(bool upper, double t, const DecisionParameters& p) {
    if (outside_support(t)) return std::isnan(t) ? t : -INF;
    const LowerView x = lower_view(upper, p);
    const double a = p.a;
    const double u = unit_time(t, a);
    if (std::isnan(u)) return -INF;
    const UnitDensity g = unit_density(u, x.w, x.w_complement);
    const DriftTilt tilt = drift_tilt(t, a, x, p.sv);
    return log_scale(g.factor, a, tilt.spread) + g.exponent + tilt.exponent();
}

SplitDensity decision_split_density(bool upper, double t, const DecisionParameters& p) {
    if (outside_support(t)) return {std::isnan(t) ? t : 0.0, 0.0};
    const LowerView x = lower_view(upper, p);
    const double a = p.a;
    const double u = unit_time(t, a);
    if (std::isnan(u)) return {0.0, 0.0};
    const UnitDensity g = unit_density(u, x.w, x.w_complement);
    const DriftTilt tilt = drift_tilt(t, a, x, p.sv);
    double divisor = a * a;
    if (tilt.spread != 1.0) divisor *= std::sqrt(tilt.spread);
    const double factor = g.factor * (1.0 / divisor);
    const double exponent = g.exponent + tilt.exponent();
    if (std::isnormal(factor)) return {factor, exponent};
    return {1.0, log_scale(g.factor, a, tilt.spread) + exponent};
}

DecisionLogDensityGradient decision_log_density_gradient(bool upper, double t, const DecisionParameters& p) {
    if (outside_support(t)) return {std::isnan(t) ? t : -INF, NaN, NaN, NaN, NaN, NaN};
    const LowerView x = lower_view(upper, p);
    const double a = p.a, sv = p.sv;
    const double u = unit_time(t, a);
    if (std::isnan(u)) return {-INF, NaN, NaN, NaN, NaN, NaN};
    const UnitDensityGradient g = unit_density_gradient(u, x.w, x.w_complement);
    const DriftTilt tilt = drift_tilt(t, a, x, sv);
    const double inv_spread = 1.0 / tilt.spread;
    const double aw = a * x.w;

    const double log_density = log_scale(g.factor, a, tilt.spread) + g.exponent + tilt.exponent();
    if (!std::isfinite(log_density)) return {log_density, NaN, NaN, NaN, NaN, NaN};
    // a and w enter the tilt through a w sv^2 - v; u = t/a^2 carries a and t into g.
    const double slope = (aw * sv * sv - x.v) * inv_spread;
    // numerator / spread + 1 is what both the t and sv derivatives of the spread bring.
    const double through_spread = tilt.numerator * inv_spread + 1.0;
    // v and w enter the upper boundary's density as -v and 1 - w.
    return {log_density,
            -(aw + x.v * t) * inv_spread * x.flip,
            (-2.0 - 2.0 * g.u_d_u) / a + x.w * slope,
            (a * slope + g.d_w) * x.flip,
            sv == 0.0 ? 0.0 : sv * inv_spread * (aw * aw - t * through_spread),
            -0.5 * inv_spread * (x.v * x.v + sv * sv * through_spread) + g.u_d_u / t};
}

}  // namespace ventrola::likelihood
