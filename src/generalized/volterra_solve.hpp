// The first-passage densities of the two bounds at early times, from the
// pair of Volterra integral equations of the second kind (Buonocore, Giorno,
// Nobile & Ricciardi 1990), noise 1:
//   g_u(t) = -2 Psi(S_u(t), t | y0, 0) + 2 int_0^t [g_u(tau) Psi(S_u(t), t | S_u(tau), tau)
//                                              + g_l(tau) Psi(S_u(t), t | S_l(tau), tau)] dtau
//   g_l(t) =  2 Psi(S_l(t), t | y0, 0) - 2 int_0^t [g_u(tau) Psi(S_l(t), t | S_u(tau), tau)
//                                              + g_l(tau) Psi(S_l(t), t | S_l(tau), tau)] dtau
// with S_u = b, S_l = -b and Psi(S(t), t | x, tau) = free density at S(t) times
// ((S'(t) - v(t) + leak S(t)) / 2 - (S(t) - m) / (2 V)). The kernel of a bound on
// itself vanishes like (t - tau)^(1/2) Q(t); the trapezoidal rule on the
// grid's even u-steps with exponentially fitted end corrections integrates it.
// The cross kernels vanish faster than any power and need no correction.
//
// Each density is kept as envelope times ratio: the envelope E(t) is the free
// density at the bound (the start's Gaussian, exact at any time), the ratio
// R = g / E smooth, which is what later interpolation reads.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include "generalized/end_corrections.hpp"
#include "generalized/start_terms.hpp"
#include "generalized/time_functions.hpp"
#include "generalized/volterra_grid.hpp"

