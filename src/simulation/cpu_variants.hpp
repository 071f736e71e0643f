// The compiled copies of one routine that this processor can run. Each user
// lists its copies, the baseline first and the fastest last, with the
// processor feature each needs; the list of those this processor has is made
// once, at the first call, and keeps that order.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "simulation/cpu_features.hpp"

namespace ventrola {

// A compiled copy and the feature it needs; none for the baseline, which
// every processor of the build's architecture runs.
template <class Variant>
struct CpuCandidate {
    const Variant* variant;
    bool CpuFeatures::* needs = nullptr;
};

template <class Variant, std::size_t Capacity>
class CpuVariants {
public:
    explicit CpuVariants(const CpuCandidate<Variant> (&candidates)[Capacity]) noexcept {
        const CpuFeatures& cpu = cpu_features();
        for (const CpuCandidate<Variant>& candidate : candidates) {
            if (candidate.needs == nullptr || cpu.*candidate.needs) items_[count_++] = candidate.variant;
        }
    }

    // The baseline first and the fastest last.
    std::span<const Variant* const> available() const noexcept { return {items_.data(), count_}; }
    const Variant& best() const noexcept { return *items_[count_ - 1]; }

private:
    std::array<const Variant*, Capacity> items_{};
    std::size_t count_ = 0;
};

// The copies of `Candidates` that this processor runs, found on the first call.
template <auto& Candidates>
const auto& cpu_variants() noexcept {
    static const CpuVariants list(Candidates);
    return list;
}

}  // namespace ventrola
