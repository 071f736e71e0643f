// The image series of the unit-interval density, accurate and short for
// u up to about 1:
//   g(u, w) = (2 pi u^3)^(-1/2) * sum over all integers k of (w + 2k) exp(-(w + 2k)^2 / (2u)).
#pragma once

#include "likelihood/unit_density.hpp"

namespace ventrola::likelihood {

UnitDensity small_time_density(double u, double w, double w_complement);
UnitDensityGradient small_time_density_gradient(double u, double w, double w_complement);

}  // namespace ventrola::likelihood
