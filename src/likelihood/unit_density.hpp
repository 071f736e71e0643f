// The zero-drift first-passage density of the unit interval, g(u, w): the
// density of leaving (0, 1) through 0 at time u when starting at w with unit
// noise. Every decision-time density is this function rescaled and tilted by
// the drift. Two series converge to it, one fast at small u and one at large
// u; unit_density picks the cheaper one.
#pragma once

namespace ventrola::likelihood {

// The image series serves u below this, the eigenfunction series u from here
// on. Both are accurate on either side of it; it is about where they cost the
// same, and where both need only a few terms.
inline constexpr double SERIES_SWITCH = 0.5;

// g = factor * exp(exponent). The exponent carries what would underflow a
// double (g falls like exp(-w^2 / 2u) as u -> 0), so g stays usable in log
// space; factor is positive and of moderate size for any u and w a model can
// meet.
struct UnitDensity {
    double factor;
    double exponent;
};

// The same with the partial derivatives of log g. The u derivative comes
// as the elasticity u d log g / d u, which stays finite where d log g / d u
// itself (about w^2 / 2u^2 as u -> 0) would overflow.
struct UnitDensityGradient {
    double factor;
    double exponent;
    double u_d_u;  // u * d log g / d u
    double d_w;    // d log g / d w
};

// u a positive normal double, finite, 0 < w < 1, and w_complement = 1 - w given separately, so
// that a start near 1 keeps its distance to the boundary exactly (1 - w
// computed from a w that was itself 1 - something has lost it).
UnitDensity unit_density(double u, double w, double w_complement);
UnitDensityGradient unit_density_gradient(double u, double w, double w_complement);

}  // namespace ventrola::likelihood
