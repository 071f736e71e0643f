#include "simulation/trial_kernels.hpp"

#include "simulation/cpu_variants.hpp"
#include "simulation/trial_kernel_variants.hpp"

namespace ventrola {

namespace {

constexpr CpuCandidate<TrialKernel> CANDIDATES[] = {
    {&TRIAL_KERNEL_BASELINE},
#if VENTROLA_X86_64
    {&TRIAL_KERNEL_AVX2, &CpuFeatures::avx2},
#endif
};

}  // namespace

std::span<const TrialKernel* const> available_trial_kernels() noexcept {
    return cpu_variants<CANDIDATES>().available();
}

const TrialKernel& best_trial_kernel() noexcept { return cpu_variants<CANDIDATES>().best(); }

}  // namespace ventrola
