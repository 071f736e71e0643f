// The first blocks of eight consecutive streams of one key at once: every
// trial begins with them, and one pass over eight lanes costs little more
// than the rounds of a single block. Computed by the fastest compiled copy
// for this processor; all copies give the words of chacha_block<8>.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "simulation/chacha_block.hpp"

namespace ventrola {

inline constexpr int FIRST_BLOCK_LANES = 8;
inline constexpr int MAX_FIRST_BLOCKS = 2;
// Room for MAX_FIRST_BLOCKS blocks of every lane.
inline constexpr int FIRST_BLOCKS_WORDS = 16 * MAX_FIRST_BLOCKS * FIRST_BLOCK_LANES;

// Blocks 0 .. blocks-1 (at most MAX_FIRST_BLOCKS) of streams s, s+1, ...,
// s+7 (modulo 2^64), s being input.stream, laid out lane by lane: word i of
// block b of stream s+j is out[(16 b + i) * FIRST_BLOCK_LANES + j], so each
// stream's words follow each other at a stride of FIRST_BLOCK_LANES.
// input.counter is ignored.
using FirstBlocksFunction = void (*)(const ChachaInput& input, int blocks, std::uint32_t* out);

struct FirstBlocksVariant {
    std::string_view name;
    FirstBlocksFunction run;
};

// The copies this processor can run, the baseline first and the fastest last.
std::span<const FirstBlocksVariant* const> available_first_blocks_variants() noexcept;

// The fastest of them, chosen on the first call.
const FirstBlocksVariant& best_first_blocks_variant() noexcept;

}  // namespace ventrola
