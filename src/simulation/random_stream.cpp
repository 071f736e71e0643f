#include "simulation/random_stream.hpp"

#include <bit>

namespace ventrola {

std::array<std::uint32_t, 8> derive_chacha_key(std::uint64_t seed) noexcept {
    constexpr std::uint64_t MULTIPLIER = 0x5851f42d4c957f2dULL;
    constexpr std::uint64_t INCREMENT = 0xa17654e46fbe17f3ULL;
    std::array<std::uint32_t, 8> key{};
    std::uint64_t state = seed;
    for (std::uint32_t& word : key) {
        state = state * MULTIPLIER + INCREMENT;
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rotation = static_cast<int>(state >> 59);
        word = std::rotr(xorshifted, rotation);
    }
    return key;
}

void RandomStream::refill(ChachaInput& input, std::uint32_t* buffer) noexcept {
    active_refill_variant().chacha8(input, buffer);
    input.counter += REFILL_BLOCKS;
}

}  // namespace ventrola
