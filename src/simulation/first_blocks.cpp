#include "simulation/first_blocks.hpp"

#include <array>

#include "simulation/cpu_features.hpp"
#include "simulation/first_blocks_variants.hpp"

namespace ventrola {

namespace {

struct VariantList {
    std::array<const FirstBlocksVariant*, 2> items{};
    std::size_t count = 0;

    void add(const FirstBlocksVariant& variant) { items[count++] = &variant; }
};

VariantList list_available() noexcept {
    VariantList list;
    list.add(FIRST_BLOCKS_BASELINE);
#if VENTROLA_X86_64
    if (cpu_features().avx2) list.add(FIRST_BLOCKS_AVX2);
#endif
    return list;
}

const VariantList& available() noexcept {
    static const VariantList list = list_available();
    return list;
}

}  // namespace

std::span<const FirstBlocksVariant* const> available_first_blocks_variants() noexcept {
    const VariantList& list = available();
    return {list.items.data(), list.count};
}

const FirstBlocksVariant& best_first_blocks_variant() noexcept {
    const VariantList& list = available();
    return *list.items[list.count - 1];
}

}  // namespace ventrola
