// The eigenfunction series of the unit-interval density, accurate and short
// for u from about 1/2 on:
//   g(u, w) = pi * sum over k >= 1 of k exp(-k^2 pi^2 u / 2) sin(k pi w).
#pragma once

#include "likelihood/unit_density.hpp"

namespace ventrola::likelihood {

UnitDensity large_time_density(double u, double w, double w_complement);
UnitDensityGradient large_time_density_gradient(double u, double w, double w_complement);

}  // namespace ventrola::likelihood
