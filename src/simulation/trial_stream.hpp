// A trial's random stream that starts from its first blocks computed
// beforehand, eight streams at a time (first_blocks.hpp), and then refills
// four blocks at a time. It yields exactly the draws of RandomStream for the
// same seed and stream.
#pragma once

#include <array>
#include <cstdint>

#include "simulation/chacha_block.hpp"
#include "simulation/chacha_refill.hpp"
#include "simulation/first_blocks.hpp"

namespace ventrola {

class TrialStream {
public:
    // `keyed` holds the seed's key. `lane` points at the stream's first word
    // in the output of a FirstBlocksFunction that computed `blocks` blocks;
    // that output must outlive the draws from it.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): buffer_ is filled before it is read
    [[gnu::always_inline]] TrialStream(const ChachaInput& keyed, std::uint64_t stream, const std::uint32_t* lane,
                                       int blocks) noexcept
        : input_{keyed.key, static_cast<std::uint64_t>(blocks), stream},
          words_(lane),
          end_(static_cast<std::uint32_t>(16 * blocks * FIRST_BLOCK_LANES)) {}

    TrialStream(const TrialStream&) = delete;  // words_ may point into the object itself
    TrialStream& operator=(const TrialStream&) = delete;
    ~TrialStream() = default;

    // Two consecutive 32-bit words, the first as the low half, as RandomStream
    // reads them.
    [[gnu::always_inline]] std::uint64_t next_u64() noexcept {
        if (position_ == end_) [[unlikely]] {
            refill(input_, buffer_.data());
            words_ = buffer_.data();
            position_ = 0;
            stride_ = 1;
            end_ = REFILL_WORDS;
        }
        const std::uint64_t value = words_[position_] | (std::uint64_t{words_[position_ + stride_]} << 32);
        position_ += 2 * stride_;
        return value;
    }

private:
    // The next four blocks into `buffer`; the block counter advances by four.
    static void refill(ChachaInput& input, std::uint32_t* buffer) noexcept;

    ChachaInput input_;
    const std::uint32_t* words_;
    std::uint32_t position_ = 0;  // index into words_ of the next draw's low word
    std::uint32_t stride_ = FIRST_BLOCK_LANES;
    std::uint32_t end_;
    // Filled before it is read; zeroing it would cost every trial, most of which never refill.
    alignas(32) std::array<std::uint32_t, REFILL_WORDS> buffer_;
};

}  // namespace ventrola
