#include "generalized/lobatto_basis.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>

#include "generalized/symmetric_eigen.hpp"

namespace ventrola::generalized {
namespace {

// P_K(x) and P_K'(x) by the three-term recurrence.
void legendre(std::size_t K, double x, double& p, double& dp) {
    double p0 = 1.0;
    double p1 = x;
    if (K == 0) {
        p = 1.0;
        dp = 0.0;
        return;
    }
    for (std::size_t k = 2; k <= K; ++k) {
        const auto order = static_cast<double>(k);
        const double next = ((2.0 * order - 1.0) * x * p1 - (order - 1.0) * p0) / order;
        p0 = p1;
        p1 = next;
    }
    p = p1;
    dp = static_cast<double>(K) * (p0 - x * p1) / (1.0 - x * x);
}

LobattoBasis build(std::size_t K) {
    LobattoBasis b;
    b.order = K;
    const std::size_t n = K + 1;
    b.points.assign(n, 0.0);
    b.points[0] = 1.0;
    b.points[K] = -1.0;
    // The interior points are the roots of P_K'; Newton from the Chebyshev points,
    // with P_K'' from Legendre's equation (1 - x^2) P'' = 2 x P' - K (K + 1) P.
    for (std::size_t j = 1; j < K; ++j) {
        double x = std::cos(std::numbers::pi * static_cast<double>(j) / static_cast<double>(K));
        for (int iteration = 0; iteration < 100; ++iteration) {
            double p, dp;
            legendre(K, x, p, dp);
            const double ddp = (2.0 * x * dp - static_cast<double>(K * (K + 1)) * p) / (1.0 - x * x);
            const double step = dp / ddp;
            x -= step;
            if (std::fabs(step) < 1e-16) break;
        }
        b.points[j] = x;
    }
    std::vector<double> pk(n);
    for (std::size_t j = 0; j < n; ++j) {
        double dp;
        if (j == 0 || j == K) {
            pk[j] = (j == 0) ? 1.0 : ((K % 2 == 0) ? 1.0 : -1.0);
        } else {
            legendre(K, b.points[j], pk[j], dp);
        }
        b.weights.push_back(2.0 / (static_cast<double>(K * (K + 1)) * pk[j] * pk[j]));
    }
    b.first.assign(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            if (i != j) b.first[i * n + j] = pk[i] / (pk[j] * (b.points[i] - b.points[j]));
        }
    }
    b.first[0] = static_cast<double>(K * (K + 1)) / 4.0;
    b.first[n * n - 1] = -static_cast<double>(K * (K + 1)) / 4.0;
    // L = (D D) on the interior; S = W^1/2 L W^-1/2 is symmetric.
    const std::size_t m = K - 1;
    std::vector<double> s(m * m, 0.0);
    for (std::size_t i = 1; i < K; ++i) {
        for (std::size_t j = 1; j < K; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < n; ++k) sum += b.first[i * n + k] * b.first[k * n + j];
            s[(i - 1) * m + (j - 1)] = std::sqrt(b.weights[i]) * sum / std::sqrt(b.weights[j]);
        }
    }
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = i + 1; j < m; ++j) {
            const double mean = 0.5 * (s[i * m + j] + s[j * m + i]);
            s[i * m + j] = s[j * m + i] = mean;
        }
    }
    b.symmetric = s;
    const SymmetricEigen e = symmetric_eigen(std::move(s), m);
    std::vector<std::size_t> order(m);
    for (std::size_t k = 0; k < m; ++k) order[k] = k;
    std::ranges::sort(order, [&](std::size_t x, std::size_t y) { return e.values[x] < e.values[y]; });
    b.eigenvalues.resize(m);
    b.to_values.assign(m * m, 0.0);
    b.to_modes.assign(m * m, 0.0);
    for (std::size_t k = 0; k < m; ++k) {
        const std::size_t c = order[k];
        b.eigenvalues[k] = e.values[c];
        for (std::size_t i = 0; i < m; ++i) {
            const double q = e.vectors[i * m + c];  // Q is orthogonal: V = W^-1/2 Q, V^-1 = Q^T W^1/2
            b.to_values[i * m + k] = q / std::sqrt(b.weights[i + 1]);
            b.to_modes[k * m + i] = q * std::sqrt(b.weights[i + 1]);
        }
    }
    return b;
}

}  // namespace

const LobattoBasis& lobatto_basis(std::size_t order) {
    static std::mutex lock;
    static std::map<std::size_t, std::unique_ptr<LobattoBasis>> built;
    const std::lock_guard<std::mutex> guard(lock);
    auto& slot = built[order];
    if (!slot) slot = std::make_unique<LobattoBasis>(build(order));
    return *slot;
}

}  // namespace ventrola::generalized
