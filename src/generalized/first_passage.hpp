// The first-passage time distribution of one parameter set, at any time:
// early times from the integral equations, later ones from the Fokker-Planck
// equation started where the integral equations end. Each method serves where
// it is strong: the equations resolve the sharp first passages close to the
// start (their forcing is exact there), the Fokker-Planck solution the long
// tail, where the equations' forcing and integral cancel to the density's
// last digits.
//
// The handover: at T1 the density of the process between the bounds is the
// free Gaussian from the start less the mass that crossed a bound and would
// have come back, the integral of the early first-passage densities against
// the free transition density.
//
// The solution is of the process as solved; a drift the change of measure
// carries (WeightedPassage) is not in it.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "fault.hpp"
#include "generalized/gauss_legendre.hpp"
#include "generalized/start_terms.hpp"
#include "generalized/tail_integrator.hpp"
#include "generalized/time_functions.hpp"
#include "generalized/volterra_solve.hpp"

namespace ventrola::generalized {

struct SolverControls {
    GridControls grid;
    TailControls tail;
    std::size_t hermite = 0;  // nodes over a drift offset; 0 chooses from its spread
};

template <std::size_t N>
class FirstPassage {
public:
    using J = Jet<N>;

    // horizon: the latest decision time asked about (infinity for the choice probabilities).
    FirstPassage(const TimeFunctions<J>& f, const J& y0, const J& width, double nearest, double horizon,
                 const SolverControls& controls)
        : f_(f),
          start_(f, y0, width),
          y0_(y0),
          early_(solve_volterra(f, start_,
                                build_volterra_grid(TimeFunctions<double>(f.shape(), scaled_values(f.parameters())),
                                                    nearest, controls.grid))),
          t1_(early_.grid.t.back()) {
        build_early_quadrature();
        if (horizon > t1_) run_tail(horizon, controls);
    }

    // One Gauss-Legendre node of an early interval: 8 per interval, in order.
    struct QuadratureNode {
        double t, weight;
        std::array<J, 2> log_density;
    };

    double handover_time() const { return t1_; }
    const std::vector<double>& early_times() const { return early_.grid.t; }
    const std::vector<QuadratureNode>& early_quadrature() const { return quadrature_; }
    const std::vector<TailSample<N>>& tail() const { return late_; }
    const TimeFunctions<J>& functions() const { return f_; }
    const J& start() const { return y0_; }

    // log g(t) for the bound `side`, t the decision time; -inf for t <= 0.
    J log_density(std::size_t side, double t) const {
        if (!(t > 0.0)) return J(-INFINITY);
        return t <= t1_ ? early_log_density(side, t) : late_log_density(side, t);
    }

private:
    // The forcing's share of the density and the ratio's interpolated remainder.
    J early_log_density(std::size_t side, double t) const {
        const BoundAt<J> bound = f_.bound(t);
        return early_log_density(side, t, bound, f_.drift(t).v, f_.drift_integral(t));
    }

    // Both bounds' at once, sharing the model's functions at t.
    std::array<J, 2> early_log_densities(double t) const {
        const BoundAt<J> bound = f_.bound(t);
        const J v = f_.drift(t).v;
        const J integral = f_.drift_integral(t);
        return {early_log_density(UPPER, t, bound, v, integral), early_log_density(LOWER, t, bound, v, integral)};
    }

    J early_log_density(std::size_t side, double t, const BoundAt<J>& bound, const J& v, const J& integral) const {
        const double sign = SIGNS[side];
        const StartView<J> view = start_.at(sign * bound.b, sign * bound.b1, t, v, integral);
        const J forcing_ratio = -2.0 * sign * view.bracket;
        const J remainder = interpolate_remainder(side, t);
        const J ratio = forcing_ratio + remainder;
        if (!(ratio.v > 0.0)) return J(-INFINITY);
        return view.log_density + log(ratio);
    }

    // (g - forcing) / envelope at the nodes, interpolated by Lagrange's polynomial through six nodes.
    J interpolate_remainder(std::size_t side, double t) const {
        const std::vector<double>& nodes = early_.grid.t;
        const std::size_t n = nodes.size();
        const std::size_t above = std::ranges::upper_bound(nodes, t) - nodes.begin();
        constexpr std::size_t WIDTH = 6;
        std::size_t first = above >= WIDTH / 2 + 1 ? above - WIDTH / 2 : 1;
        if (first + WIDTH > n) first = n > WIDTH ? n - WIDTH : 1;
        const std::size_t last = std::min(first + WIDTH, n);
        J sum(0.0);
        for (std::size_t j = first; j < last; ++j) {
            double weight = 1.0;
            for (std::size_t m = first; m < last; ++m) {
                if (m != j) weight *= (t - nodes[m]) / (nodes[j] - nodes[m]);
            }
            sum += weight * remainder_[side][j];
        }
        return sum;
    }

