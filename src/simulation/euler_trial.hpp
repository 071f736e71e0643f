// A trial by Euler-Maruyama steps of any length and time cap. `simulate`'s
// trials are these with steps of 1 ms and a cap of 10 s, so the order and
// grouping of every operation here are part of its bit-exact results.
#pragma once

#include <cstdint>
#include <type_traits>

#include "model/parameters.hpp"
#include "simulation/standard_normal.hpp"
#include "simulation/trial_outcome.hpp"

namespace ventrola {

struct EulerGrid {
    double dt;
    double sqrt_dt;   // std::sqrt(dt): for 0.001 the constant `simulate` uses
    double max_time;  // steps continue while the time is below it
};

// A trial without a time cap may step for ever; `keep_going()` is asked after
// every STEPS_PER_CHECK steps (about a third of a millisecond) whether to go
// on. Never asking is the default, which leaves the loop as it was.
inline constexpr std::uint32_t STEPS_PER_CHECK = 1u << 16;

struct NeverStop {
    static constexpr bool checks = false;
    constexpr bool operator()() const noexcept { return true; }
};

// `open_stream()` gives the trial's random stream (a value or a reference). It
// is called only once the start is known to be inside, where the first step
// needs it: opening it earlier costs `simulate` a few per cent of its steps.
// A trial that `keep_going` stops ends as if timed out.
template <class OpenStream, class KeepGoing = NeverStop>
[[gnu::always_inline]] inline TrialOutcome run_euler_trial(const DiffusionParams& params, const EulerGrid& grid,
                                                           OpenStream&& open_stream, KeepGoing&& keep_going = {}) {
    const double boundary = params.boundary_separation;
    double x = params.starting_point * boundary;
    double t = 0.0;
    bool inside = false;

    // Strict on both sides; a NaN start position is not stepped either.
    if (x > 0.0 && boundary > x) {
        const double m = params.drift_rate * grid.dt;
        const double s = params.noise_sd * grid.sqrt_dt;
        auto&& stream = open_stream();
        // At least one step; the cap is tested only after the step and the
        // inside test, so a boundary reached on the last step is a normal end.
        // The count of steps touches no floating-point value.
        [[maybe_unused]] std::uint32_t steps = 0;
        do {
            const double z = standard_normal(stream);
            x = ((z * s) + m) + x;
            t = t + grid.dt;
            inside = (x < boundary) && (0.0 < x);
            if constexpr (std::remove_cvref_t<KeepGoing>::checks) {
                if (++steps % STEPS_PER_CHECK == 0 && inside && !keep_going()) break;
            }
        } while (inside && t < grid.max_time);
    }

    return TrialOutcome{t + params.non_decision_time, x >= boundary * 0.5, inside};
}

}  // namespace ventrola
