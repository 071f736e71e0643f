// Sizing the start rule. The rule is sized for exp(q) over the range; the
// long-time shape, the image next to the other boundary and the boundary
// probability each ask for their own size and the largest wins. Where no
// single rule will do, the range is cut into up to MAX_PIECES pieces.
//
// At short times the shape is a normal density in d' of standard deviation
// sqrt(t D) / a, far narrower than the range when t is small: where its
// centre lies inside the range, or within REACH deviations of it, only that
// much of the range around the centre is integrated; where it lies further
// out, all the weight sits at the nearer end, for the one-sided rule.
#include "likelihood/start_rule.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace ventrola::likelihood {
namespace {

constexpr int MAX_PIECES = 64;

// Below this t / a^2 the start-point shape is the short-time one alone: the
// eigenfunction series' sin(pi d) has not formed yet. From here on that
// shape also covers the first image next to the other boundary.
constexpr double LONG_TIME = 0.05;

// The one-sided rule needs the integrand to fall by this many e-folds across
// the range, and its start this many (squared) standard deviations of the
// normal shape beyond the shape's centre.
constexpr double ONE_SIDED_DROP = 60;
constexpr double ONE_SIDED_DISTANCE = 9;

// Where the short-time shape exp(q) has fallen this many standard deviations
// (in the square root of twice its e-folds) below its top over the range, it
// has fallen by 45 e-folds; its factor d' (at most the cut's reach over the
// top's distance, about 10) cannot bring that back.
constexpr double REACH = 9.5;

// The image next to the other boundary counts from this weight against the
// whole integral.
constexpr double NEGLIGIBLE_IMAGE = 1e-13;

// Above this, 1 + x^2 is x^2 to double precision (and x^2 may overflow).
constexpr double SQUARE_DOMINATES = 1e8;

int laguerre_nodes(Accuracy accuracy) { return accuracy == Accuracy::Derivative ? 12 : 8; }

}  // namespace

StartShape start_shape(double t, const DecisionParameters& lower, double d_c, double half, bool cumulative) {
    const double a = lower.a, v = lower.v, sv = lower.sv;
    StartShape shape{lower.w, d_c, half, 0, 0, 0, t / a / a, a / t * a};
    if (std::isfinite(t)) {
        // 1 / D and sv^2 / D from x = sv sqrt(t), which cannot overflow.
        const double x = sv * std::sqrt(t);
        const double root_d = x < SQUARE_DOMINATES ? std::sqrt(1 + x * x) : x;
        const double inv_d = 1 / root_d / root_d;
        const double share = x / root_d;
        shape.q1 = -a * v * inv_d;
        shape.q2_long = 0.5 * (a * share) * (a * share) / t;
        shape.q2_short = -0.5 * a * (a * inv_d / t);
    }
    if (cumulative) {
        shape.probability_slope = -2 * a * v;
        shape.probability_curvature = 2 * (a * sv) * (a * sv);
    }
    return shape;
}

