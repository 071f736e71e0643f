#include "recovery/simplex.hpp"

#include <cmath>

namespace ventrola {

namespace {

// The larger argument, or the other one when either is NaN.
double larger(double p, double q) {
    if (std::isnan(p)) return q;
    if (std::isnan(q)) return p;
    return p < q ? q : p;
}

// The non-decision time step ignores the relative step: it is at least 0.05.
constexpr double MIN_NON_DECISION_STEP = 0.05;

}  // namespace

std::vector<std::vector<double>> build_simplex(const std::array<double, 3>& x0, double relative_step, double floor) {
    std::vector<double> first(x0.begin(), x0.end());
    std::vector<std::vector<double>> simplex(4, first);
    simplex[1][0] = x0[0] + larger(std::fabs(x0[0]) * relative_step, floor);
    simplex[2][1] = x0[1] + larger(std::fabs(x0[1]) * relative_step, floor);
    simplex[3][2] = x0[2] + larger(floor, MIN_NON_DECISION_STEP);
    return simplex;
}

}  // namespace ventrola
