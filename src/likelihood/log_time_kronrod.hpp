// Globally adaptive Gauss-Kronrod (7/15) in log-time over a piece of a
// window of decision times, in log space, for integrands too steep for one
// Gauss-Legendre rule. Positions are offsets from log(longest), the window's
// end; the integrand provides WindowNode<K> node(double x, double offset) const.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "likelihood/log_weighted_sum.hpp"
#include "likelihood/quadrature.hpp"

namespace ventrola::likelihood {

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
    0.209482141084727828013, 0.204432940075298892414, 0.190350578064785409913,  0.169004726639267902827,
    0.140653259715525918745, 0.10479001032225018384,  0.0630920926299785532907, 0.0229353220105292249637,
};
inline constexpr std::array<double, 8> GAUSS_WEIGHTS = {
    0.417959183673469387755, 0, 0.38183005050511894495, 0, 0.279705391489276667901, 0, 0.129484966168869693271, 0,
};

inline constexpr int MAX_PANELS = 48;

// Relative error the panels of one piece must reach together.
inline double tolerance(Accuracy accuracy) {
    return accuracy == Accuracy::Density ? 1e-9 : (accuracy == Accuracy::Value ? 1e-10 : 1e-13);
}

// One log-time panel [a, b] of offsets from log(longest): the Kronrod
// estimate and its error, and the Kronrod sums of value * integrand, all
// relative to exp(log_scale).
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
Panel<K> integrate_panel(const Integrand& integrand, double longest, double log_longest, double a, double b) {
    const double centre = 0.5 * (a + b);
    const double half = 0.5 * (b - a);
    std::array<double, 15> logs{};
    std::array<std::array<double, K>, 15> values{};
    double largest = -std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < 15; ++j) {
        const double s = j < 8 ? -NODES[7 - j] : NODES[j - 7];
        const double offset = centre + half * s;
        const WindowNode<K> node = integrand.node(longest * std::exp(offset), offset);
        logs[j] = node.log_value + log_longest + offset;
        values[j] = node.values;
        if (logs[j] > largest) largest = logs[j];
    }
    Panel<K> panel{a, b, largest + std::log(half), 0, 0, {}};
    if (largest == -std::numeric_limits<double>::infinity()) return panel;
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

template <std::size_t K, class Integrand>
void integrate_adaptively(const Integrand& integrand, double longest, double log_longest, double lo, double hi,
                          Accuracy accuracy, LogWeightedSum<K>& sum) {
    std::array<Panel<K>, MAX_PANELS> panels{};
    std::size_t count = 1;
    panels[0] = integrate_panel<K>(integrand, longest, log_longest, lo, hi);
    const double tol = tolerance(accuracy);
    while (count < MAX_PANELS) {
        double top = -std::numeric_limits<double>::infinity();
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
        panels[worst] = integrate_panel<K>(integrand, longest, log_longest, split.a, middle);
        panels[count++] = integrate_panel<K>(integrand, longest, log_longest, middle, split.b);
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::array<double, K> means{};
        for (std::size_t k = 0; k < K; ++k) means[k] = panels[i].moments[k] / panels[i].kronrod;
        sum.add(panels[i].log_scale + std::log(panels[i].kronrod), means);
    }
}

}  // namespace window_detail

}  // namespace ventrola::likelihood
