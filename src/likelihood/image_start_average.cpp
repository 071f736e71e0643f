// Moments of the standard normal shape over [t_lo, t_hi], x_j = integral of
// t^j exp(-t^2/2), from its tails: U_j(y) = integral over [y, inf) is
// exp(-y^2/2) times R(y), 1, y + R(y), y^2 + 2 for j = 0..3, R(y) =
// sqrt(pi/2) erfcx(y / sqrt 2) the Mills ratio. A range above the centre is
// the difference of two upper tails, scaled by the larger so that nothing
// underflows; a range below it the mirror image; a range holding the centre
// the whole line less both tails. Every difference taken is of terms of one
// sign whose ratio image_start_average keeps below exp(-1.5).
//
// In d = mu_k + sigma t_k the moments of the density follow. Where mu < 0 (a
// drift away from the boundary) image 0's lose up to (1 + |mu| / d_lo) of
// relative accuracy per power, which FARTHEST_CENTRE keeps below 1e3. The
// images -1 and 1 add at most a small share, so the digits their moments lose
// against each other do not show in the sum.
#include "likelihood/image_start_average.hpp"

#include <cmath>

#include "likelihood/scaled_erfc.hpp"

namespace ventrola::likelihood {
namespace {

constexpr double SQRT_TWO_PI = 2.50662827463100050241576528481104525;
constexpr double LN2 = 0.693147180559945309417232121458176568;

// Images -1 and 1 are left out where they stay below exp(-40) = 4e-18 of the
// integral of image 0 (their ratio to image 0 times the range in deviations).
constexpr double IMAGE_EXPONENT = 40.0;
// The error functions' difference loses at most half its digits below this
// spread of image 0's exponent across the range (in e-folds), where a few
// nodes of a rule do as well.
constexpr double SMALLEST_DROP = 1.5;
// A drift away from the boundary may move the centre this many start
// distances below 0 before the moments lose more than 9 digits.
constexpr double FARTHEST_CENTRE = 1e3;
// Image -1 may cancel at most this share of images 0 and 1.
constexpr double MOST_CANCELLED = 0.5;

struct Moments {
    double x[4];
    double log_scale;  // the moments are exp(log_scale) * x
};

// Upper tails from y_lo >= 0 less those from y_hi, scaled by exp(-y_lo^2/2).
Moments tail_difference(double y_lo, double y_hi) {
    const double r_lo = mills_ratio(y_lo);
    Moments m{{r_lo, 1.0, y_lo + r_lo, y_lo * y_lo + 2.0}, -0.5 * y_lo * y_lo};
    const double e = std::exp(-0.5 * (y_hi - y_lo) * (y_hi + y_lo));
    if (e > 0) {
        const double r_hi = mills_ratio(y_hi);
        m.x[0] -= e * r_hi;
        m.x[1] -= e;
        m.x[2] -= e * (y_hi + r_hi);
        m.x[3] -= e * (y_hi * y_hi + 2.0);
    }
    return m;
}

Moments normal_moments(double t_lo, double t_hi) {
    if (t_lo >= 0) return tail_difference(t_lo, t_hi);
    if (t_hi <= 0) {
        Moments m = tail_difference(-t_hi, -t_lo);
        m.x[1] = -m.x[1];
        m.x[3] = -m.x[3];
        return m;
    }
    // The whole line less the tails below t_lo and above t_hi.
    const double e_lo = std::exp(-0.5 * t_lo * t_lo), e_hi = std::exp(-0.5 * t_hi * t_hi);
    const double r_lo = mills_ratio(-t_lo), r_hi = mills_ratio(t_hi);
    return {{SQRT_TWO_PI - e_lo * r_lo - e_hi * r_hi, e_lo - e_hi,
             SQRT_TWO_PI - e_lo * (r_lo - t_lo) - e_hi * (t_hi + r_hi),
             e_lo * (t_lo * t_lo + 2.0) - e_hi * (t_hi * t_hi + 2.0)},
            0.0};
}

// One image's integrals over the range, all times sigma exp(log_scale) and
// with e = exp(-t_k^2 / 2): of (d + 2k) e, e, d e, (d + 2k) t e, (d + 2k) t^2 e,
// (d + 2k) d e and (d + 2k) d t e, t = (d - mu) / sigma image 0's variable.
struct ImageIntegrals {
    double log_scale;
    double value, inverse, first, t, t2, d, dt;
};

ImageIntegrals image_integrals(int k, double mu, double sigma, double shift, double log_top, double d_lo,
                               double d_hi, bool value_only) {
    const double mu_k = mu - 2.0 * k * shift;  // shift = D
    const double inv_sigma = 1.0 / sigma;
    const Moments n = normal_moments((d_lo - mu_k) * inv_sigma, (d_hi - mu_k) * inv_sigma);
    const double* x = n.x;
    const double m = mu_k + 2.0 * k;  // d + 2k at t_k = 0
    ImageIntegrals out{};
    out.log_scale = log_top + n.log_scale;
    out.value = m * x[0] + sigma * x[1];
    if (value_only) return out;
    const double delta = (mu - mu_k) * inv_sigma;  // t = t_k - delta
    const double p1 = m * x[1] + sigma * x[2];
    const double p2 = m * x[2] + sigma * x[3];
    out.inverse = x[0];
    out.first = mu_k * x[0] + sigma * x[1];
    out.t = p1 - delta * out.value;
    out.t2 = p2 - delta * (2.0 * p1 - delta * out.value);
    out.d = m * mu_k * x[0] + (m + mu_k) * sigma * x[1] + sigma * sigma * x[2];
    const double q1 = m * mu_k * x[1] + (m + mu_k) * sigma * x[2] + sigma * sigma * x[3];
    out.dt = q1 - delta * out.d;
    return out;
}

}  // namespace

ImageStartAverage image_start_average(const DensitySlice& slice, const StartRange& range, bool value_only) {
    const double d_lo = range.lo, d_hi = range.hi, centre = range.centre, half = range.half;
    ImageStartAverage out{};
    const double a_rho = slice.a * slice.rho;  // 1 / sigma
    const double sigma = 1.0 / a_rho;
    const double mu = -slice.v * slice.kappa * sigma;
    if (mu < -FARTHEST_CENTRE * d_lo) return out;
    const double t_lo = (d_lo - mu) * a_rho, t_hi = (d_hi - mu) * a_rho;
    // Image 0's exponent -t^2/2 at its top over the range, and its spread
    // across the range: from end to end, or from the centre to the farther end.
    const double top = t_lo > 0 ? t_lo : (t_hi < 0 ? -t_hi : 0.0);
    const double bottom = std::fmax(std::fabs(t_lo), std::fabs(t_hi));
    if (!(0.5 * (bottom - top) * (bottom + top) >= SMALLEST_DROP)) return out;

    // Image -1 weighs (2 - d)/d exp(-2(1 - d)/u) against image 0 at d and rises
    // towards the range's high end, image 1 (2 + d)/d exp(-2(1 + d)/u) and
    // rises towards its low end: against image 0's integral each is at most
    // that weight times image 0 there, relative to its top, times the range
    // in deviations.
    const double far = 2.0 * range.hi_c * slice.inv_u + 0.5 * (t_hi - top) * (t_hi + top) - range.log_image_hi;
    const double near =
        2.0 * (1.0 + d_lo) * slice.inv_u + 0.5 * (std::fabs(t_lo) - top) * (std::fabs(t_lo) + top) - range.log_image_lo;
    // The logarithm of the range in deviations, bounded through its binary
    // exponent.
    const double log_width = (std::ilogb(1.0 + 2.0 * (t_hi - t_lo)) + 1) * LN2;
    auto outweighed = [&](double exponent) { return exponent >= IMAGE_EXPONENT + log_width; };
    const bool below = !outweighed(far);
    const bool above = !outweighed(near);

    // D = sigma^2 / u; image k's exponent tops at 2k (k (D - 1) - mu) / u.
    const double shift = sigma * sigma * slice.inv_u;
    const double grown = slice.phi * shift;  // D - 1 = sv^2 s
    auto log_top = [&](int k) { return 2.0 * k * (k * grown - mu) * slice.inv_u; };
    ImageIntegrals images[3];
    int count = 0;
    images[count++] = image_integrals(0, mu, sigma, shift, 0.0, d_lo, d_hi, value_only);
    if (above) images[count++] = image_integrals(1, mu, sigma, shift, log_top(1), d_lo, d_hi, value_only);
    const int first_below = count;
    if (below) images[count++] = image_integrals(-1, mu, sigma, shift, log_top(-1), d_lo, d_hi, value_only);
    const int ks[3] = {0, 1, -1};
    auto k_of = [&](int i) { return i < first_below ? ks[i] : -1; };

    // Summed on image 0's scale.
    double scales[3];
    double positive = 0, negative = 0;
    for (int i = 0; i < count; ++i) {
        scales[i] = std::exp(images[i].log_scale - images[0].log_scale);
        (k_of(i) < 0 ? negative : positive) += scales[i] * images[i].value;
    }
    if (!(positive > 0) || -negative > MOST_CANCELLED * positive) return out;
    const double total = positive + negative;
    out.valid = true;
    out.factor = slice.scale * (sigma * total) / (2.0 * half);
    out.exponent = slice.front + images[0].log_scale;
    if (value_only) return out;

    double inverse = 0, first = 0, t = 0, t2 = 0, d = 0, dt = 0, k_value = 0, k_d = 0;
    for (int i = 0; i < count; ++i) {
        const ImageIntegrals& g = images[i];
        const double w = scales[i];
        const double k = k_of(i);
        inverse += w * g.inverse;
        first += w * g.first;
        t += w * g.t;
        t2 += w * g.t2;
        d += w * g.d;
        dt += w * g.dt;
        k_value += w * k * g.value;
        k_d += w * k * (k * g.value + g.d);
    }
    const double inv_total = 1.0 / total;
    const double mean_t = t * inv_total, mean_t2 = t2 * inv_total, mean_dt = dt * inv_total;
    const double image_s = 2.0 * slice.inv_u * k_d * inv_total;  // s times the images' share of d/ds
    const double a = slice.a, rho = slice.rho;
    out.d_v = -slice.kappa * mean_t;
    out.d_a = 1.0 / a - rho * mean_dt - 2.0 * image_s / a;
    out.d_d = inverse * inv_total - a_rho * mean_t - 2.0 * slice.inv_u * k_value * inv_total;
    out.d_sv = slice.sv == 0.0 ? 0.0 : slice.sv * slice.kappa * slice.kappa * (mean_t2 - 1.0);
    const double c0 = -1.5 - 0.5 * slice.phi, c2 = 0.5 * (1.0 + slice.phi);
    const double v_rho = slice.v * rho;
    out.d_s = (c0 + c2 * mean_t2 + image_s) * slice.inv_s - v_rho * mean_t;
    out.abs_d_s = (-c0 + c2 * mean_t2 + std::fabs(image_s)) * slice.inv_s + std::fabs(v_rho) * std::sqrt(mean_t2);
    // position / 2 times d log f / dd, position = (d - centre) / half.
    double k_d_centred = 0;
    for (int i = 0; i < count; ++i) k_d_centred += scales[i] * k_of(i) * (images[i].d - centre * images[i].value);
    out.half_position_d_d = 0.5 / half *
                            ((first - centre * inverse) - a_rho * (dt - centre * t) -
                             2.0 * slice.inv_u * k_d_centred) *
                            inv_total;
    return out;
}

}  // namespace ventrola::likelihood
