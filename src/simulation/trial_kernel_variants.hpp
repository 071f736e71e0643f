// The copies of the trial loop, each defined in a file compiled for its
// instruction set. Only the choice in trial_kernels.cpp refers to them.
#pragma once

#include "simulation/cpu_features.hpp"
#include "simulation/trial_kernels.hpp"

namespace ventrola {

extern const TrialKernel TRIAL_KERNEL_BASELINE;
#if VENTROLA_X86_64
extern const TrialKernel TRIAL_KERNEL_AVX2;
#endif

}  // namespace ventrola
