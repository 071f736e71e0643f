// The image series of the unit-interval density, accurate and short for
// u up to about 1:
//   g(u, d) = (2 pi u^3)^(-1/2) * sum over all integers k of (d + 2k) exp(-(d + 2k)^2 / (2u)),
// d the distance of the start from the boundary reached, in units of the
// separation. The image k = 0 carries the exponential exp(-d^2 / 2u), which
// the callers merge with the drift's exponent (density_slice.hpp); these
// functions give the sums relative to it, every image k weighing
// e_k = exp(-2k(k + d) / u) <= 1.
#pragma once

namespace ventrola::likelihood {

// The series serves u below this; from here on the eigenfunction series
// (large_time_series.hpp) does. Both are accurate on either side of it; it is
// about where they cost the same, and where both need only a few terms.
inline constexpr double SERIES_SWITCH = 0.5;

// M1 = sum of (d + 2k) e_k: g = M1 exp(-d^2 / 2u) (2 pi u^3)^(-1/2). d_c is
// 1 - d, given apart so that a start near the other boundary keeps its
// distance to it exactly. 0 < u < SERIES_SWITCH (u = 0 stands for a time so
// short that only image 0 counts), inv_u = 1 / u.
double image_sum(double u, double inv_u, double d, double d_c);

// M1 with the sums the partial derivatives need:
//   d log M1 / d d = (m0 - b / u) / M1,   u d log M1 / d u = c / (u M1),
// m0 = sum of e_k, b = sum of 2k (d + 2k) e_k, c = sum of 2k(k + d) (d + 2k) e_k.
// b and c have no image-0 term, so they stay exact however large d^2 / u is.
struct ImageMoments {
    double m1;
    double m0;
    double b;
    double c;
};
ImageMoments image_moments(double u, double inv_u, double d, double d_c);

}  // namespace ventrola::likelihood
