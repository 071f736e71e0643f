// Four consecutive ChaCha blocks at once, by the fastest variant this
// processor runs. The variant is chosen on first use; tests can force one.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "simulation/chacha_block.hpp"

namespace ventrola {

inline constexpr int REFILL_BLOCKS = 4;
inline constexpr int REFILL_WORDS = 16 * REFILL_BLOCKS;

// Writes the blocks with counters c, c+1, c+2, c+3 (modulo 2^64), c being
// input.counter, to out[0..63] in that order.
using RefillFunction = void (*)(const ChachaInput& input, std::uint32_t* out);

struct RefillVariant {
    std::string_view name;
    RefillFunction chacha8;   // what the random stream uses
    RefillFunction chacha20;  // the same code at 20 rounds, to check against published vectors
};

// The variants compiled in and supported by this processor, from the plain
// scalar reference to the fastest.
std::span<const RefillVariant* const> available_refill_variants() noexcept;

// The variant of that name, or nullptr when it is not available here.
const RefillVariant* find_refill_variant(std::string_view name) noexcept;

// The variant every stream uses from now on; false (nothing changed) when the
// name is not available here.
bool set_refill_variant(std::string_view name) noexcept;

// The variant in use: the fastest available one unless a test forced another.
const RefillVariant& active_refill_variant() noexcept;

}  // namespace ventrola
