// End corrections of the trapezoidal rule for integrands with a square-root
// zero at the end, x^(1/2) P(x) on an even grid (x counted back from the end,
// step 1). Navot's extension of the Euler-Maclaurin formula gives the error as
// a series in the derivatives of P at the end with coefficients zeta(-1/2-k);
// here P = e^(-r x) Phat(x) with r the local growth rate of P, so that the
// rule stays exact for the fast-rising integrands of the first passages' leading
// edge, where P changes by orders of magnitude in one step, and reduces to
// Navot's corrections for smooth P (r = 0).
#pragma once

#include <array>
#include <cstddef>

namespace ventrola::generalized {

inline constexpr std::size_t MAX_CORRECTION_POINTS = 5;

// weights[x] for x = 0 (the end) ... points - 1: the correction to add to the
// trapezoidal sum is sum_x weights[x] P(x); points from 1 to 5.
std::array<double, MAX_CORRECTION_POINTS> end_correction_weights(std::size_t points, double rate);

}  // namespace ventrola::generalized
