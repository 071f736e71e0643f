#include "generalized/end_corrections.hpp"

#include <cmath>

namespace ventrola::generalized {
namespace {

// zeta(-1/2 - n), n = 0, 1, ...: the coefficients of Navot's expansion and of
// the correction's power series in the rate.
constexpr double ZETA[52] = {
    -2.0788622497735457e-1,  -2.5485201889833036e-2,  8.5169287778503305e-3,  4.441011335479432e-3,
    -3.0916692472158338e-3,  -2.6714580198992246e-3,  2.7467679395368688e-3,  3.26903957260022e-3,
    -4.4160328730048898e-3,  -6.6721722964666408e-3,  1.1146122473942814e-2,  2.0396978715942792e-2,
    -4.0574967481194578e-2,  -8.7175255906217251e-2,  2.0117404938422688e-1,  4.9627121991205761e-1,
    -1.303229250705114,      -3.6297592997745741,     1.0687327069021994e+1,  3.3168325785694608e+1,
    -1.0821747505877606e+2,  -3.703018783754786e+2,   1.3260458117490156e+3,  4.9595983150430436e+3,
    -1.933894198837462e+4,   -7.8486148569217687e+4,  3.3102364874545032e+5,  1.4488113705827264e+6,
    -6.5716864915699575e+6,  -3.0854533472396764e+7,  1.4977487127793475e+8,  7.5087844999370095e+8,
    -3.883945551454817e+9,   -2.0707995961810361e+10, 1.1370440719795488e+11, 6.4242995521292075e+11,
    -3.7319754581099058e+12, -2.2273587812036406e+13, 1.3648063662588848e+14, 8.5800193423533586e+14,
    -5.5304875851446423e+15, -3.6528484130685489e+16, 2.470817745547093e+17,  1.7106064309209495e+18,
    -1.2115190377880256e+19, -8.7732755798824076e+19, 6.4928423167524706e+20, 4.908497759780087e+21,
    -3.7888766558787984e+22, -2.9849413203155724e+23, 2.3990942381357321e+24, 1.9664126907543198e+25,
};

// The series in r converges for r < 2 pi; below this it needs at most 46 terms.
constexpr double SERIES_LIMIT = 2.0;
// Past this rate the corrections of the earlier points are below 1e-16 of the end's.
constexpr double STEEP = 20.0;
constexpr int MAX_DERIVATIVE = 3;

// C_k(r) = int_0^inf x^(k+1/2) e^(-rx) dx - sum_{j>=1} j^(k+1/2) e^(-rj): what the
// trapezoidal sum misses of x^k e^(-rx) x^(1/2).
double correction_coefficient(int k, double r) {
    if (r < SERIES_LIMIT) {
        // -sum_n zeta(-1/2-k-n) (-r)^n / n!
        double sum = 0.0;
        double power = 1.0;  // (-r)^n / n!
        for (int n = 0; n + k < 52; ++n) {
            if (n > 0) power *= -r / n;
            sum += ZETA[k + n] * power;
            if (n > 8 && std::fabs(ZETA[k + n] * power) < 1e-18 * std::fabs(sum)) break;
        }
        return -sum;
    }
    const double exact = std::tgamma(k + 1.5) * std::pow(r, -(k + 1.5));
    double trapezoid = 0.0;
    for (int j = 1; j < 80; ++j) {
        const double term = std::pow(static_cast<double>(j), k + 0.5) * std::exp(-r * j);
        trapezoid += term;
        if (term < 1e-19 * trapezoid) break;
    }
    return exact - trapezoid;
}

// Coefficient of x^k in the polynomial through (x, P(x)), x = 0 .. points - 1,
// as weights on the P(x): row k of the inverse Vandermonde matrix, built by
// Lagrange's basis polynomials.
std::array<std::array<double, MAX_CORRECTION_POINTS>, MAX_CORRECTION_POINTS> monomial_rows(std::size_t points) {
    std::array<std::array<double, MAX_CORRECTION_POINTS>, MAX_CORRECTION_POINTS> rows{};
    for (std::size_t j = 0; j < points; ++j) {
        // l_j(x) = prod_{m != j} (x - m) / (j - m): expand its coefficients.
        std::array<double, MAX_CORRECTION_POINTS> coefficients{};
        coefficients[0] = 1.0;
        std::size_t degree = 0;
        double denominator = 1.0;
        for (std::size_t m = 0; m < points; ++m) {
            if (m == j) continue;
            for (std::size_t k = degree + 1; k-- > 0;) {
                coefficients[k + 1] += coefficients[k];
                coefficients[k] *= -static_cast<double>(m);
            }
            ++degree;
            denominator *= static_cast<double>(j) - static_cast<double>(m);
        }
        for (std::size_t k = 0; k < points; ++k) rows[k][j] = coefficients[k] / denominator;
    }
    return rows;
}

}  // namespace

std::array<double, MAX_CORRECTION_POINTS> end_correction_weights(std::size_t points, double rate) {
    std::array<double, MAX_CORRECTION_POINTS> weights{};
    if (points == 0) return weights;
    if (!(rate < STEEP)) {
        weights[0] = correction_coefficient(0, rate > 1e6 ? 1e6 : rate);
        return weights;
    }
    const auto rows = monomial_rows(points);
    const int top = static_cast<int>(points) - 1 < MAX_DERIVATIVE ? static_cast<int>(points) - 1 : MAX_DERIVATIVE;
    for (int k = 0; k <= top; ++k) {
        const double c = correction_coefficient(k, rate);
        for (std::size_t x = 0; x < points; ++x) weights[x] += c * rows[k][x];
    }
    // The polynomial interpolates Phat(x) = P(x) e^(r x).
    for (std::size_t x = 0; x < points; ++x) weights[x] *= std::exp(rate * static_cast<double>(x));
    return weights;
}

}  // namespace ventrola::generalized
