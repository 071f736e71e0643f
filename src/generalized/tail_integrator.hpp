// The long tail of the first-passage distribution: the Fokker-Planck equation
// of the surviving density, solved from T1 on.
//
// In the coordinate z = y / b(t) in [-1, 1] the bounds stand still and the
// density q of z obeys (noise 1)
//   q_t = d q_zz - d/dz[(alpha - beta z) q],  d = 1 / (2 b^2), alpha = v / b, beta = leak + b'/b.
// Writing q = e^phi r with phi = tilt z - curve z^2 / 2 (tilt = v b, curve = leak b^2 + b b')
// removes the drift term (Liouville's transformation):
//   r_t = d r_zz + (u0 + u1 z + u2 z^2) r,
//   u0 = beta/2 - v^2/2,  u1 = v b beta - tilt',  u2 = curve'/2 - beta^2 b^2 / 2.
// This also balances r where a strong drift piles q up against one bound, so
// that both bounds' fluxes keep their digits. In the time theta with
// d theta = d dt,
//   s_theta = L s + (u0 + u1 z + u2 z^2) / d * s,
// L the second derivative. The operator as it stands at the tail's start is
// exact in its eigenbasis (Legendre-Gauss-Lobatto collocation,
// potential_basis.hpp); its later change goes to the fourth-order exponential
// Runge-Kutta method of Cox & Matthews (2002), and the uniform part's change to
// a scalar factor, integrated exactly. The flux through each bound,
// -d q_z(1) and d q_z(-1), is its first-passage density.
//
// The steps are fixed times (chosen from the values alone); the parameters'
// derivatives ride on each step's length in theta and on the coefficients.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include "generalized/frozen_operator.hpp"
#include "generalized/gauss_legendre.hpp"
#include "generalized/jet.hpp"
#include "generalized/lobatto_basis.hpp"
#include "generalized/time_functions.hpp"

namespace ventrola::generalized {

template <std::size_t N>
struct TailCoefficients {
    using J = Jet<N>;
    J d, tilt, curve, u0, u1, u2;  // as above
    J log_d_rate, tilt_rate, curve_rate;
};

template <std::size_t N>
TailCoefficients<N> tail_coefficients(const TimeFunctions<Jet<N>>& f, double t) {
    using J = Jet<N>;
    const BoundAt<J> bound = f.bound(t);
    const DriftAt<J> drift = f.drift(t);
    const J lam = f.leaks() ? f.parameters().leak : J(0.0);
    const J& b = bound.b;
    const J beta = lam + bound.b1 / b;
    TailCoefficients<N> c;
    c.d = 0.5 / (b * b);
    c.tilt = drift.v * b;
    c.curve = lam * b * b + b * bound.b1;
    c.tilt_rate = drift.v1 * b + drift.v * bound.b1;
    c.curve_rate = 2.0 * lam * b * bound.b1 + bound.b1 * bound.b1 + b * bound.b2;
    c.u0 = 0.5 * beta - 0.5 * drift.v * drift.v;
    c.u1 = drift.v * b * beta - c.tilt_rate;
    c.u2 = 0.5 * c.curve_rate - 0.5 * beta * beta * b * b;
    c.log_d_rate = -2.0 * bound.b1 / b;
    return c;
}

// One recorded moment of the tail: the log of both bounds' densities and
// their time derivatives, and the surviving mass (value only).
template <std::size_t N>
struct TailSample {
    double t = 0.0;
    std::array<Jet<N>, 2> log_flux;
    std::array<Jet<N>, 2> log_flux_rate;
    double survival = 0.0;
};

// The cubic through values la, lb at the ends of [0, 1] with slopes da, db there (the
// derivatives times the interval's length), at s.
template <class T>
T hermite_cubic(double s, const T& la, const T& da, const T& lb, const T& db) {
    const double r = 1.0 - s;
    return ((1.0 + 2.0 * s) * r * r) * la + (s * r * r) * da + (s * s * (3.0 - 2.0 * s)) * lb + (s * s * -r) * db;
}

struct TailControls {
    std::size_t order = 0;           // Lobatto points: K + 1; 0 chooses K from the model (tail_order)
    double theta_step = 0.25;        // the longest step, in theta
    double moving_bound_theta_step = 0.1;  // the same where the bounds move
    double remainder_step = 0.05;    // step * |remainder| at most this
    double negligible = 1e-22;       // surviving mass below which the tail ends (once past the horizon)
    double max_bend = 0.0005;        // how far log g may stray from a line over the first step
    double interpolation_tolerance = 1e-8;  // the Hermite cubic's error in log g between samples
    double steady_theta_step = 4.0;  // the longest step where the coefficients stand still
    int max_steps = 100000;
};

// Lobatto points enough for the transformed density over the tail's life.
// r = e^-phi q carries e^(curve z^2 / 2): a strong leak (or a fast collapse)
// makes it a narrow bump (or a deep bowl) that a few points cannot follow.
template <std::size_t N>
std::size_t tail_order(const TimeFunctions<Jet<N>>& f, double start) {
    double widest = 0.0;
    const double lam = f.leaks() ? f.parameters().leak.v : 0.0;
    for (int k = 0; k <= 48; ++k) {
        const double t = start * std::pow(1.25, k);
        const BoundAt<Jet<N>> bound = f.bound(t);
        if (!(bound.b.v > 0.0)) break;
        widest = std::max(widest, std::fabs(lam * bound.b.v * bound.b.v + bound.b.v * bound.b1.v));
    }
    if (widest <= 2.5) return 16;
    if (widest <= 6.0) return 24;
    if (widest <= 9.0) return 32;
    return 48;
}

template <std::size_t N>
class TailIntegrator {
public:
    using J = Jet<N>;
    using Vector = std::vector<J>;

