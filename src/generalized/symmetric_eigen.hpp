// Eigenvalues and eigenvectors of a small symmetric matrix by cyclic Jacobi
// rotations: slow for large matrices, exact to rounding for the few dozen
// rows it is asked about, and short enough to trust.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace ventrola::generalized {

struct SymmetricEigen {
    std::vector<double> values;   // n
    std::vector<double> vectors;  // n x n row-major, column k the k-th eigenvector
};

// a: n x n row-major, symmetric.
inline SymmetricEigen symmetric_eigen(std::vector<double> a, std::size_t n) {
    std::vector<double> v(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) v[i * n + i] = 1.0;
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0;
        double diagonal = 0.0;
        for (std::size_t p = 0; p < n; ++p) {
            diagonal += a[p * n + p] * a[p * n + p];
            for (std::size_t q = p + 1; q < n; ++q) off += a[p * n + q] * a[p * n + q];
        }
        // Converged to rounding relative to the matrix's size.
        if (off <= 1e-32 * diagonal || off < 1e-300) break;
        for (std::size_t p = 0; p < n; ++p) {
            for (std::size_t q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                if (std::fabs(apq) <= 1e-18 * (std::fabs(a[p * n + p]) + std::fabs(a[q * n + q])) ||
                    std::fabs(apq) < 1e-300) {
                    continue;
                }
                const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                for (std::size_t k = 0; k < n; ++k) {
                    const double akp = a[k * n + p];
                    const double akq = a[k * n + q];
                    a[k * n + p] = c * akp - s * akq;
                    a[k * n + q] = s * akp + c * akq;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double apk = a[p * n + k];
                    const double aqk = a[q * n + k];
                    a[p * n + k] = c * apk - s * aqk;
                    a[q * n + k] = s * apk + c * aqk;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double vkp = v[k * n + p];
                    const double vkq = v[k * n + q];
                    v[k * n + p] = c * vkp - s * vkq;
                    v[k * n + q] = s * vkp + c * vkq;
                }
            }
        }
    }
    SymmetricEigen out;
    out.values.resize(n);
    for (std::size_t i = 0; i < n; ++i) out.values[i] = a[i * n + i];
    out.vectors = std::move(v);
    return out;
}

}  // namespace ventrola::generalized
