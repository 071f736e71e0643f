// The four-block refill in 128-bit vectors, compiled for SSE2.
#include "simulation/cpu_features.hpp"

#if VENTROLA_X86_64
#include "simulation/chacha_refill_variants.hpp"
#include "simulation/chacha_rows_128.hpp"

namespace ventrola {

const RefillVariant REFILL_SSE2{"sse2", &refill_rows_128<Rows128<false>, 8>, &refill_rows_128<Rows128<false>, 20>};

}  // namespace ventrola
#endif
