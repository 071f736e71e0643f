// The image series with the k = 0 image factored out: relative to it, image k
// weighs exp(-2k(k + w)/u) <= 1, so the sum neither underflows nor overflows
// however small u is, and its Gaussian fall-off ends it after a few images.
//
// g vanishes linearly as w approaches either boundary while the images do
// not, so the images are summed in pairs mirrored about 0 (about 1 when w is
// close to 1), each pair in a form where that cancellation is exact: a pair at c - h and
// c + h whose weights are e and e (1 + f) contributes to sum (position)^j *
// weight the amount e ((c - h)^j + (c + h)^j + (c + h)^j f), with the first
// two powers added through even powers of h only and f = exp(-x) - 1 from
// expm1.
//
// The number of images is fixed per range of u rather than found by a test
// per term: a fixed count costs a few multiplications more but no
// mispredicted branch, and trials in a data set jump between ranges anyway.
#include "likelihood/small_time_series.hpp"

#include <cmath>

namespace ventrola::likelihood {
namespace {

constexpr double INV_SQRT_TWO_PI = 0.39894228040143267793994605993438187;

// The series serves u < SERIES_SWITCH = 1/2, where three pairs of images are
// all it needs: the fourth pair weighs at most exp(-8 * 3 / u) = exp(-48),
// 1e-21, against the first image.
static_assert(SERIES_SWITCH <= 0.5);
// Below this one pair is enough: the second weighs under exp(-2 * 1.5 / u) =
// exp(-75). From here on the third pair's weights, down to exp(-24/u), stay
// normal doubles.
constexpr double ONE_PAIR_BELOW = 0.04;
// The pairs mirror about 1 when w is this close to it, about 0 otherwise.
// Mirrored about 0, the images near 1 cancel to about 1 - w and lose
// log2(1 / (1 - w)) bits, 10 at this distance.
constexpr double NEAR_ONE = 1e-3;
// Past this exponent the first pair about 0, at most (2 + 3/w) exp(-60) <
// 3e-16 relative to image 0 for w above 1e-10, is dropped.
constexpr double NEGLIGIBLE_PAIR_EXPONENT = 60.0;
// Exponentials of arguments below -700 are taken as exp(-700), 1e-304,
// instead of underflowing on the library's slow path; nothing here can tell
// the difference.
constexpr double LARGEST_EXPONENT = 700.0;

// Above this, u^(-3/2) would leave the range of a double; its logarithm
// moves into the exponent instead.
constexpr double LARGEST_SCALED_INV_U = 1e150;

double exp_neg(double x) { return std::exp(-(x < LARGEST_EXPONENT ? x : LARGEST_EXPONENT)); }

// exp(-x) - 1 for x >= 0, to full relative accuracy also where x is small.
double exp_neg_minus_one(double x) { return x < 0.7 ? std::expm1(-x) : exp_neg(x) - 1.0; }

// sum over images of (position)^j * weight for j = 0..3, relative to image 0.
struct Moments {
    double m0, m1, m2, m3;
};

// One pair, c - h weighing e and c + h weighing e (1 + f), to the first moment.
[[gnu::always_inline]] inline double pair_m1(double c, double h, double e, double f) {
    return e * ((c + c) + (c + h) * f);
}

// One pair to all four moments.

[[gnu::always_inline]] inline void add_pair(Moments& s, double c, double h, double e, double f) {
    const double p = c + h, p2 = p * p, c2 = c * c, h2 = h * h;
    s.m0 += e * (2.0 + f);
    s.m1 += e * ((c + c) + p * f);
    s.m2 += e * (2.0 * (c2 + h2) + p2 * f);
    s.m3 += e * (2.0 * c * (c2 + 3.0 * h2) + p2 * p * f);
}

// Three pairs of images; weights of 0 stand for pairs too light to matter,
// which keeps the summing loops the same length for every u.
struct Pairs {
    double e[3];
    double f[3];
};

// Pairs mirrored about 0: images -m (weight e[m-1]) and m (weight
// e[m-1] (1 + f[m-1])) around image 0 at w.
Pairs pairs_about_zero(double u, double inv_u, double w, double w_complement) {
    // Image -1 weighs exp(-2(1 - w)/u); image m weighs exp(-4mw/u) times image -m.
    const double x = 2.0 * w_complement * inv_u;
    if (u < ONE_PAIR_BELOW) {
        // At the shortest times even the first pair, at most (2 + 3/w) exp(-x)
        // relative to image 0, mostly vanishes; skip its exponentials then.
        if (x > NEGLIGIBLE_PAIR_EXPONENT && w > 1e-10) return {};
        return {{exp_neg(x), 0.0, 0.0}, {exp_neg_minus_one(4.0 * w * inv_u), 0.0, 0.0}};
    }
    const double lower = exp_neg(x);
    const double f1 = exp_neg_minus_one(4.0 * w * inv_u);
    const double b = lower * lower * (1.0 + f1);  // exp(-4/u)
    const double e2 = lower * (lower * b);
    const double f2 = f1 * (2.0 + f1);
    return {{lower, e2, e2 * (lower * (b * b))}, {f1, f2, f1 * (3.0 + f1 * (3.0 + f1))}};
}

// Pairs mirrored about 1: images k (weight e[k]) and -1-k (weight
// e[k] (1 + f[k])) for k = 0, 1, 2.
Pairs pairs_about_one(double u, double inv_u, double w, double w_complement) {
    // Image -1-k weighs exp(-2(2k + 1)(1 - w)/u) times image k.
    const double g1 = exp_neg_minus_one(2.0 * w_complement * inv_u);
    if (u < ONE_PAIR_BELOW) return {{1.0, 0.0, 0.0}, {g1, 0.0, 0.0}};
    const double upper = exp_neg(2.0 * (1.0 + w) * inv_u);  // image 1
    const double b = upper * (1.0 + g1);                    // exp(-4/u)
    const double g2 = g1 * (2.0 + g1), g4 = g2 * (2.0 + g2);
    return {{1.0, upper, upper * (upper * b)}, {g1, g1 * (3.0 + g1 * (3.0 + g1)), g4 + g1 * (1.0 + g4)}};
}

// g = sum * (2 pi u^3)^(-1/2) * exp(-w^2 / 2u). The power of u is formed
// apart from the sum, so that it overlaps the exponentials instead of
// following them.
UnitDensity scale_series(double inv_u, double w, double sum) {
    const double exponent = -0.5 * (w * w) * inv_u;
    if (inv_u <= LARGEST_SCALED_INV_U) return {sum * (INV_SQRT_TWO_PI * inv_u * std::sqrt(inv_u)), exponent};
    return {sum * INV_SQRT_TWO_PI, exponent + 1.5 * std::log(inv_u)};
}

// M_1 alone (all the value needs), then all four moments; smallest pairs first.
double first_moment(double u, double inv_u, double w, double w_complement) {
    double sum = 0.0;
    if (w_complement < NEAR_ONE) {
        const Pairs p = pairs_about_one(u, inv_u, w, w_complement);
        for (int k = 2; k >= 0; --k) sum += pair_m1(-w_complement, -(2.0 * k + 1.0), p.e[k], p.f[k]);
        return sum;
    }
    const Pairs p = pairs_about_zero(u, inv_u, w, w_complement);
    for (int m = 3; m >= 1; --m) sum += pair_m1(w, 2.0 * m, p.e[m - 1], p.f[m - 1]);
    return sum + w;
}

Moments moments(double u, double inv_u, double w, double w_complement) {
    Moments s{0.0, 0.0, 0.0, 0.0};
    if (w_complement < NEAR_ONE) {
        const Pairs p = pairs_about_one(u, inv_u, w, w_complement);
        for (int k = 2; k >= 0; --k) add_pair(s, -w_complement, -(2.0 * k + 1.0), p.e[k], p.f[k]);
        return s;
    }
    const Pairs p = pairs_about_zero(u, inv_u, w, w_complement);
    for (int m = 3; m >= 1; --m) add_pair(s, w, 2.0 * m, p.e[m - 1], p.f[m - 1]);
    const double w2 = w * w;
    s.m0 += 1.0;
    s.m1 += w;
    s.m2 += w2;
    s.m3 += w2 * w;
    return s;
}

}  // namespace

UnitDensity small_time_density(double u, double w, double w_complement) {
    const double inv_u = 1.0 / u;
    return scale_series(inv_u, w, first_moment(u, inv_u, w, w_complement));
}

UnitDensityGradient small_time_density_gradient(double u, double w, double w_complement) {
    // g is proportional to M_1 exp(-w^2/2u) u^(-3/2), so
    //   u d log g / d u = (M_3 / (u M_1) - 3) / 2,
    //   d log g / d w = (M_0 - M_2 / u) / M_1.
    const double inv_u = 1.0 / u;
    const Moments s = moments(u, inv_u, w, w_complement);
    const UnitDensity g = scale_series(inv_u, w, s.m1);
    const double inv_m1 = 1.0 / s.m1;
    return {g.factor, g.exponent, 0.5 * (s.m3 * inv_m1 * inv_u - 3.0), (s.m0 - s.m2 * inv_u) * inv_m1};
}

}  // namespace ventrola::likelihood
