// The compiled copies of the eight-lane first blocks, each defined in a file
// compiled for its instruction set. Only the choice in first_blocks.cpp refers
// to them.
#pragma once

#include "simulation/cpu_features.hpp"
#include "simulation/first_blocks.hpp"

namespace ventrola {

extern const FirstBlocksVariant FIRST_BLOCKS_BASELINE;
#if VENTROLA_X86_64
extern const FirstBlocksVariant FIRST_BLOCKS_AVX2;
#endif

}  // namespace ventrola
