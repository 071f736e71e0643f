// Gauss-Legendre rules on [-1, 1] and an a-priori choice of their size for
// integrands that are close to exp(quadratic), the shape of the diffusion
// model's densities in a start point or a decision time over a short range.
#pragma once

#include <span>

namespace ventrola::likelihood {

inline constexpr int MAX_RULE_NODES = 24;

struct GaussLegendreRule {
    std::span<const double> nodes;    // ascending, in (-1, 1)
    std::span<const double> weights;  // positive, summing to 2
    std::span<const double> log_weights;
};

// The n-node rule, 1 <= n <= MAX_RULE_NODES; the table is built on first use.
GaussLegendreRule gauss_legendre(int n);

inline constexpr int MAX_LOBATTO_NODES = 24;

// The n-node Gauss-Lobatto rule on [-1, 1], 2 <= n <= MAX_LOBATTO_NODES: the
// ends and the n - 2 roots of P'_{n-1}; exact for polynomials of degree
// 2n - 3, as the (n - 1)-node Gauss-Legendre rule is, and its end nodes can
// be shared by the rules of adjacent pieces.
struct GaussLobattoRule {
    std::span<const double> nodes;  // ascending, from -1 to 1
    std::span<const double> log_weights;
};
GaussLobattoRule gauss_lobatto(int n);

inline constexpr int MAX_LAGUERRE_NODES = 16;

// The n-node Gauss-Laguerre rule for the weight exp(-z) on [0, inf),
// 1 <= n <= MAX_LAGUERRE_NODES. log_weights hold log(weight) + node: the
// logarithm of the weight that multiplies the integrand itself.
struct GaussLaguerreRule {
    std::span<const double> nodes;  // ascending, positive
    std::span<const double> log_weights;
};
GaussLaguerreRule gauss_laguerre(int n);

// The relative error a rule is sized for. Log-densities averaged over a range
// need 1e-7, a tenth of their 1e-6 (on the reference table the worst error
// they reach is 4e-8); other values 1e-9, so that distribution functions of
// the two boundaries still add up to 1 closely; derivatives 1e-12, because
// some of them are differences of the average and its end values divided by
// the range.
enum class Accuracy { Density, Value, Derivative };

// The fewest nodes that integrate exp(slope * s + curvature * s^2) over
// [-1, 1] within the accuracy, for either sign of slope and curvature (the
// magnitudes are what count); 0 when more than MAX_RULE_NODES would be needed
// or an argument is NaN. Sizes are calibrated with a tenth of margin.
int rule_size(double slope, double curvature, Accuracy accuracy);

// The same for an addend that weighs `weight` (in (0, 1]) against the whole
// integral, whose own relative error may be 1/weight times larger: the
// calibrated limits are interpolated in the logarithm of the accuracy between
// the three levels (and extrapolated beyond the loosest), where they follow
// the accuracy's power 1/(2n + 1) closely. 1 for a weight at or below the
// accuracy itself.
int rule_size(double slope, double curvature, Accuracy accuracy, double weight);

// The fewest nodes that integrate weight * exp(rate * (s - 1)) over [-1, 1]
// within the accuracy of an integral of order 1, rate >= 0 and weight in
// [0, 1]: the rule for a small addend that rises steeply towards one end
// (an image of the start next to the other boundary). From the error of the
// n-node rule, c_n f^(2n), c_n = 2^(2n+1) (n!)^4 / ((2n + 1) ((2n)!)^3). 0 when
// more than MAX_RULE_NODES would be needed.
int steep_addend_rule_size(double rate, double weight, Accuracy accuracy);

}  // namespace ventrola::likelihood
