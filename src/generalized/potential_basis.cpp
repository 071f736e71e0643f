#include "generalized/potential_basis.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>

#include "generalized/symmetric_eigen.hpp"

namespace ventrola::generalized {

namespace {

// Below this size the potential's share of a step is small: keep L's basis.
constexpr double WEAK_POTENTIAL = 1.0;

}  // namespace

PotentialBasis potential_basis(const LobattoBasis& basis, double a0, double a1, double a2) {
    PotentialBasis out;
    out.a0 = a0;
    if (std::fabs(a1) + std::fabs(a2) <= WEAK_POTENTIAL) {
        out.eigenvalues = basis.eigenvalues;
        for (double& e : out.eigenvalues) e += a0;
        out.to_values = basis.to_values;
        out.to_modes = basis.to_modes;
        return out;
    }
    out.a1 = a1;
    out.a2 = a2;
    const std::size_t m = basis.interior();
    // W^1/2 (L + V) W^-1/2 = S + V: V is diagonal, so the sum stays symmetric.
    std::vector<double> s = basis.symmetric;
    for (std::size_t i = 0; i < m; ++i) {
        const double z = basis.points[i + 1];
        s[i * m + i] += a1 * z + a2 * z * z;
    }
    const SymmetricEigen e = symmetric_eigen(std::move(s), m);
    std::vector<std::size_t> order(m);
    std::iota(order.begin(), order.end(), std::size_t{0});  // NOLINT(modernize-use-ranges): no ranges::iota in GCC 12
    std::ranges::sort(order, [&](std::size_t x, std::size_t y) { return e.values[x] < e.values[y]; });
    out.eigenvalues.resize(m);
    out.to_values.assign(m * m, 0.0);
    out.to_modes.assign(m * m, 0.0);
    for (std::size_t k = 0; k < m; ++k) {
        const std::size_t c = order[k];
        out.eigenvalues[k] = e.values[c] + a0;
        for (std::size_t i = 0; i < m; ++i) {
            const double q = e.vectors[i * m + c];
            const double root = std::sqrt(basis.weights[i + 1]);
            out.to_values[i * m + k] = q / root;
            out.to_modes[k * m + i] = q * root;
        }
    }
    return out;
}

}  // namespace ventrola::generalized
