// log erfc(x) for any real x, in the arithmetic of T: far in the upper tail
// erfc underflows a double while its logarithm, about -x^2, is what a
// log-density needs. erfcx(x) = e^(x^2) erfc(x) carries the tail.
#pragma once

#include <cmath>

#include "generalized/jet.hpp"

namespace ventrola::generalized {

// e^(x^2) erfc(x) for x >= 0: directly while e^(x^2) is finite, then the
// asymptotic series, whose fourth term is below 1e-10 of the sum from x = 26 on.
inline double erfcx_nonnegative(double x) {
    if (x < 26.0) return std::exp(x * x) * std::erfc(x);
    constexpr double INV_SQRT_PI = 0.56418958354775628695;
    const double y = 1.0 / (x * x);
    return INV_SQRT_PI / x * (1.0 - y * (0.5 - y * (0.75 - y * 1.875)));
}

inline double log_erfc_value(double x) {
    if (x < 0.5) return std::log(std::erfc(x));
    return std::log(erfcx_nonnegative(x)) - x * x;
}

inline double log_erfc(double x) { return log_erfc_value(x); }

template <std::size_t N>
Jet<N> log_erfc(const Jet<N>& x) {
    constexpr double TWO_OVER_SQRT_PI = 1.1283791670955126;
    // d/dx log erfc(x) = -(2/sqrt(pi)) e^(-x^2) / erfc(x) = -(2/sqrt(pi)) / erfcx(x)
    const double slope = x.v < 0.5 ? -TWO_OVER_SQRT_PI * std::exp(-x.v * x.v) / std::erfc(x.v)
                                   : -TWO_OVER_SQRT_PI / erfcx_nonnegative(x.v);
    return chain(x, log_erfc_value(x.v), slope);
}

}  // namespace ventrola::generalized
