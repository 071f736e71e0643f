// Chebyshev series on [-1, 1] from values at the extreme points z_j =
// cos(j pi / N), j = 0..N (so z_0 = 1 and z_N = -1), as the time tables use
// them: coefficients by the discrete cosine transform, written as one matrix
// product so that many functions sampled at the same nodes share a pass;
// Clenshaw's recurrence for several series at once. A series is stored
// degree-major, series[n][f] the coefficient of T_n in function f, with the
// full constant term in series[0] (f = sum_n series[n] T_n).
#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>

namespace ventrola::likelihood::chebyshev {

template <int N>
struct CosineTransform {
    double node[N + 1];          // cos(j pi / N)
    double matrix[N + 1][N + 1];  // coefficient n = sum_j matrix[n][j] value_j
};

template <int N>
const CosineTransform<N>& cosine_transform() {
    static const CosineTransform<N> table = [] {
        CosineTransform<N> t{};
        for (int j = 0; j <= N; ++j) t.node[j] = std::cos(std::numbers::pi * j / N);
        for (int n = 0; n <= N; ++n) {
            const double outer = (n == 0 || n == N ? 1.0 : 2.0) / N;
            for (int j = 0; j <= N; ++j) {
                const double inner = (j == 0 || j == N) ? 0.5 : 1.0;
                t.matrix[n][j] = outer * inner * std::cos(std::numbers::pi * ((n * j) % (2 * N)) / N);
            }
        }
        return t;
    }();
    return table;
}

// The interpolants' coefficients of F functions from their values at the nodes, values[j][f].
template <int N, std::size_t F>
void coefficients(const double (&values)[N + 1][F], double (&series)[N + 1][F]) {
    const CosineTransform<N>& t = cosine_transform<N>();
    for (int n = 0; n <= N; ++n) {
        double sum[F] = {};
        for (int j = 0; j <= N; ++j) {
            const double m = t.matrix[n][j];
            for (std::size_t f = 0; f < F; ++f) sum[f] += m * values[j][f];
        }
        for (std::size_t f = 0; f < F; ++f) series[n][f] = sum[f];
    }
}

// The first `count` of F series of degree D at z.
// Always inlined: the files compiled for wider instruction sets call it too
// (clenshaw_lanes.hpp), and an out-of-line copy of theirs must never be the
// one the linker keeps for the baseline's callers.
template <std::size_t count, int D, std::size_t F>
[[gnu::always_inline]] inline void evaluate(const double (&series)[D + 1][F], double z, double* values) {
    static_assert(count <= F);
    const double z2 = z + z;
    double b1[count] = {}, b2[count] = {};
    for (int n = D; n >= 1; --n) {
        const double* c = series[n];
        for (std::size_t f = 0; f < count; ++f) {
            // c - b2 is ready a step early, so only a product and a sum wait on b1.
            const double b0 = z2 * b1[f] + (c[f] - b2[f]);
            b2[f] = b1[f];
            b1[f] = b0;
        }
    }
    for (std::size_t f = 0; f < count; ++f) values[f] = z * b1[f] - b2[f] + series[0][f];
}

}  // namespace ventrola::likelihood::chebyshev
