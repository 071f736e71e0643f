// The free process started at y0 (or uniformly on a range of starts), seen at
// a point S at time t: its density there (log, so that an early time far from
// the start keeps its value), and the first-passage kernel of the integral
// equation, Psi(S, t | y0, 0) = density * bracket with
//   bracket = (S'(t) - v(t) + leak S) / 2 - (S - m) / (2 V)
// (Buonocore, Nobile & Ricciardi 1987; noise 1; m, V the free mean and
// variance). For a range the bracket and density are averaged over the start
// in closed form (normal probabilities), or by Gauss-Legendre where the range
// is too narrow for a difference of probabilities to keep its digits.
#pragma once

#include <cmath>

#include "generalized/jet.hpp"
#include "generalized/log_erfc.hpp"
#include "generalized/normal_tails.hpp"
#include "generalized/time_functions.hpp"

namespace ventrola::generalized {

template <class T>
struct StartView {
    T log_density;  // log of the free density at S
    T bracket;      // Psi / density
};

template <class T>
class StartTerms {
public:
    // y0 the (centre of the) start; width the range of starts (0: a point), in y units.
    StartTerms(const TimeFunctions<T>& f, const T& y0, const T& width) : f_(f), y0_(y0), width_(width) {}

    // At S with slope dS at time t > 0; drift_t = v(t), integral_t = m(t).
    StartView<T> at(const T& S, const T& dS, double t, const T& drift_t, const T& integral_t) const {
        const T lam = f_.leaks() ? f_.parameters().leak : T(0.0);
        const T decay = f_.decay(t);
        const T V = f_.variance(t);
        const T sigma = sqrt(V);
        const T motion = 0.5 * (dS - drift_t + lam * S);
        const double narrow = value(width_ * decay / sigma);
        if (narrow == 0.0) return point(S, y0_ * decay + integral_t, V, motion);
        if (narrow < NARROW_RANGE) {
            // Gauss-Legendre over the start: density-weighted average of the brackets.
            T total_density(0.0);
            T total_kernel(0.0);
            T log_scale(0.0);
            bool first = true;
            for (int k = 0; k < GAUSS_POINTS; ++k) {
                const T y = y0_ + width_ * (0.5 * GAUSS_NODES[k]);
                const StartView<T> one = point(S, y * decay + integral_t, V, motion);
                if (first) {
                    log_scale = one.log_density;
                    first = false;
                }
                const T weight = GAUSS_WEIGHTS[k] * exp(one.log_density - log_scale);
                total_density += weight;
                total_kernel += weight * one.bracket;
            }
            return {log_scale + log(0.5 * total_density), total_kernel / total_density};
        }
        // Means m_low < m_high of the starts' free positions; x = (S - m) / sigma.
        const T base = integral_t;
        const T spread = width_ * decay;
        const T m_low = (y0_ - 0.5 * width_) * decay + base;
        const T x_low = (S - m_low) / sigma;            // the larger
        const T x_high = (S - m_low - spread) / sigma;  // the smaller
        const T log_p = log_normal_interval(x_high, x_low);
        const T log_density = log_p - log(spread);
        // avg[(S - m) N(S - m)] / (V avg N) = (phi(x_high) - phi(x_low)) / (sigma P)
        const T ratio =
            (exp(-0.5 * x_high * x_high - LOG_SQRT_2PI - log_p) - exp(-0.5 * x_low * x_low - LOG_SQRT_2PI - log_p)) /
            sigma;
        return {log_density, motion - 0.5 * ratio};
    }

private:
    static constexpr double NARROW_RANGE = 0.05;
    static constexpr int GAUSS_POINTS = 5;
    static constexpr double GAUSS_NODES[GAUSS_POINTS] = {-0.9061798459386640, -0.5384693101056831, 0.0,
                                                         0.5384693101056831, 0.9061798459386640};
    static constexpr double GAUSS_WEIGHTS[GAUSS_POINTS] = {0.2369268850561891, 0.4786286704993665, 0.5688888888888889,
                                                           0.4786286704993665, 0.2369268850561891};

    static StartView<T> point(const T& S, const T& mean, const T& V, const T& motion) {
        const T e = S - mean;
        return {-e * e / (2.0 * V) - 0.5 * log(V) - LOG_SQRT_2PI, motion - e / (2.0 * V)};
    }

    // log P(low < Z < high) from the side the interval lies on.
    static T log_normal_interval(const T& low, const T& high) {
        constexpr double LOG_HALF = -0.69314718055994530942;
        if (value(low) >= 0.0) {
            const T a = log_erfc(low * SQRT_HALF);
            const T b = log_erfc(high * SQRT_HALF);
            return LOG_HALF + a + log1p(-exp(b - a));
        }
        if (value(high) <= 0.0) {
            const T a = log_erfc(-high * SQRT_HALF);
            const T b = log_erfc(-low * SQRT_HALF);
            return LOG_HALF + a + log1p(-exp(b - a));
        }
        return log(1.0 - 0.5 * (erfc(-low * SQRT_HALF) + erfc(high * SQRT_HALF)));
    }

    const TimeFunctions<T>& f_;
    T y0_;
    T width_;
};

}  // namespace ventrola::generalized
