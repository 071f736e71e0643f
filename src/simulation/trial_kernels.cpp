#include "simulation/trial_kernels.hpp"

#include <array>

#include "simulation/cpu_features.hpp"
#include "simulation/trial_kernel_variants.hpp"

namespace ventrola {

namespace {

struct KernelList {
    std::array<const TrialKernel*, 2> items{};
    std::size_t count = 0;

    void add(const TrialKernel& kernel) { items[count++] = &kernel; }
};

KernelList list_available() noexcept {
    KernelList list;
    list.add(TRIAL_KERNEL_BASELINE);
#if VENTROLA_X86_64
    if (cpu_features().avx2) list.add(TRIAL_KERNEL_AVX2);
#endif
    return list;
}

const KernelList& available() noexcept {
    static const KernelList list = list_available();
    return list;
}

}  // namespace

std::span<const TrialKernel* const> available_trial_kernels() noexcept {
    const KernelList& list = available();
    return {list.items.data(), list.count};
}

const TrialKernel& best_trial_kernel() noexcept {
    const KernelList& list = available();
    return *list.items[list.count - 1];
}

}  // namespace ventrola
