// The two series behind the decision-time distribution function, both for the
// lower boundary (the upper one is reached through lower_boundary.hpp) and
// both with the drift averaged over Normal(v, sv^2) in closed form or by
// quadrature. `tolerance` bounds the truncation error of each series.
#pragma once

#include "likelihood/decision_time.hpp"

namespace ventrola::likelihood {

// The truncation error each series is summed to; the rounding error of the
// results is about 1e-16 on top.
inline constexpr double SERIES_TOLERANCE = 1e-15;

// Where the small-time series hands over to the large-time one, as t / a^2.
// With a fixed drift the large-time series is cheaper from about 1/10 on, but
// its terms are as large as exp(w^2 / (2u)) and cancel, so it starts at 1/4
// (at most e^2). Averaging it over the drift by quadrature needs the poles of
// its terms further from the real axis, which t / a^2 >= 1 provides.
inline constexpr double SWITCH_FIXED_DRIFT = 0.25;
inline constexpr double SWITCH_VARIABLE_DRIFT = 1.0;

// P(lower boundary and T <= t), t > 0, summed over the images of the start:
// each term is a pair of normal tails. Fast for t / a^2 up to about 1; the
// number of terms grows like sqrt(t) / a beyond. Absolute error about 1e-16;
// where the result is far below its leading term (a start next to the other
// boundary, a strong drift away) the relative error grows accordingly.
double small_time_distribution(double t, const DecisionParameters& lower, double tolerance);

// P(lower boundary and T > t), t > 0, from the eigenfunction series. Fast and
// accurate for t / a^2 >= 1/4 (sv = 0) or >= 1 (sv > 0); below, it needs more
// terms, loses digits to cancellation and the fixed quadrature rule falls short.
double large_time_survival(double t, const DecisionParameters& lower, double tolerance);

// Rounding can leave a result a hair outside [0, 1]; NaN passes through.
inline double clamp_probability(double x) { return x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x); }

// P(lower boundary) for a fixed drift (sv ignored).
double fixed_drift_lower_probability(double v, double a, double w);

}  // namespace ventrola::likelihood