    // controls.order must be set (tail_order chooses one); start: where the tail begins.
    TailIntegrator(const TimeFunctions<J>& f, const TailControls& controls, double start)
        : f_(f),
          values_(f.shape(), plain(f.parameters())),
          c_(controls),
          basis_(lobatto_basis(controls.order)),
          m_(basis_.interior()),
          modes_(frozen(f, basis_, start)),
          longest_(longest_step(f, controls)) {}

    const LobattoBasis& basis() const { return basis_; }

    // q at the interior points at `start`; records samples from `start` until the surviving
    // mass is negligible (or the bounds meet), or once past `horizon`.
    std::vector<TailSample<N>> run(const Vector& q, double start, double horizon) {
        std::vector<TailSample<N>> samples;
        // s = e^-phi q, in modes.
        const TailCoefficients<N> c0 = tail_coefficients(f_, start);
        Vector s(m_);
        for (std::size_t j = 0; j < m_; ++j) s[j] = q[j] * exp(-phi(c0, basis_.points[j + 1]));
        Vector a = to_modes(s);
        J log_scale = normalise(a);
        J log_e0(0.0);
        double t = start;
        samples.push_back(sample(a, t, log_scale, log_e0));
        double dtheta = FIRST_THETA_STEP;
        int since_frozen = 0;
        for (int step = 0; step < c_.max_steps; ++step) {
            const TailSample<N>& last = samples.back();
            if (!(last.survival >= c_.negligible) || !std::isfinite(last.survival) || last.t >= horizon) break;
            if (++since_frozen > MIN_STEPS_FROZEN && remainder_size(t) > REFREEZE * c_.remainder_step / c_.theta_step) {
                // The operator has moved away from the frozen one: freeze it again here, so that
                // the steps are no longer held short by the difference.
                const Vector values = to_values(a);
                modes_ = frozen(f_, basis_, t);
                a = to_modes(values);
                since_frozen = 0;
            }
            const double next = step_end(t, dtheta);
            if (!(next > t)) break;
            const double middle = theta_point(t, next);
            const J h = theta_between(t, next);
            Vector moved = etdrk4(a, h, t, middle, next);
            const J moved_e0 = log_e0 + integral_of_u0(t, next, h);
            const J moved_scale = log_scale + normalise(moved);
            TailSample<N> candidate = sample(moved, next, moved_scale, moved_e0);
            // The first two steps have no sample before them to estimate the interpolation's
            // error from (the first sample's rate is rounding until the run is over): there
            // the slopes may stray from the secant by little.
            const bool first = samples.size() < 3;
            const double misfit = first ? bend_between(last, candidate) / c_.max_bend
                                        : interpolation_misfit(samples[samples.size() - 2], last, candidate);
            if (misfit > 1.0 && h.v > MIN_THETA_STEP) {
                // The samples would not follow log g: a shorter step.
                dtheta = std::min(dtheta, h.v) * (first ? 0.5 : std::clamp(0.9 * std::pow(misfit, -0.25), 0.2, 0.9));
                continue;
            }
            a = std::move(moved);
            log_e0 = moved_e0;
            log_scale = moved_scale;
            t = next;
            samples.push_back(candidate);
            dtheta = first ? h.v * (misfit < 0.25 ? 1.5 : 1.0)
                           : h.v * std::clamp(0.9 * std::pow(std::max(misfit, 1e-12), -0.25), 1.0, 2.0);
        }
        return samples;
    }

private:
    static constexpr double FIRST_THETA_STEP = 0.01;
    static constexpr std::array<double, 21> INVERSE_FACTORIALS = [] {
        std::array<double, 21> out{};
        double factorial = 1.0;
        for (std::size_t n = 0; n < out.size(); ++n) {
            if (n > 0) factorial *= static_cast<double>(n);
            out[n] = 1.0 / factorial;
        }
        return out;
    }();
    static constexpr double MIN_THETA_STEP = 1e-6;
    static constexpr double NEGLIGIBLE_LOG_DENSITY = -40.0;
    static constexpr double MAX_STRAYING = 2.0;  // well inside late_log_density's 4
    // Refreezing costs about as much as a few steps: worth it where the remainder holds the
    // steps to a quarter of their longest, and not more often than every few steps.
    static constexpr double REFREEZE = 4.0;
    static constexpr int MIN_STEPS_FROZEN = 6;

