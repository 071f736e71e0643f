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

LeadingEdge leading_edge(bool upper, const DecisionParameters& p) {
    const LowerView x = lower_view(upper, p);
    return likelihood::leading_edge(x.v, p.a * x.w, p.sv);
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
    const DistributionIntegrand integrand{upper, p};
    const LeadingEdge edge = leading_edge(upper, p);
    if (std::isfinite(edge.c) && edge.c > 0 && std::isfinite(edge.start)) {
        integrate_window<0>(integrand, longest, range, edge, Accuracy::Value, sum);
    } else {
        // A start infinitely many noise units from the boundary (the passage
        // is deterministic, a drift as large carries the process, F a step),
        // so few that c underflows, or a drift (variability) so large that
        // the edge is no longer exp(-c/x): no leading edge to integrate in c/x.
        // Adaptive panels in log-time close in on what there is.
        constexpr double FARTHEST_BACK = -700;  // offset in log-time, where the window reaches 0
        const double start = longest > range ? std::log1p(-range / longest) : FARTHEST_BACK;
        window_detail::integrate_adaptively<0>(integrand, longest, std::log(longest), start, 0.0, Accuracy::Value, sum);
    }
    return std::exp(sum.log_total()) / range;
}

}  // namespace ventrola::likelihood
