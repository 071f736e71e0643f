// The compiled copies of the Clenshaw kernels, each defined in a file
// compiled for its instruction set. Only the choice in clenshaw_kernels.cpp
// refers to them.
#pragma once

#include "likelihood/clenshaw_kernels.hpp"
#include "simulation/cpu_features.hpp"

namespace ventrola::likelihood {

extern const ClenshawKernels CLENSHAW_BASELINE;
#if VENTROLA_X86_64
extern const ClenshawKernels CLENSHAW_AVX2;
#endif

}  // namespace ventrola::likelihood
