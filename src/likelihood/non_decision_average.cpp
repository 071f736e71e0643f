#include "likelihood/non_decision_average.hpp"

#include <algorithm>
#include <cmath>

#include "likelihood/log_weighted_sum.hpp"
#include "likelihood/time_window_quadrature.hpp"

namespace ventrola::likelihood {

namespace {

// A difference of distribution functions is used for the average density when
// it is at least this large; below it the rounding of the two values could
// show, and the density is integrated instead.
constexpr double SMALLEST_TRUSTED_DIFFERENCE = 1e-4;

// How far (in e-folds) below the window's last density the leading edge is
// cut off, on top of what drift and its variability can add back.
constexpr double LEADING_EDGE_MARGIN = 60;

// Distance from the start to the boundary, in units of noise 1.
double distance_to_boundary(bool upper, const DecisionParameters& p) { return p.a * (upper ? 1 - p.w : p.w); }

// Below this decision time the density is negligible against the window:
// near 0 it behaves like exp(-c/x) with c = distance^2 / 2, times factors of
// drift and drift variability bounded by exp(|v| distance + (sv distance)^2 / 2).
double leading_edge_cut(bool upper, double longest, const DecisionParameters& p) {
    const double distance = distance_to_boundary(upper, p);
    const double c = 0.5 * distance * distance;
    const double spread = distance * p.sv;
    const double margin = LEADING_EDGE_MARGIN + std::fabs(p.v) * distance + 0.5 * spread * spread;
    return c / (c / longest + margin);
}

struct DensityGradientIntegrand {
    bool upper;
    const DecisionParameters& p;

    WindowEnd end(double x) const {
        const DecisionLogDensityGradient g = decision_log_density_gradient(upper, x, p);
        return {x, g.log_density, g.d_t};
    }
    WindowNode<4> node(double x) const {
        const DecisionLogDensityGradient g = decision_log_density_gradient(upper, x, p);
        return {g.log_density, {g.d_v, g.d_a, g.d_w, g.d_sv}};
    }
};

struct DensityIntegrand {
    bool upper;
    const DecisionParameters& p;

    WindowEnd end(double x) const {
        const DecisionLogDensityGradient g = decision_log_density_gradient(upper, x, p);
        return {x, g.log_density, g.d_t};
    }
    WindowNode<0> node(double x) const { return {decision_log_density(upper, x, p), {}}; }
};

struct DistributionIntegrand {
    bool upper;
    const DecisionParameters& p;
    double c;  // of the leading edge exp(-c/x), for a slope where F underflows

    WindowEnd end(double x) const {
        const double log_distribution = std::log(decision_distribution(upper, x, p));
        if (log_distribution == -INFINITY) return {x, log_distribution, c / (x * x)};
        return {x, log_distribution, std::exp(decision_log_density(upper, x, p) - log_distribution)};
    }
    WindowNode<0> node(double x) const { return {std::log(decision_distribution(upper, x, p)), {}}; }
};

}  // namespace

double typical_decision_time(bool upper, double longest, double range, const DecisionParameters& p) {
    const double distance = distance_to_boundary(upper, p);
    const double c = 0.5 * distance * distance;
    const double mode = 2 * c / (1.5 + std::sqrt(2.25 + 2 * p.v * p.v * c));
    return std::clamp(mode, longest - range, longest);
}

double log_non_decision_average(bool upper, double longest, double range, const DecisionParameters& p) {
    const double shortest = longest - range;
    const double difference = decision_distribution(upper, longest, p) -
                              (shortest > 0 ? decision_distribution(upper, shortest, p) : 0.0);
    if (difference >= SMALLEST_TRUSTED_DIFFERENCE) return std::log(difference / range);

    const DensityIntegrand integrand{upper, p};
    const double start = std::max(shortest, leading_edge_cut(upper, longest, p));
    LogWeightedSum<0> sum;
    integrate_window<0>(integrand, integrand.end(start), integrand.end(longest), Accuracy::Value, sum);
    return sum.log_total() - std::log(range);
}

AveragedGradient non_decision_average_gradient(bool upper, double longest, double range,
                                               const DecisionParameters& p) {
    const DensityGradientIntegrand integrand{upper, p};
    const double shortest = longest - range;
    const double cut = leading_edge_cut(upper, longest, p);
    const WindowEnd lo = integrand.end(std::max(shortest, cut));
    const WindowEnd hi = integrand.end(longest);
    LogWeightedSum<4> sum;
    integrate_window<4>(integrand, lo, hi, Accuracy::Derivative, sum);
    const double log_integral = sum.log_total();

    // Leibniz's rule at the window's ends. Below the cut the density at the
    // short end is negligible against the integral.
    const double at_shortest = shortest >= cut ? std::exp(lo.log_value - log_integral) : 0.0;
    const double at_longest = std::exp(hi.log_value - log_integral);
    AveragedGradient g;
    g.log_density = log_integral - std::log(range);
    g.d_v = sum.mean(0);
    g.d_a = sum.mean(1);
    g.d_w = sum.mean(2);
    g.d_sv = sum.mean(3);
    g.d_t0 = at_shortest - at_longest;
    g.d_sz = 0;
    g.d_st0 = at_shortest - 1 / range;
    return g;
}

double non_decision_average_distribution(bool upper, double longest, double range, const DecisionParameters& p) {
    const double distance = distance_to_boundary(upper, p);
    const DistributionIntegrand integrand{upper, p, 0.5 * distance * distance};
    const double start = std::max(longest - range, leading_edge_cut(upper, longest, p));
    LogWeightedSum<0> sum;
    integrate_window<0>(integrand, integrand.end(start), integrand.end(longest), Accuracy::Value, sum);
    return std::exp(sum.log_total()) / range;
}

}  // namespace ventrola::likelihood
