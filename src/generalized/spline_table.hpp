// A user's function of time tabulated on an even grid, read back through a
// natural cubic spline: its value, slope and curvature anywhere, its integral
// from 0, and its leaky integral int_0^t e^(-lam (t-u)) f(u) du. Past the last
// point the function keeps its last value (flat), so a table that ends early
// never invents a trend.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "generalized/model_shape.hpp"

namespace ventrola::generalized {

struct SplinePoint {
    double value, slope, curvature;
};

class SplineTable {
public:
    SplineTable() = default;
    explicit SplineTable(const Table& table) : values_(table.values.begin(), table.values.end()), step_(table.step) {
        const std::size_t n = values_.size();
        moments_.assign(n, 0.0);
        if (n < 3) return;
        // Second derivatives of the natural spline (zero at both ends): the
        // tridiagonal system h/6 M[i-1] + 2h/3 M[i] + h/6 M[i+1] = (y[i+1] - 2 y[i] + y[i-1]) / h.
        std::vector<double> diagonal(n, 0.0);
        std::vector<double> rhs(n, 0.0);
        for (std::size_t i = 1; i + 1 < n; ++i) {
            diagonal[i] = 4.0;
            rhs[i] = 6.0 * (values_[i + 1] - 2.0 * values_[i] + values_[i - 1]) / (step_ * step_);
        }
        for (std::size_t i = 2; i + 1 < n; ++i) {
            const double factor = 1.0 / diagonal[i - 1];
            diagonal[i] -= factor;
            rhs[i] -= factor * rhs[i - 1];
        }
        for (std::size_t i = n - 2; i >= 1; --i) {
            moments_[i] = (rhs[i] - moments_[i + 1]) / diagonal[i];
            if (i == 1) break;
        }
        cumulative_.assign(n, 0.0);
        for (std::size_t i = 1; i < n; ++i) cumulative_[i] = cumulative_[i - 1] + segment_integral(i - 1, step_);
    }

    bool empty() const { return values_.empty(); }

    SplinePoint at(double t) const {
        if (values_.empty()) return {0.0, 0.0, 0.0};
        const double end = step_ * static_cast<double>(values_.size() - 1);
        if (!(t < end)) return {values_.back(), 0.0, 0.0};
        if (t <= 0.0) t = 0.0;
        const std::size_t i = segment_of(t);
        const double x = t - step_ * static_cast<double>(i);
        const double h = step_;
        const double a = moments_[i];
        const double b = moments_[i + 1];
        const double slope0 = (values_[i + 1] - values_[i]) / h - h * (2.0 * a + b) / 6.0;
        return {values_[i] + x * (slope0 + x * (a / 2.0 + x * (b - a) / (6.0 * h))),
                slope0 + x * (a + x * (b - a) / (2.0 * h)), a + x * (b - a) / h};
    }

    // int_0^t f(u) du.
    double integral(double t) const {
        if (values_.empty() || t <= 0.0) return 0.0;
        const double end = step_ * static_cast<double>(values_.size() - 1);
        if (!(t < end)) return cumulative_.back() + values_.back() * (t - end);
        const std::size_t i = segment_of(t);
        return cumulative_[i] + segment_integral(i, t - step_ * static_cast<double>(i));
    }

    // int_0^t e^(-lam (t-u)) f(u) du by Gauss-Legendre on each segment (exact
    // enough for the smooth integrand: the spline is cubic and the weight an
    // exponential).
    double leaky_integral(double t, double lam) const {
        if (values_.empty() || t <= 0.0) return 0.0;
        double total = 0.0;
        double lo = 0.0;
        const double end = step_ * static_cast<double>(values_.size() - 1);
        const double stop = t < end ? t : end;
        while (lo < stop) {
            const double hi = lo + step_ < stop ? lo + step_ : stop;
            total += gauss_piece(lo, hi, t, lam);
            lo = hi;
        }
        if (t > end) {
            // the flat continuation: f = last value
            total += values_.back() * (lam != 0.0 ? -std::expm1(-lam * (t - end)) / lam : t - end);
        }
        return total;
    }

private:
    std::size_t segment_of(double t) const {
        auto i = static_cast<std::size_t>(t / step_);
        if (i + 1 >= values_.size()) i = values_.size() - 2;
        return i;
    }

    double segment_integral(std::size_t i, double x) const {
        const double h = step_;
        const double a = moments_[i];
        const double b = moments_[i + 1];
        const double slope0 = (values_[i + 1] - values_[i]) / h - h * (2.0 * a + b) / 6.0;
        return x * (values_[i] + x * (slope0 / 2.0 + x * (a / 6.0 + x * (b - a) / (24.0 * h))));
    }

    double gauss_piece(double lo, double hi, double t, double lam) const {
        static constexpr double NODES[4] = {-0.8611363115940526, -0.3399810435848563, 0.3399810435848563,
                                            0.8611363115940526};
        static constexpr double WEIGHTS[4] = {0.3478548451374538, 0.6521451548625461, 0.6521451548625461,
                                              0.3478548451374538};
        const double mid = 0.5 * (lo + hi);
        const double half = 0.5 * (hi - lo);
        double sum = 0.0;
        for (int k = 0; k < 4; ++k) {
            const double u = mid + half * NODES[k];
            sum += WEIGHTS[k] * std::exp(-lam * (t - u)) * at(u).value;
        }
        return half * sum;
    }

    std::vector<double> values_;
    std::vector<double> moments_;
    std::vector<double> cumulative_;
    double step_ = 1.0;
};

}  // namespace ventrola::generalized
