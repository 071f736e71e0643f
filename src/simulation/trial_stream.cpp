#include "simulation/trial_stream.hpp"

namespace ventrola {

void TrialStream::refill(ChachaInput& input, std::uint32_t* buffer) noexcept {
    active_refill_variant().chacha8(input, buffer);
    input.counter += REFILL_BLOCKS;
}

}  // namespace ventrola