    static Scaled<Jet<0>> plain(const Scaled<J>& p) {
        const Scaled<double> x = scaled_values(p);
        return {x.v,
                x.a,
                x.w,
                x.sz,
                x.collapse_time,
                x.collapse_shape,
                x.collapse_floor,
                x.amplitude,
                x.automatic_time,
                x.automatic_shape,
                x.leak,
                x.drift_table_scale};
    }

    static FrozenOperator<N> frozen(const TimeFunctions<J>& f, const LobattoBasis& basis, double start) {
        const TailCoefficients<N> c = tail_coefficients(f, start);
        return frozen_operator<N>(basis, c.u0 / c.d, c.u1 / c.d, c.u2 / c.d);
    }

    // The longest step: long where the coefficients stand still (the frozen potential is exact
    // then); where the bounds move, shorter than elsewhere, as the exponential steps lose
    // accuracy to the moving coefficients (a hyperbolic bound's log-density at 1.6 s wandered
    // by 4e-7 with the step sequence at 0.25, by 2e-8 at 0.1).
    static double longest_step(const TimeFunctions<J>& f, const TailControls& c) {
        if (f.shape().bound != BoundFamily::Constant) return c.moving_bound_theta_step;
        return f.shape().drift == DriftFamily::Constant ? c.steady_theta_step : c.theta_step;
    }

    static J phi(const TailCoefficients<N>& c, double z) { return c.tilt * z - 0.5 * c.curve * z * z; }

    // theta(b) - theta(a) = int_a^b d(t) dt.
    J theta_between(double a, double b) const { return clock_between(f_, a, b); }

    double theta_value(double a, double b) const { return clock_between(values_, a, b).v; }

    // int_a^b (u0 - a0 d) dt: the uniform part the modes' eigenvalues leave out; h the step
    // in theta, int_a^b d dt. With a constant drift u0 = (leak + b'/b - v^2) / 2 integrates in
    // closed form; a drift that changes by 8-point Gauss-Legendre.
    J integral_of_u0(double a, double b, const J& h) const {
        if (f_.shape().drift == DriftFamily::Constant) {
            const Scaled<J>& p = f_.parameters();
            const J lam = f_.leaks() ? p.leak : J(0.0);
            return 0.5 * ((lam - p.v * p.v) * (b - a) + log(f_.bound(b).b / f_.bound(a).b)) - modes_.a0 * h;
        }
        const double mid = 0.5 * (a + b);
        const double half = 0.5 * (b - a);
        J sum(0.0);
        for (int k = 0; k < 8; ++k) {
            const TailCoefficients<N> c = tail_coefficients(f_, mid + half * GAUSS8_NODES[k]);
            sum += GAUSS8_WEIGHTS[k] * (c.u0 - modes_.a0 * c.d);
        }
        return half * sum;
    }

