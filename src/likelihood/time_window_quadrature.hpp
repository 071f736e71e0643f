// The integral over a window of decision times [lo, hi], 0 < lo < hi, of a
// positive integrand known by its logarithm: globally adaptive Gauss-Kronrod
// (7/15) in log space. Densities in decision time rise like exp(-c/x) from 0
// and fall like exp(-lambda x), so no single variable suits every window; the
// window is integrated in time, log-time or inverse time, whichever makes the
// log-integrand closest to a low polynomial judging by its values and slopes
// at the two ends. Time and inverse time are only considered for windows
// with hi <= 2 lo, which keeps 0 and infinity (where the integrand is
// singular in them) well outside the Bernstein ellipses the rule relies on.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "likelihood/log_weighted_sum.hpp"
#include "likelihood/quadrature.hpp"

namespace ventrola::likelihood {

// An end of the window: the log-integrand and its derivative in decision time.
struct WindowEnd {
    double x;
    double log_value;
    double log_slope;
};

// A quadrature node: the log-integrand and the values averaged with it.
template <std::size_t K>
struct WindowNode {
    double log_value;
    std::array<double, K> values;
};

namespace window_detail {

// The 15-point Kronrod extension of the 7-point Gauss rule on [-1, 1]: the
// non-negative nodes, ascending; the Gauss nodes are those of even index.
inline constexpr std::array<double, 8> NODES = {
    0.0,
    0.207784955007898467601,
    0.405845151377397166907,
    0.586087235467691130294,
    0.741531185599394439864,
    0.86486442335976907279,
    0.949107912342758524526,
    0.991455371120812639207,
};
inline constexpr std::array<double, 8> KRONROD_WEIGHTS = {
    0.209482141084727828013, 0.204432940075298892414, 0.190350578064785409913, 0.169004726639267902827,
    0.140653259715525918745, 0.10479001032225018384,  0.0630920926299785532907, 0.0229353220105292249637,
};
inline constexpr std::array<double, 8> GAUSS_WEIGHTS = {
    0.417959183673469387755, 0, 0.38183005050511894495, 0, 0.279705391489276667901, 0, 0.129484966168869693271, 0,
};

inline constexpr int MAX_PANELS = 48;

// Relative error the panels must reach together.
inline double tolerance(Accuracy accuracy) { return accuracy == Accuracy::Value ? 1e-10 : 1e-13; }

enum class Variable { Time, LogTime, InverseTime };

inline double to_variable(Variable variable, double x) {
    switch (variable) {
        case Variable::Time: return x;
        case Variable::LogTime: return std::log(x);
        case Variable::InverseTime: return 1 / x;
    }
    return x;
}

// The decision time at a value of the variable and log |dx/d(variable)|.
struct Mapped {
    double x;
    double log_jacobian;
};

inline Mapped from_variable(Variable variable, double u) {
    switch (variable) {
        case Variable::Time: return {u, 0.0};
        case Variable::LogTime: return {std::exp(u), u};
        case Variable::InverseTime: return {1 / u, -2 * std::log(u)};
    }
    return {u, 0.0};
}

// How far the log of integrand times Jacobian is from constant over the
// window in this variable: the sum of the magnitudes of the linear, quadratic
// and cubic coefficients of its Hermite interpolant on [-1, 1].
inline double departure(Variable variable, const WindowEnd& lo, const WindowEnd& hi) {
    double half = 0, value_lo = 0, value_hi = 0, slope_lo = 0, slope_hi = 0;
    switch (variable) {
        case Variable::Time:
            half = 0.5 * (hi.x - lo.x);
            value_lo = lo.log_value;
            value_hi = hi.log_value;
            slope_lo = lo.log_slope;
            slope_hi = hi.log_slope;
            break;
        case Variable::LogTime:  // x = e^u, dx = x du
            half = 0.5 * std::log(hi.x / lo.x);
            value_lo = lo.log_value + std::log(lo.x);
            value_hi = hi.log_value + std::log(hi.x);
            slope_lo = lo.x * lo.log_slope + 1;
            slope_hi = hi.x * hi.log_slope + 1;
            break;
        case Variable::InverseTime:  // x = 1/u, |dx| = x^2 du; u runs from hi to lo
            half = 0.5 * (1 / lo.x - 1 / hi.x);
            value_lo = hi.log_value + 2 * std::log(hi.x);
            value_hi = lo.log_value + 2 * std::log(lo.x);
            slope_lo = -hi.x * (hi.x * hi.log_slope + 2);
            slope_hi = -lo.x * (lo.x * lo.log_slope + 2);
            break;
    }
    const double rise = value_hi - value_lo;
    const double m_lo = slope_lo * half;
    const double m_hi = slope_hi * half;
    const double cubic = 0.25 * (m_hi + m_lo - rise);
    const double quadratic = 0.25 * (m_hi - m_lo);
    const double linear = 0.5 * rise - cubic;
    return std::fabs(linear) + std::fabs(quadratic) + std::fabs(cubic);
}

inline Variable choose_variable(const WindowEnd& lo, const WindowEnd& hi) {
    Variable best = Variable::LogTime;
    if (hi.x > 2 * lo.x) return best;
    double least = departure(best, lo, hi);
    for (Variable variable : {Variable::Time, Variable::InverseTime}) {
        const double d = departure(variable, lo, hi);
        if (d < least) {  // false for NaN
            least = d;
            best = variable;
        }
    }
    return best;
}

// One panel [a, b] of the variable: the Kronrod estimate and its error, and
// the Kronrod sums of value * integrand, all relative to exp(log_scale).
template <std::size_t K>
struct Panel {
    double a;
    double b;
    double log_scale;
    double kronrod;
    double error;
    std::array<double, K> moments;
};

template <std::size_t K, class Integrand>
Panel<K> integrate_panel(const Integrand& integrand, Variable variable, double a, double b) {
    const double centre = 0.5 * (a + b);
    const double half = 0.5 * (b - a);
    std::array<double, 15> logs{};
    std::array<std::array<double, K>, 15> values{};
    double largest = -INFINITY;
    for (std::size_t j = 0; j < 15; ++j) {
        const double s = j < 8 ? -NODES[7 - j] : NODES[j - 7];
        const Mapped mapped = from_variable(variable, centre + half * s);
        const WindowNode<K> node = integrand.node(mapped.x);
        logs[j] = node.log_value + mapped.log_jacobian;
        values[j] = node.values;
        if (logs[j] > largest) largest = logs[j];
    }
    Panel<K> panel{a, b, largest + std::log(half), 0, 0, {}};
    if (largest == -INFINITY) return panel;
    double gauss = 0;
    for (std::size_t j = 0; j < 15; ++j) {
        const std::size_t index = j < 8 ? 7 - j : j - 7;
        const double term = std::exp(logs[j] - largest);
        panel.kronrod += KRONROD_WEIGHTS[index] * term;
        gauss += GAUSS_WEIGHTS[index] * term;
        for (std::size_t k = 0; k < K; ++k) panel.moments[k] += KRONROD_WEIGHTS[index] * term * values[j][k];
    }
    // The usual scaling of |Kronrod - Gauss|: the Kronrod error falls much
    // faster than the Gauss one it is measured by.
    const double relative = std::fabs(panel.kronrod - gauss) / panel.kronrod;
    panel.error = panel.kronrod * std::fmin(1.0, std::pow(200 * relative, 1.5));
    return panel;
}

}  // namespace window_detail

// Adds the integral of exp(log-integrand) over [lo.x, hi.x], with the K values
// averaged under it, to `sum`. The ends carry the log-integrand and its slope;
// the integrand provides WindowNode<K> node(double x) const.
template <std::size_t K, class Integrand>
void integrate_window(const Integrand& integrand, const WindowEnd& lo, const WindowEnd& hi, Accuracy accuracy,
                      LogWeightedSum<K>& sum) {
    using namespace window_detail;
    const Variable variable = choose_variable(lo, hi);
    double a = to_variable(variable, lo.x);
    double b = to_variable(variable, hi.x);
    if (b < a) std::swap(a, b);
    std::array<Panel<K>, MAX_PANELS> panels;
    std::size_t count = 1;
    panels[0] = integrate_panel<K>(integrand, variable, a, b);
    const double tol = tolerance(accuracy);
    while (count < MAX_PANELS) {
        double top = -INFINITY;
        for (std::size_t i = 0; i < count; ++i) top = std::fmax(top, panels[i].log_scale);
        double total = 0, error = 0, worst_error = -1;
        std::size_t worst = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const double scale = std::exp(panels[i].log_scale - top);
            total += scale * panels[i].kronrod;
            error += scale * panels[i].error;
            if (scale * panels[i].error > worst_error) {
                worst_error = scale * panels[i].error;
                worst = i;
            }
        }
        if (!(error > tol * total)) break;  // also ends on NaN
        const Panel<K> split = panels[worst];
        const double middle = 0.5 * (split.a + split.b);
        if (!(middle > split.a && middle < split.b)) break;
        panels[worst] = integrate_panel<K>(integrand, variable, split.a, middle);
        panels[count++] = integrate_panel<K>(integrand, variable, middle, split.b);
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::array<double, K> means{};
        for (std::size_t k = 0; k < K; ++k) means[k] = panels[i].moments[k] / panels[i].kronrod;
        sum.add(panels[i].log_scale + std::log(panels[i].kronrod), means);
    }
}

}  // namespace ventrola::likelihood
