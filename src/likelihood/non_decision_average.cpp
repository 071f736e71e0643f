// The window average of the distribution function: its logarithm integrated
// over the window in log-time by time_window_quadrature.hpp.
#include "likelihood/non_decision_average.hpp"

#include <algorithm>
#include <cmath>

#include "likelihood/log_weighted_sum.hpp"
#include "likelihood/lower_boundary.hpp"
#include "likelihood/time_window_quadrature.hpp"

namespace ventrola::likelihood {

namespace {

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

double non_decision_average_distribution(bool upper, double longest, double range, const DecisionParameters& p) {
    LogWeightedSum<0> sum;
    integrate_window<0>(DistributionIntegrand{upper, p}, longest, range, leading_edge(upper, p), Accuracy::Value, sum);
    return std::exp(sum.log_total()) / range;
}

}  // namespace ventrola::likelihood
