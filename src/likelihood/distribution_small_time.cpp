// Small-time series of the lower-boundary distribution function.
//
// The image construction gives the density as a sum over the images
// r_k = a (w + 2k) of the start, each term an inverse-Gaussian-type density;
// integrating term by term (Blurton, Kesselmeier & Gondan, 2012) turns each
// into two normal tails of the form exp(c v) Phi(alpha + beta v). Averaging
// exp(c nu) Phi(alpha + beta nu) over nu ~ Normal(v, sv^2) is again closed
// form, exp(c v + c^2 sv^2 / 2) Phi((alpha + beta (v + c sv^2)) / sqrt(1 + beta^2 sv^2)),
// so drift variability costs nothing extra. With S^2 = 1 + sv^2 t the term of
// image r is
//
//   sign(r) [N(c1, y1) + N(c2, y2)],   N(c, y) = exp(c v + c^2 sv^2 / 2) Phi(-y)
//                                              = exp(E_k - y^2 / 2) ... = exp(E_k) erfcx(y / sqrt 2) / 2,
//   y1 = sign(r) (r + t (v + 2 k a sv^2)) / (sqrt(t) S),        c1 = 2 k a,
//   y2 = sign(r) (r - t (v - 2 a (w + k) sv^2)) / (sqrt(t) S),  c2 = -2 a (w + k),
//   E_k = -(a w + v t)^2 / (2 t S^2) - 2 a^2 k (k + w) / t.
//
// E_k is ((a w sv)^2 - 2 v a w - v^2 t) / (2 S^2) - r^2 / (2t) with its two
// large parts already cancelled, as the density's exponent is
// (density_slice.hpp); written apart they lose every digit once sv^2 t is
// large. Every quantity is formed from sv sqrt(t) / S <= 1 and 1 / (sqrt(t) S),
// never from sv^2 or S^2, so that no drift variability or boundary a double
// holds overflows on the way.
//
// Each piece is at most 1 whatever the drift, so the exponential of the
// first form is at most 1 / Phi(-y): it cannot overflow unless y is large,
// where the second form takes over. Every term is at most 1 in magnitude, so
// the alternating sum keeps an absolute error of about 1e-16.
#include <cmath>
#include <limits>

#include "likelihood/distribution_series.hpp"
#include "likelihood/scaled_erfc.hpp"

namespace ventrola::likelihood {

namespace {

constexpr double INV_SQRT2 = 0.70710678118654752440;

// Far more image pairs than t / a^2 <= 1 can need (about six); the cap only
// guarantees that the loop ends should a parameter be NaN.
constexpr int MAX_IMAGE_PAIRS = 200;

// The floor for skipping pieces stays above the subnormal range.
constexpr double MIN_LEADING = 1e-290;

// Up to here the normal tail Phi(-y) is evaluated directly (Phi(-20) ~ 3e-89
// keeps far from underflow); beyond, through the scaled erfc, whose
// asymptotic series is cheap there.
constexpr double DIRECT_TAIL_LIMIT = 20.0;

// Pieces below exp(-41.5) ~ 1e-18 times the leading term are left out: they
// cannot change the sum, and skipping them saves most erfc calls.
constexpr double LOG_NEGLIGIBLE = -41.5;

// Above this, 1 + x^2 is x^2 to double precision (and x^2 may overflow).
constexpr double SQUARE_DOMINATES = 1e8;

struct ImageSum {
    double t = 0, v = 0, a = 0, w = 0, sv = 0;
    double inv_root_t_spread = 0;  // 1 / (sqrt(t) S)
    double share = 0;              // sv sqrt(t) / S, in [0, 1)
    double leading = 0;            // -(a w + v t)^2 / (2 t S^2)
    double log_floor = -std::numeric_limits<double>::infinity();

