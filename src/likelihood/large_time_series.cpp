// The eigenfunction series with the slowest mode factored out:
//   S = sum over k >= 1 of k q^(k^2 - 1) U_{k-1}(cos pi d),
// q = exp(-pi^2 u / 2), U the Chebyshev polynomials of the second kind, which
// give sin(k pi d) / sin(pi d) without a sine per term.
//
// |U_{k-1}| <= k and |T_k| <= 1 bound term k of the sum by k^2 q^(k^2 - 1),
// and those of the derivative sums by k^4 q^(k^2 - 1), relative to the first
// term; for u >= 1/2 the sum itself is within 1% of that first term, so these
// bounds are relative error bounds on g and on its derivatives (down to u =
// 0.1, where the averages use it, the sum may fall to a tenth of the first
// term next to the far boundary, costing a digit). The number of terms is
// fixed per range of u, which keeps the code free of data-dependent branches.
#include "likelihood/large_time_series.hpp"

#include <cmath>
#include <cstddef>

#include "likelihood/small_time_series.hpp"

namespace ventrola::likelihood {
namespace {

constexpr double HALF_PI_SQUARED = 4.93480220054467930941724549993807557;

// Below each of these u the series needs one more mode: with k modes, term
// k + 1 and its share of the derivative sums, bounded by (k + 1)^4
// q^((k + 1)^2 - 1), are below 1e-17 from the k-th entry on. From 2.84 on the
// first mode is g (and q, whose exponential would underflow slowly further
// on, is not formed); from u = 1/2 four modes do; at u = 0.1 nine.
constexpr double MODES_FROM[] = {2.84, 1.11, 0.61, 0.39, 0.27, 0.2, 0.153, 0.122, 0.1};
static_assert(SERIES_SWITCH >= 0.5 && AVERAGE_SERIES_SWITCH >= 0.1);
static_assert(sizeof(MODES_FROM) / sizeof(MODES_FROM[0]) == MAX_MODES - 1);

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

StartAngle quarter_angle(double x) {
    const double z = x * x;
    return {x * polynomial(SIN_PI_TAYLOR, z), polynomial(COS_PI_TAYLOR, z)};
}

}  // namespace

StartAngle start_angle(double d, double d_c) {
    // Folded to the nearer boundary.
    const double r = d <= d_c ? d : d_c;
    StartAngle x{};
    if (r <= 0.25) {
        x = quarter_angle(r);
    } else {
        const StartAngle y = quarter_angle(0.5 - r);  // exact difference
        x = {y.cos, y.sin};
    }
    if (d > d_c) x.cos = -x.cos;
    return x;
}

ModePowers mode_powers(double u) {
    ModePowers q{1, {}};
    while (q.modes < MAX_MODES && u < MODES_FROM[q.modes - 1]) ++q.modes;
    if (q.modes == 1) return q;
    // q^(k^2 - 1) from q^((k-1)^2 - 1) times q^(2k - 1).
    const double base = std::exp(-HALF_PI_SQUARED * u);
    const double base2 = base * base;
    double step = base * base2;  // q^(2k - 1) at k = 2
    double power = 1.0;
    for (int k = 2; k <= q.modes; ++k) {
        power *= step;
        q.p[k] = power;
        step *= base2;
    }
    return q;
}

// Summed from the highest mode down, so that the small terms are not lost.
double mode_sum(const ModePowers& q, const StartAngle& x) {
    if (q.modes == 1) return 1.0;
    const double c2 = x.cos + x.cos;
    // U_0 .. U_{modes-1} by the recurrence U_k = 2c U_{k-1} - U_{k-2}.
    double chebyshev[MAX_MODES];
    chebyshev[0] = 1.0;
    chebyshev[1] = c2;
    for (int k = 2; k < q.modes; ++k) chebyshev[k] = c2 * chebyshev[k - 1] - chebyshev[k - 2];
    double sum = 0.0;
    for (int k = q.modes; k >= 2; --k) sum += k * q.p[k] * chebyshev[k - 1];
    return 1.0 + sum;
}

ModeMoments mode_moments(const ModePowers& q, const StartAngle& x) {
    const double c = x.cos;
    if (q.modes == 1) return {1.0, 0.0, c};
    const double c2 = c + c;
    double chebyshev_u[MAX_MODES + 1], chebyshev_t[MAX_MODES + 1];
    chebyshev_u[0] = 1.0, chebyshev_u[1] = c2;
    chebyshev_t[0] = 1.0, chebyshev_t[1] = c;
    for (int k = 2; k <= q.modes; ++k) {
        chebyshev_u[k] = c2 * chebyshev_u[k - 1] - chebyshev_u[k - 2];
        chebyshev_t[k] = c2 * chebyshev_t[k - 1] - chebyshev_t[k - 2];
    }
    // The same products in the same order as mode_sum.
    double sum = 0.0, sum_u = 0.0, sum_d = 0.0;
    for (int k = q.modes; k >= 2; --k) {
        const double term = k * q.p[k] * chebyshev_u[k - 1];
        sum += term;
        sum_u += (k * k - 1) * term;
        sum_d += k * k * q.p[k] * chebyshev_t[k];
    }
    return {1.0 + sum, sum_u, c + sum_d};
}

}  // namespace ventrola::likelihood
