// A first-passage solution seen through a change of measure on the drift.
//
// Without a leak and from a point start, the density under a drift that is
// the solved one plus a constant delta is the solved density times
// exp(delta x - delta^2 t / 2), x = S(t) - y0 - m(t) the bound's distance from
// the start less the solved drift's integral (Girsanov's theorem at the
// passage time). Averaged over delta ~ N(mean, sd^2) in closed form:
//   (1 + sd^2 t)^(-1/2) exp((sd^2 x^2 + 2 x mean - mean^2 t) / (2 (1 + sd^2 t))).
// So a constant drift and its across-trial deviation need not be in the
// solve at all: the solve runs at drift 0 and is shared by every parameter
// set that differs from another only in them (and in the non-decision time).
//
// The solve need not carry the drift's partial either: its Jet may be
// narrower than the set's, the measure's Jet adding the drift's slot.
//
// The distribution functions integrate the weighted density; where the
// weight changes by more than the early grid or the tail's samples were
// placed for (a strong drift), the intervals are cut to keep the 8-point
// rule exact.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include "fault.hpp"
#include "generalized/first_passage.hpp"

namespace ventrola::generalized {

template <class J>
struct DriftMeasure {
    bool active = false;  // false: the solution is the density itself
    J mean{0.0};          // drift (over the noise) carried by the measure
    J sd{0.0};            // across-trial deviation of it
};

// Where each of a solve's M partials lands among a set's N (N for none).
template <std::size_t M>
using SlotPositions = std::array<std::size_t, M>;

template <std::size_t M>
SlotPositions<M> same_slots() {
    SlotPositions<M> out{};
    for (std::size_t k = 0; k < M; ++k) out[k] = k;
    return out;
}

template <std::size_t N, std::size_t M = N>
class WeightedPassage {
public:
    using J = Jet<N>;

    // distributions: whether distribution() will be asked (its cumulative sums are built here).
    WeightedPassage(const FirstPassage<M>& solution, const DriftMeasure<J>& measure, bool distributions,
                    const SlotPositions<M>& positions = same_slots<M>())
        : s_(solution), measure_(measure), distributions_(distributions), positions_(positions) {
        if (distributions_) build_cumulative();
    }

    // log g(t) for the bound `side` under the measure; -inf for t <= 0.
    J log_density(std::size_t side, double t) const {
        J log_g = widen(s_.log_density(side, t));
        if (measure_.active && std::isfinite(log_g.v)) log_g += log_weight(side, t);
        return log_g;
    }

    // P(this bound, decision time <= t).
    J distribution(std::size_t side, double t) const {
        if (!(t > 0.0)) return J(0.0);
        if (!distributions_) raise_fault("a distribution asked of a first-passage solution built for densities");
        if (t <= s_.handover_time()) {
            const std::vector<double>& nodes = s_.early_times();
            const std::size_t above = std::ranges::upper_bound(nodes, t) - nodes.begin();
            const std::size_t below = above - 1;
            return early_cdf_[side][below] + (t > nodes[below] ? integrate(side, nodes[below], t) : J(0.0));
        }
        const std::vector<TailSample<M>>& late = s_.tail();
        if (late.empty()) return early_cdf_[side].back();
        if (!(t < late.back().t)) {
            // Past the last sample: what is left splits between the bounds as their last fluxes do.
            if (!std::isinf(t)) return late_cdf_[side].back();
            const TailSample<M>& last = late.back();
            const double upper = std::exp(last.log_flux[0].v);
            const double total = upper + std::exp(last.log_flux[1].v);
            double share = total > 0.0 ? (side == 0 ? upper : total - upper) / total : 0.5;
            if (measure_.active) share *= std::exp(log_weight(side, last.t).v);
            return late_cdf_[side].back() + J(share * last.survival);
        }
        auto above =
            std::upper_bound(late.begin(), late.end(), t, [](double x, const TailSample<M>& s) { return x < s.t; });
        const std::size_t k = (above - late.begin()) - 1;
        return late_cdf_[side][k] + integrate(side, late[k].t, t);
    }

private:
    // The log-weight change over which 8 Gauss-Legendre nodes stay exact (to about 1e-13
    // of the integral for an exponential).
    static constexpr double WEIGHT_CHANGE_PER_PIECE = 4.0;
    static constexpr int MAX_PIECES = 64;

