// The eigenfunction series with the slowest mode factored out:
//   g = pi sin(pi w) exp(-pi^2 u / 2) * sum over k >= 1 of k q^(k^2 - 1) U_{k-1}(cos pi w),
// q = exp(-pi^2 u / 2), U the Chebyshev polynomials of the second kind, which
// give sin(k pi w) / sin(pi w) without a sine per term.
//
// |U_{k-1}| <= k and |T_k| <= 1 bound term k of the sum by k^2 q^(k^2 - 1),
// and those of the derivative sums by k^4 q^(k^2 - 1), relative to the first
// term; for u >= 1/2 the sum itself is within 1% of that first term, so these
// bounds are relative error bounds on g and on its derivatives. The number of
// terms is fixed per range of u, which keeps the code free of data-dependent
// branches.
#include "likelihood/large_time_series.hpp"

#include <cmath>
#include <cstddef>

namespace ventrola::likelihood {
namespace {

constexpr double PI = 3.14159265358979323846264338327950288;
constexpr double HALF_PI_SQUARED = 4.93480220054467930941724549993807557;

// From u = SERIES_SWITCH = 1/2 on, terms k = 1..4 suffice: term 5 is below
// 5^4 q^24 <= 625 exp(-59.2) = 1e-23.
static_assert(SERIES_SWITCH >= 0.5);
// From here on even term 2, below 2^4 q^3 = 16 exp(-3 pi^2 u / 2) = 7e-17, is
// negligible: the first term is g, and q is not needed (nor computed, whose
// exponential would underflow slowly further on).
constexpr double ONE_TERM_FROM = 2.7;

// sin(pi x) and cos(pi x) for 0 <= x <= 1/4 by their Taylor series, whose
// next terms are below 1e-16 relative there; cheaper than the library's
// general sine and cosine, which reduce arbitrary arguments.
constexpr double SIN_PI_TAYLOR[] = {
    3.14159265358979323846,    -5.16771278004997002925,    2.55016403987734544386,    -5.99264529320792076888e-1,
    8.21458866111282287988e-2, -7.37043094571435077726e-3, 4.66302805767612564421e-4, -2.19153534478302158274e-5,
};
constexpr double COS_PI_TAYLOR[] = {
    1.0,
    -4.93480220054467930942,
    4.05871212641676821819,
    -1.33526276885458949588,
    0.235330630358893204542,
    -0.0258068913900140600126,
    0.0019295743094039230479,
    -0.000104638104924845707118,
    0.0000043030695870329470073,
};

template <std::size_t N>
double polynomial(const double (&c)[N], double z) {
    double p = c[N - 1];
    for (std::size_t i = N - 1; i-- > 0;) p = p * z + c[i];
    return p;
}

struct Angle {
    double sin;
    double cos;
};

Angle quarter_angle(double x) {
    const double z = x * x;
    return {x * polynomial(SIN_PI_TAYLOR, z), polynomial(COS_PI_TAYLOR, z)};
}

// sin(pi w) and cos(pi w), folded to the nearer boundary so that the sine
// keeps full relative accuracy as w approaches either end.
Angle angle(double w, double w_complement) {
    const double r = w <= w_complement ? w : w_complement;
    Angle x{};
    if (r <= 0.25) {
        x = quarter_angle(r);
    } else {
        const Angle y = quarter_angle(0.5 - r);  // exact difference
        x = {y.cos, y.sin};
    }
    if (w > w_complement) x.cos = -x.cos;
    return x;
}

// q^(k^2 - 1) for k = 2, 3, 4.
struct Powers {
    double p2, p3, p4;
};

Powers powers(double u) {
    const double q = std::exp(-HALF_PI_SQUARED * u);
    const double q2 = q * q;
    const double q3 = q2 * q;
    const double q5 = q3 * q2;
    const double q8 = q5 * q3;
    return {q3, q8, q8 * (q5 * q2)};
}

}  // namespace

UnitDensity large_time_density(double u, double w, double w_complement) {
    const Angle x = angle(w, w_complement);
    const UnitDensity first = {PI * x.sin, -HALF_PI_SQUARED * u};
    if (u >= ONE_TERM_FROM) return first;
    const Powers p = powers(u);
    const double c2 = x.cos + x.cos;
    const double u1 = c2;             // U_1
    const double u2 = c2 * u1 - 1.0;  // U_2
    const double u3 = c2 * u2 - u1;   // U_3
    const double sum = 1.0 + (2.0 * p.p2 * u1 + (3.0 * p.p3 * u2 + 4.0 * p.p4 * u3));
    return {first.factor * sum, first.exponent};
}

UnitDensityGradient large_time_density_gradient(double u, double w, double w_complement) {
    // u d log g / d u = -pi^2 u/2 * (1 + sum k (k^2 - 1) q^(k^2-1) U_{k-1} / sum k q^(k^2-1) U_{k-1}),
    // d log g / d w = pi * sum k^2 q^(k^2-1) T_k / (sin(pi w) * sum k q^(k^2-1) U_{k-1}).
    const Angle x = angle(w, w_complement);
    const double factor = PI * x.sin, exponent = -HALF_PI_SQUARED * u;
    if (u >= ONE_TERM_FROM) return {factor, exponent, exponent, PI * x.cos / x.sin};
    const Powers p = powers(u);
    const double c = x.cos, c2 = c + c;
    const double u1 = c2, u2 = c2 * u1 - 1.0, u3 = c2 * u2 - u1;          // U_1..U_3
    const double t2 = c2 * c - 1.0, t3 = c2 * t2 - c, t4 = c2 * t3 - t2;  // T_2..T_4
    const double a2 = 2.0 * p.p2 * u1, a3 = 3.0 * p.p3 * u2, a4 = 4.0 * p.p4 * u3;
    const double sum = 1.0 + (a2 + (a3 + a4));
    const double sum_u = 3.0 * a2 + (8.0 * a3 + 15.0 * a4);
    const double sum_w = c + (4.0 * p.p2 * t2 + (9.0 * p.p3 * t3 + 16.0 * p.p4 * t4));
    const double inv_sum = 1.0 / sum;
    return {factor * sum, exponent, exponent * (1.0 + sum_u * inv_sum), PI * sum_w * inv_sum / x.sin};
}

}  // namespace ventrola::likelihood
