// The vectorised refills, each defined in a file compiled for its instruction
// set. Only the dispatch in chacha_refill.cpp refers to them.
#pragma once

#include "simulation/chacha_refill.hpp"
#include "simulation/cpu_features.hpp"

namespace ventrola {

#if VENTROLA_X86_64
extern const RefillVariant REFILL_SSE2;
extern const RefillVariant REFILL_SSSE3;
extern const RefillVariant REFILL_AVX;
extern const RefillVariant REFILL_AVX2;
#endif

}  // namespace ventrola
