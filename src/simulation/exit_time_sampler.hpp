// The exit time of Brownian motion with unit noise and drift theta from the
// interval (-1, 1), started at 0, drawn exactly by rejection.
//
// Without drift the exit time has the density g(u) with two series,
//   small time: g(u) = sqrt(2 / (pi u^3)) * sum_j (-1)^j (2j+1) exp(-(2j+1)^2 / (2u)),
//   large time: g(u) = (pi / 2) * sum_j (-1)^j (2j+1) exp(-(2j+1)^2 pi^2 u / 8).
// Drift only tilts it: the density becomes cosh(theta) exp(-theta^2 u / 2) g(u),
// independent of the side of exit. The terms of the small-time series decrease
// for u < 4 / ln 3 and those of the large-time one for u > ln 3 / pi^2, so in
// those ranges the partial sums bound g alternately from above and below, and
// a proposal under the first term is accepted by comparing its uniform with
// partial sums until one decides (Devroye's alternating series method).
//
// Two proposals, chosen by the tilt:
// - weak tilt: below SPLIT_TIME, 1 / Z^2 with Z from the normal tail beyond
//   1 / sqrt(SPLIT_TIME), proposed as a shifted exponential of the best rate
//   (Robert, 1995); above it, an exponential of rate pi^2 / 8 + theta^2 / 2
//   shifted by SPLIT_TIME, which is exactly the tilted first large-time term;
// - strong tilt: the inverse Gaussian of mean 1 / theta and shape 1, which is
//   the tilted first small-time term over all times (a bound on g everywhere:
//   leaving at one side is no more likely than first reaching that side).
// The first accepts 95 % of its proposals at theta 0, 84 % at theta 1; the
// second accepts 1 / (1 + exp(-2 theta)), 88 % at theta 1, but its proposals
// cost more: measured per variate, the two take about as long near theta 1.1.
//
// Every function is always inlined, like the normal variates it uses.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>

#include "simulation/standard_normal.hpp"

