// The ChaCha block function as a plain scalar reference. Every vectorised
// refill must produce exactly these words.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace ventrola {

using ChachaBlock = std::array<std::uint32_t, 16>;

inline constexpr std::array<std::uint32_t, 4> CHACHA_CONSTANTS = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// The input of a block without its constant row: words 4..11 are the key,
// 12..13 the 64-bit block counter and 14..15 the 64-bit stream number.
struct ChachaInput {
    std::array<std::uint32_t, 8> key{};
    std::uint64_t counter = 0;
    std::uint64_t stream = 0;
};

// The full 16-word input of block `counter`.
constexpr ChachaBlock chacha_input_block(const ChachaInput& input, std::uint64_t counter) {
    ChachaBlock block{};
    for (int i = 0; i < 4; ++i) block[i] = CHACHA_CONSTANTS[i];
    for (int i = 0; i < 8; ++i) block[4 + i] = input.key[i];
    block[12] = static_cast<std::uint32_t>(counter);
    block[13] = static_cast<std::uint32_t>(counter >> 32);
    block[14] = static_cast<std::uint32_t>(input.stream);
    block[15] = static_cast<std::uint32_t>(input.stream >> 32);
    return block;
}

namespace chacha_detail {

// The quarter rounds of one double round, as quarter(a, b, c, d) calls: the
// four columns, then the four diagonals.
template <class QuarterRound>
[[gnu::always_inline]] constexpr void double_round(QuarterRound&& quarter) {
    quarter(0, 4, 8, 12);
    quarter(1, 5, 9, 13);
    quarter(2, 6, 10, 14);
    quarter(3, 7, 11, 15);
    quarter(0, 5, 10, 15);
    quarter(1, 6, 11, 12);
    quarter(2, 7, 8, 13);
    quarter(3, 4, 9, 14);
}

constexpr void quarter_round(ChachaBlock& w, int a, int b, int c, int d) {
    w[a] += w[b];
    w[d] ^= w[a];
    w[d] = std::rotl(w[d], 16);
    w[c] += w[d];
    w[b] ^= w[c];
    w[b] = std::rotl(w[b], 12);
    w[a] += w[b];
    w[d] ^= w[a];
    w[d] = std::rotl(w[d], 8);
    w[c] += w[d];
    w[b] ^= w[c];
    w[b] = std::rotl(w[b], 7);
}

}  // namespace chacha_detail

// ChaCha with `Rounds` rounds (Rounds / 2 double rounds) of a 16-word input.
template <int Rounds>
constexpr ChachaBlock chacha_block(const ChachaBlock& input) {
    static_assert(Rounds > 0 && Rounds % 2 == 0, "ChaCha runs whole double rounds");
    using chacha_detail::quarter_round;
    ChachaBlock w = input;
    for (int round = 0; round < Rounds; round += 2) {
        chacha_detail::double_round([&](int a, int b, int c, int d) { quarter_round(w, a, b, c, d); });
    }
    for (int i = 0; i < 16; ++i) w[i] += input[i];
    return w;
}

}  // namespace ventrola
