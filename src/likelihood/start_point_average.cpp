#include "likelihood/start_point_average.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "likelihood/log_weighted_sum.hpp"
#include "likelihood/non_decision_average.hpp"
#include "likelihood/quadrature.hpp"
#include "likelihood/time_window_quadrature.hpp"

namespace ventrola::likelihood {

namespace {

constexpr int MAX_PIECES = 64;

// The start-point range is cut into `pieces` equal parts, each integrated
// with the `nodes`-node Gauss-Legendre rule.
struct StartPointRule {
    int pieces;
    int nodes;
};

// As a function of the start point the density at decision time t is close
// to exp(q1 d + q2 d^2) times d or sin(pi d), d the distance from the start to
// the boundary in units of a. Drift and its variability give q1 = -a v / D and
// a^2 sv^2 / (2D) in q2, D = 1 + sv^2 t. At short times the leading term of
// the image series adds -a^2 / (2t) to q2 and the factor d, which the rule
// integrates exactly; at long times the factor is sin(pi d), which varies
// like exp(pi d). The rule must suit both. A distribution function also
// carries the shape of the boundary probability, exp(-2 a v d) averaged over
// the drift: q1 = -2 a v, q2 = 2 a^2 sv^2.
StartPointRule start_point_rule(bool upper, double t, double half, const DecisionParameters& p, Accuracy accuracy,
                                bool cumulative) {
    const double d = upper ? 1 - p.w : p.w;
    const double v = upper ? -p.v : p.v;
    const double spread = 1 + p.sv * p.sv * t;
    const double q1 = std::isinf(t) ? 0.0 : -p.a * v / spread;
    const double q2_long = std::isinf(t) ? 0.0 : p.a * p.a * p.sv * p.sv / (2 * spread);
    const double q2_short = q2_long - p.a * p.a / (2 * t);
    const double q1_probability = cumulative ? -2 * p.a * v : 0.0;
    const double q2_probability = cumulative ? 2 * p.a * p.a * p.sv * p.sv : 0.0;
    for (int pieces = 1; pieces <= MAX_PIECES; ++pieces) {
        const double h = half / pieces;
        // The slope of q1 d + q2 d^2 at the centre of the steeper end piece.
        auto slope = [&](double q1_, double q2_) {
            return std::fmax(std::fabs(q1_ + 2 * q2_ * (d - half + h)), std::fabs(q1_ + 2 * q2_ * (d + half - h)));
        };
        const int short_nodes = rule_size(slope(q1, q2_short) * h, q2_short * h * h, accuracy);
        const int long_nodes =
            rule_size(slope(q1, q2_long) * h + std::numbers::pi * h, q2_long * h * h, accuracy);
        const int probability_nodes =
            rule_size(slope(q1_probability, q2_probability) * h, q2_probability * h * h, accuracy);
        if (short_nodes != 0 && long_nodes != 0 && probability_nodes != 0) {
            return {pieces, std::max({short_nodes, long_nodes, probability_nodes})};
        }
    }
    return {MAX_PIECES, MAX_RULE_NODES};
}

// Calls visit(start point, its position in [-1, 1] across the whole range,
// log of its weight in the average) for every node; the weights sum to 1, so
// that a range too small to resolve still averages to its centre's value.
template <class Visit>
void for_each_start_point(double w, double half, StartPointRule rule, Visit&& visit) {
    const GaussLegendreRule gl = gauss_legendre(rule.nodes);
    const double log_share = -std::log(2.0 * rule.pieces);
    for (int piece = 0; piece < rule.pieces; ++piece) {
        for (std::size_t i = 0; i < gl.nodes.size(); ++i) {
            const double position = (2 * piece + 1 - rule.pieces + gl.nodes[i]) / rule.pieces;
            visit(w + half * position, position, log_share + gl.log_weights[i]);
        }
    }
}

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
        const int n = window_rule_size(longest, range, sample(longest - range), sample(longest), Accuracy::Value);
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
    const double typical = range > 0 ? typical_decision_time(upper, longest, range, p) : longest;
    const StartPointRule rule = start_point_rule(upper, typical, half, p, Accuracy::Value, false);
    LogWeightedSum<0> sum;
    const int window_nodes = range > 0 ? shared_window_rule(upper, longest, range, half, p) : 0;
    if (window_nodes != 0) {
        for_each_start_point(p.w, half, rule, [&](double start, double, double log_weight) {
            DecisionParameters q = p;
            q.w = start;
            for_each_window_node(longest, range, window_nodes, [&](double x, double log_window_weight) {
                sum.add(log_weight + log_window_weight + decision_log_density(upper, x, q), {});
            });
        });
        return sum.log_total() - std::log(range);
    }
    for_each_start_point(p.w, half, rule,
                         [&](double start, double, double log_weight) {
                             DecisionParameters q = p;
                             q.w = start;
                             const double inner = range > 0 ? log_non_decision_average(upper, longest, range, q)
                                                            : decision_log_density(upper, longest, q);
                             sum.add(log_weight + inner, {});
                         });
    return sum.log_total();
}

AveragedGradient start_point_average_gradient(bool upper, double longest, double range, double sz,
                                              const DecisionParameters& p) {
    const double half = 0.5 * sz;
    const double typical = range > 0 ? typical_decision_time(upper, longest, range, p) : longest;
    LogWeightedSum<7> sum;
    for_each_start_point(p.w, half, start_point_rule(upper, typical, half, p, Accuracy::Derivative, false),
                         [&](double start, double position, double log_weight) {
                             DecisionParameters q = p;
                             q.w = start;
                             const AveragedGradient g = range > 0
                                                            ? non_decision_average_gradient(upper, longest, range, q)
                                                            : decision_gradient_at(upper, longest, q);
                             // The start point is w + (sz/2) * position, so it moves
                             // with sz at half its position.
                             sum.add(log_weight + g.log_density,
                                     {g.d_v, g.d_a, g.d_w, g.d_sv, g.d_t0, g.d_st0, 0.5 * position * g.d_w});
                         });
    AveragedGradient g;
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
