// The quadrature rule for an average over a start point uniform on a range:
// its size from the shape of the integrand in the start point, and its nodes.
// The density's averages (range_average.cpp) and the distribution function's
// (start_point_average.cpp) both take their rules here.
//
// As a function of the distance d' of the start from the boundary reached
// (in units of a), the density at decision time t is close to exp(q(d'))
// times d' or sin(pi d'), q(d') = q1 d' + q2 d'^2. Drift and its variability
// give q1 = -a v / D and a^2 sv^2 / (2D) in q2, D = 1 + sv^2 t. At short times
// the leading term of the image series adds -a^2 / (2t) to q2 (so q2 < 0)
// and the factor d', which the rule integrates exactly; next to the other
// boundary (d' near 1) the first image adds a factor 1 - exp(-2 (1 - d') / u),
// u = t / a^2. At long times the factor is sin(pi d'), which varies like
// exp(pi d'), and q2 keeps only the drift variability. A distribution
// function also carries the shape of the boundary probability, exp(-2 a v d')
// averaged over the drift: q1 = -2 a v, q2 = 2 a^2 sv^2.
#pragma once

#include "likelihood/decision_time.hpp"
#include "likelihood/quadrature.hpp"

namespace ventrola::likelihood {

// The shape of an integrand over the start range [d - half, d + half] (lower
// view), as the rule is sized from it.
struct StartShape {
    double d, d_c, half;  // the range's centre, 1 - d exact, and half its width
    double q1;            // -a v / D
    double q2_short;      // -a^2 / (2 t D), 0 at t = inf
    double q2_long;       // a^2 sv^2 / (2D)
    double u, inv_u;      // t / a^2 and its inverse
    double probability_slope = 0, probability_curvature = 0;  // -2 a v and 2 a^2 sv^2, for distributions
};

// The density's shape at decision time t, 0 < t <= inf; with `cumulative`,
// also the boundary probability's, for a distribution function.
StartShape start_shape(double t, const DecisionParameters& lower, double d_c, double half, bool cumulative);

// The rule: the part [mid - span, mid + span] of the range (offsets from its
// centre) in `pieces` equal parts with the `nodes`-node Gauss-Legendre rule
// each; or, when all the weight sits at one end (`one_sided`), Gauss-Laguerre
// from that end in z = q(end) - q(d) for the normal shape q, whose slope there
// is `rate` (> 0) and curvature -2 `spread`.
struct StartRule {
    int pieces;
    int nodes;
    double mid = 0;
    double span = 0;
    bool one_sided = false;
    bool from_low_end = true;  // of d
    double rate = 0;
    double spread = 0;
};
StartRule start_rule(const StartShape& shape, Accuracy accuracy);

// Whether the rule is the plain `nodes`-node rule over the whole range.
inline bool whole_range(const StartRule& rule, double half) {
    return !rule.one_sided && rule.pieces == 1 && rule.span == half;
}

// Calls visit(offset from the centre, log of the node's weight in the
// average) for every node; the weights sum to 1 over the whole range, so
// that a range too small to resolve still averages to its centre's value.
template <class Visit>
void for_each_start_offset(const StartRule& rule, double half, Visit&& visit);

}  // namespace ventrola::likelihood

#include "likelihood/start_rule_nodes.hpp"
