#include "simulation/trial_storage.hpp"

#include <unistd.h>

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "fault.hpp"

namespace ventrola {

namespace {

// What one trial needs at most: its outcome, then its choice and response
// time in the filtered result.
constexpr std::uint64_t BYTES_PER_TRIAL = sizeof(TrialOutcome) + sizeof(bool) + sizeof(double);

std::string too_many_trials(std::uint64_t n) { return "cannot reserve memory for " + std::to_string(n) + " trials"; }

// With overcommit a huge allocation "succeeds" and the process is killed
// later, when the pages are touched; refuse what could never fit in memory.
bool exceeds_physical_memory(std::uint64_t n) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return false;  // unknown: let the allocator decide
    const auto physical = static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page_size);
    if (n > std::numeric_limits<std::uint64_t>::max() / BYTES_PER_TRIAL) return true;
    return n * BYTES_PER_TRIAL > physical;
}

}  // namespace

Result<std::vector<TrialOutcome>> reserve_outcomes(std::uint64_t n) {
    if (exceeds_physical_memory(n)) return fail(ErrorKind::MemoryError, too_many_trials(n));
    std::vector<TrialOutcome> outcomes;
    try {
        outcomes.resize(n);
    } catch (const std::bad_alloc&) {
        return fail(ErrorKind::MemoryError, too_many_trials(n));
    } catch (const std::length_error&) {
        return fail(ErrorKind::MemoryError, too_many_trials(n));
    }
    return outcomes;
}

Result<SimulatedData> reserve_trial_columns(std::uint64_t n) {
    if (exceeds_physical_memory(n)) return fail(ErrorKind::MemoryError, too_many_trials(n));
    SimulatedData data;
    if (!OwnedBuffer<bool>::try_reserve(data.choices, n) || !OwnedBuffer<double>::try_reserve(data.rts, n)) {
        return fail(ErrorKind::MemoryError, too_many_trials(n));
    }
    return data;
}

Result<SimulatedData> keep_finished_trials(const std::vector<TrialOutcome>& outcomes) {
    const std::uint64_t n = outcomes.size();
    Result<SimulatedData> reserved = reserve_trial_columns(n);
    if (!reserved) return reserved;
    SimulatedData& data = *reserved;
    for (const TrialOutcome& outcome : outcomes) {
        if (outcome.timed_out) continue;
        data.choices.push_unchecked(outcome.choice);
        data.rts.push_unchecked(outcome.rt);
    }
    data.n_excluded = n - data.rts.size();
    return reserved;
}

void close_timed_out_gaps(SimulatedData& data, std::uint64_t n) {
    bool* choices = data.choices.data();
    double* rts = data.rts.data();
    std::uint64_t kept = n;
    if (data.n_excluded != 0) {
        kept = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            if (std::isnan(rts[i])) continue;
            choices[kept] = choices[i];
            rts[kept] = rts[i];
            ++kept;
        }
    }
    if (kept != n - data.n_excluded) raise_fault("a finished trial has no response time");
    data.choices.set_length_unchecked(kept);
    data.rts.set_length_unchecked(kept);
}

}  // namespace ventrola
