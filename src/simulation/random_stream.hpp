// A trial's source of random numbers: the ChaCha8 keystream of a key derived
// from the seed, the trial's index as the stream number, read 64 bits at a time.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "simulation/chacha_block.hpp"
#include "simulation/chacha_refill.hpp"

namespace ventrola {

// The eight key words of a seed: eight outputs of the PCG32 (XSH RR) generator
// started at the seed, the state advanced before each output.
std::array<std::uint32_t, 8> derive_chacha_key(std::uint64_t seed) noexcept;

// A plain value meant to live in the trial's stack frame: it owns nothing.
class RandomStream {
public:
    // Every member used by the trial loop is always inlined: the loop is also
    // compiled for other instruction sets than the rest of the library, and an
    // out-of-line copy shared between those builds could run instructions the
    // processor lacks.

    // Block counter 0, stream 0, nothing generated yet.
    [[gnu::always_inline]] static RandomStream from_seed(std::uint64_t seed) noexcept {
        RandomStream stream;
        stream.input_.key = derive_chacha_key(seed);
        return stream;
    }

    [[gnu::always_inline]] void set_stream(std::uint64_t stream) noexcept { input_.stream = stream; }

    [[gnu::always_inline]] std::uint64_t next_u64() noexcept {
        if (position_ == REFILL_WORDS) [[unlikely]] {
            refill(input_, buffer_.data());
            position_ = 0;
        }
        std::uint64_t value;
        if constexpr (std::endian::native == std::endian::little) {
            // The low word first in memory: one 64-bit load.
            std::memcpy(&value, buffer_.data() + position_, sizeof value);
        } else {
            value = buffer_[position_] | (std::uint64_t{buffer_[position_ + 1]} << 32);
        }
        position_ += 2;
        return value;
    }

    const ChachaInput& input() const noexcept { return input_; }

private:
    // The next four blocks into `buffer`; the block counter advances by four.
    static void refill(ChachaInput& input, std::uint32_t* buffer) noexcept;

    alignas(32) std::array<std::uint32_t, REFILL_WORDS> buffer_{};
    ChachaInput input_{};
    std::uint32_t position_ = REFILL_WORDS;  // REFILL_WORDS: the buffer is used up
};

}  // namespace ventrola
