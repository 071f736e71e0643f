// The integral over a window of decision times of a positive integrand known
// by its logarithm, for densities (and distribution functions) that rise like
// exp(-c/x) from x = 0 and fall like exp(-lambda x).
//
// Near 0 the window is integrated in inverse time: with z = c/x - c/x0 the
// integrand is exp(-z) times a slowly varying factor, which Gauss-Laguerre
// integrates from x0 down to 0 (this "head" is used when the window reaches
// so close to 0 that what lies below its start is negligible). The rest is
// cut at ratios of at most 4 and integrated in log-time, where both the rise
// and the fall stay analytic: one Gauss-Legendre rule per piece, sized from
// the Hermite interpolant of the log-integrand through its values and slopes
// at the piece's ends (calibrated on the model's densities, one node over the
// size for exp(quadratic) suffices), or globally adaptive Gauss-Kronrod (7/15,
// log_time_kronrod.hpp) where that rule would be too large.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "likelihood/log_time_kronrod.hpp"
#include "likelihood/log_weighted_sum.hpp"
#include "likelihood/quadrature.hpp"

namespace ventrola::likelihood {

// The log-integrand and its derivative in decision time at a piece's end.
struct EndSample {
    double log_value;
    double log_slope;
};

// How the integrand behaves near x = 0: like exp(-c/x) times a factor that
// varies slowly in z = c/x - c/x0 once c/x0 >= start (>= 9). There the factor
// is close to (start + z)^(-1/2), which the head's Gauss-Laguerre rules
// integrate to 1e-11 (8 nodes) and 1e-14 (12 nodes).
struct LeadingEdge {
    double c;
    double start;
};

// The leading edge of the density from a start `distance` (in units of noise
// 1) from the boundary reached, drift v towards it and drift variability sv.
// Near 0 the density is exp(-c/x) times x^(-3/2) times the drift factor
// exp(((r sv)^2 - 2 r v - v^2 x) / (2 (1 + sv^2 x))) / sqrt(1 + sv^2 x), r the
// distance. The log of that factor falls at rate k/2 at x = 0, k = (v - r
// sv^2)^2 + sv^2, which in z = c/x - c/x0 is k c / (2 (c/x0)^2): at most 1/2
// once c/x0 >= sqrt(k c) (taken as |(v - r sv^2, sv)| sqrt(c), which does not
// overflow before the edge itself is out of reach).
inline LeadingEdge leading_edge(double v, double distance, double sv) {
    const double c = 0.5 * distance * distance;
    const double drift = v - distance * sv * sv;
    return {c, std::fmax(9.0, std::hypot(drift, sv) * std::sqrt(c))};
}

namespace window_detail {

// An end of a piece. Positions in log-time are kept as offsets from the
// window's end, log(x / longest), so that a narrow window's width in log-time
// keeps its digits instead of being the difference of two logarithms.
struct WindowEnd {
    double x;
    double offset;
    double log_value;
    double log_slope;
};

template <class Integrand>
WindowEnd end_at(const Integrand& integrand, double longest, double offset) {
    const double x = longest * std::exp(offset);
    const EndSample sample = integrand.end(x);
    return {x, offset, sample.log_value, sample.log_slope};
}

inline int head_nodes(Accuracy accuracy) { return accuracy == Accuracy::Derivative ? 12 : 8; }

// Below the window's start the integral is dropped when the leading factor
// there is this many e-folds under its value at the head's start.
inline constexpr double NEGLIGIBLE = 40;

inline constexpr double WIDEST_PIECE = 4;  // hi / lo
inline constexpr int MAX_PIECES = 64;

// Where pieces of a window end, as offsets log(x / longest) from `start`
// (< 0) up to 0, and their count plus one. Equal pieces of at most
// WIDEST_PIECE in ratio, and where a drift mu towards the boundary (noise 1)
// carries the process there from distances in [near, far] far sooner than
// the noise would, cuts at the passage times r / mu of the two extremes:
// each is a peak of width sqrt(1 / (r mu) + (sv / mu)^2) in log-time, and a
// piece that steps over a peak far narrower than itself shows its rule
// nothing of it (the ends' values and slopes are those of the tails, and an
// adaptive rule's first nodes all miss it). The cuts widen by 4 at each step
// away from a peak, so that every piece is at most a few widths from the
// peak's side it faces.
inline constexpr int MAX_CUTS = 2 * MAX_PIECES + 32;

// Narrower than this in log-time, a peak needs cuts of its own.
inline constexpr double NARROW_PEAK = 0.05;

// The width in log-time of the peak of passage times from distance r with
// drift mu towards the boundary and drift variability sv (noise 1), inf
// where the drift does not carry the process there.
inline double passage_width(double mu, double r, double sv) {
    if (!(mu > 0 && r > 0)) return std::numeric_limits<double>::infinity();
    return std::sqrt(1.0 / (r * mu) + (sv / mu) * (sv / mu));
}

struct PieceCuts {
    std::array<double, MAX_CUTS + 1> offsets;
    int count;  // offsets in use, >= 2
};

inline PieceCuts piece_cuts(double start, double log_longest, double mu, double near, double far, double sv) {
    PieceCuts cuts{};
    const double widest = std::log(WIDEST_PIECE);
    const int equal = std::clamp(static_cast<int>(std::ceil(-start / widest - 1e-9)), 1, MAX_PIECES);
    int n = 0;
    for (int piece = 0; piece < equal; ++piece) cuts.offsets[n++] = start - start * piece / equal;
    cuts.offsets[n++] = 0.0;
    if (mu > 0 && near > 0) {
        const double edges[2] = {near, far};
        for (int e = 0; e < (far > near ? 2 : 1); ++e) {
            const double r = edges[e];
            const double width = passage_width(mu, r, sv);
            const double peak = std::log(r / mu) - log_longest;
            if (!(width < NARROW_PEAK) || !std::isfinite(peak)) continue;
            auto cut = [&](double offset) {
                if (offset > start && offset < 0 && n < MAX_CUTS + 1) cuts.offsets[n++] = offset;
            };
            cut(peak);
            for (double step = width; step < widest; step *= 4) {
                cut(peak - step);
                cut(peak + step);
            }
        }
    }
    std::sort(cuts.offsets.begin(), cuts.offsets.begin() + n);
    // Cuts that coincide in double precision make empty pieces.
    cuts.count = static_cast<int>(std::unique(cuts.offsets.begin(), cuts.offsets.begin() + n) - cuts.offsets.begin());
    return cuts;
}


// The size of the single log-time rule for the piece, or 0 when it would be
// too large; `weight` is the integrand's share of the whole, as rule_size
// takes it. The Hermite interpolant of log(integrand * x) on [-1, 1] from
// the ends' values and slopes gives the linear and quadratic parts.
inline int single_rule_size(const WindowEnd& lo, const WindowEnd& hi, Accuracy accuracy, double weight = 1.0) {
    const double half = 0.5 * (hi.offset - lo.offset);
    const double rise = (hi.log_value + hi.offset) - (lo.log_value + lo.offset);
    const double slope_lo = (lo.x * lo.log_slope + 1) * half;
    const double slope_hi = (hi.x * hi.log_slope + 1) * half;
    const double cubic = 0.25 * (slope_hi + slope_lo - rise);
    const double quadratic = 0.25 * (slope_hi - slope_lo);
    const int nodes = rule_size(0.5 * rise - cubic, quadratic, accuracy, weight);
    return nodes != 0 && nodes < MAX_RULE_NODES ? nodes + 1 : 0;
}

// One piece [lo.x, hi.x] with hi.x <= WIDEST_PIECE * lo.x.
template <std::size_t K, class Integrand>
void integrate_piece(const Integrand& integrand, double longest, double log_longest, const WindowEnd& lo,
                     const WindowEnd& hi, Accuracy accuracy, LogWeightedSum<K>& sum) {
    const int nodes = single_rule_size(lo, hi, accuracy);
    if (nodes == 0) {
        integrate_adaptively<K>(integrand, longest, log_longest, lo.offset, hi.offset, accuracy, sum);
        return;
    }
    const GaussLegendreRule rule = gauss_legendre(nodes);
    const double centre = 0.5 * (lo.offset + hi.offset);
    const double half = 0.5 * (hi.offset - lo.offset);
    const double log_half = std::log(half);
    for (std::size_t i = 0; i < rule.nodes.size(); ++i) {
        const double offset = centre + half * rule.nodes[i];
        const WindowNode<K> node = integrand.node(longest * std::exp(offset), offset);
        sum.add(rule.log_weights[i] + log_half + log_longest + offset + node.log_value, node.values);
    }
}

// From 0 to x0 in z = c/x - c/x0: dx = x^2/c dz.
template <std::size_t K, class Integrand>
void integrate_head(const Integrand& integrand, double longest, double x0, double c, Accuracy accuracy,
                    LogWeightedSum<K>& sum) {
    const GaussLaguerreRule rule = gauss_laguerre(head_nodes(accuracy));
    const double start = c / x0;
    const double log_c = std::log(c);
    for (std::size_t i = 0; i < rule.nodes.size(); ++i) {
        const double x = c / (start + rule.nodes[i]);
        const WindowNode<K> node = integrand.node(x, std::log(x / longest));
        sum.add(rule.log_weights[i] + 2 * std::log(x) - log_c + node.log_value, node.values);
    }
}

}  // namespace window_detail

// Whether the window [longest - range, longest] is narrow enough in log-time
// for one rule over all of it.
inline bool narrow_window(double longest, double range) {
    return longest - range >= longest / window_detail::WIDEST_PIECE;
}

// One log-time rule over a whole narrow window, shared by several integrands
// (the density at several start points, say): its size for one of them from
// its samples at the window's ends, or 0 when the window is not narrow or too
// steep for one rule.
inline int window_rule_size(double longest, double range, const EndSample& at_start, const EndSample& at_end,
                            Accuracy accuracy) {
    using namespace window_detail;
    if (!narrow_window(longest, range)) return 0;
    const double shortest = longest - range;
    const WindowEnd lo{shortest, std::log1p(-range / longest), at_start.log_value, at_start.log_slope};
    const WindowEnd hi{longest, 0.0, at_end.log_value, at_end.log_slope};
    return single_rule_size(lo, hi, accuracy);
}

// Calls visit(x, log of weight times Jacobian) at the nodes of the n-node
// log-time rule over the window.
template <class Visit>
void for_each_window_node(double longest, double range, int n, Visit&& visit) {
    const GaussLegendreRule rule = gauss_legendre(n);
    const double half = -0.5 * std::log1p(-range / longest);
    const double log_scale = std::log(half) + std::log(longest);
    for (std::size_t i = 0; i < rule.nodes.size(); ++i) {
        const double offset = half * (rule.nodes[i] - 1);
        visit(longest * std::exp(offset), rule.log_weights[i] + log_scale + offset);
    }
}

// The log-integrand at the window's ends: at its start (-inf when that is at
// most 0 or negligible) and at its end.
struct WindowEnds {
    double log_at_shortest;
    double log_at_longest;
};

// Adds the integral over decision times in [longest - range, longest], as far
// as they are positive, to `sum`, with the K values averaged under it; `edge`
// describes the integrand near 0. The integrand provides
//   EndSample end(double x) const;                      // at the ends of pieces
//   WindowNode<K> node(double x, double offset) const;  // at quadrature nodes,
//                                                       // offset = log(x / longest)
template <std::size_t K, class Integrand>
WindowEnds integrate_window(const Integrand& integrand, double longest, double range, LeadingEdge edge,
                            Accuracy accuracy, LogWeightedSum<K>& sum) {
    using namespace window_detail;
    const double log_longest = std::log(longest);
    const WindowEnd hi = end_at(integrand, longest, 0.0);
    WindowEnds ends{-std::numeric_limits<double>::infinity(), hi.log_value};
    const double shortest = longest - range;
    const double c = edge.c;
    const double head_end = std::fmin(longest, c / edge.start);
    WindowEnd lo{};
    if (shortest <= 0 || c / shortest >= c / head_end + NEGLIGIBLE) {
        integrate_head<K>(integrand, longest, head_end, c, accuracy, sum);
        if (head_end >= longest) return ends;
        lo = end_at(integrand, longest, std::log(head_end / longest));
    } else {
        lo = end_at(integrand, longest, std::log1p(-range / longest));
        ends.log_at_shortest = lo.log_value;
    }
    // Pieces of equal ratio, at most WIDEST_PIECE each, taken largest end
    // first, so that pieces on which the integrand rises or falls throughout
    // and stays below the running sum by NEGLIGIBLE are left out.
    const double start = lo.offset;
    const int pieces = std::clamp(static_cast<int>(std::ceil(-start / std::log(WIDEST_PIECE) - 1e-9)), 1, MAX_PIECES);
    std::array<WindowEnd, MAX_PIECES + 1> points{};
    points[0] = lo;
    for (int piece = 1; piece < pieces; ++piece) {
        points[piece] = end_at(integrand, longest, start - start * piece / pieces);
    }
    points[pieces] = hi;
    // log of integrand times x, the integrand in log-time, and its slope there.
    auto log_in_log_time = [&](const WindowEnd& e) { return e.log_value + e.offset; };
    auto slope_in_log_time = [](const WindowEnd& e) { return e.x * e.log_slope + 1; };
    std::array<int, MAX_PIECES> order{};
    for (int piece = 0; piece < pieces; ++piece) {
        order[piece] = piece;
        auto top = [&](int k) { return std::fmax(log_in_log_time(points[k]), log_in_log_time(points[k + 1])); };
        for (int j = piece; j > 0 && top(order[j]) > top(order[j - 1]); --j) std::swap(order[j], order[j - 1]);
    }
    for (int k = 0; k < pieces; ++k) {
        const WindowEnd& a = points[order[k]];
        const WindowEnd& b = points[order[k] + 1];
        const bool monotone = (slope_in_log_time(a) > 0) == (slope_in_log_time(b) > 0);
        const double bound =
            std::fmax(log_in_log_time(a), log_in_log_time(b)) + log_longest + std::log(b.offset - a.offset);
        if (monotone && bound < sum.log_total() - NEGLIGIBLE) continue;
        integrate_piece<K>(integrand, longest, log_longest, a, b, accuracy, sum);
    }
    return ends;
}

}  // namespace ventrola::likelihood
