// Collocation at the Legendre-Gauss-Lobatto points of [-1, 1]: the points
// (z_0 = 1 down to z_K = -1), their quadrature weights, the first-derivative
// matrix, and the eigen-decomposition of the second derivative on the
// interior points with zero values at the ends, L = V diag(lambda) V^-1.
// At these points L is similar to a symmetric matrix (W^1/2 L W^-1/2, W the
// weights: the collocation is the Galerkin method with Lobatto quadrature),
// so its eigenvalues are real and negative and V is well conditioned.
#pragma once

#include <cstddef>
#include <vector>

namespace ventrola::generalized {

struct LobattoBasis {
    std::size_t order = 0;            // K: K + 1 points
    std::vector<double> points;       // descending from 1 to -1
    std::vector<double> weights;      // int f dz = sum w_k f(z_k), exact to degree 2K - 1
    std::vector<double> first;        // (K+1)^2 row-major: d/dz at the points
    std::vector<double> eigenvalues;  // K - 1: of L on the interior points, ascending
    std::vector<double> to_values;    // (K-1)^2 row-major: V, mode amplitudes to interior values
    std::vector<double> to_modes;     // (K-1)^2 row-major: V^-1
    std::vector<double> symmetric;    // (K-1)^2 row-major: S = W^1/2 L W^-1/2 on the interior

    std::size_t interior() const { return order - 1; }
    double d1(std::size_t row, std::size_t col) const { return first[row * (order + 1) + col]; }
};

// Built once per order and kept for the life of the process.
const LobattoBasis& lobatto_basis(std::size_t order);

}  // namespace ventrola::generalized
