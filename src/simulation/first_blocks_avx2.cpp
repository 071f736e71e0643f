// The first blocks of eight streams compiled for AVX2: one 256-bit register
// per word.
#include "simulation/cpu_features.hpp"

#if VENTROLA_X86_64
#include "simulation/first_blocks_lanes.hpp"
#include "simulation/first_blocks_variants.hpp"

namespace ventrola {

const FirstBlocksVariant FIRST_BLOCKS_AVX2{"avx2", &first_blocks_lanes};

}  // namespace ventrola
#endif
