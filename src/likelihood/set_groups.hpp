// The trials of a call grouped by their parameter set, so that a thread
// takes a set's trials together and builds its tables (time_profile.hpp)
// once per call, not once in every piece of the trial range that holds some
// of them. Sets are told apart by their bits. The grouping decides only
// which trials a piece holds: every result is a function of its trial and
// its set alone, so it changes no output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "likelihood/trial_batch.hpp"

namespace ventrola::likelihood {

class SetGroups {
public:
    // Trials of one set, in call order, at most this many to a unit: a set
    // of many trials still spreads over the threads.
    static constexpr std::size_t UNIT_TRIALS = 2048;

    struct Unit {
        std::uint32_t set;
        std::size_t first, last;  // positions in order()
    };

    // `shared_from`: the fewest trials of a set for its `shared` flag.
    SetGroups(const TrialColumns& columns, std::size_t shared_from);

    // Trial indices, grouped by set.
    const std::vector<std::size_t>& order() const { return order_; }
    const std::vector<Unit>& units() const { return units_; }
    const FullModelParams& parameters(std::uint32_t set) const { return sets_[set]; }
    bool shared(std::uint32_t set) const { return shared_[set] != 0; }

private:
    std::vector<std::size_t> order_;
    std::vector<Unit> units_;
    std::vector<FullModelParams> sets_;
    std::vector<std::uint8_t> shared_;
};

}  // namespace ventrola::likelihood