namespace ventrola {

namespace exit_time_detail {

inline constexpr double SPLIT_TIME = 0.64;
// 1 / sqrt(SPLIT_TIME): the normal tail beyond it maps to times below SPLIT_TIME.
inline constexpr double TAIL_START = 1.25;
// The rate of the exponential proposal for that tail that accepts most often:
// (TAIL_START + sqrt(TAIL_START^2 + 4)) / 2. A tail point z is accepted with
// probability exp(-(z - TAIL_RATE)^2 / 2), 89.5 % of them on average.
inline constexpr double TAIL_RATE = 1.8042476415070754764;
// Mass of the weak-tilt proposal below SPLIT_TIME, relative to the tilted
// density: 2 sqrt(2 / pi) exp(TAIL_RATE^2 / 2 - TAIL_RATE TAIL_START) / TAIL_RATE,
// times cosh(theta) (a factor common to both parts, left out of both).
inline constexpr double SHORT_PART_MASS = 0.47215751360199792458;
inline constexpr double PI_SQUARED = std::numbers::pi * std::numbers::pi;
inline constexpr double LARGE_TIME_RATE = PI_SQUARED / 8.0;
// (pi / 2)^1.5: the ratio of the first large-time term to the first small-time
// term is this times u^1.5 exp(1 / (2u) - pi^2 u / 8).
inline constexpr double TERM_RATIO_FACTOR = 1.9687012432153024;
inline constexpr double STRONG_TILT = 1.1;
// Every series below is used where c >= 2 / SPLIT_TIME = 3.125, so its first
// lower bound 1 - 3 exp(-2c) is never below 1 - 3 exp(-6.25) = 0.99420983...:
// a uniform below this is accepted without evaluating a term.
inline constexpr double SURE_BELOW = 0.9942;

// Whether y < sum_j (-1)^j (2j+1) exp(-c j (j+1)), for c >= 2 / SPLIT_TIME as
// every caller passes. The terms decrease (that needs only c > ln 3 / 2), so
// each odd partial sum is a lower bound, each even one an upper bound, and the
// first that y lies on the right side of decides.
[[gnu::always_inline]] inline bool below_alternating_sum(double y, double c) {
    if (y < SURE_BELOW) return true;
    if (!(y < 1.0)) return false;
    double sum = 1.0;
    for (int j = 1;; ++j) {
        const double term = (2.0 * j + 1.0) * std::exp(-c * (j * (j + 1.0)));
        if (j % 2 == 1) {
            sum -= term;
            if (y < sum) return true;
        } else {
            sum += term;
            if (!(y < sum)) return false;
        }
        // Underflowed terms no longer move the bounds.
        if (term == 0.0) return y < sum;
    }
}

// y below g(u) / (first small-time term at u).
[[gnu::always_inline]] inline bool below_small_time_ratio(double y, double u) {
    if (u < SPLIT_TIME) return below_alternating_sum(y, 2.0 / u);
    const double first_ratio = TERM_RATIO_FACTOR * (u * std::sqrt(u)) * std::exp(0.5 / u - LARGE_TIME_RATE * u);
    if (y < first_ratio * SURE_BELOW) return true;
    return y < first_ratio && below_alternating_sum(y / first_ratio, PI_SQUARED * 0.5 * u);
}

[[gnu::always_inline]] inline double exponential(std::uint64_t bits) { return -std::log(open_uniform(bits)); }

}  // namespace exit_time_detail

// What the sampler needs to know of the tilt |theta|, computed once per value.
struct ExitTimeTilt {
    double theta;               // |theta|
    double half_inverse_theta;  // 1 / (2 |theta|), strong tilt only
    double half_theta_squared;  // theta^2 / 2
    double long_rate;           // pi^2 / 8 + theta^2 / 2
    double short_part_share;    // weak tilt: probability of proposing below SPLIT_TIME
    bool inverse_gaussian;      // strong tilt: the inverse Gaussian proposal
};

inline ExitTimeTilt make_exit_time_tilt(double theta) {
    using namespace exit_time_detail;
    ExitTimeTilt tilt{};
    tilt.theta = std::fabs(theta);
    tilt.half_theta_squared = 0.5 * (tilt.theta * tilt.theta);
    tilt.long_rate = LARGE_TIME_RATE + tilt.half_theta_squared;
    tilt.inverse_gaussian = tilt.theta >= STRONG_TILT;
    if (tilt.inverse_gaussian) {
        tilt.half_inverse_theta = 0.5 / tilt.theta;
    } else {
        const double long_part_mass = std::numbers::pi * 0.5 * std::exp(-tilt.long_rate * SPLIT_TIME) / tilt.long_rate;
        tilt.short_part_share = SHORT_PART_MASS / (SHORT_PART_MASS + long_part_mass);
    }
    return tilt;
}

// One exit time from (-1, 1); scale by the squared half-width for other intervals.
template <class Stream>
[[gnu::always_inline]] inline double sample_unit_exit_time(Stream& stream, const ExitTimeTilt& tilt) {
    using namespace exit_time_detail;
    if (tilt.inverse_gaussian) {
        // Inverse Gaussian of mean m = 1 / theta and shape 1 by the root of
        // Michael, Schucany and Haas, written without cancellation:
        // x = m / (1 + k + sqrt(k (2 + k))), k = m z^2 / 2; then x or m^2 / x.
        const double theta = tilt.theta;
        for (;;) {
            const double z = standard_normal(stream);
            const double k = (z * z) * tilt.half_inverse_theta;
            const double x = 1.0 / (theta * ((1.0 + k) + std::sqrt(k * (2.0 + k))));
            const double pick = half_open_uniform(stream.next_u64());
            // x with probability m / (m + x) = 1 / (1 + theta x).
            const double u = pick * (1.0 + theta * x) < 1.0 ? x : 1.0 / (theta * (theta * x));
            if (below_small_time_ratio(half_open_uniform(stream.next_u64()), u)) return u;
        }
    }
    for (;;) {
        if (half_open_uniform(stream.next_u64()) < tilt.short_part_share) {
            // The tail point's acceptance, the tilt and the series ratio
            // multiply into one test.
            const double z = TAIL_START + exponential(stream.next_u64()) / TAIL_RATE;
            const double u = 1.0 / (z * z);
            const double off = z - TAIL_RATE;
            const double exponent = 0.5 * (off * off) + tilt.half_theta_squared * u;
            const double y = half_open_uniform(stream.next_u64());
            // exp(-x) >= 1 - x spares the exponential for most uniforms.
            if (y < (1.0 - exponent) * SURE_BELOW) return u;
            const double scale = std::exp(-exponent);
            if (y < scale && below_alternating_sum(y / scale, 2.0 / u)) return u;
        } else {
            // The tilted first large-time term is this exponential exactly.
            const double u = SPLIT_TIME + exponential(stream.next_u64()) / tilt.long_rate;
            if (below_alternating_sum(half_open_uniform(stream.next_u64()), PI_SQUARED * 0.5 * u)) return u;
        }
    }
}

}  // namespace ventrola