    // The next step's end for a wished step in theta: at most theta_step, and short
    // enough that the remainder's size times the step stays below remainder_step.
    // The size of the operator's change since it was frozen, in theta units.
    double remainder_size(double t) const {
        const TailCoefficients<0> c = tail_coefficients(values_, t);
        return std::fabs(c.u1.v / c.d.v - modes_.a1.v) + std::fabs(c.u2.v / c.d.v - modes_.a2.v);
    }

    double step_end(double t, double wished) const {
        const TailCoefficients<0> c = tail_coefficients(values_, t);
        const double remainder = remainder_size(t);
        const double dtheta = std::min({wished, longest_, c_.remainder_step / std::max(remainder, 1e-12)});
        // Advance in t until the theta increment is reached (d varies along the way): halving
        // until within half as much again, then Newton's steps to within a few percent, so that
        // a shorter wish gives a shorter step.
        double dt = dtheta / c.d.v;
        double reached = INFINITY;
        for (int k = 0; k < 60; ++k) {
            const double b_end = values_.bound(t + dt).b.v;
            if (b_end > 0.0) {
                reached = theta_value(t, t + dt);
                if (reached <= 1.5 * dtheta) break;
            }
            dt *= 0.5;
        }
        for (int k = 0; k < 4 && std::fabs(reached - dtheta) > 0.02 * dtheta; ++k) {
            const double b_end = values_.bound(t + dt).b.v;
            const double next = dt - (reached - dtheta) * 2.0 * b_end * b_end;
            if (!(next > 0.0) || !(values_.bound(t + next).b.v > 0.0)) break;
            dt = next;
            reached = theta_value(t, t + dt);
        }
        return t + dt;
    }

    // How far log g strays from a straight line between two samples, either bound, relative to
    // the accuracy needed there: the Hermite interpolation between samples is accurate to a
    // small part of it. Where g is small the distribution functions no longer feel it and log g
    // needs digits only in proportion to its size; once negligible, far fewer.
    static double bend_between(const TailSample<N>& a, const TailSample<N>& b) {
        const double h = b.t - a.t;
        double bend = 0.0;
        for (std::size_t side = 0; side < 2; ++side) {
            const double secant = b.log_flux[side].v - a.log_flux[side].v;
            if (!std::isfinite(secant)) continue;
            const double low = std::min(a.log_flux[side].v, b.log_flux[side].v);
            const double scale = std::max(1.0, -low - 8.0) * (low < NEGLIGIBLE_LOG_DENSITY ? 20.0 : 1.0);
            bend = std::max({bend, std::fabs(a.log_flux_rate[side].v * h - secant) / scale,
                             std::fabs(b.log_flux_rate[side].v * h - secant) / scale});
        }
        return bend;
    }

    // The error of the Hermite cubic in log g over (b.t, c.t), relative to the accuracy needed
    // there (1 is just acceptable). The cubic through a and c misses b by
    // g4 (b-a)^2 (c-b)^2 / 24 (g4 the fourth derivative of log g), while over (b.t, c.t) its
    // error is at most g4 (c-b)^4 / 384: the miss times (c-b)^2 / 16 (b-a)^2 estimates it.
    // Beside it, the slopes must stay near the secant where g still counts, or
    // late_log_density would take the straight line.
    double interpolation_misfit(const TailSample<N>& a, const TailSample<N>& b, const TailSample<N>& c) const {
        const double gap = b.t - a.t;
        const double h = c.t - b.t;
        const double span = c.t - a.t;
        const double s = gap / span;
        double misfit = 0.0;
        for (std::size_t side = 0; side < 2; ++side) {
            const double la = a.log_flux[side].v, lb = b.log_flux[side].v, lc = c.log_flux[side].v;
            if (!std::isfinite(la) || !std::isfinite(lb) || !std::isfinite(lc)) continue;
            const double da = a.log_flux_rate[side].v * span;
            const double dc = c.log_flux_rate[side].v * span;
            const double cubic = hermite_cubic(s, la, da, lc, dc);
            const double error = std::fabs(cubic - lb) * h * h / (16.0 * gap * gap);
            const double low = std::min(lb, lc);
            misfit = std::max(misfit, error / (c_.interpolation_tolerance * std::max(1.0, -low - 8.0)));
            if (low >= NEGLIGIBLE_LOG_DENSITY) {
                const double secant = lc - lb;
                const double straying = std::max(std::fabs(b.log_flux_rate[side].v * h - secant),
                                                 std::fabs(c.log_flux_rate[side].v * h - secant));
                misfit = std::max(misfit, straying / MAX_STRAYING);
            }
        }
        return misfit;
    }

