#include "simulation/cpu_features.hpp"

namespace ventrola {

namespace {

CpuFeatures detect() noexcept {
    CpuFeatures features;
#if VENTROLA_X86_64 && defined(__GNUC__)
    // libgcc reports AVX and AVX2 only when the operating system saves the
    // 256-bit registers, so no separate XGETBV check is needed.
    __builtin_cpu_init();
    features.sse2 = __builtin_cpu_supports("sse2");
    features.ssse3 = __builtin_cpu_supports("ssse3");
    features.avx = __builtin_cpu_supports("avx");
    features.avx2 = __builtin_cpu_supports("avx2");
#endif
    return features;
}

}  // namespace

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features = detect();
    return features;
}

}  // namespace ventrola
