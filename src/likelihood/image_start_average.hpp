// The average of the short-time density over a range of start points in
// closed form, image by image.
//
// At decision time s, image k of the image series is (d + 2k) exp(E_k(d))
// times the slice's common factor (density_slice.hpp), E_k(d) = -(d - mu)^2 /
// (2 sigma^2) - 2k(k + d)/u with sigma = sqrt(s D) / a and mu = -v s / a: a
// normal density in the start point d, centred at mu_k = mu - 2kD. Its
// integral over the range is a pair of Gaussian integrals (error functions
// at the range's ends), and so are those of its products with the partial
// derivatives of log f, which are polynomials of degree two in d. Below
// u = AVERAGE_SERIES_SWITCH the images k = -1, 0, 1 are the whole density to
// 1e-17. At short times sigma is far smaller than the range, where a
// quadrature rule in d needs many nodes and the closed form costs two scaled
// error functions per image.
#pragma once

#include "likelihood/density_slice.hpp"

namespace ventrola::likelihood {

// The average over the range [d_lo, d_hi] (lower view; d_c_lo and d_c_hi the
// exact complements), factor * exp(exponent), and the averages under it of
// the partial derivatives of log f (as slice_gradient gives them), of
// position / 2 times the d partial, position = (d - centre) / half, and a
// bound on the average of |d log f / ds|.
struct ImageStartAverage {
    bool valid;  // false where the closed form would lose digits: the caller integrates
    double factor;
    double exponent;
    double d_v, d_a, d_d, d_sv, d_s;
    double half_position_d_d;
    double abs_d_s;
};

// The start range, lower view: [lo, hi], hi_c = 1 - hi exact, its centre
// and half width, and log(1 + 2/lo), log(1 + 2/hi), which bound the images'
// weights.
struct StartRange {
    double lo, hi, hi_c;
    double centre, half;
    double log_image_lo, log_image_hi;
};

// A slice below AVERAGE_SERIES_SWITCH; value_only leaves the partials at 0.
// Not valid where the range is so narrow against sigma that the error
// functions at its ends cancel (a few nodes of a rule do better there),
// where a drift away from the boundary puts mu more than 1e3 start distances
// below 0, or where image -1 cancels more than half of images 0 and 1 (a
// range reaching the other boundary).
ImageStartAverage image_start_average(const DensitySlice& slice, const StartRange& range, bool value_only);

}  // namespace ventrola::likelihood
