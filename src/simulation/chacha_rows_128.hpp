// The four-block refill with each block's four rows held in 128-bit vectors,
// the four blocks interleaved so that their rounds overlap. Included by one
// file per instruction set (SSE2, SSSE3, AVX), each compiling its own copy:
// everything here has internal linkage so the copies never mix.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "simulation/chacha_refill.hpp"

namespace ventrola {
namespace {

// Byte shuffles are one instruction for the rotations by 16 and 8 where
// SSSE3 is available; otherwise shifts (and word shuffles for 16).
#if defined(__SSSE3__)
template <int Bits>
[[gnu::always_inline]] inline __m128i byte_rotl(__m128i v) {
    if constexpr (Bits == 16) {
        return _mm_shuffle_epi8(v, _mm_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2));
    } else {
        static_assert(Bits == 8);
        return _mm_shuffle_epi8(v, _mm_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3));
    }
}
#endif

template <bool ByteShuffle>
struct Rows128 {
    template <int Bits>
    [[gnu::always_inline]] static inline __m128i rotl(__m128i v) {
        if constexpr (ByteShuffle && (Bits == 16 || Bits == 8)) {
            return byte_rotl<Bits>(v);
        } else if constexpr (Bits == 16) {
            return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xb1), 0xb1);
        } else {
            return _mm_or_si128(_mm_slli_epi32(v, Bits), _mm_srli_epi32(v, 32 - Bits));
        }
    }
};

template <int N, class F>
[[gnu::always_inline]] inline void for_each_block(F&& f) {
    [&]<int... J>(std::integer_sequence<int, J...>) { (f(J), ...); }(std::make_integer_sequence<int, N>{});
}

template <class Ops, int Rounds>
void refill_rows_128(const ChachaInput& input, std::uint32_t* out) {
    constexpr int N = REFILL_BLOCKS;
    const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(CHACHA_CONSTANTS.data()));
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(input.key.data()));
    const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(input.key.data() + 4));
    // Row 3 as two 64-bit lanes (counter, stream): a 64-bit addition carries
    // from word 12 into word 13 and wraps the counter modulo 2^64.
    const __m128i d0 = _mm_set_epi64x(static_cast<long long>(input.stream), static_cast<long long>(input.counter));

    __m128i a[N], b[N], c[N], d[N], d_in[N];
    for_each_block<N>([&](int j) {
        a[j] = a0;
        b[j] = b0;
        c[j] = c0;
        d_in[j] = _mm_add_epi64(d0, _mm_set_epi64x(0, j));
        d[j] = d_in[j];
    });

    auto quarter_rounds = [&]() __attribute__((always_inline)) {
        for_each_block<N>([&](int j) {
            a[j] = _mm_add_epi32(a[j], b[j]);
            d[j] = _mm_xor_si128(d[j], a[j]);
        });
        for_each_block<N>([&](int j) { d[j] = Ops::template rotl<16>(d[j]); });
        for_each_block<N>([&](int j) {
            c[j] = _mm_add_epi32(c[j], d[j]);
            b[j] = _mm_xor_si128(b[j], c[j]);
        });
        for_each_block<N>([&](int j) { b[j] = Ops::template rotl<12>(b[j]); });
        for_each_block<N>([&](int j) {
            a[j] = _mm_add_epi32(a[j], b[j]);
            d[j] = _mm_xor_si128(d[j], a[j]);
        });
        for_each_block<N>([&](int j) { d[j] = Ops::template rotl<8>(d[j]); });
        for_each_block<N>([&](int j) {
            c[j] = _mm_add_epi32(c[j], d[j]);
            b[j] = _mm_xor_si128(b[j], c[j]);
        });
        for_each_block<N>([&](int j) { b[j] = Ops::template rotl<7>(b[j]); });
    };

    for (int round = 0; round < Rounds; round += 2) {
        quarter_rounds();
        // Line the diagonals up as columns by rotating the lanes of rows 0, 2
        // and 3, then back. Row 1, the last one a quarter round writes, stays
        // put, so the shuffles run beside its final rotation.
        for_each_block<N>([&](int j) {
            a[j] = _mm_shuffle_epi32(a[j], 0x93);
            c[j] = _mm_shuffle_epi32(c[j], 0x39);
            d[j] = _mm_shuffle_epi32(d[j], 0x4e);
        });
        quarter_rounds();
        for_each_block<N>([&](int j) {
            a[j] = _mm_shuffle_epi32(a[j], 0x39);
            c[j] = _mm_shuffle_epi32(c[j], 0x93);
            d[j] = _mm_shuffle_epi32(d[j], 0x4e);
        });
    }

    for_each_block<N>([&](int j) {
        __m128i* block = reinterpret_cast<__m128i*>(out + std::ptrdiff_t{16} * j);
        _mm_storeu_si128(block + 0, _mm_add_epi32(a[j], a0));
        _mm_storeu_si128(block + 1, _mm_add_epi32(b[j], b0));
        _mm_storeu_si128(block + 2, _mm_add_epi32(c[j], c0));
        _mm_storeu_si128(block + 3, _mm_add_epi32(d[j], d_in[j]));
    });
}

}  // namespace
}  // namespace ventrola
