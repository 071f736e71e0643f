// Forward-mode derivatives: a Jet carries a value and its partial derivatives
// with respect to N inputs, and the arithmetic and functions below carry both
// through the first-passage solver, so that one pass gives the likelihood and
// its gradient. Jet<0> is a plain value; the solver's templates take double as
// well, through the value() and scalar helpers at the end.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace ventrola::generalized {

template <std::size_t N>
struct Jet {
    double v = 0.0;
    std::array<double, N> d{};

    Jet() = default;
    Jet(double value) : v(value) {}  // NOLINT(google-explicit-constructor): constants mix freely
    Jet(double value, const std::array<double, N>& partials) : v(value), d(partials) {}

    static Jet variable(double value, std::size_t index) {
        Jet x(value);
        x.d[index] = 1.0;
        return x;
    }

    Jet& operator+=(const Jet& o) {
        v += o.v;
        for (std::size_t k = 0; k < N; ++k) d[k] += o.d[k];
        return *this;
    }
    Jet& operator-=(const Jet& o) {
        v -= o.v;
        for (std::size_t k = 0; k < N; ++k) d[k] -= o.d[k];
        return *this;
    }
    Jet& operator*=(const Jet& o) {
        for (std::size_t k = 0; k < N; ++k) d[k] = d[k] * o.v + v * o.d[k];
        v *= o.v;
        return *this;
    }
    Jet& operator/=(const Jet& o) {
        const double inv = 1.0 / o.v;
        v *= inv;
        for (std::size_t k = 0; k < N; ++k) d[k] = (d[k] - v * o.d[k]) * inv;
        return *this;
    }
    Jet& operator*=(double s) {
        v *= s;
        for (std::size_t k = 0; k < N; ++k) d[k] *= s;
        return *this;
    }
};

template <std::size_t N>
Jet<N> operator-(Jet<N> a) {
    a.v = -a.v;
    for (std::size_t k = 0; k < N; ++k) a.d[k] = -a.d[k];
    return a;
}
template <std::size_t N>
Jet<N> operator+(Jet<N> a, const Jet<N>& b) {
    return a += b;
}
template <std::size_t N>
Jet<N> operator-(Jet<N> a, const Jet<N>& b) {
    return a -= b;
}
template <std::size_t N>
Jet<N> operator*(Jet<N> a, const Jet<N>& b) {
    return a *= b;
}
template <std::size_t N>
Jet<N> operator/(Jet<N> a, const Jet<N>& b) {
    return a /= b;
}
template <std::size_t N>
Jet<N> operator+(Jet<N> a, double b) {
    a.v += b;
    return a;
}
template <std::size_t N>
Jet<N> operator+(double b, Jet<N> a) {
    a.v += b;
    return a;
}
template <std::size_t N>
Jet<N> operator-(Jet<N> a, double b) {
    a.v -= b;
    return a;
}
template <std::size_t N>
Jet<N> operator-(double b, const Jet<N>& a) {
    return -a + b;
}
template <std::size_t N>
Jet<N> operator*(Jet<N> a, double b) {
    return a *= b;
}
template <std::size_t N>
Jet<N> operator*(double b, Jet<N> a) {
    return a *= b;
}
template <std::size_t N>
Jet<N> operator/(Jet<N> a, double b) {
    return a *= 1.0 / b;
}
template <std::size_t N>
Jet<N> operator/(double b, const Jet<N>& a) {
    return Jet<N>(b) / a;
}

// f(a) with f(a.v) = fv and f'(a.v) = slope.
template <std::size_t N>
Jet<N> chain(const Jet<N>& a, double fv, double slope) {
    Jet<N> r(fv);
    for (std::size_t k = 0; k < N; ++k) r.d[k] = slope * a.d[k];
    return r;
}

template <std::size_t N>
Jet<N> exp(const Jet<N>& a) {
    const double e = std::exp(a.v);
    return chain(a, e, e);
}
template <std::size_t N>
Jet<N> expm1(const Jet<N>& a) {
    return chain(a, std::expm1(a.v), std::exp(a.v));
}
template <std::size_t N>
Jet<N> log(const Jet<N>& a) {
    return chain(a, std::log(a.v), 1.0 / a.v);
}
template <std::size_t N>
Jet<N> log1p(const Jet<N>& a) {
    return chain(a, std::log1p(a.v), 1.0 / (1.0 + a.v));
}
template <std::size_t N>
Jet<N> sqrt(const Jet<N>& a) {
    const double r = std::sqrt(a.v);
    return chain(a, r, 0.5 / r);
}
template <std::size_t N>
Jet<N> pow(const Jet<N>& a, const Jet<N>& b) {
    // a^b = exp(b log a), for a > 0.
    return exp(b * log(a));
}
template <std::size_t N>
Jet<N> erfc(const Jet<N>& a) {
    constexpr double TWO_OVER_SQRT_PI = 1.1283791670955126;
    return chain(a, std::erfc(a.v), -TWO_OVER_SQRT_PI * std::exp(-a.v * a.v));
}

inline double value(double x) { return x; }
template <std::size_t N>
double value(const Jet<N>& x) {
    return x.v;
}

// The same spelling for doubles inside templates.
using std::erfc;
using std::exp;
using std::expm1;
using std::log;
using std::log1p;
using std::pow;
using std::sqrt;

}  // namespace ventrola::generalized
