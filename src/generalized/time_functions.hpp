// The model's functions of time in units of noise 1: the half-width b(t) of
// the bounds with its first two derivatives, the drift v(t) with its
// derivative, and the free process's transition law (mean and variance of
// y(t) given y(tau)), all in the arithmetic of T (double or Jet) so that the
// solver differentiates through them. Times are doubles: the solver's grid is
// not a parameter.
#pragma once

#include <cmath>

#include "generalized/gauss_legendre.hpp"
#include "generalized/incomplete_gamma.hpp"
#include "generalized/jet.hpp"
#include "generalized/model_shape.hpp"
#include "generalized/spline_table.hpp"

namespace ventrola::generalized {

// The parameters the solver differentiates, scaled to noise 1 (drifts and the
// bound in units of the noise; times, shapes and the leak as they are).
template <class T>
struct Scaled {
    T v, a, w, sz;
    T collapse_time, collapse_shape, collapse_floor;
    T amplitude, automatic_time, automatic_shape;
    T leak;
    double drift_table_scale = 1.0;  // a user's drift table is in user units: 1 / noise in the solver
};

// The values of parameters that carry derivatives.
template <class T>
Scaled<double> scaled_values(const Scaled<T>& p) {
    return {value(p.v),
            value(p.a),
            value(p.w),
            value(p.sz),
            value(p.collapse_time),
            value(p.collapse_shape),
            value(p.collapse_floor),
            value(p.amplitude),
            value(p.automatic_time),
            value(p.automatic_shape),
            value(p.leak),
            p.drift_table_scale};
}

template <class T>
struct BoundAt {
    T b, b1, b2;  // b(t), b'(t), b''(t)
};

template <class T>
struct DriftAt {
    T v, v1;  // v(t), v'(t)
};

// Everything the solver asks of the model, for one parameter set.
template <class T>
class TimeFunctions {
public:
    TimeFunctions(const ModelShape& shape, const Scaled<T>& p) : shape_(shape), p_(p) {
        if (shape.bound == BoundFamily::Tabulated) bound_spline_ = SplineTable(shape.bound_table);
        if (shape.drift == DriftFamily::Tabulated) drift_spline_ = SplineTable(shape.drift_table);
    }

    const Scaled<T>& parameters() const { return p_; }
    const ModelShape& shape() const { return shape_; }
    // A leaky model keeps its leaky formulas at leak = 0 too, so that the
    // derivative with respect to the leak is there.
    bool leaks() const { return shape_.leak; }

    // b(t) and its derivatives; the linear bound is 0 from its closing time on.
    BoundAt<T> bound(double t) const {
        const T half = 0.5 * p_.a;
        switch (shape_.bound) {
            case BoundFamily::Constant: return {half, T(0.0), T(0.0)};
            case BoundFamily::Linear: {
                const T rate = 1.0 / p_.collapse_time;
                if (value(rate) * t >= 1.0) return {T(0.0), T(0.0), T(0.0)};
                return {half * (1.0 - rate * t), -half * rate, T(0.0)};
            }
            case BoundFamily::Exponential: {
                const T rate = 1.0 / p_.collapse_time;
                const T c = exp(-rate * t);
                return {half * c, -half * rate * c, half * rate * rate * c};
            }
            case BoundFamily::Hyperbolic: {
                const T tau = p_.collapse_time;
                const T inv = 1.0 / (t + tau);
                const T c = tau * inv;
                return {half * c, -half * c * inv, 2.0 * half * c * inv * inv};
            }
            case BoundFamily::Weibull: {
                if (t <= 0.0) return {half, T(0.0), T(0.0)};
                const T kappa = p_.collapse_shape;
                const T x = exp(kappa * log(t / p_.collapse_time));  // (t / lambda)^kappa
                const T e = exp(-x);
                const T drop = 1.0 - p_.collapse_floor;
                const T x1 = kappa * x / t;                        // dx/dt
                const T x2 = kappa * (kappa - 1.0) * x / (t * t);  // d2x/dt2
                return {half * (p_.collapse_floor + drop * e), -half * drop * e * x1,
                        -half * drop * e * (x2 - x1 * x1)};
            }
            case BoundFamily::Tabulated: {
                const SplinePoint c = bound_spline_.at(t);
                return {half * c.value, half * c.slope, half * c.curvature};
            }
        }
        return {half, T(0.0), T(0.0)};
    }

    // The automatic activation A exp(-t/tau_a) (e t / ((alpha - 1) tau_a))^(alpha - 1),
    // whose time derivative is the conflict-task drift's addition.
    T activation(double t) const {
        if (t <= 0.0) return T(0.0);
        const T shape = p_.automatic_shape - 1.0;
        return p_.amplitude * exp(shape * (1.0 + log(t / (shape * p_.automatic_time))) - t / p_.automatic_time);
    }

