// The lower incomplete gamma integral J(alpha, c, t) = int_0^t u^(alpha-1) e^(-c u) du
// for alpha > 1 and any real c, in the arithmetic of T (double or Jet), so that
// its derivatives with respect to alpha and c come with it. The leaky
// accumulation of the automatic activation of a conflict-task drift needs it.
//
// Moderate positive c t: the series t^alpha e^(-ct) sum_n (ct)^n / (alpha (alpha+1) ... (alpha+n)),
// whose terms are all positive. Large positive c t: Gamma(alpha) / c^alpha minus the
// upper tail, a continued fraction (Lentz's method). Negative c (an accumulation
// that excites faster than the activation fades): the power series of e^(-cu),
// t^alpha sum_n (-ct)^n / (n! (alpha + n)), whose terms are then all positive too.
#pragma once

#include <cmath>

#include "generalized/jet.hpp"

namespace ventrola::generalized {

// digamma(x) for x > 0: the recurrence up to x >= 8, then the asymptotic series.
inline double digamma(double x) {
    double shift = 0.0;
    while (x < 8.0) {
        shift -= 1.0 / x;
        x += 1.0;
    }
    const double inv = 1.0 / x;
    const double inv2 = inv * inv;
    // 1/12 x^-2 - 1/120 x^-4 + 1/252 x^-6 - 1/240 x^-8 + 1/132 x^-10
    const double tail = inv2 * (1.0 / 12 - inv2 * (1.0 / 120 - inv2 * (1.0 / 252 - inv2 * (1.0 / 240 - inv2 / 132))));
    return shift + std::log(x) - 0.5 * inv - tail;
}

inline double log_gamma_of(double x) { return std::lgamma(x); }
template <std::size_t N>
Jet<N> log_gamma_of(const Jet<N>& x) {
    return chain(x, std::lgamma(x.v), digamma(x.v));
}

template <class T>
T lower_gamma_integral(const T& alpha, const T& c, double t) {
    const T ct = c * t;
    const double x = value(ct);
    constexpr int MAX_TERMS = 2000;
    constexpr double TOLERANCE = 1e-17;
    if (x < 0.0) {
        T power = 1.0;  // (-ct)^n / n!
        T sum = 1.0 / alpha;
        for (int n = 1; n < MAX_TERMS; ++n) {
            power = power * (-ct) / static_cast<double>(n);
            const T term = power / (alpha + static_cast<double>(n));
            sum += term;
            if (value(term) <= TOLERANCE * value(sum)) break;
        }
        return exp(alpha * log(T(t))) * sum;
    }
    if (x < 40.0) {
        T term = 1.0 / alpha;
        T sum = term;
        for (int n = 1; n < MAX_TERMS; ++n) {
            term = term * ct / (alpha + static_cast<double>(n));
            sum += term;
            if (std::fabs(value(term)) <= TOLERANCE * std::fabs(value(sum))) break;
        }
        return exp(alpha * log(T(t)) - ct) * sum;
    }
    // Upper tail Gamma(alpha, ct) / c^alpha by the continued fraction
    //   Gamma(a, x) = e^-x x^a / (x + 1 - a - 1 (1 - a) / (x + 3 - a - 2 (2 - a) / (x + 5 - a - ...)))
    constexpr double TINY = 1e-300;
    T b = ct + 1.0 - alpha;
    T cf = 1.0 / TINY;
    T df = 1.0 / b;
    T h = df;
    for (int i = 1; i < MAX_TERMS; ++i) {
        const T an = -static_cast<double>(i) * (static_cast<double>(i) - alpha);
        b += 2.0;
        df = an * df + b;
        if (std::fabs(value(df)) < TINY) df = TINY;
        cf = b + an / cf;
        if (std::fabs(value(cf)) < TINY) cf = TINY;
        df = 1.0 / df;
        const T delta = df * cf;
        h *= delta;
        if (std::fabs(value(delta) - 1.0) < 1e-16) break;
    }
    const T upper = exp(alpha * log(ct) - ct) * h;  // Gamma(alpha, ct)
    return exp(log_gamma_of(alpha) - alpha * log(c)) - upper / exp(alpha * log(c));
}

}  // namespace ventrola::generalized
