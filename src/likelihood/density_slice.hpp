// The decision-time density of the boundary reached (the lower boundary of
// lower_boundary.hpp's view, noise 1) at one decision time s, for any number
// of start points: what depends on s alone is computed once into a
// DensitySlice, after which each start point costs an exponential or two.
// The averages over a start range and a non-decision window evaluate the
// density at many start points per time this way, and the one-trial
// functions at one.
//
// Below SERIES_SWITCH (in u = s / a^2) the image series, with its image-0
// exponential merged into the drift's:
//   f = a s^(-3/2) (2 pi)^(-1/2) D^(-1/2) M1 exp(-(a d + v s)^2 / (2 s D)),   D = 1 + sv^2 s,
// which is the product of g(u, d) / a^2 and the drift's factor
// exp(((a d sv)^2 - 2 a v d - v^2 s) / (2D)) / sqrt(D) with the two large
// exponents -(a d)^2 / 2s and (a d sv)^2 / 2D already cancelled: written
// apart they lose every digit once sv^2 s is large, and overflow once a sv is.
// From SERIES_SWITCH on, the eigenfunction series times the same drift factor.
#pragma once

#include "likelihood/decision_time.hpp"
#include "likelihood/large_time_series.hpp"
#include "likelihood/small_time_series.hpp"

namespace ventrola::likelihood {

struct DensitySlice {
    double a, v, sv;  // seen from the boundary reached
    double s, inv_s;
    double u, inv_u;  // s / a^2
    bool large;       // the eigenfunction series
    double rho;       // 1 / sqrt(s D)
    double kappa;     // sqrt(s / D)
    double phi;       // sv^2 s / D, in [0, 1)
    double scale;     // the factor common to every start point ...
    double front;     // ... times exp(front)
    ModePowers powers;  // at large times only
};

// What every slice of one parameter set shares.
struct SliceConstants {
    DecisionParameters lower;
    double a2;      // a^2
    double inv_a2;  // 1 / a^2
};
SliceConstants slice_constants(const DecisionParameters& lower);

// s > 0, finite; the parameters as seen from the boundary reached. The
// eigenfunction series serves u from `series_switch` on: SERIES_SWITCH for
// one density, AVERAGE_SERIES_SWITCH where many start points share the slice.
DensitySlice density_slice(double s, const DecisionParameters& lower, double series_switch = SERIES_SWITCH);
DensitySlice density_slice(double s, const SliceConstants& constants, double series_switch);

// A start point at distance d from the boundary reached, d_c = 1 - d exact;
// the angle is only read at large times, and only formed for them here.
struct StartPoint {
    double d;
    double d_c;
    StartAngle angle;
};
StartPoint start_point(const DensitySlice& slice, double d, double d_c);

// f = factor * exp(exponent), factor > 0 and of moderate size (or 0 where f
// is); exponent may be -inf where the density is below any double's logarithm.
SplitDensity slice_density(const DensitySlice& slice, const StartPoint& x);

// The same, computed in the same order, with the partial derivatives of log f
// with respect to the parameters seen from the boundary reached and to s.
struct SliceGradient {
    double factor;
    double exponent;
    double d_v;
    double d_a;
    double d_d;
    double d_sv;
    double d_s;
};
SliceGradient slice_gradient(const DensitySlice& slice, const StartPoint& x);

}  // namespace ventrola::likelihood