    DriftAt<T> drift(double t) const {
        switch (shape_.drift) {
            case DriftFamily::Constant: return {p_.v, T(0.0)};
            case DriftFamily::Dmc: {
                if (t <= 0.0) return {p_.v, T(0.0)};
                const T act = activation(t);
                const T shape = p_.automatic_shape - 1.0;
                const T rate = shape / t - 1.0 / p_.automatic_time;  // d log(act) / dt
                return {p_.v + act * rate, act * (rate * rate - shape / (t * t))};
            }
            case DriftFamily::Tabulated: {
                // The table adds to v (0 for a user's drift, or the offset of a drift quadrature).
                const SplinePoint v = drift_spline_.at(t);
                const double scale = p_.drift_table_scale;
                return {p_.v + scale * v.value, T(scale * v.slope)};
            }
        }
        return {p_.v, T(0.0)};
    }

    // m(t) = int_0^t e^(-leak (t - u)) v(u) du: the mean of y(t) - y(0) e^(-leak t).
    T drift_integral(double t) const {
        if (t <= 0.0) return T(0.0);
        const bool leaky = leaks();
        const T lam = p_.leak;
        T constant_part = leaky ? p_.v * t * decay_average(lam * t) : p_.v * t;
        switch (shape_.drift) {
            case DriftFamily::Constant: return constant_part;
            case DriftFamily::Dmc: {
                // int_0^t e^(-lam (t-u)) act'(u) du = act(t) - lam int_0^t e^(-lam (t-u)) act(u) du
                const T act = activation(t);
                if (!leaky) return constant_part + act;
                const T shape = p_.automatic_shape - 1.0;
                const T scale = p_.amplitude * exp(shape * (1.0 - log(shape * p_.automatic_time)));
                const T integral = lower_gamma_integral(p_.automatic_shape, 1.0 / p_.automatic_time - lam, t);
                return constant_part + act - lam * scale * exp(-lam * t) * integral;
            }
            case DriftFamily::Tabulated:
                return constant_part + p_.drift_table_scale * (leaky ? drift_spline_.leaky_integral(t, value(lam))
                                                                     : drift_spline_.integral(t));
        }
        return constant_part;
    }

    // The free process from x at tau: y(t) ~ Normal(x e^(-leak (t-tau)) + shift, variance).
    T decay(double gap) const { return leaks() ? exp(-p_.leak * gap) : T(1.0); }
    T variance(double gap) const { return leaks() ? gap * decay_average(2.0 * p_.leak * gap) : T(gap); }

    // (1 - e^-x) / x, the average of e^-u over [0, x]; by its series near 0, where the quotient
    // would cancel (and at x = 0, where it would divide by zero).
    static T decay_average(const T& x) {
        if (std::fabs(value(x)) > 1e-3) return -expm1(-x) / x;
        return 1.0 - x * (0.5 - x * (1.0 / 6.0 - x * (1.0 / 24.0 - x / 120.0)));
    }
    // int_tau^t e^(-leak (t-u)) v(u) du from the integrals from 0.
    T shift(double t, const T& integral_t, double tau, const T& integral_tau) const {
        return integral_t - decay(t - tau) * integral_tau;
    }

private:
    const ModelShape& shape_;
    Scaled<T> p_;
    SplineTable bound_spline_;
    SplineTable drift_spline_;
};

// theta(b) - theta(a) = int_a^b dt / 2b(t)^2 at noise 1: the diffusion's clock across the
// bounds; in closed form where the bound has one (the tail asks for it at every step and at
// every trial's time), by 8-point Gauss-Legendre otherwise.
template <class T>
T clock_between(const TimeFunctions<T>& f, double a, double b) {
    const Scaled<T>& p = f.parameters();
    const T half = 0.5 * p.a;
    const T inv_2h2 = 0.5 / (half * half);
    switch (f.shape().bound) {
        case BoundFamily::Constant: return (b - a) * inv_2h2;
        case BoundFamily::Linear: {
            // b(t) = h (1 - r t): (b - a) / (2 h^2 (1 - r a) (1 - r b))
            const T rate = 1.0 / p.collapse_time;
            return (b - a) * inv_2h2 / ((1.0 - rate * a) * (1.0 - rate * b));
        }
        case BoundFamily::Exponential: {
            // b(t) = h e^(-r t): e^(2 r a) (e^(2 r (b - a)) - 1) / (4 r h^2)
            const T rate = 1.0 / p.collapse_time;
            return exp(2.0 * rate * a) * expm1(2.0 * rate * (b - a)) * inv_2h2 / (2.0 * rate);
        }
        case BoundFamily::Hyperbolic: {
            // b(t) = h tau / (t + tau): ((b + tau)^3 - (a + tau)^3) / (6 h^2 tau^2)
            const T tau = p.collapse_time;
            const T x = a + tau;
            const T y = b + tau;
            return (b - a) * (x * x + x * y + y * y) * inv_2h2 / (3.0 * tau * tau);
        }
        default: break;
    }
    const double mid = 0.5 * (a + b);
    const double width = 0.5 * (b - a);
    T sum(0.0);
    for (int k = 0; k < 8; ++k) {
        const T bt = f.bound(mid + width * GAUSS8_NODES[k]).b;
        sum += GAUSS8_WEIGHTS[k] * (0.5 / (bt * bt));
    }
    return width * sum;
}

}  // namespace ventrola::generalized
