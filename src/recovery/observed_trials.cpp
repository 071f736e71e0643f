#include "recovery/observed_trials.hpp"

#include <new>
#include <string>

namespace ventrola {

Result<std::vector<TrialOutcome>> pair_observed_trials(const std::uint8_t* choices, std::size_t n_choices,
                                                       const double* rts, std::size_t n_rts) {
    if (n_choices != n_rts) {
        return fail(ErrorKind::ValueError, "choices and rts must have equal length (" + std::to_string(n_choices) +
                                               " vs " + std::to_string(n_rts) + ")");
    }
    std::vector<TrialOutcome> trials;
    const auto cannot_reserve = [n_choices] {
        return fail(ErrorKind::MemoryError, "cannot reserve " + std::to_string(n_choices) + " trial records");
    };
    if (n_choices > trials.max_size()) return cannot_reserve();
    try {
        trials.reserve(n_choices);
    } catch (const std::bad_alloc&) {
        return cannot_reserve();
    }
    for (std::size_t i = 0; i < n_choices; ++i) {
        trials.push_back(TrialOutcome{rts[i], choices[i] != 0, false});
    }
    return trials;
}

}  // namespace ventrola
