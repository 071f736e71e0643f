// The eigenfunction series of the unit-interval density, accurate and short
// from u = SERIES_SWITCH on:
//   g(u, d) = pi * sum over k >= 1 of k exp(-k^2 pi^2 u / 2) sin(k pi d),
// written relative to its slowest mode, g = pi sin(pi d) exp(-pi^2 u / 2) S.
// What depends on u alone (the powers of exp(-pi^2 u / 2)) and what depends
// on d alone (sin and cos of pi d) are computed apart, so that many start
// points at one time, or many times at one start point, share them.
#pragma once

namespace ventrola::likelihood {

// The one-trial densities take the series from SERIES_SWITCH on (4 modes);
// the averages over a start range from this u on, with up to MAX_MODES modes,
// which is where a start point costs less with this series than with the
// image series' exponentials.
inline constexpr double AVERAGE_SERIES_SWITCH = 0.1;
inline constexpr int MAX_MODES = 10;

// q^(k^2 - 1) for k = 2, ..., modes, q = exp(-pi^2 u / 2): enough modes that
// the first left out, and its share of the derivative sums, is below 1e-17
// of the first mode; modes = 1 where the first mode alone is g to double
// precision. u >= AVERAGE_SERIES_SWITCH.
struct ModePowers {
    int modes;
    double p[MAX_MODES + 1];  // p[k] = q^(k^2 - 1), k = 2..modes
};
ModePowers mode_powers(double u);

// sin(pi d) and cos(pi d), d in (0, 1), d_c = 1 - d given apart: the sine
// keeps its full relative accuracy next to either boundary.
struct StartAngle {
    double sin;
    double cos;
};
StartAngle start_angle(double d, double d_c);

// S = 1 + sum over k >= 2 of k q^(k^2 - 1) sin(k pi d) / sin(pi d).
double mode_sum(const ModePowers& q, const StartAngle& x);

// S with what the partial derivatives need:
//   u d log g / d u = -(pi^2 u / 2) (1 + s_u / S),   d log g / d d = pi s_d / (S sin(pi d)).
struct ModeMoments {
    double s;
    double s_u;
    double s_d;
};
ModeMoments mode_moments(const ModePowers& q, const StartAngle& x);

}  // namespace ventrola::likelihood