    // The time between a and b where theta is half-way (Newton on the values).
    double theta_point(double a, double b) const {
        const double target = 0.5 * theta_value(a, b);
        double t = 0.5 * (a + b);
        for (int k = 0; k < 30; ++k) {
            const double g = theta_value(a, t) - target;
            const double bt = values_.bound(t).b.v;
            const double step = g / (0.5 / (bt * bt));
            t = std::clamp(t - step, a, b);
            if (std::fabs(step) < 1e-15 * (b - a)) break;
        }
        return t;
    }

    Vector to_modes(const Vector& values) const {
        Vector out(m_);
        modes_.apply(false, values, out);
        return out;
    }

    Vector to_values(const Vector& modes) const {
        Vector out(m_);
        modes_.apply(true, modes, out);
        return out;
    }

    // The remainder (u1 z + u2 z^2) / d times s, less the frozen potential, in modes.
    Vector remainder(const Vector& modes, double t) const {
        const TailCoefficients<N> c = tail_coefficients(f_, t);
        Vector values = to_values(modes);
        const J a1 = c.u1 / c.d - modes_.a1;
        const J a2 = c.u2 / c.d - modes_.a2;
        for (std::size_t j = 0; j < m_; ++j) {
            const double z = basis_.points[j + 1];
            values[j] = (a1 * z + a2 * (z * z)) * values[j];
        }
        return to_modes(values);
    }

    // e^x and phi_1, phi_2, phi_3 of x: (e^x - 1) / x, (e^x - 1 - x) / x^2,
    // (e^x - 1 - x - x^2/2) / x^3, with their derivatives, carried to x's partials by the
    // chain rule (the series on jets would cost a jet operation per term).
    static std::array<J, 4> phi_functions(const J& x) {
        const double v = x.v;
        double e, p1, p2, p3, s1, s2, s3;
        if (std::fabs(v) < 0.5) {
            // phi_k(x) = sum_n x^n / (n + k)!, phi_k'(x) = sum_n n x^(n-1) / (n + k)!
            p1 = p2 = p3 = s1 = s2 = s3 = 0.0;
            double power = 1.0, previous = 0.0;  // x^n, x^(n-1)
            for (int n = 0; n < 18; ++n) {
                p1 += power * INVERSE_FACTORIALS[n + 1];
                p2 += power * INVERSE_FACTORIALS[n + 2];
                p3 += power * INVERSE_FACTORIALS[n + 3];
                s1 += n * previous * INVERSE_FACTORIALS[n + 1];
                s2 += n * previous * INVERSE_FACTORIALS[n + 2];
                s3 += n * previous * INVERSE_FACTORIALS[n + 3];
                previous = power;
                power *= v;
            }
            e = std::exp(v);
        } else {
            // phi_k = (phi_(k-1) - 1 / (k-1)!) / x and phi_k' = (phi_(k-1) - k phi_k) / x.
            e = std::exp(v);
            p1 = (e - 1.0) / v;
            p2 = (p1 - 1.0) / v;
            p3 = (p2 - 0.5) / v;
            s1 = (e - p1) / v;
            s2 = (p1 - 2.0 * p2) / v;
            s3 = (p2 - 3.0 * p3) / v;
        }
        return {chain(x, e, e), chain(x, p1, s1), chain(x, p2, s2), chain(x, p3, s3)};
    }

