#include "simulation/first_blocks.hpp"

#include "simulation/cpu_variants.hpp"
#include "simulation/first_blocks_variants.hpp"

namespace ventrola {

namespace {

constexpr CpuCandidate<FirstBlocksVariant> CANDIDATES[] = {
    {&FIRST_BLOCKS_BASELINE},
#if VENTROLA_X86_64
    {&FIRST_BLOCKS_AVX2, &CpuFeatures::avx2},
#endif
};

}  // namespace

std::span<const FirstBlocksVariant* const> available_first_blocks_variants() noexcept {
    return cpu_variants<CANDIDATES>().available();
}

const FirstBlocksVariant& best_first_blocks_variant() noexcept { return cpu_variants<CANDIDATES>().best(); }

}  // namespace ventrola
