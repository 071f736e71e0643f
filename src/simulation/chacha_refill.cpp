#include "simulation/chacha_refill.hpp"

#include <atomic>

#include "simulation/chacha_refill_variants.hpp"
#include "simulation/cpu_variants.hpp"

namespace ventrola {

namespace {

template <int Rounds>
void refill_scalar(const ChachaInput& input, std::uint32_t* out) {
    for (int j = 0; j < REFILL_BLOCKS; ++j) {
        const ChachaBlock block = chacha_block<Rounds>(chacha_input_block(input, input.counter + j));
        for (int i = 0; i < 16; ++i) out[16 * j + i] = block[i];
    }
}

constexpr RefillVariant REFILL_SCALAR{"scalar", &refill_scalar<8>, &refill_scalar<20>};

constexpr CpuCandidate<RefillVariant> CANDIDATES[] = {
    {&REFILL_SCALAR},
#if VENTROLA_X86_64
    {&REFILL_SSE2, &CpuFeatures::sse2},
    {&REFILL_SSSE3, &CpuFeatures::ssse3},
    {&REFILL_AVX, &CpuFeatures::avx},
    {&REFILL_AVX2, &CpuFeatures::avx2},
#endif
};

std::atomic<const RefillVariant*> active_variant{nullptr};

}  // namespace

std::span<const RefillVariant* const> available_refill_variants() noexcept {
    return cpu_variants<CANDIDATES>().available();
}

const RefillVariant* find_refill_variant(std::string_view name) noexcept {
    for (const RefillVariant* variant : available_refill_variants()) {
        if (variant->name == name) return variant;
    }
    return nullptr;
}

bool set_refill_variant(std::string_view name) noexcept {
    const RefillVariant* variant = find_refill_variant(name);
    if (variant == nullptr) return false;
    active_variant.store(variant, std::memory_order_relaxed);
    return true;
}

const RefillVariant& active_refill_variant() noexcept {
    const RefillVariant* variant = active_variant.load(std::memory_order_relaxed);
    if (variant == nullptr) [[unlikely]] {
        variant = &cpu_variants<CANDIDATES>().best();
        // A forced choice made meanwhile wins over the default.
        const RefillVariant* expected = nullptr;
        if (!active_variant.compare_exchange_strong(expected, variant, std::memory_order_relaxed)) {
            variant = expected;
        }
    }
    return *variant;
}

}  // namespace ventrola