    // One exponential Runge-Kutta step of length h in theta (Cox & Matthews' ETDRK4).
    Vector etdrk4(const Vector& a, const J& h, double t0, double t_mid, double t1) const {
        Vector na = remainder(a, t0);
        Vector e_half(m_), e_full(m_), q_half(m_), f1(m_), f2(m_), f3(m_);
        for (std::size_t k = 0; k < m_; ++k) {
            const J z = h * modes_.eigenvalues[k];
            const std::array<J, 4> full = phi_functions(z);
            const std::array<J, 4> half = phi_functions(0.5 * z);
            e_full[k] = full[0];
            e_half[k] = half[0];
            q_half[k] = 0.5 * h * half[1];
            f1[k] = h * (full[1] - 3.0 * full[2] + 4.0 * full[3]);
            f2[k] = h * (full[2] - 2.0 * full[3]);
            f3[k] = h * (4.0 * full[3] - full[2]);
        }
        Vector sa(m_), sb(m_), sc(m_);
        for (std::size_t k = 0; k < m_; ++k) sa[k] = e_half[k] * a[k] + q_half[k] * na[k];
        const Vector nb_a = remainder(sa, t_mid);
        for (std::size_t k = 0; k < m_; ++k) sb[k] = e_half[k] * a[k] + q_half[k] * nb_a[k];
        const Vector nb_b = remainder(sb, t_mid);
        for (std::size_t k = 0; k < m_; ++k) sc[k] = e_half[k] * sa[k] + q_half[k] * (2.0 * nb_b[k] - na[k]);
        const Vector nc = remainder(sc, t1);
        Vector out(m_);
        for (std::size_t k = 0; k < m_; ++k) {
            out[k] = e_full[k] * a[k] + f1[k] * na[k] + 2.0 * f2[k] * (nb_a[k] + nb_b[k]) + f3[k] * nc[k];
        }
        return out;
    }

    // Scales the modes to a largest value of about 1; returns the log of the factor taken out.
    static J normalise(Vector& a) {
        double top = 0.0;
        for (const J& x : a) top = std::max(top, std::fabs(x.v));
        if (!(top > 0.0) || !std::isfinite(top)) return J(0.0);
        for (J& x : a) x = x * (1.0 / top);
        return J(std::log(top));
    }

    TailSample<N> sample(const Vector& a, double t, const J& log_scale, const J& log_e0) const {
        const TailCoefficients<N> c = tail_coefficients(f_, t);
        const Vector s = to_values(a);
        // s_t = d (L s + remainder s)
        Vector lam_a(m_);
        for (std::size_t k = 0; k < m_; ++k) lam_a[k] = modes_.eigenvalues[k] * a[k];
        const Vector ls = to_values(lam_a);
        // The remainder in values is the potential's change times s, point by point (what
        // remainder() returns, before its change to modes).
        const J a1 = c.u1 / c.d - modes_.a1;
        const J a2 = c.u2 / c.d - modes_.a2;
        Vector rs(m_);
        for (std::size_t j = 0; j < m_; ++j) {
            const double z = basis_.points[j + 1];
            rs[j] = (a1 * z + a2 * (z * z)) * s[j];
        }
        const std::size_t K = basis_.order;
        J upper(0.0), lower(0.0), upper_rate(0.0), lower_rate(0.0);
        double mass = 0.0;
        for (std::size_t j = 0; j < m_; ++j) {
            upper += basis_.d1(0, j + 1) * s[j];
            lower += basis_.d1(K, j + 1) * s[j];
            const J st = c.d * (ls[j] + rs[j]);
            upper_rate += basis_.d1(0, j + 1) * st;
            lower_rate += basis_.d1(K, j + 1) * st;
            const double z = basis_.points[j + 1];
            mass += basis_.weights[j + 1] * std::exp(phi(c, z).v) * s[j].v;
        }
        TailSample<N> out;
        out.t = t;
        const J common = log(c.d) - 0.5 * c.curve + log_e0 + log_scale;
        const J common_rate = c.log_d_rate - 0.5 * c.curve_rate + (c.u0 - modes_.a0 * c.d);
        // g_u = -d e^(tilt - curve/2) r_z(1), g_l = d e^(-tilt - curve/2) r_z(-1)
        out.log_flux[0] = upper.v < 0.0 ? common + c.tilt + log(-upper) : J(-INFINITY);
        out.log_flux[1] = lower.v > 0.0 ? common - c.tilt + log(lower) : J(-INFINITY);
        out.log_flux_rate[0] = common_rate + c.tilt_rate + upper_rate / upper;
        out.log_flux_rate[1] = common_rate - c.tilt_rate + lower_rate / lower;
        out.survival = std::exp(log_e0.v + log_scale.v) * mass;
        return out;
    }

    const TimeFunctions<J>& f_;
    TimeFunctions<Jet<0>> values_;  // the step control reads values only
    TailControls c_;
    const LobattoBasis& basis_;
    std::size_t m_;
    FrozenOperator<N> modes_;
    double longest_;
};

}  // namespace ventrola::generalized