    J widen(const Jet<M>& x) const {
        J out(x.v);
        for (std::size_t k = 0; k < M; ++k) {
            if (positions_[k] < N) out.d[positions_[k]] = x.d[k];
        }
        return out;
    }

    J log_weight(std::size_t side, double t) const {
        const TimeFunctions<Jet<M>>& f = s_.functions();
        const J x = widen(SIGNS[side] * f.bound(t).b - s_.start() - f.drift_integral(t));
        if (measure_.sd.v == 0.0) return x * measure_.mean - (0.5 * t) * measure_.mean * measure_.mean;
        const J sd2 = measure_.sd * measure_.sd;
        const J spread = 1.0 + sd2 * t;
        return -0.5 * log(spread) +
               (sd2 * x * x + 2.0 * x * measure_.mean - t * measure_.mean * measure_.mean) / (2.0 * spread);
    }

    // Pieces to cut [a, b] into so that the weight changes by a few units in each.
    int pieces(std::size_t side, double a, double b) const {
        if (!measure_.active) return 1;
        double low = INFINITY;
        double high = -INFINITY;
        for (int k = 0; k <= 4; ++k) {
            const double w = log_weight(side, a + 0.25 * k * (b - a)).v;
            low = std::min(low, w);
            high = std::max(high, w);
        }
        const double change = high - low;
        if (!(change > WEIGHT_CHANGE_PER_PIECE)) return 1;
        return static_cast<int>(std::min<double>(MAX_PIECES, std::ceil(change / WEIGHT_CHANGE_PER_PIECE)));
    }

    // int_a^b g under the measure by 8-point Gauss-Legendre on each piece.
    J integrate(std::size_t side, double a, double b) const {
        const int n = pieces(side, a, b);
        const double step = (b - a) / n;
        J total(0.0);
        for (int piece = 0; piece < n; ++piece) {
            const double lo = a + piece * step;
            const double hi = piece + 1 == n ? b : lo + step;
            const double mid = 0.5 * (lo + hi);
            const double half = 0.5 * (hi - lo);
            J sum(0.0);
            for (int k = 0; k < 8; ++k) {
                const J log_g = log_density(side, mid + half * GAUSS8_NODES[k]);
                if (std::isfinite(log_g.v)) sum += GAUSS8_WEIGHTS[k] * exp(log_g);
            }
            total += half * sum;
        }
        return total;
    }

    void build_cumulative() {
        const std::vector<double>& nodes = s_.early_times();
        const auto& quadrature = s_.early_quadrature();
        const std::size_t n = nodes.size();
        for (std::size_t side = 0; side < 2; ++side) {
            early_cdf_[side].assign(n, J(0.0));
            for (std::size_t j = 1; j < n; ++j) {
                J step(0.0);
                if (pieces(side, nodes[j - 1], nodes[j]) > 1) {
                    step = integrate(side, nodes[j - 1], nodes[j]);
                } else {
                    // The solution's own nodes: their densities are already known.
                    J sum(0.0);
                    for (std::size_t k = 0; k < 8; ++k) {
                        const auto& node = quadrature[8 * (j - 1) + k];
                        const J log_g = widen(node.log_density[side]);
                        if (!std::isfinite(log_g.v)) continue;
                        sum += GAUSS8_WEIGHTS[k] *
                               exp(measure_.active ? log_g + log_weight(side, node.t) : log_g);
                    }
                    step = (0.5 * (nodes[j] - nodes[j - 1])) * sum;
                }
                early_cdf_[side][j] = early_cdf_[side][j - 1] + step;
            }
        }
        const std::vector<TailSample<M>>& late = s_.tail();
        if (late.empty()) return;
        for (std::size_t side = 0; side < 2; ++side) {
            late_cdf_[side].assign(late.size(), early_cdf_[side].back());
            for (std::size_t k = 1; k < late.size(); ++k) {
                late_cdf_[side][k] = late_cdf_[side][k - 1] + integrate(side, late[k - 1].t, late[k].t);
            }
        }
    }

    const FirstPassage<M>& s_;
    DriftMeasure<J> measure_;
    bool distributions_;
    SlotPositions<M> positions_;
    std::array<std::vector<J>, 2> early_cdf_;
    std::array<std::vector<J>, 2> late_cdf_;
};

}  // namespace ventrola::generalized
