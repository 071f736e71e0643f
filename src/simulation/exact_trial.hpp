// A trial drawn exactly: its decision time and boundary come from their true
// joint distribution, with no time step.
//
// From a position x between the boundaries, take the largest interval centred
// on x that fits, of half-width r = min(x, a - x). Brownian motion with drift
// mu and unit noise leaves it at the upper end with probability
// 1 / (1 + exp(-2 mu r)), independently of when; the time is r^2 times the
// exit time from (-1, 1) with drift mu r (exit_time_sampler.hpp). Move to the
// end it left by, add the time, and repeat until that end is a boundary: the
// nearer end always is, so each step ends the trial with probability at least
// that of leaving on the nearer side, and a start at a / 2 ends in one step.
// With noise s the same holds for drift v / s and distances r / s.
//
// The ends are reached exactly in floating point: for x >= a / 2 the distance
// a - x is exact (Sterbenz), so x + (a - x) is a itself; for x < a / 2,
// x - x is 0 and x + x is exact and below a.
#pragma once

#include <cmath>
#include <limits>

#include "model/parameters.hpp"
#include "simulation/exit_time_sampler.hpp"
#include "simulation/standard_normal.hpp"
#include "simulation/trial_outcome.hpp"

namespace ventrola {

// The law of one step for a given mu * r / s: the chance of the upper end and
// the exit-time sampler's constants.
struct ExactStepLaw {
    double theta = std::numeric_limits<double>::quiet_NaN();  // matches no value until set
    double upper_probability = 0.0;
    ExitTimeTilt tilt{};
};

// The last step law, kept across steps and trials: a start at the centre
// without drift variability uses one law for every trial of a batch.
class ExactStepLawCache {
public:
    [[gnu::always_inline]] const ExactStepLaw& law(double theta) {
        if (!(theta == law_.theta)) [[unlikely]] {
            law_.theta = theta;
            law_.upper_probability = 1.0 / (1.0 + std::exp(-2.0 * theta));
            law_.tilt = make_exit_time_tilt(theta);
        }
        return law_;
    }

private:
    ExactStepLaw law_{};
};

// Decision times above max_time mark the trial as timed out. `laws` is asked
// once per step (an ExactStepLawCache, or anything with its law()).
template <class Stream, class Laws>
[[gnu::always_inline]] inline TrialOutcome run_exact_trial(const DiffusionParams& params, double max_time,
                                                           Stream& stream, Laws& laws) {
    const double a = params.boundary_separation;
    double x = params.starting_point * a;
    // A start that rounding put on a boundary has already ended.
    if (!(x > 0.0 && a > x)) return TrialOutcome{params.non_decision_time, x >= a * 0.5, false};

    const double mu = params.drift_rate / params.noise_sd;
    double t = 0.0;
    for (;;) {
        const double to_upper = a - x;
        const bool lower_nearer = x < to_upper;
        const double r = lower_nearer ? x : to_upper;
        const double scaled_r = r / params.noise_sd;
        const ExactStepLaw& law = laws.law(mu * scaled_r);
        const bool up = half_open_uniform(stream.next_u64()) < law.upper_probability;
        t += (scaled_r * scaled_r) * sample_unit_exit_time(stream, law.tilt);
        if (t > max_time) return TrialOutcome{t + params.non_decision_time, up, true};
        if (up) {
            if (!lower_nearer) return TrialOutcome{t + params.non_decision_time, true, false};
            x = x + x;
        } else {
            if (lower_nearer) return TrialOutcome{t + params.non_decision_time, false, false};
            x = x - to_upper;
            if (x == 0.0) return TrialOutcome{t + params.non_decision_time, false, false};
        }
    }
}

}  // namespace ventrola
