// exp(x^2) * erfc(x), the scaled complementary error function. The normal
// tails in the series are products of a tiny erfc and a huge exponential; this
// keeps them finite and accurate where each factor alone would underflow or
// overflow.
#pragma once

namespace ventrola::likelihood {

// Relative error a few units in the last place for x >= 0; for x < 0 it is
// 2 exp(x^2) - scaled_erfc(-x), which overflows below about -26.6.
double scaled_erfc(double x);

}  // namespace ventrola::likelihood
