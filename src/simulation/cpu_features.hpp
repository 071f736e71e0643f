// What the processor can run, asked once; used to pick vectorised code paths.
#pragma once

// The vector variants exist only on x86-64; elsewhere only the scalar code is built.
#if defined(__x86_64__) || defined(_M_X64)
#define VENTROLA_X86_64 1
#else
#define VENTROLA_X86_64 0
#endif

namespace ventrola {

struct CpuFeatures {
    bool sse2 = false;
    bool ssse3 = false;
    bool avx = false;  // including the operating system's support for the wide registers
    bool avx2 = false;
};

// Detected on the first call, the same answer afterwards.
const CpuFeatures& cpu_features() noexcept;

}  // namespace ventrola