StartRule start_rule(const StartShape& shape, Accuracy accuracy) {
    const double q1 = shape.q1, q2_short = shape.q2_short, q2_long = shape.q2_long;
    const double d = shape.d, half = shape.half;
    const bool long_time = shape.u >= LONG_TIME;
    // The short-time shape and its largest value over [lo, hi].
    auto q_short = [&](double x) { return (q1 + q2_short * x) * x; };
    auto top_short = [&](double lo, double hi) {
        const double peak = -q1 / (2 * q2_short);
        return q_short(std::clamp(peak, lo, hi));
    };
    // Image -1 against image 0 at the range's end nearest the other boundary:
    // (2 - d')/d' exp(-2 (1 - d') / u), which falls at rate 2/u from there. It
    // counts against the whole integral, where the short-time shape at that
    // end may be far below its top over the range.
    const double far_exponent = 2 * (shape.d_c - half) * shape.inv_u;
    const double image_weight =
        long_time || far_exponent > 60
            ? 0.0
            : (1 + shape.d_c - half) / (d + half) *
                  std::exp(-far_exponent + q_short(d + half) - top_short(d - half, d + half));
    const bool image = image_weight > NEGLIGIBLE_IMAGE;

    // The part of the range worth integrating, as offsets from its centre d:
    // cut where the short-time shape is REACH^2 / 2 e-folds below its top over
    // the range, which is at the shape's centre or, beyond the range, at its
    // nearer end. A distribution function's boundary probability keeps it all.
    double low = -half, high = half;
    const bool cumulative = shape.probability_slope != 0 || shape.probability_curvature != 0;
    if (!long_time && !cumulative) {
        const double inv_sigma = std::sqrt(-2 * q2_short);
        const double peak = -q1 / (2 * q2_short) - d;
        const double to_top = std::fabs(std::clamp(peak, -half, half) - peak) * inv_sigma;
        const double reach = std::sqrt(to_top * to_top + REACH * REACH) / inv_sigma;
        low = std::fmax(low, peak - reach);
        high = std::fmin(high, peak + reach);
        if (!(low < high)) low = -half, high = half;
    }
    const bool cut = low > -half || high < half;
    const double mid = 0.5 * (low + high), span = 0.5 * (high - low);

    // The short-time shape can put all the weight at one end of the range:
    // where it falls across the whole range, at the end where it falls
    // slowest. Its rule leaves the long-time and image shapes out, so it
    // waits for them to fade.
    const double slope_low = q1 + 2 * q2_short * (d - half);
    const double slope_high = q1 + 2 * q2_short * (d + half);
    const bool at_low = slope_low < 0 && slope_high < 0;
    const bool at_high = slope_low > 0 && slope_high > 0;
    const double rate = at_low ? -slope_low : (at_high ? slope_high : 0.0);
    const double drop = std::fabs(q_short(d + half) - q_short(d - half));
    const bool can_be_one_sided = !cut && (at_low || at_high) && drop >= ONE_SIDED_DROP &&
                                  rate * rate >= 4 * ONE_SIDED_DISTANCE * -q2_short && !long_time && !image;
    StartRule one_sided{0, laguerre_nodes(accuracy)};
    one_sided.one_sided = true;
    one_sided.from_low_end = at_low;
    one_sided.rate = rate;
    one_sided.spread = -q2_short;

    const double centre = d + mid;
    for (int pieces = 1; pieces <= MAX_PIECES; ++pieces) {
        const double h = span / pieces;
        // The slope of q1 d + q2 d^2 at the centre of the steeper end piece.
        auto slope = [&](double q1_, double q2_) {
            return std::fmax(std::fabs(q1_ + 2 * q2_ * (centre - span + h)),
                             std::fabs(q1_ + 2 * q2_ * (centre + span - h)));
        };
        int nodes = rule_size(slope(q1, q2_short) * h, q2_short * h * h, accuracy);
        if (nodes != 0 && long_time) {
            const int long_nodes = rule_size(slope(q1, q2_long) * h + std::numbers::pi * h, q2_long * h * h, accuracy);
            nodes = long_nodes == 0 ? 0 : std::max(nodes, long_nodes);
        }
        if (nodes != 0 && image) {
            // The image is a small addend rising at rate 2/u towards the far end.
            const int image_nodes = steep_addend_rule_size(2 * shape.inv_u * h, std::fmin(image_weight, 1.0), accuracy);
            nodes = image_nodes == 0 ? 0 : std::max(nodes, image_nodes);
        }
        if (nodes != 0 && cumulative) {
            const double p1 = shape.probability_slope, p2 = shape.probability_curvature;
            const int probability_nodes = rule_size(slope(p1, p2) * h, p2 * h * h, accuracy);
            nodes = probability_nodes == 0 ? 0 : std::max(nodes, probability_nodes);
        }
        if (nodes != 0) {
            if (can_be_one_sided && pieces * nodes > one_sided.nodes) return one_sided;
            return {pieces, nodes, mid, span};
        }
        if (can_be_one_sided) return one_sided;
    }
    return {MAX_PIECES, MAX_RULE_NODES, mid, span};
}

}  // namespace ventrola::likelihood
