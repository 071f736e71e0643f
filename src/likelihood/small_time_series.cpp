// The image series with the k = 0 image factored out: relative to it, image k
// weighs exp(-2k(k + w)/u) <= 1, so the sum neither underflows nor overflows
// however small u is, and its Gaussian fall-off ends it after a few images.
//
// The number of images is fixed per range of u rather than found by a test
// per term: a fixed count costs a few multiplications more but no
// mispredicted branch, and trials in a data set jump between ranges anyway.
#include "likelihood/small_time_series.hpp"

#include <cmath>

namespace ventrola::likelihood {
namespace {

constexpr double INV_SQRT_TWO_PI = 0.39894228040143267793994605993438187;

// The series serves u < SERIES_SWITCH = 1/2, where the pairs of images -m, m
// for m = 1, 2, 3 are all it needs: the fourth pair weighs at most
// exp(-8 * 3 / u) = exp(-48), 1e-21, against a first image of w.
static_assert(SERIES_SWITCH <= 0.5);
// Below this only image -1 can matter next to image 0: image 1 weighs
// exp(-2(1 + w)/u) < exp(-50) = 2e-22 and every other image less still.
// Above it the third pair's weights, down to exp(-24/u), stay normal doubles.
constexpr double ONE_IMAGE_BELOW = 0.04;
// Image -1 weighs exp(-2(1 - w)/u); past this exponent it is dropped as 0
// rather than computed as an underflowing exponential.
constexpr double LARGEST_WEIGHT_EXPONENT = 700.0;

// Above this, u^(-3/2) would leave the range of a double; its logarithm
// moves into the exponent instead.
constexpr double LARGEST_SCALED_INV_U = 1e150;

// g = sum * (2 pi u^3)^(-1/2) * exp(-w^2 / 2u). The power of u is formed
// apart from the sum, so that it overlaps the exponentials instead of
// following them.
UnitDensity scale_series(double inv_u, double w, double sum) {
    const double exponent = -0.5 * (w * w) * inv_u;
    if (inv_u <= LARGEST_SCALED_INV_U) return {sum * (INV_SQRT_TWO_PI * inv_u * std::sqrt(inv_u)), exponent};
    return {sum * INV_SQRT_TWO_PI, exponent + 1.5 * std::log(inv_u)};
}

// The weight of image -1, exp(-2(1 - w)/u), or 0 where it underflows.
double lower_image_weight(double inv_u, double w_complement) {
    const double x = 2.0 * w_complement * inv_u;
    const double weight = std::exp(-(x < LARGEST_WEIGHT_EXPONENT ? x : LARGEST_WEIGHT_EXPONENT));
    return x < LARGEST_WEIGHT_EXPONENT ? weight : 0.0;
}

// Image positions w + 2k and weights for k = -3..3 (k = 0: position w, weight 1).
struct Images {
    double x[6];  // positions of images -1, 1, -2, 2, -3, 3
    double e[6];  // their weights
};

Images images(double inv_u, double w, double w_complement) {
    // Image -m weighs lower * b^(m-1) times image -(m-1) and image m weighs
    // upper * b^(m-1) times image m-1, with b = lower * upper = exp(-4/u).
    const double lower = std::exp(-2.0 * w_complement * inv_u);
    const double upper = std::exp(-2.0 * (1.0 + w) * inv_u);
    const double b = lower * upper;
    Images im;
    im.x[0] = -1.0 - w_complement;
    im.x[1] = w + 2.0;
    im.x[2] = im.x[0] - 2.0;
    im.x[3] = im.x[1] + 2.0;
    im.x[4] = im.x[2] - 2.0;
    im.x[5] = im.x[3] + 2.0;
    im.e[0] = lower;
    im.e[1] = upper;
    im.e[2] = lower * (lower * b);
    im.e[3] = upper * (upper * b);
    im.e[4] = im.e[2] * (lower * (b * b));
    im.e[5] = im.e[3] * (upper * (b * b));
    return im;
}

}  // namespace

UnitDensity small_time_density(double u, double w, double w_complement) {
    const double inv_u = 1.0 / u;
    if (u < ONE_IMAGE_BELOW) {
        return scale_series(inv_u, w, w - (1.0 + w_complement) * lower_image_weight(inv_u, w_complement));
    }
    const Images im = images(inv_u, w, w_complement);
    // Smallest first, the two images of a pair side by side: a pair nearly
    // cancels when w is small.
    double sum = 0.0;
    for (int i = 5; i >= 0; --i) sum += im.x[i] * im.e[i];
    return scale_series(inv_u, w, w + sum);
}

UnitDensityGradient small_time_density_gradient(double u, double w, double w_complement) {
    // With moments M_j = sum over k of (w + 2k)^j * weight_k, g is
    // proportional to M_1 exp(-w^2/2u) u^(-3/2), so
    //   d log g / d u = (M_3 / M_1 - 3u) / (2u^2),
    //   d log g / d w = (M_0 - M_2 / u) / M_1.
    const double inv_u = 1.0 / u;
    double m0 = 1.0, m1 = w, m2 = w * w, m3 = m2 * w;
    if (u < ONE_IMAGE_BELOW) {
        const double e = lower_image_weight(inv_u, w_complement);
        const double x = -1.0 - w_complement;
        m0 += e;
        m1 += x * e;
        m2 += x * x * e;
        m3 += x * x * x * e;
    } else {
        const Images im = images(inv_u, w, w_complement);
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (int i = 5; i >= 0; --i) {
            const double t1 = im.x[i] * im.e[i];
            const double t2 = im.x[i] * t1;
            s0 += im.e[i];
            s1 += t1;
            s2 += t2;
            s3 += im.x[i] * t2;
        }
        m0 += s0;
        m1 += s1;
        m2 += s2;
        m3 += s3;
    }
    const UnitDensity g = scale_series(inv_u, w, m1);
    const double inv_m1 = 1.0 / m1;
    return {g.factor, g.exponent, 0.5 * (m3 * inv_m1 - 3.0 * u) * inv_u * inv_u, (m0 - m2 * inv_u) * inv_m1};
}

}  // namespace ventrola::likelihood
