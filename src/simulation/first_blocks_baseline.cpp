// The first blocks of eight streams for any processor of the build's architecture.
#include "simulation/first_blocks_lanes.hpp"
#include "simulation/first_blocks_variants.hpp"

namespace ventrola {

const FirstBlocksVariant FIRST_BLOCKS_BASELINE{"baseline", &first_blocks_lanes};

}  // namespace ventrola
