// The Clenshaw kernels compiled for AVX2: four series per register.
#include "simulation/cpu_features.hpp"

#if VENTROLA_X86_64
#include "likelihood/clenshaw_lanes.hpp"
#include "likelihood/clenshaw_variants.hpp"

namespace ventrola::likelihood {

const ClenshawKernels CLENSHAW_AVX2{"avx2", &profile_kernel, &antiderivative_kernel};

}  // namespace ventrola::likelihood
#endif
