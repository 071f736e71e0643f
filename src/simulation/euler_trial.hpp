// A trial by Euler-Maruyama steps of any length and time cap. With the step
// and cap of `simulate` (1 ms, 10 s) it performs the very operations of its
// trial loop, in the same order and grouping, and so gives the same outcome
// bit for bit.
#pragma once

#include "simulation/model.hpp"
#include "simulation/standard_normal.hpp"

namespace ventrola {

struct EulerGrid {
    double dt;
    double sqrt_dt;   // std::sqrt(dt): for 0.001 the constant `simulate` uses
    double max_time;  // steps continue while the time is below it
};

template <class Stream>
[[gnu::always_inline]] inline TrialOutcome run_euler_trial(const DiffusionParams& params, const EulerGrid& grid,
                                                           Stream& stream) {
    const double boundary = params.boundary_separation;
    double x = params.starting_point * boundary;
    double t = 0.0;
    bool inside = false;

    if (x > 0.0 && boundary > x) {
        const double m = params.drift_rate * grid.dt;
        const double s = params.noise_sd * grid.sqrt_dt;
        // The cap is tested after the step, so a boundary reached on the
        // step that passes it still counts.
        do {
            const double z = standard_normal(stream);
            x = ((z * s) + m) + x;
            t = t + grid.dt;
            inside = (x < boundary) && (0.0 < x);
        } while (inside && t < grid.max_time);
    }

    return TrialOutcome{t + params.non_decision_time, x >= boundary * 0.5, inside};
}

}  // namespace ventrola
