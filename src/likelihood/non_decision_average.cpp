#include "likelihood/non_decision_average.hpp"

#include <algorithm>
#include <cmath>

#include "likelihood/log_weighted_sum.hpp"
#include "likelihood/lower_boundary.hpp"
#include "likelihood/time_window_quadrature.hpp"

namespace ventrola::likelihood {

namespace {

// A difference of distribution functions is used for the average density when
// it is at least this large; below it the rounding of the two values could
// show, and the density is integrated instead.
constexpr double SMALLEST_TRUSTED_DIFFERENCE = 1e-4;

// Up to this many nodes a rule, with the two samples that size it, costs
// less than the two distribution functions (measured: about 8 erfc each).
constexpr int SMALL_WINDOW_RULE = 8;

// Near 0 the density is exp(-c/x) times x^(-3/2) times the drift factor
// exp(((r sv)^2 - 2 r v - v^2 x) / (2 (1 + sv^2 x))) / sqrt(1 + sv^2 x), r the
// distance and v the drift towards the boundary. The log of that factor
// falls at rate k/2 at x = 0, k = (v - r sv^2)^2 + sv^2, which in
// z = c/x - c/x0 is k c / (2 (c/x0)^2): at most 1/2 once c/x0 >= sqrt(k c).
LeadingEdge leading_edge(bool upper, const DecisionParameters& p) {
    const LowerView x = lower_view(upper, p);
    const double distance = p.a * x.w;  // from the start to the boundary, in units of noise 1
    const double c = 0.5 * distance * distance;
    const double drift = x.v - distance * p.sv * p.sv;
    const double rate = drift * drift + p.sv * p.sv;
    return {c, std::fmax(9.0, std::sqrt(rate * c))};
}

// Besides the partials in v, a, w and sv, the nodes carry what the partials
// in t0 and st0 are averages of when the window is differentiated under the
// integral sign: with theta = (longest - x) / range the share of the range
// below the window's end, d/dt0 = mean(-d_t) and d/dst0 = mean(-theta d_t);
// and the magnitudes that bound their rounding.
struct DensityGradientIntegrand {
    bool upper;
    const DecisionParameters& p;
    double longest;
    double range;

    EndSample end(double x) const {
        const DecisionLogDensityGradient g = decision_log_density_gradient(upper, x, p);
        return {g.log_density, g.d_t};
    }
    WindowNode<8> node(double x, double offset) const {
        const DecisionLogDensityGradient g = decision_log_density_gradient(upper, x, p);
        const double theta = -longest * std::expm1(offset) / range;
        return {g.log_density,
                {g.d_v, g.d_a, g.d_w, g.d_sv, -g.d_t, -theta * g.d_t, std::fabs(g.d_t), theta * std::fabs(g.d_t)}};
    }
};

struct DensityIntegrand {
    bool upper;
    const DecisionParameters& p;

    EndSample end(double x) const {
        const DecisionLogDensityGradient g = decision_log_density_gradient(upper, x, p);
        return {g.log_density, g.d_t};
    }
    WindowNode<0> node(double x, double) const { return {decision_log_density(upper, x, p), {}}; }
};

struct DistributionIntegrand {
    bool upper;
    const DecisionParameters& p;

    EndSample end(double x) const {
        const double log_distribution = std::log(decision_distribution(upper, x, p));
        return {log_distribution, std::exp(decision_log_density(upper, x, p) - log_distribution)};
    }
    WindowNode<0> node(double x, double) const { return {std::log(decision_distribution(upper, x, p)), {}}; }
};

}  // namespace

double log_non_decision_average(bool upper, double longest, double range, const DecisionParameters& p) {
    const double shortest = longest - range;
    // A window narrow enough for one small rule costs fewer density
    // evaluations than the two distribution functions would.
    if (narrow_window(longest, range)) {
        const DensityIntegrand integrand{upper, p};
        const int nodes =
            window_rule_size(longest, range, integrand.end(shortest), integrand.end(longest), Accuracy::Density);
        if (nodes != 0 && nodes <= SMALL_WINDOW_RULE) {
            LogWeightedSum<0> sum;
            for_each_window_node(longest, range, nodes, [&](double x, double log_weight) {
                const SplitDensity f = decision_split_density(upper, x, p);
                sum.add_split(f.factor, log_weight + f.exponent);
            });
            return sum.log_total() - std::log(range);
        }
    }
    const double difference =
        decision_distribution(upper, longest, p) - (shortest > 0 ? decision_distribution(upper, shortest, p) : 0.0);
    if (difference >= SMALLEST_TRUSTED_DIFFERENCE) return std::log(difference / range);

    LogWeightedSum<0> sum;
    integrate_window<0>(DensityIntegrand{upper, p}, longest, range, leading_edge(upper, p), Accuracy::Density, sum);
    return sum.log_total() - std::log(range);
}

AveragedGradient non_decision_average_gradient(bool upper, double longest, double range, const DecisionParameters& p) {
    LogWeightedSum<8> sum;
    const WindowEnds ends = integrate_window<8>(DensityGradientIntegrand{upper, p, longest, range}, longest, range,
                                                leading_edge(upper, p), Accuracy::Derivative, sum);
    const double log_integral = sum.log_total();
    AveragedGradient g{};
    g.log_density = log_integral - std::log(range);
    g.d_v = sum.mean(0);
    g.d_a = sum.mean(1);
    g.d_w = sum.mean(2);
    g.d_sv = sum.mean(3);
    g.d_sz = 0;

    // Leibniz's rule at the window's ends is exact whatever the integrand
    // does inside, but its difference of the end values and the average,
    // divided by st0, loses the average's rounding as the window narrows;
    // there the averages under the integral sign are the better choice. Each
    // partial takes the form whose rounding bound is smaller.
    const double at_shortest = std::exp(ends.log_at_shortest - log_integral);
    const double at_longest = std::exp(ends.log_at_longest - log_integral);
    g.d_t0 = at_shortest + at_longest <= sum.mean(6) ? at_shortest - at_longest : sum.mean(4);
    g.d_st0 = at_shortest <= sum.mean(7) ? at_shortest - 1 / range : sum.mean(5);
    return g;
}

double non_decision_average_distribution(bool upper, double longest, double range, const DecisionParameters& p) {
    LogWeightedSum<0> sum;
    integrate_window<0>(DistributionIntegrand{upper, p}, longest, range, leading_edge(upper, p), Accuracy::Value, sum);
    return std::exp(sum.log_total()) / range;
}

}  // namespace ventrola::likelihood
