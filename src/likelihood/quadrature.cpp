#include "likelihood/quadrature.hpp"

#include <array>
#include <cmath>
#include <numbers>

namespace ventrola::likelihood {

namespace {

constexpr int TABLE_SIZE = MAX_RULE_NODES * (MAX_RULE_NODES + 1) / 2;

constexpr int offset_of(int n) { return (n - 1) * n / 2; }

struct RuleTable {
    std::array<double, TABLE_SIZE> nodes{};
    std::array<double, TABLE_SIZE> weights{};
    std::array<double, TABLE_SIZE> log_weights{};
};

// Newton's iteration on P_n from the usual cosine guesses; in double precision
// it lands on every node to within an ulp or two for n up to a few dozen.
RuleTable build_table() {
    RuleTable table;
    for (int n = 1; n <= MAX_RULE_NODES; ++n) {
        double* nodes = table.nodes.data() + offset_of(n);
        double* weights = table.weights.data() + offset_of(n);
        for (int i = 0; i < n; ++i) {
            double x = -std::cos(std::numbers::pi * (i + 0.75) / (n + 0.5));
            double derivative = 1.0;
            for (int iteration = 0; iteration < 100; ++iteration) {
                double previous = 1.0;
                double current = x;
                for (int k = 2; k <= n; ++k) {
                    const double next = ((2 * k - 1) * x * current - (k - 1) * previous) / k;
                    previous = current;
                    current = next;
                }
                derivative = n * (x * current - previous) / (x * x - 1.0);
                const double step = current / derivative;
                x -= step;
                if (std::fabs(step) < 1e-17) break;
            }
            nodes[i] = x;
            weights[i] = 2.0 / ((1.0 - x * x) * derivative * derivative);
        }
        // Exact symmetry, so that mirrored integrands cancel exactly.
        for (int i = 0; i < n / 2; ++i) {
            const double node = 0.5 * (nodes[n - 1 - i] - nodes[i]);
            const double weight = 0.5 * (weights[i] + weights[n - 1 - i]);
            nodes[i] = -node;
            nodes[n - 1 - i] = node;
            weights[i] = weight;
            weights[n - 1 - i] = weight;
        }
        if (n % 2 == 1) nodes[n / 2] = 0.0;
        for (int i = 0; i < n; ++i) table.log_weights[offset_of(n) + i] = std::log(weights[i]);
    }
    return table;
}

// Largest slope (curvature) that the n-node rule integrates within the
// accuracy when the other is 0, found against a 400-node rule and scaled by
// 0.9. Both together: slope / SLOPE[n] + curvature / CURVATURE[n] <= 1 holds
// within the accuracy as well.
constexpr std::array<double, MAX_RULE_NODES + 1> DENSITY_SLOPE = {
    0,    0.000697, 0.0649, 0.346, 0.874, 1.63, 2.61, 3.8,  5.21, 6.84, 8.67, 10.7, 12.9,
    15.4, 18,       20.8,   23.9,  27.1,  30.5, 34.1, 37.9, 41.9, 46.1, 50.5, 55.1};
constexpr std::array<double, MAX_RULE_NODES + 1> DENSITY_CURVATURE = {
    0,    0,    0.00135, 0.0267, 0.128, 0.341, 0.677, 1.13, 1.69, 2.36, 3.13, 4,   4.98,
    6.07, 7.28, 8.59,    10,     11.5,  13.2,  14.9,  16.7, 18.7, 20.7, 22.8, 25.1};
constexpr std::array<double, MAX_RULE_NODES + 1> VALUE_SLOPE = {
    0,    6.97e-05, 0.0205, 0.16, 0.486, 1,    1.7,  2.58, 3.64, 4.87, 6.28, 7.85, 9.59,
    11.5, 13.6,     15.8,   18.2, 20.7,  23.5, 26.3, 29.3, 32.5, 35.9, 39.4, 43};
constexpr std::array<double, MAX_RULE_NODES + 1> VALUE_CURVATURE = {
    0,    0,    0.000135, 0.00576, 0.0405, 0.137, 0.316, 0.588, 0.952, 1.41, 1.95, 2.57, 3.28,
    4.08, 4.96, 5.94,     7,       8.15,   9.39,  10.7,  12.1,  13.6,  15.2, 16.9, 18.6};
constexpr std::array<double, MAX_RULE_NODES + 1> DERIVATIVE_SLOPE = {
    0,    2.2e-06, 0.00365, 0.0506, 0.204, 0.496, 0.932, 1.51, 2.23, 3.1,  4.1,  5.25, 6.54,
    7.97, 9.53,    11.2,    13.1,   15,    17.1,  19.4,  21.7, 24.2, 26.9, 29.6, 32.6};
constexpr std::array<double, MAX_RULE_NODES + 1> DERIVATIVE_CURVATURE = {
    0,    0,    4.27e-06, 0.000576, 0.00722, 0.0344, 0.1,  0.22, 0.404, 0.656, 0.978, 1.37, 1.83,
    2.36, 2.95, 3.62,     4.36,     5.18,    6.06,   7.03, 8.06, 9.18,  10.4,  11.6,  13};

constexpr int LAGUERRE_TABLE_SIZE = MAX_LAGUERRE_NODES * (MAX_LAGUERRE_NODES + 1) / 2;

struct LaguerreTable {
    std::array<double, LAGUERRE_TABLE_SIZE> nodes{};
    std::array<double, LAGUERRE_TABLE_SIZE> log_weights{};
};

// Newton's iteration on L_n, started from the usual asymptotic guesses, each
// root from the two before it.
LaguerreTable build_laguerre_table() {
    LaguerreTable table;
    for (int n = 1; n <= MAX_LAGUERRE_NODES; ++n) {
        double* nodes = table.nodes.data() + offset_of(n);
        double* log_weights = table.log_weights.data() + offset_of(n);
        double z = 0;
        for (int i = 0; i < n; ++i) {
            if (i == 0) {
                z = 3.0 / (1.0 + 2.4 * n);
            } else if (i == 1) {
                z += 15.0 / (1.0 + 2.5 * n);
            } else {
                z += (1.0 + 2.55 * (i - 1)) / (1.9 * (i - 1)) * (z - nodes[i - 2]);
            }
            double derivative = 1.0;
            for (int iteration = 0; iteration < 100; ++iteration) {
                double previous = 1.0;
                double current = 1.0 - z;
                for (int k = 2; k <= n; ++k) {
                    const double next = ((2 * k - 1 - z) * current - (k - 1) * previous) / k;
                    previous = current;
                    current = next;
                }
                derivative = n * (current - previous) / z;
                const double step = current / derivative;
                z -= step;
                if (std::fabs(step) <= 1e-16 * z) break;
            }
            nodes[i] = z;
            log_weights[i] = z - std::log(z * derivative * derivative);
        }
    }
    return table;
}

constexpr int LOBATTO_TABLE_SIZE = MAX_LOBATTO_NODES * (MAX_LOBATTO_NODES + 1) / 2;

struct LobattoTable {
    std::array<double, LOBATTO_TABLE_SIZE> nodes{};
    std::array<double, LOBATTO_TABLE_SIZE> log_weights{};
};

// P_m and P'_m at x by the three-term recurrence.
void legendre(int m, double x, double& value, double& slope) {
    double previous = 1.0, current = x;
    for (int k = 2; k <= m; ++k) {
        const double next = ((2 * k - 1) * x * current - (k - 1) * previous) / k;
        previous = current;
        current = next;
    }
    value = m == 0 ? 1.0 : current;
    slope = m == 0 ? 0.0 : m * (previous - x * current) / (1.0 - x * x);
}

// Interior nodes by Newton's iteration on P'_{n-1}, whose derivative is
// (2x P' - m(m + 1) P) / (1 - x^2), from the Chebyshev-Gauss-Lobatto points;
// weights 2 / (n (n - 1) P_{n-1}(x)^2).
LobattoTable build_lobatto_table() {
    LobattoTable table;
    for (int n = 2; n <= MAX_LOBATTO_NODES; ++n) {
        double* nodes = table.nodes.data() + offset_of(n);
        double* log_weights = table.log_weights.data() + offset_of(n);
        const int m = n - 1;
        nodes[0] = -1.0;
        nodes[n - 1] = 1.0;
        for (int i = 1; i < n - 1; ++i) {
            double x = -std::cos(std::numbers::pi * i / m);
            for (int iteration = 0; iteration < 100; ++iteration) {
                double p = 0, dp = 0;
                legendre(m, x, p, dp);
                const double d2p = (2 * x * dp - m * (m + 1) * p) / (1.0 - x * x);
                const double step = dp / d2p;
                x -= step;
                if (std::fabs(step) < 1e-17) break;
            }
            nodes[i] = x;
        }
        // Exact symmetry, so that mirrored integrands cancel exactly.
        for (int i = 0; i < n / 2; ++i) {
            const double node = 0.5 * (nodes[n - 1 - i] - nodes[i]);
            nodes[i] = -node;
            nodes[n - 1 - i] = node;
        }
        if (n % 2 == 1) nodes[n / 2] = 0.0;
        for (int i = 0; i < n; ++i) {
            double p = 1, dp = 0;
            if (i != 0 && i != n - 1) legendre(m, nodes[i], p, dp);
            log_weights[i] = std::log(2.0 / (n * m * p * p));
        }
        for (int i = 0; i < n / 2; ++i) log_weights[n - 1 - i] = log_weights[i];
    }
    return table;
}

}  // namespace

GaussLobattoRule gauss_lobatto(int n) {
    static const LobattoTable table = build_lobatto_table();
    const auto offset = static_cast<std::size_t>(offset_of(n));
    const auto count = static_cast<std::size_t>(n);
    return {std::span<const double>(table.nodes).subspan(offset, count),
            std::span<const double>(table.log_weights).subspan(offset, count)};
}

GaussLaguerreRule gauss_laguerre(int n) {
    static const LaguerreTable table = build_laguerre_table();
    const auto offset = static_cast<std::size_t>(offset_of(n));
    const auto count = static_cast<std::size_t>(n);
    return {std::span<const double>(table.nodes).subspan(offset, count),
            std::span<const double>(table.log_weights).subspan(offset, count)};
}

GaussLegendreRule gauss_legendre(int n) {
    static const RuleTable table = build_table();
    const auto offset = static_cast<std::size_t>(offset_of(n));
    const auto count = static_cast<std::size_t>(n);
    return {std::span<const double>(table.nodes).subspan(offset, count),
            std::span<const double>(table.weights).subspan(offset, count),
            std::span<const double>(table.log_weights).subspan(offset, count)};
}

int steep_addend_rule_size(double rate, double weight, Accuracy accuracy) {
    // log c_n for n = 1..MAX_RULE_NODES, from the formula above.
    static const std::array<double, MAX_RULE_NODES + 1> log_error_constant = [] {
        std::array<double, MAX_RULE_NODES + 1> table{};
        for (int n = 1; n <= MAX_RULE_NODES; ++n) {
            table[n] = (2 * n + 1) * std::log(2.0) + 4 * std::lgamma(n + 1.0) - std::log(2 * n + 1.0) -
                       3 * std::lgamma(2 * n + 1.0);
        }
        return table;
    }();
    // A tenth of each accuracy, as the calibrated tables keep.
    const double tolerance = accuracy == Accuracy::Density ? 1e-8 : (accuracy == Accuracy::Value ? 1e-10 : 1e-13);
    if (!(weight > tolerance)) return weight >= 0 ? 1 : 0;  // false for NaN
    const double log_budget = std::log(tolerance / weight);
    const double log_rate = std::log(rate);
    for (int n = 1; n <= MAX_RULE_NODES; ++n) {
        if (log_error_constant[n] + 2 * n * log_rate <= log_budget) return n;  // false for NaN
    }
    return 0;
}

namespace {

constexpr double LEVEL_TOLERANCE[3] = {1e-7, 1e-9, 1e-12};  // Density, Value, Derivative

double level_tolerance(Accuracy accuracy) {
    return LEVEL_TOLERANCE[accuracy == Accuracy::Density ? 0 : (accuracy == Accuracy::Value ? 1 : 2)];
}

// log of a calibrated limit at log tolerance, on the line through the two
// nearest levels; 0 where the table holds 0 (no rule of that size copes).
double limit_at(const std::array<double, MAX_RULE_NODES + 1>* tables[3], int n, double log_tolerance) {
    const int upper = log_tolerance >= std::log(LEVEL_TOLERANCE[1]) ? 0 : 1;  // the looser of the pair
    const double a = (*tables[upper])[n], b = (*tables[upper + 1])[n];
    if (a == 0 || b == 0) return 0;
    const double la = std::log(LEVEL_TOLERANCE[upper]), lb = std::log(LEVEL_TOLERANCE[upper + 1]);
    return std::exp(std::log(a) + (log_tolerance - la) * (std::log(a) - std::log(b)) / (la - lb));
}

}  // namespace

int rule_size(double slope, double curvature, Accuracy accuracy, double weight) {
    if (weight >= 1) return rule_size(slope, curvature, accuracy);
    const double tolerance = level_tolerance(accuracy);
    if (!(weight > tolerance)) return weight >= 0 ? 1 : 0;  // false for NaN
    static const std::array<double, MAX_RULE_NODES + 1>* slopes[3] = {&DENSITY_SLOPE, &VALUE_SLOPE, &DERIVATIVE_SLOPE};
    static const std::array<double, MAX_RULE_NODES + 1>* curvatures[3] = {&DENSITY_CURVATURE, &VALUE_CURVATURE,
                                                                         &DERIVATIVE_CURVATURE};
    const double log_tolerance = std::log(tolerance / weight);
    const double b = std::fabs(slope);
    const double g = std::fabs(curvature);
    for (int n = 1; n <= MAX_RULE_NODES; ++n) {
        const double slope_limit = limit_at(slopes, n, log_tolerance);
        const double curvature_limit = limit_at(curvatures, n, log_tolerance);
        const double used = (b == 0 ? 0 : b / slope_limit) + (g == 0 ? 0 : g / curvature_limit);
        if (used <= 1.0) return n;  // false for NaN
    }
    return 0;
}

int rule_size(double slope, double curvature, Accuracy accuracy) {
    const auto& slopes = accuracy == Accuracy::Density ? DENSITY_SLOPE
                         : accuracy == Accuracy::Value ? VALUE_SLOPE
                                                       : DERIVATIVE_SLOPE;
    const auto& curvatures = accuracy == Accuracy::Density ? DENSITY_CURVATURE
                             : accuracy == Accuracy::Value ? VALUE_CURVATURE
                                                           : DERIVATIVE_CURVATURE;
    const double b = std::fabs(slope);
    const double g = std::fabs(curvature);
    for (int n = 1; n <= MAX_RULE_NODES; ++n) {
        const double used = (b == 0 ? 0 : b / slopes[n]) + (g == 0 ? 0 : g / curvatures[n]);
        if (used <= 1.0) return n;  // false for NaN
    }
    return 0;
}

}  // namespace ventrola::likelihood
