// The trial loop itself. Each file that includes this compiles its own copy
// for one instruction set, so everything here has internal linkage, and the
// stream and variate code it uses is always inlined into it.
#pragma once

#include <bit>
#include <cstdint>

#include "model/parameters.hpp"
#include "simulation/euler_trial.hpp"
#include "simulation/random_stream.hpp"
#include "simulation/trial_outcome.hpp"

namespace ventrola {
namespace {

inline constexpr double TIME_STEP = std::bit_cast<double>(std::uint64_t{0x3f50624dd2f1a9fc});
inline constexpr double SQRT_TIME_STEP = std::bit_cast<double>(std::uint64_t{0x3fa030dc4ea03a72});
inline constexpr double TIME_CAP = 10.0;
static_assert(TIME_STEP == 0.001 && SQRT_TIME_STEP == 0.03162277660168379);

inline constexpr EulerGrid SIMULATE_GRID{TIME_STEP, SQRT_TIME_STEP, TIME_CAP};

[[gnu::always_inline]] inline TrialOutcome run_trial(const DiffusionParams& params, std::uint64_t seed,
                                                     std::uint64_t index) {
    return run_euler_trial(params, SIMULATE_GRID, [&] {
        RandomStream stream = RandomStream::from_seed(seed);
        stream.set_stream(index);
        return stream;
    });
}

inline void run_trials(const DiffusionParams& params, std::uint64_t seed, std::uint64_t first, std::uint64_t count,
                       TrialOutcome* out) {
    // Indices wrap modulo 2^64 like the stream numbers they select.
    for (std::uint64_t i = 0; i < count; ++i) out[i] = run_trial(params, seed, first + i);
}

}  // namespace
}  // namespace ventrola