namespace ventrola::generalized {

inline constexpr std::size_t UPPER = 0;
inline constexpr std::size_t LOWER = 1;
inline constexpr double SIGNS[2] = {1.0, -1.0};  // S_u = +b, S_l = -b

template <class T>
struct VolterraSolution {
    VolterraGrid grid;
    std::array<std::vector<T>, 2> density;       // g at the nodes
    std::array<std::vector<T>, 2> log_envelope;  // log E at the nodes (node 0: -inf)
    std::array<std::vector<T>, 2> ratio;         // g / E at the nodes
};

// What the kernel needs of the model at one node.
template <class T>
struct NodeState {
    T b, b1, b2;  // the half-width and its derivatives
    T v, v1;      // the drift and its derivative
    T integral;   // m(t) = int_0^t e^(-leak (t-u)) v(u) du
};

template <class T>
NodeState<T> node_state(const TimeFunctions<T>& f, double t) {
    const BoundAt<T> bound = f.bound(t);
    const DriftAt<T> drift = f.drift(t);
    return {bound.b, bound.b1, bound.b2, drift.v, drift.v1, f.drift_integral(t)};
}

// Psi(S, t_i | x, t_j) for a start x at t_j on a bound.
template <class T>
T transition_kernel(const TimeFunctions<T>& f, const T& S, const T& motion, double ti, const NodeState<T>& si,
                    const T& x, double tj, const NodeState<T>& sj) {
    const double gap = ti - tj;
    if (!f.leaks()) {
        // Without a leak the variance is the gap itself, free of the parameters: plain arithmetic.
        const T e = S - x - (si.integral - sj.integral);
        const double ev = value(e);
        const double half_precision = 0.5 / gap;
        if (-ev * ev * half_precision < -745.0) return T(0.0);
        return exp(-(e * e) * half_precision) * (INV_SQRT_2PI / std::sqrt(gap)) * (motion - e * half_precision);
    }
    const T V = f.variance(gap);
    const T e = S - (x * f.decay(gap) + f.shift(ti, si.integral, tj, sj.integral));
    const T exponent = -e * e / (2.0 * V);
    if (value(exponent) < -745.0) return T(0.0);
    return exp(exponent) * (INV_SQRT_2PI / sqrt(V)) * (motion - e / (2.0 * V));
}

template <class T>
VolterraSolution<T> solve_volterra(const TimeFunctions<T>& f, const StartTerms<T>& start, VolterraGrid grid) {
    const std::size_t n = grid.t.size();
    VolterraSolution<T> out;
    const T lam = f.leaks() ? f.parameters().leak : T(0.0);
    std::vector<NodeState<T>> states;
    states.reserve(n);
    for (std::size_t i = 0; i < n; ++i) states.push_back(node_state(f, grid.t[i]));
    for (std::size_t side = 0; side < 2; ++side) {
        out.density[side].assign(n, T(0.0));
        out.log_envelope[side].assign(n, T(-INFINITY));
        out.ratio[side].assign(n, T(0.0));
    }
    for (std::size_t i = 1; i < n; ++i) {
        const double ti = grid.t[i];
        const NodeState<T>& si = states[i];
        std::array<T, 2> solved;
        for (std::size_t side = 0; side < 2; ++side) {
            const double sign = SIGNS[side];
            const T S = sign * si.b;
            const T dS = sign * si.b1;
            const T motion = 0.5 * (dS - si.v + lam * S);
            const StartView<T> view = start.at(S, dS, ti, si.v, si.integral);
            out.log_envelope[side][i] = view.log_density;
            const T envelope = exp(view.log_density);
            // g_u = F + 2 I, g_l = F - 2 I with F = -/+ 2 Psi(start).
            const T forcing = -2.0 * sign * envelope * view.bracket;
            T integral(0.0);
            for (std::size_t j = 1; j < i; ++j) {
                const double tj = grid.t[j];
                const NodeState<T>& sj = states[j];
                T sum = out.density[UPPER][j] * transition_kernel(f, S, motion, ti, si, sj.b, tj, sj);
                sum += out.density[LOWER][j] * transition_kernel(f, S, motion, ti, si, -sj.b, tj, sj);
                integral += grid.jacobian[j] * sum;
            }
            // End corrections for the bound's kernel on itself: P(x) at nodes i - x.
            const std::size_t points = std::min<std::size_t>(i, MAX_CORRECTION_POINTS - 1) + 1;
            const double rate_raw = value(out.log_envelope[side][i] - out.log_envelope[side][i - 1]);
            const double rate = std::isfinite(rate_raw) ? std::max(rate_raw, 0.0) : INFINITY;
            const auto weights = end_correction_weights(points, rate);
            for (std::size_t x = 1; x < points; ++x) {
                const std::size_t j = i - x;
                if (j == 0 || weights[x] == 0.0) continue;
                const NodeState<T>& sj = states[j];
                const T K = transition_kernel(f, S, motion, ti, si, sign * sj.b, grid.t[j], sj);
                integral +=
                    weights[x] * out.density[side][j] * K * (grid.jacobian[j] / std::sqrt(static_cast<double>(x)));
            }
            // The end itself: P(0) = g_i Q_i phi'^(3/2), Q the limit of the kernel over sqrt(t - tau).
            const T alpha = dS + lam * S - si.v;
            const T alpha1 = sign * si.b2 + lam * dS - si.v1;
            const T Q = (alpha1 - lam * alpha) * (0.25 * INV_SQRT_2PI);
            const T self = weights[0] * Q * std::pow(grid.jacobian[i], 1.5);
            solved[side] = (forcing + 2.0 * sign * integral) / (1.0 - 2.0 * sign * self);
            // The ratio: at the leading edge, where the envelope underflows, g is its forcing term.
            const T integral_part = solved[side] - forcing;
            out.ratio[side][i] =
                -2.0 * sign * view.bracket + (value(envelope) > 1e-280 ? integral_part / envelope : T(0.0));
        }
        out.density[UPPER][i] = solved[UPPER];
        out.density[LOWER][i] = solved[LOWER];
    }
    out.grid = std::move(grid);
    return out;
}

}  // namespace ventrola::generalized
