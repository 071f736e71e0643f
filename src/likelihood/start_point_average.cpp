#include "likelihood/start_point_average.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "likelihood/lower_boundary.hpp"
#include "likelihood/non_decision_average.hpp"
#include "likelihood/quadrature.hpp"

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

// How the start-point average is integrated: the range in `pieces` equal
// parts with the `nodes`-node Gauss-Legendre rule each; or, when all the
// weight sits at one end (`one_sided`), Gauss-Laguerre from that end in
// z = q(end) - q(d) for the normal shape q below, whose slope there is
// `rate` (> 0) and curvature -2 `spread`.
struct StartPointRule {
    int pieces;
    int nodes;
    bool one_sided = false;
    bool from_low_end = true;  // of the start range
    double rate = 0;
    double spread = 0;
};

int laguerre_nodes(Accuracy accuracy) { return accuracy == Accuracy::Derivative ? 12 : 8; }

// As a function of the start point the density at decision time t is close
// to exp(q(d)) times d or sin(pi d), d the distance from the start to the
// boundary in units of a, q(d) = q1 d + q2 d^2. Drift and its variability
// give q1 = -a v / D and a^2 sv^2 / (2D) in q2, D = 1 + sv^2 t. At short times
// the leading term of the image series adds -a^2 / (2t) to q2 (so q2 < 0)
// and the factor d, which the rule integrates exactly; next to the other
// boundary (d near 1) the first image adds a factor 1 - exp(-2 (1 - d) / u),
// u = t / a^2. At long times the factor is sin(pi d), which varies like
// exp(pi d), and q2 keeps only the drift variability. A distribution
// function also carries the shape of the boundary probability, exp(-2 a v d)
// averaged over the drift: q1 = -2 a v, q2 = 2 a^2 sv^2.
StartPointRule start_point_rule(bool upper, double t, double half, const DecisionParameters& p, Accuracy accuracy,
                                bool cumulative) {
    const LowerView x = lower_view(upper, p);
    const double d = x.w;
    const double v = x.v;
    const double u = t / (p.a * p.a);
    const double spread = 1 + p.sv * p.sv * t;
    const double q1 = std::isinf(t) ? 0.0 : -p.a * v / spread;
    const double q2_long = std::isinf(t) ? 0.0 : p.a * p.a * p.sv * p.sv / (2 * spread);
    const double q2_short = q2_long - p.a * p.a / (2 * t);
    const double q1_probability = cumulative ? -2 * p.a * v : 0.0;
    const double q2_probability = cumulative ? 2 * p.a * p.a * p.sv * p.sv : 0.0;
    const bool long_time = u >= LONG_TIME;
    const bool image = !long_time && 2 * (1 - d - half) < 40 * u;

    // The short-time shape can put all the weight at one end of the range:
    // where it falls across the whole range, at the end where it falls
    // slowest. Its rule leaves the long-time and image shapes out, so it
    // waits for them to fade.
    auto q = [&](double x) { return (q1 + q2_short * x) * x; };
    const double slope_low = q1 + 2 * q2_short * (d - half);
    const double slope_high = q1 + 2 * q2_short * (d + half);
    const bool at_low = slope_low < 0 && slope_high < 0;
    const bool at_high = slope_low > 0 && slope_high > 0;
    const double rate = at_low ? -slope_low : (at_high ? slope_high : 0.0);
    const double drop = std::fabs(q(d + half) - q(d - half));
    const bool can_be_one_sided = (at_low || at_high) && drop >= ONE_SIDED_DROP &&
                                  rate * rate >= 4 * ONE_SIDED_DISTANCE * -q2_short && !long_time && !image;
    // The low end in d is the low end of the start range for the lower
    // boundary and the high end for the upper one.
    const StartPointRule one_sided{0, laguerre_nodes(accuracy), true, at_low != upper, rate, -q2_short};

    for (int pieces = 1; pieces <= MAX_PIECES; ++pieces) {
        const double h = half / pieces;
        // The slope of q1 d + q2 d^2 at the centre of the steeper end piece.
        auto slope = [&](double q1_, double q2_) {
            return std::fmax(std::fabs(q1_ + 2 * q2_ * (d - half + h)), std::fabs(q1_ + 2 * q2_ * (d + half - h)));
        };
        int nodes = rule_size(slope(q1, q2_short) * h, q2_short * h * h, accuracy);
        if (nodes != 0 && long_time) {
            const int long_nodes = rule_size(slope(q1, q2_long) * h + std::numbers::pi * h, q2_long * h * h, accuracy);
            nodes = long_nodes == 0 ? 0 : std::max(nodes, long_nodes);
        }
        if (nodes != 0 && image) {
            // A factor of the short-time shape: the rates add.
            const int image_nodes = rule_size((2 / u + slope(q1, q2_short)) * h, q2_short * h * h, accuracy);
            nodes = image_nodes == 0 ? 0 : std::max(nodes, image_nodes);
        }
        if (nodes != 0 && cumulative) {
            const int probability_nodes =
                rule_size(slope(q1_probability, q2_probability) * h, q2_probability * h * h, accuracy);
            nodes = probability_nodes == 0 ? 0 : std::max(nodes, probability_nodes);
        }
        if (nodes != 0) {
            if (can_be_one_sided && pieces * nodes > one_sided.nodes) return one_sided;
            return {pieces, nodes};
        }
        if (can_be_one_sided) return one_sided;
    }
    return {MAX_PIECES, MAX_RULE_NODES};
}

