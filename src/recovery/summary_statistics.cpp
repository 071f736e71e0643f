#include "recovery/summary_statistics.hpp"

namespace ventrola {

namespace {

bool counts_as_upper(const TrialOutcome& trial) { return !trial.timed_out && trial.choice; }

}  // namespace

TrialCounts count_trials(std::span<const TrialOutcome> trials) {
    TrialCounts counts{0, 0};
    for (const TrialOutcome& trial : trials) {
        if (trial.timed_out) continue;
        ++counts.n_valid;
        if (trial.choice) ++counts.n_upper;
    }
    return counts;
}

std::optional<SummaryStatistics> compute_summary(std::span<const TrialOutcome> trials) {
    const auto [n_valid, n_upper] = count_trials(trials);
    if (n_valid == 0 || n_upper < 2) return std::nullopt;

    // Both passes walk the records in order and pick the same upper-boundary
    // times, which gives the same sums as gathering them into a buffer first,
    // without an allocation that could fail.
    const double n_upper_d = static_cast<double>(n_upper);
    double sum = -0.0;
    for (const TrialOutcome& trial : trials) {
        if (counts_as_upper(trial)) sum = sum + trial.rt;
    }
    const double mean_rt = sum / n_upper_d;

    double ss = -0.0;
    for (const TrialOutcome& trial : trials) {
        if (!counts_as_upper(trial)) continue;
        const double deviation = trial.rt - mean_rt;
        ss = deviation * deviation + ss;
    }
    const double var_rt = ss / (n_upper_d + (-1.0));
    const double accuracy = n_upper_d / static_cast<double>(n_valid);
    return SummaryStatistics{accuracy, mean_rt, var_rt, n_valid, n_upper};
}

}  // namespace ventrola
