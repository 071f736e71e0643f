// The eight-lane first blocks themselves, in the compiler's generic vectors:
// lane j of each vector holds one state word of stream s + j. Each file that
// includes this compiles its own copy for one instruction set (two 128-bit
// halves without AVX2), so everything here has internal linkage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simulation/chacha_block.hpp"
#include "simulation/first_blocks.hpp"

namespace ventrola {
namespace {

using Lanes = std::uint32_t __attribute__((vector_size(4 * FIRST_BLOCK_LANES)));
using LaneBytes = std::uint8_t __attribute__((vector_size(4 * FIRST_BLOCK_LANES)));

// In place, so that no vector is passed by value (whose calling convention
// depends on the instruction set). Rotations by whole bytes are one byte
// shuffle where SSSE3 has one.
template <int Bits>
[[gnu::always_inline]] inline void xor_rotl(Lanes& v, const Lanes& other) {
    v ^= other;
#if defined(__SSSE3__)
    if constexpr (Bits == 16 || Bits == 8) {
        LaneBytes bytes;
        std::memcpy(&bytes, &v, sizeof v);
        LaneBytes rotated;
        if constexpr (Bits == 16) {
            rotated = __builtin_shufflevector(bytes, bytes, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 18,
                                              19, 16, 17, 22, 23, 20, 21, 26, 27, 24, 25, 30, 31, 28, 29);
        } else {
            rotated = __builtin_shufflevector(bytes, bytes, 3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14, 19,
                                              16, 17, 18, 23, 20, 21, 22, 27, 24, 25, 26, 31, 28, 29, 30);
        }
        std::memcpy(&v, &rotated, sizeof v);
        return;
    }
#endif
    v = (v << Bits) | (v >> (32 - Bits));
}

[[gnu::always_inline]] inline void quarter_round(Lanes* w, int a, int b, int c, int d) {
    w[a] += w[b];
    xor_rotl<16>(w[d], w[a]);
    w[c] += w[d];
    xor_rotl<12>(w[b], w[c]);
    w[a] += w[b];
    xor_rotl<8>(w[d], w[a]);
    w[c] += w[d];
    xor_rotl<7>(w[b], w[c]);
}

void first_blocks_lanes(const ChachaInput& input, int blocks, std::uint32_t* out) {
    Lanes in[16];
    for (int i = 0; i < 4; ++i) in[i] = Lanes{} + CHACHA_CONSTANTS[i];
    for (int i = 0; i < 8; ++i) in[4 + i] = Lanes{} + input.key[i];
    in[13] = Lanes{};  // the high word of block counters below 2^32
    for (int j = 0; j < FIRST_BLOCK_LANES; ++j) {
        const std::uint64_t stream = input.stream + static_cast<std::uint64_t>(j);
        in[14][j] = static_cast<std::uint32_t>(stream);
        in[15][j] = static_cast<std::uint32_t>(stream >> 32);
    }

    for (int block = 0; block < blocks; ++block) {
        in[12] = Lanes{} + static_cast<std::uint32_t>(block);
        Lanes w[16];
        for (int i = 0; i < 16; ++i) w[i] = in[i];
        const auto quarter = [&](int a, int b, int c, int d)
                                 __attribute__((always_inline)) { quarter_round(w, a, b, c, d); };
        for (int round = 0; round < 8; round += 2) chacha_detail::double_round(quarter);
        for (int i = 0; i < 16; ++i) {
            const Lanes word = w[i] + in[i];
            std::memcpy(out + static_cast<std::size_t>(16 * block + i) * FIRST_BLOCK_LANES, &word, sizeof word);
        }
    }
}

}  // namespace
}  // namespace ventrola
