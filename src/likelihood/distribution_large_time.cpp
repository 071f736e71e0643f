// Large-time series of the lower-boundary survival P(lower, T > t).
//
// Integrating the eigenfunction series of the density from t to infinity,
// for a fixed drift nu,
//
//   P(lower, T > t | nu) = exp(-nu a w - nu^2 t / 2) H(nu),
//   H(nu) = 2 pi sum_k k sin(k pi w) exp(-k^2 pi^2 u / 2) / (a^2 nu^2 + k^2 pi^2),   u = t / a^2.
//
// Over nu ~ Normal(v, sv^2) the exponential folds into the normal weight:
// E[...] = exp(L) / S * E[H(nu')] with nu' ~ Normal(m, s^2), S^2 = 1 + sv^2 t,
// L = ((a w sv)^2 - 2 v a w - v^2 t) / (2 S^2), m = (v - a w sv^2) / S^2,
// s = sv / S. H is a sum of Lorentzians whose poles lie at least pi sqrt(u)
// standard deviations of nu' off the real axis, so Gauss-Hermite quadrature
// converges fast: 32 nodes reach about 1e-16 for u >= 1.
#include <array>
#include <cmath>
#include <numbers>

#include "likelihood/distribution_series.hpp"
#include "likelihood/normal_quadrature.hpp"

namespace ventrola::likelihood {

namespace {

constexpr double PI = std::numbers::pi;
constexpr int MAX_MODES = 24;

// Above this, 1 + x^2 is x^2 to double precision (and x^2 may overflow).
constexpr double SQUARE_DOMINATES = 1e8;

// The number of modes K after which the rest of H, times the largest
// possible prefactor exp(w^2 / (2u)), is below the tolerance. With
// c = pi^2 u / 2 and 1 / (a^2 nu^2 + k^2 pi^2) <= 1 / (k pi)^2 the rest is at most
// (2 / pi) sum_{k > K} exp(-k^2 c) / k <= (2 / pi) exp(-(K+1)^2 c) / (1 - exp(-4c)).
int mode_count(double u, double w, double tolerance) {
    const double c = 0.5 * PI * PI * u;
    const double need = std::log(2.0 / PI / tolerance) + 0.5 * w * w / u - std::log1p(-std::exp(-4.0 * c));
    const double modes = std::ceil(std::sqrt(need / c)) - 1.0;
    // A NaN parameter gives one mode (and a NaN result).
    return modes >= 1.0 ? (modes < MAX_MODES ? static_cast<int>(modes) : MAX_MODES) : 1;
}

}  // namespace

double large_time_survival(double t, const DecisionParameters& lower, double tolerance) {
    const double a = lower.a;
    const double w = lower.w;
    const double v = lower.v;
    const double u = t / (a * a);
    const int modes = mode_count(u, w, tolerance);

    std::array<double, MAX_MODES> numerator{};
    std::array<double, MAX_MODES> pole{};
    for (int k = 1; k <= modes; ++k) {
        const double kpi = k * PI;
        numerator[k - 1] = 2.0 * PI * k * std::sin(kpi * w) * std::exp(-0.5 * kpi * kpi * u);
        pole[k - 1] = kpi * kpi;
    }
    const double a2 = a * a;
    const auto lorentzians = [&](double nu) {
        const double a2nu2 = a2 * nu * nu;
        double sum = 0.0;
        for (int k = modes; k-- > 0;) sum += numerator[k] / (a2nu2 + pole[k]);
        return sum;
    };

    if (lower.sv == 0.0) return std::exp(-v * a * w - 0.5 * v * v * t) * lorentzians(v);

    // In sv sqrt(t) / S <= 1 and 1 / S, never sv^2 or S^2, which overflow
    // long before a drift variability a double holds does.
    const double root_t = std::sqrt(t);
    const double x = lower.sv * root_t;
    const double spread = x < SQUARE_DOMINATES ? std::sqrt(1.0 + x * x) : x;  // S
    const double share = x / spread;
    const double inv_spread = 1.0 / spread;
    const double aw = a * w;
    // ((a w sv)^2 - 2 v a w - v^2 t) / (2 S^2)
    const double log_weight = 0.5 * (aw * share) * (aw * share) / t - (v * aw + 0.5 * v * v * t) * inv_spread * inv_spread;
    const double mean = v * inv_spread * inv_spread - aw * share * share / t;  // (v - a w sv^2) / S^2
    const double sd = share / root_t;                                          // sv / S
    return std::exp(log_weight) * inv_spread * normal_expectation(lorentzians, mean, sd);
}

}  // namespace ventrola::likelihood