    void build_early_quadrature() {
        const std::size_t n = early_.grid.t.size();
        for (std::size_t side = 0; side < 2; ++side) {
            remainder_[side].assign(n, J(0.0));
            for (std::size_t j = 1; j < n; ++j) {
                const double t = early_.grid.t[j];
                const BoundAt<J> bound = f_.bound(t);
                const StartView<J> view =
                    start_.at(SIGNS[side] * bound.b, SIGNS[side] * bound.b1, t, f_.drift(t).v, f_.drift_integral(t));
                remainder_[side][j] = early_.ratio[side][j] + 2.0 * SIGNS[side] * view.bracket;
            }
        }
        // 8-point Gauss-Legendre nodes on every interval, for the handover's integral and the
        // distribution functions.
        quadrature_.clear();
        for (std::size_t j = 1; j < n; ++j) {
            const double a = early_.grid.t[j - 1];
            const double b = early_.grid.t[j];
            const double mid = 0.5 * (a + b);
            const double half = 0.5 * (b - a);
            for (int k = 0; k < 8; ++k) {
                const double tau = mid + half * GAUSS8_NODES[k];
                quadrature_.push_back({tau, half * GAUSS8_WEIGHTS[k], early_log_densities(tau)});
            }
        }
    }

    void run_tail(double horizon, const SolverControls& controls) {
        TailControls tail_controls = controls.tail;
        if (tail_controls.order == 0) tail_controls.order = tail_order(f_, t1_);
        TailIntegrator<N> tail(f_, tail_controls, t1_);
        const LobattoBasis& basis = tail.basis();
        const std::vector<J> q =
            scaled_density_at_handover(std::span<const double>(basis.points).subspan(1, basis.interior()));
        late_ = tail.run(q, t1_, horizon);
        // At T1 the tail's state still carries the handover's rounding in its stiffest modes,
        // which its time derivative amplifies; the early solution's one-sided derivative there
        // is the one to trust (second order, steps far below its time scale).
        const double h = 1e-3 * t1_;
        for (std::size_t side = 0; side < 2; ++side) {
            late_[0].log_flux_rate[side] =
                (3.0 * early_log_density(side, t1_) - 4.0 * early_log_density(side, t1_ - h) +
                 early_log_density(side, t1_ - 2.0 * h)) /
                (2.0 * h);
        }
    }

