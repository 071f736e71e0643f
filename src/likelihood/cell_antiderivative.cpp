// The interpolants' error is estimated from the last two coefficients of
// each series before integration (four times their sum: a margin over the
// tables' own test); integrating over a part of width dz (in z) multiplies
// the pointwise error by at most dz, while the integral itself is dz times
// the mean of h s over the part. The part is accepted when that error, and
// the rounding of the two evaluations, stays below VALUE_TOLERANCE of the
// integral and (times the caller's amplification) MEANS_TOLERANCE of each
// mean's scale (its largest magnitude at the cell's nodes, or
// PARTIAL_RESOLUTION / MEANS_TOLERANCE where that is larger).
#include "likelihood/cell_antiderivative.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "likelihood/chebyshev_series.hpp"

namespace ventrola::likelihood {

namespace {

constexpr int N = PROFILE_DEGREE;
constexpr std::size_t S = CellAntiderivative::SERIES;
constexpr double ERROR_FACTOR = 4;
// Relative errors of the window integral and of the means: the tables' log
// h is itself accurate to about 1e-11, their averages of the partials to
// 1e-9 of their scale; the log-density with a non-decision range may err by
// 1e-6, its partials by 1e-6 relative.
constexpr double VALUE_TOLERANCE = 1e-10;
constexpr double MEANS_TOLERANCE = 1e-9;
// Clenshaw's rounding for series of order one, with margin.
constexpr double ROUNDING = 1e-14;

}  // namespace

CellAntiderivative::CellAntiderivative(const double (&nodes)[N + 1][PROFILE_FUNCTIONS], double mid, double half)
    : mid_(mid), inv_half_(1.0 / half) {
    const auto& t = chebyshev::cosine_transform<N>();
    double top = -std::numeric_limits<double>::infinity();
    for (int j = 0; j <= N; ++j) top = std::fmax(top, nodes[j][0] + mid + half * t.node[j]);
    log_scale_ = top + std::log(half);

    double values[N + 1][S];
    double scale[S] = {};
    for (int j = 0; j <= N; ++j) {
        const double x = mid + half * t.node[j], s = std::exp(x);
        const double u = std::exp(nodes[j][0] + x - top);
        const double g[S] = {1.0,       nodes[j][2], nodes[j][3], nodes[j][4], nodes[j][5],
                             nodes[j][6], nodes[j][7], nodes[j][8], s * nodes[j][6], s * nodes[j][8]};
        for (std::size_t f = 0; f < S; ++f) {
            values[j][f] = u * g[f];
            scale[f] = std::fmax(scale[f], std::fabs(g[f]));
        }
    }
    double a[N + 1][S];
    chebyshev::coefficients<N, S>(values, a);

    value_error_ = ERROR_FACTOR * (std::fabs(a[N - 1][0]) + std::fabs(a[N][0]));
    means_error_ = 0;
    for (std::size_t f = 1; f < S; ++f) {
        // The averages of |d log f / ds| only bound a rounding error, and
        // have a kink where d log f / ds changes sign: not checked.
        if (f == 7 || f == 9) continue;
        const double resolved = std::fmax(scale[f], PARTIAL_RESOLUTION / MEANS_TOLERANCE);
        const double tail = ERROR_FACTOR * (std::fabs(a[N - 1][f]) + std::fabs(a[N][f])) / resolved;
        means_error_ = std::fmax(means_error_, tail);
    }
    if (!std::isfinite(value_error_) || !std::isfinite(means_error_)) {
        value_error_ = means_error_ = std::numeric_limits<double>::infinity();
    }

    // Term by term: the integral of T_n is T_{n+1} / (2 (n + 1)) - T_{n-1} /
    // (2 (n - 1)), of T_0 T_1; the constant makes the antiderivative vanish
    // at z = -1.
    for (std::size_t f = 0; f < S; ++f) {
        auto c = [&](int n) { return n <= N ? a[n][f] : 0.0; };
        series_[1][f] = c(0) - 0.5 * c(2);
        double at_minus_one = -series_[1][f];
        for (int n = 2; n <= DEGREE; ++n) {
            series_[n][f] = (c(n - 1) - c(n + 1)) / (2.0 * n);
            at_minus_one += (n % 2 == 0 ? 1.0 : -1.0) * series_[n][f];
        }
        series_[0][f] = -at_minus_one;
    }
    chebyshev::evaluate<S, DEGREE, S>(series_, -1.0, at_ends_[0]);
    chebyshev::evaluate<S, DEGREE, S>(series_, 1.0, at_ends_[1]);
}

template <std::size_t count>
void CellAntiderivative::at(double z, double* values) const {
    if (z == -1 || z == 1) {
        std::copy_n(at_ends_[z == 1], count, values);
    } else if constexpr (count == SERIES) {
        static const ClenshawKernels& kernels = best_clenshaw_kernels();
        kernels.antiderivative(series_, z, values);
    } else {
        chebyshev::evaluate<count, DEGREE, SERIES>(series_, z, values);
    }
}

bool CellAntiderivative::part(double p, double q, bool means, double amplification, PartIntegral& out) const {
    const double zp = std::clamp((p - mid_) * inv_half_, -1.0, 1.0);
    const double zq = std::clamp((q - mid_) * inv_half_, -1.0, 1.0);
    const double dz = zq - zp;
    double lower[S], upper[S];
    if (means) {
        at<S>(zp, lower);
        at<S>(zq, upper);
    } else {
        at<1>(zp, lower);
        at<1>(zq, upper);
    }
    const double integral = upper[0] - lower[0];
    if (!(integral > 0) || !(value_error_ * dz + ROUNDING <= VALUE_TOLERANCE * integral)) return false;
    if (means && !((means_error_ * dz + ROUNDING) * amplification <= MEANS_TOLERANCE * integral)) return false;
    out.log_integral = log_scale_ + std::log(integral);
    if (means) {
        for (std::size_t k = 0; k < PartIntegral::MEANS; ++k) out.means[k] = (upper[k + 1] - lower[k + 1]) / integral;
    }
    return true;
}

}  // namespace ventrola::likelihood
