#include "likelihood/clenshaw_kernels.hpp"

#include "likelihood/clenshaw_variants.hpp"
#include "simulation/cpu_variants.hpp"

namespace ventrola::likelihood {

namespace {

constexpr CpuCandidate<ClenshawKernels> CANDIDATES[] = {
    {&CLENSHAW_BASELINE},
#if VENTROLA_X86_64
    {&CLENSHAW_AVX2, &CpuFeatures::avx2},
#endif
};

}  // namespace

std::span<const ClenshawKernels* const> available_clenshaw_kernels() noexcept {
    return cpu_variants<CANDIDATES>().available();
}

const ClenshawKernels& best_clenshaw_kernels() noexcept { return cpu_variants<CANDIDATES>().best(); }

}  // namespace ventrola::likelihood
