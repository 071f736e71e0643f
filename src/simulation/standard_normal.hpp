// Standard normal variates by the 256-layer ziggurat, used symmetrically: one
// 64-bit draw gives the layer (low 8 bits) and a signed coordinate (high 52
// bits). Exact to the bit: every conversion, comparison and grouping below is
// part of what the generated numbers are.
#pragma once

#include <cmath>
#include <cstdint>

#include "simulation/normal_tables.hpp"

namespace ventrola {

// The conversions use the compiler's bit cast rather than std::bit_cast: an
// unoptimised build may emit std::bit_cast out of line, and one shared copy of
// it, compiled for AVX2, would then serve the baseline code as well.

// -1 + m * 2^-51 with m = v >> 12: a value in [-1, 1), negative exactly when
// bit 63 of v is 0.
[[gnu::always_inline]] constexpr double symmetric_coordinate(std::uint64_t v) noexcept {
    return __builtin_bit_cast(double, (v >> 12) | 0x4000000000000000ULL) - 3.0;
}

// (v >> 11) * 2^-53: a value in [0, 1).
[[gnu::always_inline]] constexpr double half_open_uniform(std::uint64_t v) noexcept {
    return static_cast<double>(v >> 11) * 0x1.0p-53;
}

// (2m + 1) * 2^-53 with m = v >> 12: a value in (0, 1), never 0 nor 1.
[[gnu::always_inline]] constexpr double open_uniform(std::uint64_t v) noexcept {
    return __builtin_bit_cast(double, (v >> 12) | 0x3ff0000000000000ULL) + -0x1.fffffffffffffp-1;
}

// One variate from `stream` (anything with next_u64()), which advances by one
// draw on a fast accept, one more per wedge test and two more per tail pass.
//
// Always inlined: the trial loop is compiled once per instruction set, and a
// shared out-of-line copy could run instructions the processor lacks.
template <class Stream>
[[gnu::always_inline]] inline double standard_normal(Stream& stream) {
    for (;;) {
        const std::uint64_t bits = stream.next_u64();
        const unsigned layer = static_cast<unsigned>(bits & 0xff);
        const double u = symmetric_coordinate(bits);
        const double x = u * ZIGGURAT_X[layer];
        if (ZIGGURAT_X[layer + 1] > std::fabs(x)) [[likely]]
            return x;

        if (layer == 0) {
            // Beyond R: sample the tail from the logarithms of two uniforms.
            double tx;
            for (;;) {
                const double a = open_uniform(stream.next_u64());
                const double c = open_uniform(stream.next_u64());
                tx = std::log(a) / ZIGGURAT_R;
                const double ty = std::log(c) * -2.0;
                if (!(tx * tx > ty)) break;
            }
            return u < 0.0 ? tx - ZIGGURAT_R : ZIGGURAT_R - tx;
        }

        // The wedge between the layer's rectangle and the curve.
        const double uniform = half_open_uniform(stream.next_u64());
        double t = uniform * (ZIGGURAT_F[layer] - ZIGGURAT_F[layer + 1]);
        t = t + ZIGGURAT_F[layer + 1];
        const double p = std::exp((x * x) * -0.5);
        if (p > t) return x;
        // Rejected: start over with a fresh draw; nothing carries over.
    }
}

}  // namespace ventrola
