#include "likelihood/start_point_average.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "likelihood/log_weighted_sum.hpp"
#include "likelihood/lower_boundary.hpp"
#include "likelihood/non_decision_average.hpp"
#include "likelihood/quadrature.hpp"
#include "likelihood/time_window_quadrature.hpp"

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

// The decision time in [longest - range, longest] where the density is
// largest, for the start point nearest to the boundary (whose density peaks
// earliest, so its shape in the start point is the steepest that counts).
// The mode of the leading small-time term with drift variability,
//   M(x) = -c/x - 3/2 log x + (R^2 - 2 r v - v^2 x) / (2D) - 1/2 log D,
// r the distance, R = r sv, D = 1 + sv^2 x, solves
//   g = x M'(x) = c/x - 3/2 - K x / (2 D^2) - sv^2 x / (2D) = 0,
// K = (v - r sv^2)^2; g falls in log x, and Newton's method there from the
// mode without drift settles in a few steps.
double typical_decision_time(bool upper, double longest, double range, double half, const DecisionParameters& p) {
    const LowerView x = lower_view(upper, p);
    const double r = p.a * (x.w - half);
    const double v = x.v;
    const double c = 0.5 * r * r;
    const double sv2 = p.sv * p.sv;
    const double drift = v - r * sv2;
    const double k = drift * drift;
    double log_x = std::log(c / 1.5);
    for (int iteration = 0; iteration < 12; ++iteration) {
        const double x = std::exp(log_x);
        const double d = 1 + sv2 * x;
        const double g = c / x - 1.5 - k * x / (2 * d * d) - sv2 * x / (2 * d);
        const double slope = -c / x - k * x * (1 - sv2 * x) / (2 * d * d * d) - sv2 * x / (2 * d * d);
        const double step = std::clamp(-g / slope, -2.0, 2.0);
        log_x += step;
        if (!(std::fabs(step) > 1e-3)) break;
    }
    return std::clamp(std::exp(log_x), longest - range, longest);
}

// An average over a window [shortest, longest] of decision times is
// (F(longest) - F(shortest)) / range. Where the window starts past the
// density's peak both are the boundary probability less a survival and the
// probability cancels; where it starts before, F(longest) keeps the shape of
// the boundary probability in the start point.
bool takes_whole_peak(double longest, double range, double typical) { return range > 0 && typical > longest - range; }

// With both ranges, a window narrow enough for one log-time rule at every
// start point turns the double average into a product rule, which needs far
// fewer evaluations than a difference of distribution functions per start
// point. The rule is sized at the two extreme start points, where the
// density's shape in time differs most; 0 when either needs more.
int shared_window_rule(bool upper, double longest, double range, double half, const DecisionParameters& p) {
    if (!narrow_window(longest, range)) return 0;
    int nodes = 0;
    for (const double start : {p.w - half, p.w + half}) {
        DecisionParameters q = p;
        q.w = start;
        auto sample = [&](double x) {
            const DecisionLogDensityGradient g = decision_log_density_gradient(upper, x, q);
            return EndSample{g.log_density, g.d_t};
        };
        const int n = window_rule_size(longest, range, sample(longest - range), sample(longest), Accuracy::Density);
        if (n == 0) return 0;
        nodes = std::max(nodes, n);
    }
    return nodes;
}

AveragedGradient decision_gradient_at(bool upper, double t, const DecisionParameters& p) {
    const DecisionLogDensityGradient g = decision_log_density_gradient(upper, t, p);
    // At st0 = 0 the average over [t - st0, t] moves at half the density's slope.
    return {g.log_density, g.d_v, g.d_a, g.d_w, g.d_sv, -g.d_t, 0.0, -0.5 * g.d_t};
}

}  // namespace

double log_start_point_average(bool upper, double longest, double range, double sz, const DecisionParameters& p) {
    const double half = 0.5 * sz;
    const double typical = range > 0 ? typical_decision_time(upper, longest, range, half, p) : longest;
    const int window_nodes = range > 0 ? shared_window_rule(upper, longest, range, half, p) : 0;
    // The product rule integrates densities in the start point, one window
    // time at a time; only an inner difference of distribution functions
    // carries the shape of the boundary probability.
    const bool cumulative = window_nodes == 0 && takes_whole_peak(longest, range, typical);
    const StartPointRule rule = start_point_rule(upper, typical, half, p, Accuracy::Density, cumulative);
    LogWeightedSum<0> sum;
    if (window_nodes != 0) {
        // The window's nodes are the same at every start point: placed once.
        std::array<double, MAX_RULE_NODES> times{};
        std::array<double, MAX_RULE_NODES> log_window_weights{};
        int count = 0;
        for_each_window_node(longest, range, window_nodes, [&](double x, double log_window_weight) {
            times[count] = x;
            log_window_weights[count++] = log_window_weight;
        });
        for_each_start_point(p.w, half, rule, [&](double start, double, double log_weight) {
            DecisionParameters q = p;
            q.w = start;
            for (int j = 0; j < count; ++j) {
                const SplitDensity f = decision_split_density(upper, times[j], q);
                sum.add_split(f.factor, log_weight + log_window_weights[j] + f.exponent);
            }
        });
        return sum.log_total() - std::log(range);
    }
    for_each_start_point(p.w, half, rule, [&](double start, double, double log_weight) {
        DecisionParameters q = p;
        q.w = start;
        if (range > 0) {
            sum.add(log_weight + log_non_decision_average(upper, longest, range, q), {});
        } else {
            const SplitDensity f = decision_split_density(upper, longest, q);
            sum.add_split(f.factor, log_weight + f.exponent);
        }
    });
    return sum.log_total();
}

AveragedGradient start_point_average_gradient(bool upper, double longest, double range, double sz,
                                              const DecisionParameters& p) {
    const double half = 0.5 * sz;
    const double typical = range > 0 ? typical_decision_time(upper, longest, range, half, p) : longest;
    LogWeightedSum<7> sum;
    const bool cumulative = takes_whole_peak(longest, range, typical);
    for_each_start_point(
        p.w, half, start_point_rule(upper, typical, half, p, Accuracy::Derivative, cumulative),
        [&](double start, double position, double log_weight) {
            DecisionParameters q = p;
            q.w = start;
            const AveragedGradient g = range > 0 ? non_decision_average_gradient(upper, longest, range, q)
                                                 : decision_gradient_at(upper, longest, q);
            // The start point is w + (sz/2) * position, so it moves
            // with sz at half its position.
            sum.add(log_weight + g.log_density, {g.d_v, g.d_a, g.d_w, g.d_sv, g.d_t0, g.d_st0, 0.5 * position * g.d_w});
        });
    AveragedGradient g{};
    g.log_density = sum.log_total();
    g.d_v = sum.mean(0);
    g.d_a = sum.mean(1);
    g.d_w = sum.mean(2);
    g.d_sv = sum.mean(3);
    g.d_t0 = sum.mean(4);
    g.d_st0 = sum.mean(5);
    g.d_sz = sum.mean(6);
    return g;
}

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
