#include "generalized/hermite_rule.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>

#include "generalized/symmetric_eigen.hpp"

namespace ventrola::generalized {
namespace {

constexpr double SQRT_PI = 1.7724538509055159;

// The orthonormal Hermite polynomials p_0..p_n at x (weight e^(-x^2)): p_n and sum_{k<n} p_k^2.
struct Recurrence {
    double last;
    double previous;
    double squares;
};

Recurrence orthonormal(std::size_t n, double x) {
    double p_prev = 0.0;
    double p = 1.0 / std::sqrt(SQRT_PI);
    double squares = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        squares += p * p;
        const double next = x * std::sqrt(2.0 / static_cast<double>(k + 1)) * p -
                            std::sqrt(static_cast<double>(k) / static_cast<double>(k + 1)) * p_prev;
        p_prev = p;
        p = next;
    }
    return {p, p_prev, squares};
}

// Golub and Welsch's eigenvalues of the Jacobi matrix, then Newton's method on
// p_n (p_n' = sqrt(2n) p_(n-1)); the weights by Christoffel's 1 / sum p_k^2.
HermiteRule build(std::size_t n) {
    std::vector<double> jacobi(n * n, 0.0);
    for (std::size_t k = 1; k < n; ++k) {
        jacobi[k * n + (k - 1)] = jacobi[(k - 1) * n + k] = std::sqrt(0.5 * static_cast<double>(k));
    }
    HermiteRule rule;
    rule.nodes = symmetric_eigen(std::move(jacobi), n).values;
    std::ranges::sort(rule.nodes);
    for (double& x : rule.nodes) {
        for (int iteration = 0; iteration < 4; ++iteration) {
            const Recurrence r = orthonormal(n, x);
            x -= r.last / (std::sqrt(2.0 * static_cast<double>(n)) * r.previous);
        }
    }
    // Symmetric by construction: average the mirrored nodes.
    for (std::size_t k = 0; k < n / 2; ++k) {
        const double x = 0.5 * (rule.nodes[n - 1 - k] - rule.nodes[k]);
        rule.nodes[k] = -x;
        rule.nodes[n - 1 - k] = x;
    }
    if (n % 2 == 1) rule.nodes[n / 2] = 0.0;
    for (const double x : rule.nodes) rule.weights.push_back(1.0 / orthonormal(n, x).squares);
    return rule;
}

}  // namespace

const HermiteRule& hermite_rule(std::size_t size) {
    static std::mutex lock;
    static std::map<std::size_t, std::unique_ptr<HermiteRule>> built;
    const std::lock_guard<std::mutex> guard(lock);
    auto& slot = built[size];
    if (!slot) slot = std::make_unique<HermiteRule>(build(size));
    return *slot;
}

std::size_t hermite_size(double spread_over_scale) {
    if (spread_over_scale <= 0.5) return 16;
    if (spread_over_scale <= 1.0) return 24;
    if (spread_over_scale <= 1.5) return 32;
    if (spread_over_scale <= 2.5) return 48;
    return 64;
}

}  // namespace ventrola::generalized
