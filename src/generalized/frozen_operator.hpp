// The tail's operator frozen at its start, L + a0 + a1 z + a2 z^2, in its
// eigenbasis, carrying the parameters' derivatives: the frozen potential is a
// function of the parameters like everything else, so its eigenvalues and
// eigenvectors are too (first-order perturbation theory of a symmetric
// matrix: mu_k' = q_k^T V' q_k, q_k' = sum_j q_j (q_j^T V' q_k) / (mu_k - mu_j)).
// Held fixed instead, the remainder would be zero in value but not in
// derivative, and the exponential integrator's error, small in the value,
// would enter the gradient to first order.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "generalized/jet.hpp"
#include "generalized/lobatto_basis.hpp"
#include "generalized/potential_basis.hpp"

namespace ventrola::generalized {

template <std::size_t N>
struct FrozenOperator {
    using J = Jet<N>;
    J a0, a1, a2;                   // the frozen potential (a1 = a2 = 0 where L's basis is kept)
    std::vector<J> eigenvalues;     // mu_k + a0
    std::vector<double> to_values;  // row-major, modes to interior values
    std::vector<double> to_modes;   // row-major, interior values to modes
    // Their derivatives, N matrices each, one after the other; empty where L's basis is kept.
    std::vector<double> to_values_rate;
    std::vector<double> to_modes_rate;

    // out = V x (or V^-1 x): the values' matrix on the jets, its derivatives on the values.
    void apply(bool values, const std::vector<J>& x, std::vector<J>& out) const {
        const std::size_t m = x.size();
        const std::vector<double>& matrix = values ? to_values : to_modes;
        for (std::size_t j = 0; j < m; ++j) {
            J sum(0.0);
            for (std::size_t k = 0; k < m; ++k) sum += matrix[j * m + k] * x[k];
            out[j] = sum;
        }
        const std::vector<double>& rates = values ? to_values_rate : to_modes_rate;
        if (rates.empty()) return;
        for (std::size_t n = 0; n < N; ++n) {
            const double* rate = rates.data() + n * m * m;
            for (std::size_t j = 0; j < m; ++j) {
                double sum = 0.0;
                for (std::size_t k = 0; k < m; ++k) sum += rate[j * m + k] * x[k].v;
                out[j].d[n] += sum;
            }
        }
    }
};

template <std::size_t N>
FrozenOperator<N> frozen_operator(const LobattoBasis& basis, const Jet<N>& a0, const Jet<N>& a1, const Jet<N>& a2) {
    using J = Jet<N>;
    const PotentialBasis values = potential_basis(basis, a0.v, a1.v, a2.v);
    const bool frozen = values.a1 != 0.0 || values.a2 != 0.0;
    const std::size_t m = basis.interior();
    FrozenOperator<N> out;
    out.a0 = a0;
    out.a1 = frozen ? a1 : J(0.0);
    out.a2 = frozen ? a2 : J(0.0);
    out.eigenvalues.assign(values.eigenvalues.begin(), values.eigenvalues.end());
    out.to_values = values.to_values;
    out.to_modes = values.to_modes;
    for (std::size_t k = 0; k < m; ++k) out.eigenvalues[k].d = a0.d;  // the uniform part shifts every mode
    if constexpr (N > 0) {
        if (!frozen) return out;
        // Q = W^1/2 V, orthogonal.
        std::vector<double> q(m * m), root(m);
        for (std::size_t i = 0; i < m; ++i) root[i] = std::sqrt(basis.weights[i + 1]);
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t k = 0; k < m; ++k) q[i * m + k] = values.to_values[i * m + k] * root[i];
        }
        std::vector<double> weighted(m * m), projected(m * m), dq(m * m);
        out.to_values_rate.assign(N * m * m, 0.0);
        out.to_modes_rate.assign(N * m * m, 0.0);
        for (std::size_t n = 0; n < N; ++n) {
            if (a1.d[n] == 0.0 && a2.d[n] == 0.0) continue;
            // P = Q^T diag(V') Q
            for (std::size_t i = 0; i < m; ++i) {
                const double z = basis.points[i + 1];
                const double dv = a1.d[n] * z + a2.d[n] * z * z;
                for (std::size_t k = 0; k < m; ++k) weighted[i * m + k] = dv * q[i * m + k];
            }
            for (std::size_t j = 0; j < m; ++j) {
                for (std::size_t k = 0; k < m; ++k) {
                    double sum = 0.0;
                    for (std::size_t i = 0; i < m; ++i) sum += q[i * m + j] * weighted[i * m + k];
                    projected[j * m + k] = sum;
                }
            }
            for (std::size_t k = 0; k < m; ++k) out.eigenvalues[k].d[n] += projected[k * m + k];
            // Q' = Q C, C_jk = P_jk / (mu_k - mu_j) off the diagonal.
            for (std::size_t i = 0; i < m; ++i) {
                for (std::size_t k = 0; k < m; ++k) {
                    double sum = 0.0;
                    for (std::size_t j = 0; j < m; ++j) {
                        if (j == k) continue;
                        const double gap = values.eigenvalues[k] - values.eigenvalues[j];
                        if (std::fabs(gap) > 1e-12 * (std::fabs(values.eigenvalues[k]) + 1.0)) {
                            sum += q[i * m + j] * projected[j * m + k] / gap;
                        }
                    }
                    dq[i * m + k] = sum;
                }
            }
            for (std::size_t i = 0; i < m; ++i) {
                for (std::size_t k = 0; k < m; ++k) {
                    out.to_values_rate[n * m * m + i * m + k] = dq[i * m + k] / root[i];
                    out.to_modes_rate[n * m * m + k * m + i] = dq[i * m + k] * root[i];
                }
            }
        }
    }
    return out;
}

}  // namespace ventrola::generalized
