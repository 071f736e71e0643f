// Adaptive Gauss-Kronrod (7/15) of a smooth function over [a, b], by
// bisection of the panel with the largest error estimate until the estimates
// sum below the tolerance. For the window averages of the distribution
// function, whose rise can be much shorter than the window.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace ventrola::generalized {

namespace kronrod_detail {

// The non-negative nodes of the 15-point rule, ascending; the 7-point Gauss nodes are those of odd index.
inline constexpr std::array<double, 8> NODES = {0.0,
                                                0.207784955007898467601,
                                                0.405845151377397166907,
                                                0.586087235467691130294,
                                                0.741531185599394439864,
                                                0.86486442335976907279,
                                                0.949107912342758524526,
                                                0.991455371120812639207};
inline constexpr std::array<double, 8> KRONROD = {
    0.209482141084727828013, 0.204432940075298892414, 0.190350578064785409913,  0.169004726639267902827,
    0.140653259715525918745, 0.10479001032225018384,  0.0630920926299785532907, 0.0229353220105292249637};
inline constexpr std::array<double, 8> GAUSS = {0.417959183673469387755, 0, 0.38183005050511894495,  0,
                                                0.279705391489276667901, 0, 0.129484966168869693271, 0};

struct Panel {
    double a, b, value, error;
};

template <class F>
Panel panel(const F& f, double a, double b) {
    const double mid = 0.5 * (a + b);
    const double half = 0.5 * (b - a);
    double kronrod = 0.0;
    double gauss = 0.0;
    for (std::size_t k = 0; k < NODES.size(); ++k) {
        const double sum = k == 0 ? f(mid) : f(mid - half * NODES[k]) + f(mid + half * NODES[k]);
        kronrod += KRONROD[k] * sum;
        gauss += GAUSS[k] * sum;
    }
    return {a, b, half * kronrod, std::fabs(half * (kronrod - gauss))};
}

}  // namespace kronrod_detail

// int_a^b f to an absolute error of about `tolerance` (at most `max_panels` panels).
template <class F>
double adaptive_kronrod(const F& f, double a, double b, double tolerance, int max_panels = 64) {
    using kronrod_detail::Panel;
    if (!(b > a)) return 0.0;
    std::vector<Panel> panels{kronrod_detail::panel(f, a, b)};
    const auto by_error = [](const Panel& x, const Panel& y) { return x.error < y.error; };
    for (;;) {
        double error = 0.0;
        for (const Panel& p : panels) error += p.error;
        if (error <= tolerance || static_cast<int>(panels.size()) >= max_panels) break;
        std::pop_heap(panels.begin(), panels.end(), by_error);
        const Panel worst = panels.back();
        panels.pop_back();
        const double mid = 0.5 * (worst.a + worst.b);
        panels.push_back(kronrod_detail::panel(f, worst.a, mid));
        std::push_heap(panels.begin(), panels.end(), by_error);
        panels.push_back(kronrod_detail::panel(f, mid, worst.b));
        std::push_heap(panels.begin(), panels.end(), by_error);
    }
    double total = 0.0;
    for (const Panel& p : panels) total += p.value;
    return total;
}

}  // namespace ventrola::generalized
