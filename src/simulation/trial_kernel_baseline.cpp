// The trial loop for any processor of the build's architecture.
#include "simulation/trial_kernel.hpp"
#include "simulation/trial_kernel_variants.hpp"

namespace ventrola {

const TrialKernel TRIAL_KERNEL_BASELINE{"baseline", &run_trials};

}  // namespace ventrola
