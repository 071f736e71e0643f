// The image series with the k = 0 image factored out: relative to it, image k
// weighs exp(-2k(k + d)/u) <= 1, so the sums neither underflow nor overflow
// however small u is, and their Gaussian fall-off ends them after a few images.
//
// g vanishes linearly as d approaches either boundary while the images do
// not, so the images are summed in pairs mirrored about 0 (about 1 when d is
// close to 1), each pair in a form where that cancellation is exact: a pair at
// c - h and c + h whose weights are e and e (1 + f) contributes to the sum of
// positions e ((c - h) + (c + h) + (c + h) f), the first two added before the
// third, with f = exp(-x) - 1 from expm1.
//
// The number of images is fixed per range of u rather than found by a test
// per term: a fixed count costs a few multiplications more but no
// mispredicted branch, and trials in a data set jump between ranges anyway.
#include "likelihood/small_time_series.hpp"

#include <cmath>

namespace ventrola::likelihood {
namespace {

// The series serves u < SERIES_SWITCH = 1/2, where three pairs of images are
// all it needs: the fourth pair weighs at most exp(-8 * 3 / u) = exp(-48),
// 1e-21, against the first image.
static_assert(SERIES_SWITCH <= 0.5);
// Below this one pair is enough: the second weighs under exp(-2 * 1.5 / u) =
// exp(-75). From here on the third pair's weights, down to exp(-24/u), stay
// normal doubles.
constexpr double ONE_PAIR_BELOW = 0.04;
// The pairs mirror about 1 when d is this close to it, about 0 otherwise.
// Mirrored about 0, the images near 1 cancel to about 1 - d and lose
// log2(1 / (1 - d)) bits, 10 at this distance.
constexpr double NEAR_ONE = 1e-3;
// Past this exponent the first pair about 0 is dropped: every sum it adds to
// is d times at most (2 + 12/u) exp(-x) = (2 + 6x / (1 - d)) exp(-x), below
// 1e-23 of image 0's share.
constexpr double NEGLIGIBLE_PAIR_EXPONENT = 60.0;
// Weights below exp(-700) are taken as 0 rather than underflowing on the
// library's slow path: each pair's share is d times a polynomial in x times
// exp(-x), which nothing here can tell from 0 there.
constexpr double LARGEST_EXPONENT = 700.0;

double exp_neg(double x) { return x < LARGEST_EXPONENT ? std::exp(-x) : 0.0; }

// exp(-x) - 1 for x >= 0, to full relative accuracy also where x is small.
double exp_neg_minus_one(double x) { return x < 0.7 ? std::expm1(-x) : exp_neg(x) - 1.0; }

// Three pairs of images; weights of 0 stand for pairs too light to matter,
// which keeps the summing loops the same length for every u.
struct Pairs {
    double e[3];
    double f[3];
};

// Pairs mirrored about 0: images -m (weight e[m-1]) and m (weight
// e[m-1] (1 + f[m-1])) around image 0 at d.
Pairs pairs_about_zero(double u, double inv_u, double d, double d_c) {
    // Image -1 weighs exp(-2(1 - d)/u); image m weighs exp(-4md/u) times image -m.
    const double x = 2.0 * d_c * inv_u;
    if (u < ONE_PAIR_BELOW) {
        if (x > NEGLIGIBLE_PAIR_EXPONENT) return {};
        return {{exp_neg(x), 0.0, 0.0}, {exp_neg_minus_one(4.0 * d * inv_u), 0.0, 0.0}};
    }
    const double lower = exp_neg(x);
    const double f1 = exp_neg_minus_one(4.0 * d * inv_u);
    const double b = lower * lower * (1.0 + f1);  // exp(-4/u)
    const double e2 = lower * (lower * b);
    const double f2 = f1 * (2.0 + f1);
    return {{lower, e2, e2 * (lower * (b * b))}, {f1, f2, f1 * (3.0 + f1 * (3.0 + f1))}};
}

// Pairs mirrored about 1: images k (weight e[k]) and -1-k (weight
// e[k] (1 + f[k])) for k = 0, 1, 2.
Pairs pairs_about_one(double u, double inv_u, double d, double d_c) {
    // Image -1-k weighs exp(-2(2k + 1)(1 - d)/u) times image k.
    const double g1 = exp_neg_minus_one(2.0 * d_c * inv_u);
    if (u < ONE_PAIR_BELOW) return {{1.0, 0.0, 0.0}, {g1, 0.0, 0.0}};
    const double upper = exp_neg(2.0 * (1.0 + d) * inv_u);  // image 1
    const double b = upper * (1.0 + g1);                    // exp(-4/u)
    const double g2 = g1 * (2.0 + g1), g4 = g2 * (2.0 + g2);
    return {{1.0, upper, upper * (upper * b)}, {g1, g1 * (3.0 + g1 * (3.0 + g1)), g4 + g1 * (1.0 + g4)}};
}

// One pair's share of M1: positions c - h (weight e) and c + h (weight e (1 + f)).
[[gnu::always_inline]] inline double pair_m1(double c, double h, double e, double f) {
    return e * ((c + c) + (c + h) * f);
}

}  // namespace

// Smallest pairs first; image_moments adds M1 in exactly this order, so that
// a log-density and its gradient agree to the last bit.
double image_sum(double u, double inv_u, double d, double d_c) {
    double sum = 0.0;
    if (d_c < NEAR_ONE) {
        const Pairs p = pairs_about_one(u, inv_u, d, d_c);
        for (int k = 2; k >= 0; --k) sum += pair_m1(-d_c, -(2.0 * k + 1.0), p.e[k], p.f[k]);
        return sum;
    }
    const Pairs p = pairs_about_zero(u, inv_u, d, d_c);
    for (int m = 3; m >= 1; --m) sum += pair_m1(d, 2.0 * m, p.e[m - 1], p.f[m - 1]);
    return sum + d;
}

ImageMoments image_moments(double u, double inv_u, double d, double d_c) {
    ImageMoments s{0.0, 0.0, 0.0, 0.0};
    if (d_c < NEAR_ONE) {
        const Pairs p = pairs_about_one(u, inv_u, d, d_c);
        for (int k = 2; k >= 0; --k) {
            const double e = p.e[k], f = p.f[k], kk = k;
            // Images k at d + 2k and -1-k at -(1 + d_c + 2k).
            const double far = 1.0 + d_c + 2.0 * kk;
            s.m1 += pair_m1(-d_c, -(2.0 * kk + 1.0), e, f);
            s.m0 += e * (2.0 + f);
            s.b += e * (2.0 * kk * (d + 2.0 * kk) + 2.0 * (1.0 + kk) * far * (1.0 + f));
            s.c += e * (2.0 * kk * (kk + d) * (d + 2.0 * kk) - 2.0 * (1.0 + kk) * (kk + d_c) * far * (1.0 + f));
        }
        return s;
    }
    const Pairs p = pairs_about_zero(u, inv_u, d, d_c);
    for (int m = 3; m >= 1; --m) {
        const double e = p.e[m - 1], f = p.f[m - 1], mm = m;
        // Images -m at d - 2m and m at d + 2m; their shares of b and c with
        // the parts that cancel between the two already taken out.
        const double outer = d + 2.0 * mm;
        s.m1 += pair_m1(d, 2.0 * mm, e, f);
        s.m0 += e * (2.0 + f);
        s.b += e * (2.0 * mm) * (4.0 * mm + outer * f);
        s.c += e * (2.0 * mm) * (6.0 * mm * d + (mm + d) * outer * f);
    }
    s.m1 += d;
    s.m0 += 1.0;
    return s;
}

}  // namespace ventrola::likelihood