    // exp(c v + c^2 sv^2 / 2) Phi(-y), where log_scaled = c v + c^2 sv^2 / 2 - y^2 / 2.
    double piece(double y, double c, double log_scaled) const {
        // Bounds: exp(log_scaled) / 2 for y >= 0, 1 for y < 0.
        const double log_bound = y < 0.0 ? 0.0 : log_scaled;
        if (log_bound < log_floor) return 0.0;
        if (y < 0.0) {
            // Where the tail holds more than half, c v + c^2 sv^2 / 2 is at
            // most log 2 (the piece is at most 1); c = 0 for image 0's first
            // piece, whose tail is all of it.
            const double exponent = c == 0.0 ? 0.0 : c * v + 0.5 * (c * sv) * (c * sv);
            return std::fmin(1.0, 0.5 * std::exp(exponent) * std::erfc(y * INV_SQRT2));
        }
        if (y < DIRECT_TAIL_LIMIT) return 0.5 * std::exp(log_scaled + 0.5 * y * y) * std::erfc(y * INV_SQRT2);
        return 0.5 * std::exp(log_scaled) * scaled_erfc(y * INV_SQRT2);
    }

    // The magnitude of the term of image k; its sign is that of w + 2k.
    double term(int k) const {
        const double kk = k;
        const double r = a * (w + 2.0 * kk);
        const double side = r < 0.0 ? -1.0 : 1.0;
        const double c1 = 2.0 * kk * a;
        const double c2 = -2.0 * a * (w + kk);
        // t (v + c sv^2) / (sqrt(t) S) = v t / (sqrt(t) S) + c sv share.
        const double base = r * inv_root_t_spread;
        const double drift = v * t * inv_root_t_spread;
        const double y1 = side * (base + drift + c1 * sv * share);
        const double y2 = side * (base - drift - c2 * sv * share);
        const double log_scaled = k == 0 ? leading : leading - 2.0 * (a * kk) * (a * (kk + w)) / t;
        return piece(y1, c1, log_scaled) + piece(y2, c2, log_scaled);
    }
};

// A bound on the sum of all later terms on one side of the start, given the
// last term's magnitude and the ratio bound to the next image.
double rest_bound(double magnitude, double ratio) {
    if (magnitude == 0.0) return 0.0;
    if (!(ratio < 1.0)) return std::numeric_limits<double>::infinity();
    return magnitude * ratio / (1.0 - ratio);
}

}  // namespace

double small_time_distribution(double t, const DecisionParameters& lower, double tolerance) {
    const double root_t = std::sqrt(t);
    const double x = lower.sv * root_t;
    const double spread = x < SQUARE_DOMINATES ? std::sqrt(1.0 + x * x) : x;  // S
    const double inv_root_t_spread = 1.0 / (root_t * spread);
    const double ratio = (lower.a * lower.w + lower.v * t) * inv_root_t_spread;
    // Images in pairs of increasing distance: r = a (w + 2j) > 0 and
    // r = a (w - 2 - 2j) < 0.
    ImageSum images{
        .t = t,
        .v = lower.v,
        .a = lower.a,
        .w = lower.w,
        .sv = lower.sv,
        .inv_root_t_spread = inv_root_t_spread,
        .share = x / spread,
        .leading = -0.5 * ratio * ratio,
    };
    // The nearest image r = a w gives the largest term.
    const double leading = images.term(0);
    images.log_floor = std::log(std::fmax(leading, MIN_LEADING)) + LOG_NEGLIGIBLE;

    // From image distance rho to rho + 2a every term shrinks by at least
    // (1 + 2a / rho) exp(-(2 a rho + 2 a^2) / t), pointwise in the integrand,
    // and these ratios decrease along each side, so the rest of a side is at
    // most its last term times ratio / (1 - ratio). With u = t / a^2 and
    // rho / a = w + 2j (above) or 2 - w + 2j (below) the exponentials are
    // geometric in j.
    const double u = t / lower.a / lower.a;
    const double step = std::exp(-4.0 / u);
    double decay_above = std::exp(-2.0 * (lower.w + 1.0) / u);
    double decay_below = std::exp(-2.0 * (3.0 - lower.w) / u);

    double sum = leading;
    for (int j = 0; j < MAX_IMAGE_PAIRS; ++j) {
        const double above = j == 0 ? leading : images.term(j);
        const double below = images.term(-j - 1);
        if (j > 0) sum += above;
        sum -= below;
        const double ratio_above = (1.0 + 2.0 / (lower.w + 2.0 * j)) * decay_above;
        const double ratio_below = (1.0 + 2.0 / (2.0 - lower.w + 2.0 * j)) * decay_below;
        if (rest_bound(above, ratio_above) + rest_bound(below, ratio_below) <= tolerance) break;
        decay_above *= step;
        decay_below *= step;
    }
    return sum;
}

}  // namespace ventrola::likelihood
