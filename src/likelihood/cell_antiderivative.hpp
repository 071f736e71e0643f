// Integrals over any part of one cell of the time tables (time_profile.hpp)
// from antiderivatives: of the Chebyshev interpolant of h s in x = log s (h
// the start-averaged density, so that h s dx = h ds), and of h s times each
// average of a partial derivative. A trial's window, or the part of it in a
// cell, then costs two evaluations of the antiderivatives instead of a
// quadrature rule of several nodes.
//
// h s is interpolated from the same nodes as the cell's log h, relative to
// its largest value there. Where it spans many e-folds within the cell its
// series converges slowly, and where a part of the cell lies far below the
// top its integral is small against the series' error: `part` refuses both,
// from the series' last coefficients, and the caller integrates by rules.
#pragma once

#include <cstddef>

#include "likelihood/clenshaw_kernels.hpp"

namespace ventrola::likelihood {

// An absolute error in an average of a partial derivative that the tables
// need not resolve: a hundredth of the partials' 1e-8 near zero, and above
// the rounding of averages that are themselves small. The partial in a small
// start range is of the range's size and computed with an absolute rounding
// of up to 1e-11 (at a range of 1e-3 of the boundary); a tolerance relative
// to it alone halved cells down to the finest on every parameter set, and a
// gradient of 4,500 trials took seconds instead of milliseconds.
constexpr double PARTIAL_RESOLUTION = 1e-10;

// The integral of h over decision times and the means under it of the
// averages d/dv, d/da, d/dd, d/dsv, d/ds, position / 2 times d/dd, |d/ds|,
// and of s times d/ds and s times |d/ds| (which a window's weight theta =
// (longest - s) / range needs).
struct PartIntegral {
    static constexpr std::size_t MEANS = 9;
    double log_integral;
    double means[MEANS];
};

class CellAntiderivative {
public:
    // h s and its nine weighted companions.
    static constexpr std::size_t SERIES = ANTIDERIVATIVE_SERIES;
    static constexpr int DEGREE = ANTIDERIVATIVE_DEGREE;
    static_assert(SERIES == PartIntegral::MEANS + 1);

    // From the cell's functions at its nodes x_j = mid + half cos(j pi / N),
    // nodes[j] in the order above; they must be finite.
    CellAntiderivative(const double (&nodes)[PROFILE_DEGREE + 1][PROFILE_FUNCTIONS], double mid, double half);

    // The integral over [p, q] (in x, within the cell; p < q) into `out`: with
    // `means` also the means, whose error may grow `amplification` times
    // where the caller combines them. False, `out` unset, where the
    // interpolants' error would show in the result.
    bool part(double p, double q, bool means, double amplification, PartIntegral& out) const;

private:
    // The first `count` antiderivatives at z.
    template <std::size_t count>
    void at(double z, double* values) const;

    double mid_, inv_half_;
    double log_scale_;                   // log of the largest h s at the nodes, plus log(half)
    double value_error_, means_error_;  // bounds of the interpolants' errors, relative to their scales
    AntiderivativeSeries series_;
    double at_ends_[2][SERIES];  // at z = -1 and 1, where windows that cross cells start or end
};

}  // namespace ventrola::likelihood
