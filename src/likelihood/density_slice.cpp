// In units where overflow cannot happen: with rho = 1 / sqrt(s D),
// kappa = sqrt(s / D) and r = (a d + v s) rho = a d rho + v kappa, the merged
// exponent is -r^2 / 2, and every partial derivative is a product of these
// (d log f / d v = -r kappa, d log f / d sv = sv kappa^2 (r^2 - 1), ...), none
// a difference of large terms. D itself is never formed: sqrt(D) comes from
// sv sqrt(s) alone once 1 no longer counts beside its square.
#include "likelihood/density_slice.hpp"

#include <cmath>
#include <limits>

#include "likelihood/small_time_series.hpp"

namespace ventrola::likelihood {
namespace {

constexpr double INV_SQRT_TWO_PI = 0.398942280401432677939946059934381868;
constexpr double HALF_LOG_TWO_PI = 0.918938533204672741780329736405617640;
constexpr double LOG_PI = 1.14472988584940017414342735135305871;
constexpr double PI = 3.14159265358979323846264338327950288;
constexpr double HALF_PI_SQUARED = 4.93480220054467930941724549993807557;

// Above this, 1 + x^2 is x^2 to double precision (and x^2 may overflow).
constexpr double SQUARE_DOMINATES = 1e8;

// A factor the sums may multiply by partial derivatives of any size without
// overflow; beyond, it goes into the exponent.
bool moderate(double x) { return x > 1e-100 && x < 1e100; }

}  // namespace

SliceConstants slice_constants(const DecisionParameters& lower) {
    const double a2 = lower.a * lower.a;
    return {lower, a2, 1.0 / a2};
}

DensitySlice density_slice(double s, const SliceConstants& c, double series_switch) {
    const DecisionParameters& lower = c.lower;
    DensitySlice slice;
    slice.a = lower.a;
    slice.v = lower.v;
    slice.sv = lower.sv;
    slice.s = s;
    slice.inv_s = 1.0 / s;
    slice.u = s * c.inv_a2;
    slice.inv_u = c.a2 * slice.inv_s;
    slice.large = slice.u >= series_switch;
    const double root_s = std::sqrt(s);
    const double x = lower.sv * root_s;
    const double root_d = x == 0.0 ? 1.0 : (x < SQUARE_DOMINATES ? std::sqrt(1.0 + x * x) : x);
    slice.rho = 1.0 / (root_s * root_d);
    slice.kappa = s * slice.rho;
    const double share = lower.sv * slice.kappa;
    slice.phi = share * share;
    // The factor common to every start point, a / (sqrt(2 pi) s^(3/2) sqrt(D))
    // or pi / (a^2 sqrt(D)), as a number while it is one and in the exponent
    // beyond: one logarithm per density instead of three.
    if (slice.large) {
        const double vk = lower.v * slice.kappa;
        slice.scale = PI * c.inv_a2 * (root_s * slice.rho);  // 1 / sqrt(D) = sqrt(s) rho
        slice.front = -HALF_PI_SQUARED * slice.u - 0.5 * (vk * vk);  // - v^2 s / (2D)
        if (!moderate(slice.scale)) {
            slice.front += LOG_PI - 2.0 * std::log(lower.a) - std::log(root_d);
            slice.scale = 1.0;
        }
        slice.powers = mode_powers(slice.u);
    } else {
        slice.scale = INV_SQRT_TWO_PI * lower.a * slice.rho * slice.inv_s;
        slice.front = 0.0;
        if (!moderate(slice.scale)) {
            slice.front = std::log(lower.a) - 1.5 * std::log(s) - HALF_LOG_TWO_PI - std::log(root_d);
            slice.scale = 1.0;
        }
    }
    return slice;
}

DensitySlice density_slice(double s, const DecisionParameters& lower, double series_switch) {
    return density_slice(s, slice_constants(lower), series_switch);
}

StartPoint start_point(const DensitySlice& slice, double d, double d_c) {
    return {d, d_c, slice.large ? start_angle(d, d_c) : StartAngle{}};
}

namespace {

// The drift's exponent at large times less its start-independent part:
// (a d sv)^2 / (2D) - a v d / D, with sv^2 / D = phi / s and 1 / D = kappa^2 / s.
double large_time_tilt(const DensitySlice& slice, double d) {
    const double ad = slice.a * d;
    return (0.5 * ad * ad * slice.phi - ad * slice.v * slice.kappa * slice.kappa) * slice.inv_s;
}

}  // namespace

SplitDensity slice_density(const DensitySlice& slice, const StartPoint& x) {
    if (slice.large) {
        const double factor = slice.scale * (x.angle.sin * mode_sum(slice.powers, x.angle));
        return {factor, slice.front + large_time_tilt(slice, x.d)};
    }
    const double r = slice.a * x.d * slice.rho + slice.v * slice.kappa;
    return {slice.scale * image_sum(slice.u, slice.inv_u, x.d, x.d_c), slice.front - 0.5 * (r * r)};
}

SliceGradient slice_gradient(const DensitySlice& slice, const StartPoint& x) {
    const double a = slice.a, v = slice.v, sv = slice.sv, d = x.d;
    const double kappa2 = slice.kappa * slice.kappa;
    if (slice.large) {
        const ModeMoments m = mode_moments(slice.powers, x.angle);
        const double factor = slice.scale * (x.angle.sin * m.s);
        const double exponent = slice.front + large_time_tilt(slice, d);
        const double inv_sum = 1.0 / m.s;
        // u d log g / du and d log g / dd of the eigenfunction series.
        const double elasticity = -HALF_PI_SQUARED * slice.u * (1.0 + m.s_u * inv_sum);
        const double g_d = PI * m.s_d * inv_sum / x.angle.sin;
        const double ad = a * d;
        const double inv_d = kappa2 * slice.inv_s;          // 1 / D
        const double sv2_d = slice.phi * slice.inv_s;       // sv^2 / D
        const double slope = ad * sv2_d - v * inv_d;        // (a d sv^2 - v) / D
        // numerator / D + 1, numerator = (a d sv)^2 - 2 a v d - v^2 s
        const double through = ad * ad * sv2_d - 2.0 * ad * v * inv_d - v * v * kappa2 + 1.0;
        const double sv_d = sv * slice.rho * slice.kappa;      // sv / D
        return {factor,
                exponent,
                -(ad + v * slice.s) * inv_d,
                (-2.0 - 2.0 * elasticity) / a + d * slope,
                a * slope + g_d,
                sv == 0.0 ? 0.0 : sv_d * (ad * ad - slice.s * through),
                -0.5 * (v * v * inv_d + sv2_d * through) + elasticity * slice.inv_s};
    }
    const ImageMoments m = image_moments(slice.u, slice.inv_u, d, x.d_c);
    const double r = a * d * slice.rho + v * slice.kappa;
    const double inv_m1 = 1.0 / m.m1;
    // u d log M1 / du and d log M1 / dd; b and c vanish together with every
    // image but the first, also where u is 0 and 1 / u infinite.
    const double elasticity = m.c == 0.0 ? 0.0 : m.c * slice.inv_u * inv_m1;
    const double image_slope = (m.b == 0.0 ? m.m0 : m.m0 - m.b * slice.inv_u) * inv_m1;
    const double r_rho = r * slice.rho;
    const double r2 = r * r;
    return {slice.scale * m.m1,
            slice.front - 0.5 * r2,
            -r * slice.kappa,
            (1.0 - 2.0 * elasticity) / a - d * r_rho,
            image_slope - a * r_rho,
            sv == 0.0 ? 0.0 : sv * kappa2 * (r2 - 1.0),
            (elasticity - 1.5 - 0.5 * slice.phi + 0.5 * r2 * (1.0 + slice.phi)) * slice.inv_s - v * r_rho};
}

}  // namespace ventrola::likelihood
