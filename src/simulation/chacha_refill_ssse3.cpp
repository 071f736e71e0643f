// The four-block refill in 128-bit vectors, compiled for SSSE3.
#include "simulation/cpu_features.hpp"

#if VENTROLA_X86_64
#include "simulation/chacha_refill_variants.hpp"
#include "simulation/chacha_rows_128.hpp"

namespace ventrola {

const RefillVariant REFILL_SSSE3{"ssse3", &refill_rows_128<Rows128<true>, 8>, &refill_rows_128<Rows128<true>, 20>};

}  // namespace ventrola
#endif
