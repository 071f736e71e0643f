// The decision-time log-density of one boundary and its partial derivatives
// at one decision time and start point: density_slice.hpp's kernel seen from
// the boundary of the response. At the lower boundary
//   f(t) = g(t/a^2, w) / a^2 * exp(((a w sv)^2 - 2 a v w - v^2 t) / (2 (1 + sv^2 t))) / sqrt(1 + sv^2 t),
// which is the familiar exp(-v a w - v^2 t / 2) g(t/a^2, w) / a^2 when sv = 0;
// at the upper boundary it is the same with v -> -v and w -> 1 - w.
#include <cmath>
#include <limits>

#include "likelihood/decision_time.hpp"
#include "likelihood/density_slice.hpp"
#include "likelihood/lower_boundary.hpp"

namespace ventrola::likelihood {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

bool outside_support(double t) { return !(t > 0.0) || t == INF; }

}  // namespace

double decision_log_density(bool upper, double t, const DecisionParameters& p) {
    if (outside_support(t)) return std::isnan(t) ? t : -INF;
    const LowerView x = lower_view(upper, p);
    const DensitySlice slice = density_slice(t, {x.v, p.a, x.w, p.sv});
    const SplitDensity f = slice_density(slice, start_point(slice, x.w, x.w_complement));
    return std::log(f.factor) + f.exponent;
}

SplitDensity decision_split_density(bool upper, double t, const DecisionParameters& p) {
    if (outside_support(t)) return {std::isnan(t) ? t : 0.0, 0.0};
    const LowerView x = lower_view(upper, p);
    const DensitySlice slice = density_slice(t, {x.v, p.a, x.w, p.sv});
    return slice_density(slice, start_point(slice, x.w, x.w_complement));
}

DecisionLogDensityGradient decision_log_density_gradient(bool upper, double t, const DecisionParameters& p) {
    if (outside_support(t)) return {std::isnan(t) ? t : -INF, NaN, NaN, NaN, NaN, NaN};
    const LowerView x = lower_view(upper, p);
    const DensitySlice slice = density_slice(t, {x.v, p.a, x.w, p.sv});
    const SliceGradient g = slice_gradient(slice, start_point(slice, x.w, x.w_complement));
    const double log_density = std::log(g.factor) + g.exponent;
    if (!std::isfinite(log_density)) return {log_density, NaN, NaN, NaN, NaN, NaN};
    // v and w enter the upper boundary's density as -v and 1 - w.
    return {log_density, g.d_v * x.flip, g.d_a, g.d_d * x.flip, g.d_sv, g.d_s};
}

}  // namespace ventrola::likelihood
