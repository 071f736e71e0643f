// The trial loop itself. Each file that includes this compiles its own copy
// for one instruction set, so everything here has internal linkage, and the
// stream and variate code it uses is always inlined into it.
#pragma once

#include <bit>
#include <cstdint>

#include "simulation/model.hpp"
#include "simulation/random_stream.hpp"
#include "simulation/standard_normal.hpp"

namespace ventrola {
namespace {

inline constexpr double TIME_STEP = std::bit_cast<double>(std::uint64_t{0x3f50624dd2f1a9fc});
inline constexpr double SQRT_TIME_STEP = std::bit_cast<double>(std::uint64_t{0x3fa030dc4ea03a72});
inline constexpr double TIME_CAP = 10.0;
inline constexpr double MIDPOINT_FACTOR = 0.5;
static_assert(TIME_STEP == 0.001 && SQRT_TIME_STEP == 0.03162277660168379);

[[gnu::always_inline]] inline TrialOutcome run_trial(const DiffusionParams& params, std::uint64_t seed,
                                                     std::uint64_t index) {
    const double boundary = params.boundary_separation;
    double x = params.starting_point * boundary;
    double t = 0.0;
    bool inside = false;

    // Strict on both sides; a NaN start position is not stepped either.
    if (x > 0.0 && boundary > x) {
        const double m = params.drift_rate * TIME_STEP;
        const double s = params.noise_sd * SQRT_TIME_STEP;
        RandomStream stream = RandomStream::from_seed(seed);
        stream.set_stream(index);
        // At least one step; the cap is tested only after the step and the
        // inside test, so a boundary reached on the last step is a normal end.
        do {
            const double z = standard_normal(stream);
            x = ((z * s) + m) + x;
            t = t + TIME_STEP;
            inside = (x < boundary) && (0.0 < x);
        } while (inside && t < TIME_CAP);
    }

    return TrialOutcome{t + params.non_decision_time, x >= boundary * MIDPOINT_FACTOR, inside};
}

inline void run_trials(const DiffusionParams& params, std::uint64_t seed, std::uint64_t first, std::uint64_t count,
                       TrialOutcome* out) {
    // Indices wrap modulo 2^64 like the stream numbers they select.
    for (std::uint64_t i = 0; i < count; ++i) out[i] = run_trial(params, seed, first + i);
}

}  // namespace
}  // namespace ventrola
