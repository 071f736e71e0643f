// E[h(X)] for X ~ Normal(mean, sd^2) by 32-point Gauss-Hermite quadrature.
// Accurate for integrands analytic in a wide strip around the real axis,
// which is how the drift average of the long-time series is used: its nearest
// poles lie at least pi standard deviations from the real axis.
#pragma once

#include <array>
#include <cstddef>

namespace ventrola::likelihood {

struct NormalNode {
    double offset;  // in standard deviations; the rule is symmetric
    double weight;  // the weights of both signs sum to 1
};

// Nodes sqrt(2) x_i and weights w_i / sqrt(pi) of the 32-point rule, computed
// at 50 digits by Newton's method on the Hermite polynomial.
inline constexpr std::array<NormalNode, 16> NORMAL_NODES{{
    {0.27554641923027580801, 0.21170556988047931757},
    {0.82728490377976519178, 0.15653899375759844489},
    {1.3809801992721441616, 0.08534480827208076015},
    {1.9380049059257173503, 0.034109847726092050511},
    {2.4998404151873952454, 0.0099034617023205918768},
    {3.0681351690131213054, 0.0020620510513078847176},
    {3.6447812498808331112, 0.00030255702581706249216},
    {4.2320211099954097951, 3.0559803060896301541e-05},
    {4.8326046132444886126, 2.0596221039534288761e-06},
    {5.4500332736234280700, 8.8812907131058950894e-08},
    {6.0889643090769868140, 2.3125184120742405410e-09},
    {6.7559308305407047448, 3.3475012398012070049e-11},
    {7.4607557541215187579, 2.3780648557778086759e-13},
    {8.2197287653822454014, 6.7552902236701187406e-16},
    {9.0643992107024061748, 5.2084495919608612944e-19},
    {10.077422674229465946, 4.1246074890182693364e-23},
}};

template <class Integrand>
double normal_expectation(Integrand&& h, double mean, double sd) {
    double sum = 0.0;
    // Smallest weights first, so that the large ones are not swamped.
    for (std::size_t i = NORMAL_NODES.size(); i-- > 0;) {
        const NormalNode& node = NORMAL_NODES[i];
        sum += node.weight * (h(mean - sd * node.offset) + h(mean + sd * node.offset));
    }
    return sum;
}

}  // namespace ventrola::likelihood