// Calls visit(start point, its position in [-1, 1] across the whole range,
// log of its weight in the average) for every node; the weights sum to 1, so
// that a range too small to resolve still averages to its centre's value.
template <class Visit>
void for_each_start_point(double w, double half, StartPointRule rule, Visit&& visit) {
    if (rule.one_sided) {
        // In z = rate x + spread x^2, x the distance from the end in d (and in
        // the start point), dx = dz / sqrt(rate^2 + 4 spread z); the average
        // is the integral over 2 half.
        const GaussLaguerreRule gl = gauss_laguerre(rule.nodes);
        const double log_share = -std::log(2 * half);
        const double end = rule.from_low_end ? -1.0 : 1.0;
        const double inward = rule.from_low_end ? 1.0 : -1.0;
        for (std::size_t i = 0; i < gl.nodes.size(); ++i) {
            const double z = gl.nodes[i];
            const double root = std::sqrt(rule.rate * rule.rate + 4 * rule.spread * z);
            const double distance = 2 * z / (rule.rate + root);
            const double position = end + inward * distance / half;
            visit(w + half * position, position, log_share + gl.log_weights[i] - std::log(root));
        }
        return;
    }
    const GaussLegendreRule gl = gauss_legendre(rule.nodes);
    const double log_share = -std::log(2.0 * rule.pieces);
    for (int piece = 0; piece < rule.pieces; ++piece) {
        for (std::size_t i = 0; i < gl.nodes.size(); ++i) {
            const double position = (2 * piece + 1 - rule.pieces + gl.nodes[i]) / rule.pieces;
            visit(w + half * position, position, log_share + gl.log_weights[i]);
        }
    }
}

}  // namespace

double start_point_average_distribution(bool upper, double longest, double range, double sz,
                                        const DecisionParameters& p) {
    const double half = 0.5 * sz;
    double total = 0;
    for_each_start_point(p.w, half, start_point_rule(upper, longest, half, p, Accuracy::Value, true),
                         [&](double start, double, double log_weight) {
                             DecisionParameters q = p;
                             q.w = start;
                             const double inner = range > 0
                                                      ? non_decision_average_distribution(upper, longest, range, q)
                                                      : decision_distribution(upper, longest, q);
                             total += std::exp(log_weight) * inner;
                         });
    return total;
}

}  // namespace ventrola::likelihood
