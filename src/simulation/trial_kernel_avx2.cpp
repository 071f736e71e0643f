// The trial loop compiled for AVX2 processors: the same operations, only
// encoded and scheduled for the wider instruction set (no fused
// multiply-add, so the outcomes equal the baseline copy's bit for bit).
#include "simulation/cpu_features.hpp"

#if VENTROLA_X86_64
#include "simulation/trial_kernel.hpp"
#include "simulation/trial_kernel_variants.hpp"

namespace ventrola {

const TrialKernel TRIAL_KERNEL_AVX2{"avx2", &run_trials};

}  // namespace ventrola
#endif