    // b(T1) p(b(T1) z, T1) at the points z: the start's free density there less the mass that
    // left through the bounds and would have come back (the first-passage decomposition of
    // the free density):
    //   p(y, T1) = f(y, T1 | y0, 0) - sum_bounds int_0^T1 g(tau) f(y, T1 | S(tau), tau) dtau.
    // The integrand sharpens as tau nears T1 for y near a bound, so the last interval is cut
    // geometrically towards T1. What depends on tau alone is computed once for all the points.
    std::vector<J> scaled_density_at_handover(std::span<const double> points) const {
        const BoundAt<J> end = f_.bound(t1_);
        const J integral_t1 = f_.drift_integral(t1_);
        const J drift_t1 = f_.drift(t1_).v;
        std::vector<J> returned(points.size(), J(0.0));
        // One source of returning mass: weight g(tau) dtau from the bound's position at tau,
        // spreading with variance V about its free mean at T1.
        struct Source {
            J log_weight, centre, twice_variance, normaliser;
            double log_normaliser;
        };
        std::vector<Source> sources;
        const auto source = [&](double tau, double weight, const std::array<J, 2>& log_g) {
            const J integral_tau = f_.drift_integral(tau);
            const J b_tau = f_.bound(tau).b;
            const double gap = t1_ - tau;
            const J V = f_.variance(gap);
            const J shift = f_.shift(t1_, integral_t1, tau, integral_tau);
            const J decay = f_.decay(gap);
            for (std::size_t side = 0; side < 2; ++side) {
                if (!std::isfinite(log_g[side].v)) continue;
                const J normaliser = INV_SQRT_2PI / sqrt(V);
                sources.push_back({log_g[side] + std::log(weight), SIGNS[side] * b_tau * decay + shift, 2.0 * V,
                                   normaliser, std::log(normaliser.v)});
            }
        };
        const std::vector<double>& nodes = early_.grid.t;
        const std::size_t n = nodes.size();
        // Every interval but the last from the distribution functions' nodes.
        for (std::size_t k = 0; k + 8 < quadrature_.size(); ++k) {
            source(quadrature_[k].t, quadrature_[k].weight, quadrature_[k].log_density);
        }
        double lo = nodes[n - 2];
        for (int cut = 0; cut < 12; ++cut) {
            const double hi = t1_ - 0.25 * (t1_ - lo);
            const double mid = 0.5 * (lo + hi);
            const double half = 0.5 * (hi - lo);
            for (int k = 0; k < 8; ++k) {
                const double tau = mid + half * GAUSS8_NODES[k];
                source(tau, half * GAUSS8_WEIGHTS[k], early_log_densities(tau));
            }
            lo = hi;
        }
        std::vector<J> out(points.size());
        std::vector<double> exponents(sources.size());
        for (std::size_t i = 0; i < points.size(); ++i) {
            const J y = points[i] * end.b;
            // The terms' logs first: most sources lie far from a point, and those below e^-40
            // of the largest term (or 0 in doubles) need no jet and no exponential.
            double top = -INFINITY;
            for (std::size_t k = 0; k < sources.size(); ++k) {
                const double e = y.v - sources[k].centre.v;
                exponents[k] = sources[k].log_weight.v - e * e / sources[k].twice_variance.v;
                top = std::max(top, exponents[k] + sources[k].log_normaliser);
            }
            const double cut = top - NEGLIGIBLE_SOURCE;
            J sum(0.0);
            for (std::size_t k = 0; k < sources.size(); ++k) {
                if (!(exponents[k] >= -745.0 && exponents[k] + sources[k].log_normaliser >= cut)) continue;
                const Source& source = sources[k];
                const J e = y - source.centre;
                const J exponent = source.log_weight - e * e / source.twice_variance;
                sum += exp(exponent) * source.normaliser;
            }
            const StartView<J> free = start_.at(y, J(0.0), t1_, drift_t1, integral_t1);
            out[i] = end.b * (exp(free.log_density) - sum);
        }
        return out;
    }

    // Hermite cubic in log g between samples (log g is nearly linear in the tail); past
    // the last sample, the last decay rate continued on the diffusion's clock theta
    // (d theta = dt / 2b^2), on which a collapsing bound's tail decays evenly.
    J late_log_density(std::size_t side, double t) const {
        if (late_.empty()) return J(-INFINITY);
        const TailSample<N>& last = late_.back();
        if (t >= last.t) {
            if (!std::isfinite(last.log_flux[side].v)) return J(-INFINITY);
            const J b = f_.bound(last.t).b;
            const J per_theta = 2.0 * b * b * std::min(last.log_flux_rate[side].v, 0.0);
            return last.log_flux[side] + per_theta * theta_between(last.t, t);
        }
        auto above =
            std::upper_bound(late_.begin(), late_.end(), t, [](double x, const TailSample<N>& s) { return x < s.t; });
        if (above == late_.begin()) above = late_.begin() + 1;
        const TailSample<N>& a = *(above - 1);
        const TailSample<N>& b = *above;
        const J& la = a.log_flux[side];
        const J& lb = b.log_flux[side];
        const double h = b.t - a.t;
        const double s = (t - a.t) / h;
        if (!std::isfinite(la.v) || !std::isfinite(lb.v)) return s < 0.5 ? la : lb;
        const J da = a.log_flux_rate[side] * h;
        const J db = b.log_flux_rate[side] * h;
        const double secant = lb.v - la.v;
        if (!(std::fabs(da.v - secant) < 4.0 && std::fabs(db.v - secant) < 4.0)) {
            // Slopes that disagree this much with the secant are rounding at the end of the tail.
            return (1.0 - s) * la + s * lb;
        }
        return hermite_cubic(s, la, da, lb, db);
    }

    // int_a^b dt / 2b(t)^2 by 8-point Gauss-Legendre (infinite once the bounds have met).
    J theta_between(double a, double b) const {
        if (!(b > a)) return J(0.0);
        if (!(f_.bound(b).b.v > 0.0)) return J(INFINITY);
        return clock_between(f_, a, b);
    }

    static constexpr double NEGLIGIBLE_SOURCE = 40.0;

    const TimeFunctions<J>& f_;
    StartTerms<J> start_;
    J y0_;
    VolterraSolution<J> early_;
    double t1_ = 0.0;
    std::array<std::vector<J>, 2> remainder_;
    std::vector<QuadratureNode> quadrature_;  // the early intervals' Gauss-Legendre nodes
    std::vector<TailSample<N>> late_;
};

}  // namespace ventrola::generalized
