// The four-block refill in 256-bit vectors, compiled for AVX2: each register
// holds one row of two consecutive blocks (the lower half block c, the upper
// half block c+1), and the two pairs of blocks are interleaved.
#include "simulation/cpu_features.hpp"

#if VENTROLA_X86_64
#include <immintrin.h>

#include <cstdint>

#include "simulation/chacha_refill_variants.hpp"

namespace ventrola {

namespace {

template <int Bits>
[[gnu::always_inline]] inline __m256i rotl(__m256i v) {
    if constexpr (Bits == 16) {
        return _mm256_shuffle_epi8(v, _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2, 13, 12, 15,
                                                      14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2));
    } else if constexpr (Bits == 8) {
        return _mm256_shuffle_epi8(v, _mm256_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3, 14, 13, 12,
                                                      15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3));
    } else {
        return _mm256_or_si256(_mm256_slli_epi32(v, Bits), _mm256_srli_epi32(v, 32 - Bits));
    }
}

struct Pair {
    __m256i a, b, c, d;
};

[[gnu::always_inline]] inline void quarter_rounds(Pair& p, Pair& q) {
    p.a = _mm256_add_epi32(p.a, p.b);
    q.a = _mm256_add_epi32(q.a, q.b);
    p.d = _mm256_xor_si256(p.d, p.a);
    q.d = _mm256_xor_si256(q.d, q.a);
    p.d = rotl<16>(p.d);
    q.d = rotl<16>(q.d);
    p.c = _mm256_add_epi32(p.c, p.d);
    q.c = _mm256_add_epi32(q.c, q.d);
    p.b = _mm256_xor_si256(p.b, p.c);
    q.b = _mm256_xor_si256(q.b, q.c);
    p.b = rotl<12>(p.b);
    q.b = rotl<12>(q.b);
    p.a = _mm256_add_epi32(p.a, p.b);
    q.a = _mm256_add_epi32(q.a, q.b);
    p.d = _mm256_xor_si256(p.d, p.a);
    q.d = _mm256_xor_si256(q.d, q.a);
    p.d = rotl<8>(p.d);
    q.d = rotl<8>(q.d);
    p.c = _mm256_add_epi32(p.c, p.d);
    q.c = _mm256_add_epi32(q.c, q.d);
    p.b = _mm256_xor_si256(p.b, p.c);
    q.b = _mm256_xor_si256(q.b, q.c);
    p.b = rotl<7>(p.b);
    q.b = rotl<7>(q.b);
}

// Lines the diagonals up as columns by rotating the lanes of rows 0, 2 and 3
// (within each 128-bit half, that is within each block) and leaving row 1,
// which is the last one a quarter round writes; the shuffles then run beside
// the final rotation instead of after it.
[[gnu::always_inline]] inline void diagonals_to_columns(Pair& p) {
    p.a = _mm256_shuffle_epi32(p.a, 0x93);
    p.c = _mm256_shuffle_epi32(p.c, 0x39);
    p.d = _mm256_shuffle_epi32(p.d, 0x4e);
}

[[gnu::always_inline]] inline void columns_to_diagonals(Pair& p) {
    p.a = _mm256_shuffle_epi32(p.a, 0x39);
    p.c = _mm256_shuffle_epi32(p.c, 0x93);
    p.d = _mm256_shuffle_epi32(p.d, 0x4e);
}

[[gnu::always_inline]] inline void store_pair(const Pair& p, const Pair& in, std::uint32_t* out) {
    const __m256i a = _mm256_add_epi32(p.a, in.a);
    const __m256i b = _mm256_add_epi32(p.b, in.b);
    const __m256i c = _mm256_add_epi32(p.c, in.c);
    const __m256i d = _mm256_add_epi32(p.d, in.d);
    __m256i* dst = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(dst + 0, _mm256_permute2x128_si256(a, b, 0x20));  // first block, rows 0 and 1
    _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(c, d, 0x20));
    _mm256_storeu_si256(dst + 2, _mm256_permute2x128_si256(a, b, 0x31));  // second block
    _mm256_storeu_si256(dst + 3, _mm256_permute2x128_si256(c, d, 0x31));
}

template <int Rounds>
void refill_avx2(const ChachaInput& input, std::uint32_t* out) {
    const __m256i a0 =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(CHACHA_CONSTANTS.data())));
    const __m256i b0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(input.key.data())));
    const __m256i c0 =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(input.key.data() + 4)));
    // Row 3 as 64-bit lanes (counter, stream): a 64-bit addition carries from
    // word 12 into word 13 and wraps the counter modulo 2^64.
    const auto counter = static_cast<long long>(input.counter);
    const auto stream = static_cast<long long>(input.stream);
    const __m256i d0 = _mm256_set_epi64x(stream, counter, stream, counter);
    const Pair in01{a0, b0, c0, _mm256_add_epi64(d0, _mm256_set_epi64x(0, 1, 0, 0))};
    const Pair in23{a0, b0, c0, _mm256_add_epi64(d0, _mm256_set_epi64x(0, 3, 0, 2))};

    Pair p = in01;
    Pair q = in23;
    for (int round = 0; round < Rounds; round += 2) {
        quarter_rounds(p, q);
        diagonals_to_columns(p);
        diagonals_to_columns(q);
        quarter_rounds(p, q);
        columns_to_diagonals(p);
        columns_to_diagonals(q);
    }
    store_pair(p, in01, out);
    store_pair(q, in23, out + 32);
}

}  // namespace

const RefillVariant REFILL_AVX2{"avx2", &refill_avx2<8>, &refill_avx2<20>};

}  // namespace ventrola
#endif
