#include "likelihood/set_groups.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

namespace ventrola::likelihood {
namespace {

// A parameter set by its bits.
struct ParameterKey {
    std::array<std::uint64_t, PARAMETER_COUNT> bits;

    explicit ParameterKey(const FullModelParams& p) { std::memcpy(bits.data(), &p, sizeof p); }
    bool operator==(const ParameterKey&) const = default;
};

struct KeyHash {
    std::size_t operator()(const ParameterKey& key) const noexcept {
        std::uint64_t h = 0x9e3779b97f4a7c15u;
        for (const std::uint64_t b : key.bits) h = (h ^ b) * 0x100000001b3u;
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

}  // namespace

SetGroups::SetGroups(const TrialColumns& columns, std::size_t shared_from) {
    const std::size_t n = columns.trial_count;
    std::vector<std::uint32_t> set_of(n);
    std::vector<std::size_t> counts;
    std::unordered_map<ParameterKey, std::uint32_t, KeyHash> ids;
    // Trials of a set usually come in runs: only a change of set is hashed.
    FullModelParams previous{};
    std::uint32_t previous_set = 0;
    for (std::size_t trial = 0; trial < n; ++trial) {
        const FullModelParams p = columns.parameters_of(trial);
        if (trial == 0 || std::memcmp(&p, &previous, sizeof p) != 0) {
            const auto [at, added] = ids.try_emplace(ParameterKey(p), static_cast<std::uint32_t>(sets_.size()));
            if (added) {
                sets_.push_back(p);
                counts.push_back(0);
            }
            previous = p;
            previous_set = at->second;
        }
        set_of[trial] = previous_set;
        ++counts[previous_set];
    }
    // A counting sort: each set's trials in call order.
    std::vector<std::size_t> next(sets_.size());
    std::size_t position = 0;
    shared_.resize(sets_.size());
    for (std::uint32_t set = 0; set < sets_.size(); ++set) {
        next[set] = position;
        for (std::size_t first = position; first < position + counts[set]; first += UNIT_TRIALS) {
            units_.push_back({set, first, std::min(first + UNIT_TRIALS, position + counts[set])});
        }
        shared_[set] = counts[set] >= shared_from;
        position += counts[set];
    }
    order_.resize(n);
    for (std::size_t trial = 0; trial < n; ++trial) order_[next[set_of[trial]]++] = trial;
}

}  // namespace ventrola::likelihood
