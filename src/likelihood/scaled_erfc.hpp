// exp(x^2) * erfc(x), the scaled complementary error function. The normal
// tails in the series are products of a tiny erfc and a huge exponential; this
// keeps them finite and accurate where each factor alone would underflow or
// overflow.
#pragma once

namespace ventrola::likelihood {

// Relative error a few units in the last place for x >= 0; for x < 0 it is
// 2 exp(x^2) - scaled_erfc(-x), which overflows below about -26.6.
double scaled_erfc(double x);

// The Mills ratio R(y) = integral over t >= y of exp(-(t^2 - y^2) / 2), y >= 0:
// sqrt(pi / 2) scaled_erfc(y / sqrt 2), the normal tail beyond y over the
// normal density at y. Relative error below 3e-15, from a table of
// polynomials built at first use, at about a third of scaled_erfc's cost.
double mills_ratio(double y);

}  // namespace ventrola::likelihood
