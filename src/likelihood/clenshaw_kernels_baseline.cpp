// The Clenshaw kernels for any processor of the build's architecture.
#include "likelihood/clenshaw_lanes.hpp"
#include "likelihood/clenshaw_variants.hpp"

namespace ventrola::likelihood {

const ClenshawKernels CLENSHAW_BASELINE{"baseline", &profile_kernel, &antiderivative_kernel};

}  // namespace ventrola::likelihood
