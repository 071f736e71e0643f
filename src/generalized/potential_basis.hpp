// The eigenbasis of the tail's operator with its potential frozen at one
// moment: L + a1 z + a2 z^2 on the interior Lobatto points. With the potential
// inside the exact part of the exponential integrator, a strong leak (whose
// potential is large and constant) no longer limits the steps; only the
// potential's change since that moment, and the parameters' derivatives of
// it, are left to the Runge-Kutta part. The uniform part a0 shifts every
// eigenvalue: without it the modes would shrink by e^(a0 theta) each step, to
// be restored by a scalar, and a long step would lift rounding in the other
// modes to the level of the ground mode.
#pragma once

#include <vector>

#include "generalized/lobatto_basis.hpp"

namespace ventrola::generalized {

struct PotentialBasis {
    double a0 = 0.0;  // the frozen potential a0 + a1 z + a2 z^2
    double a1 = 0.0;
    double a2 = 0.0;
    std::vector<double> eigenvalues;  // ascending
    std::vector<double> to_values;    // modes to interior values, row-major
    std::vector<double> to_modes;     // interior values to modes
};

// L's own basis when the potential is too weak to be worth a decomposition.
PotentialBasis potential_basis(const LobattoBasis& basis, double a0, double a1, double a2);

}  // namespace ventrola::generalized
