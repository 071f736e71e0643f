// Normal probabilities the start's range needs, kept accurate where they are
// tiny: P(x_low < Z < x_high) for a standard normal Z, and the logarithm of
// erfc far in its tail (where erfc itself underflows a double).
#pragma once

#include <cmath>

#include "generalized/jet.hpp"

namespace ventrola::generalized {

inline constexpr double SQRT_HALF = 0.70710678118654752440;
inline constexpr double LOG_SQRT_2PI = 0.91893853320467274178;
inline constexpr double INV_SQRT_2PI = 0.39894228040143267794;

// P(low < Z < high), low <= high, from the tail on the side the interval lies
// on, so that an interval far out keeps its relative accuracy.
template <class T>
T normal_interval(const T& low, const T& high) {
    if (value(low) > 0.0) return 0.5 * (erfc(low * SQRT_HALF) - erfc(high * SQRT_HALF));
    if (value(high) < 0.0) return 0.5 * (erfc(-high * SQRT_HALF) - erfc(-low * SQRT_HALF));
    return 1.0 - 0.5 * (erfc(-low * SQRT_HALF) + erfc(high * SQRT_HALF));
}

// The standard normal density.
template <class T>
T normal_density(const T& x) {
    return INV_SQRT_2PI * exp(-0.5 * x * x);
}

}  // namespace ventrola::generalized
