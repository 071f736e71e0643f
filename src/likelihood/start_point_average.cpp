// The distribution function averaged over the start range, on start_rule.hpp's
// rules with the boundary probability's shape.
//
// F(t) rises to F(inf) = P, the boundary probability, and its start average
// must as well: from t = a^2 on, where F is P less a survival that only
// shrinks, one rule serves every t up to inf (sized for the shapes at a^2 and
// at inf, between which they move), so that the averages of a t and of inf
// are sums over the same start points of values that only grow with t.
#include "likelihood/start_point_average.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "likelihood/lower_boundary.hpp"
#include "likelihood/non_decision_average.hpp"
#include "likelihood/start_rule.hpp"

namespace ventrola::likelihood {

namespace {

// The rule from where the window's earliest time reaches a^2 on.
StartRule late_rule(bool upper, const DecisionParameters& p, double half) {
    const LowerView x = lower_view(upper, p);
    const DecisionParameters lower{x.v, p.a, x.w, p.sv};
    const StartRule at_a2 = start_rule(start_shape(p.a * p.a, lower, x.w_complement, half, true), Accuracy::Value);
    const StartRule at_inf = start_rule(
        start_shape(std::numeric_limits<double>::infinity(), lower, x.w_complement, half, true), Accuracy::Value);
    if (at_a2.one_sided || at_inf.one_sided || at_a2.pieces != at_inf.pieces) {
        return at_a2.pieces * at_a2.nodes >= at_inf.pieces * at_inf.nodes ? at_a2 : at_inf;
    }
    StartRule rule = at_a2;
    rule.nodes = std::max(at_a2.nodes, at_inf.nodes);
    return rule;
}

}  // namespace

double start_point_average_distribution(bool upper, double longest, double range, double sz,
                                        const DecisionParameters& p) {
    const double half = 0.5 * sz;
    const LowerView x = lower_view(upper, p);
    const double earliest = range > 0 ? longest - range : longest;
    const StartRule rule =
        earliest >= p.a * p.a
            ? late_rule(upper, p, half)
            : start_rule(start_shape(longest, {x.v, p.a, x.w, p.sv}, x.w_complement, half, true), Accuracy::Value);
    double total = 0;
    for_each_start_offset(rule, half, [&](double offset, double log_weight) {
        // The start point in the caller's orientation: the lower view's d + offset.
        DecisionParameters q = p;
        q.w = upper ? p.w - offset : p.w + offset;
        const double inner = range > 0 ? non_decision_average_distribution(upper, longest, range, q)
                                       : decision_distribution(upper, longest, q);
        total += std::exp(log_weight) * inner;
    });
    return total;
}

}  // namespace ventrola::likelihood
