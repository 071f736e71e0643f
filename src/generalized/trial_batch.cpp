#include "generalized/trial_batch.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>

#include "generalized/set_likelihood.hpp"
#include "model/parameter_checks.hpp"
#include "parallel/worker_pool.hpp"

namespace ventrola::generalized {
namespace {

// Below this many trials of one parameter set, evaluating them on the pool
// costs more than it saves.
constexpr std::size_t SERIAL_TRIALS = 512;

std::unexpected<Error> out_of_memory(std::size_t n) {
    return fail(ErrorKind::MemoryError, "cannot allocate the results of " + std::to_string(n) + " trials");
}

bool allocate(OwnedBuffer<double>& buffer, std::size_t n) {
    if (!OwnedBuffer<double>::try_reserve(buffer, n)) return false;
    buffer.set_length_unchecked(n);
    return true;
}

bool all_single(const GeneralTrials& trials) {
    return std::ranges::all_of(trials.parameters, [](const TrialColumn& c) { return c.values.size() == 1; });
}

// The trials grouped by parameter set: each group's trial indices, in order.
std::vector<std::vector<std::size_t>> parameter_groups(const GeneralTrials& trials) {
    const std::size_t n = trials.trial_count;
    if (all_single(trials)) {
        std::vector<std::size_t> all(n);
        std::iota(all.begin(), all.end(), std::size_t{0});  // NOLINT(modernize-use-ranges): no ranges::iota in GCC 12
        return {std::move(all)};
    }
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});  // NOLINT(modernize-use-ranges): no ranges::iota in GCC 12
    const auto key_less = [&](std::size_t i, std::size_t j) {
        for (const TrialColumn& c : trials.parameters) {
            if (c[i] != c[j]) return c[i] < c[j];
        }
        return i < j;
    };
    std::ranges::sort(order, key_less);
    std::vector<std::vector<std::size_t>> groups;
    for (std::size_t k = 0; k < n; ++k) {
        bool same = !groups.empty();
        if (same) {
            const std::size_t previous = groups.back().back();
            for (const TrialColumn& c : trials.parameters) {
                if (c[order[k]] != c[previous]) {
                    same = false;
                    break;
                }
            }
        }
        if (!same) groups.emplace_back();
        groups.back().push_back(order[k]);
    }
    return groups;
}

// The latest decision time a group asks about, and whether it asks for a choice probability (rt = inf).
struct Reach {
    double latest = 0.0;
    bool total = false;
};

// The parameter groups (indices into `groups`) that share one solve (shared_solve_key); a
// set the change of measure does not serve has a solve of its own.
std::vector<std::vector<std::size_t>> solve_groups(const ModelShape& shape, const GeneralTrials& trials,
                                                   const std::vector<std::vector<std::size_t>>& groups) {
    using Key = std::array<double, GENERAL_PARAMETER_COUNT + 1>;
    std::vector<Key> keys(groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const GeneralParameters p = trials.parameters_of(groups[g][0]);
        const bool shares = drift_by_measure(shape, p);
        if (shares) std::ranges::copy(shared_solve_key(p), keys[g].begin());
        keys[g][GENERAL_PARAMETER_COUNT] = shares ? -1.0 : static_cast<double>(g);
    }
    std::vector<std::size_t> order(groups.size());
    std::iota(order.begin(), order.end(), std::size_t{0});  // NOLINT(modernize-use-ranges): no ranges::iota in GCC 12
    std::ranges::stable_sort(order, [&](std::size_t i, std::size_t j) { return keys[i] < keys[j]; });
    std::vector<std::vector<std::size_t>> shared;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k == 0 || keys[order[k]] != keys[order[k - 1]]) shared.emplace_back();
        shared.back().push_back(order[k]);
    }
    return shared;
}

Reach reach_of(const GeneralTrials& trials, const std::vector<std::size_t>& group, const GeneralParameters& p) {
    Reach r;
    for (const std::size_t trial : group) {
        const double t = trials.rts[trial] - p.non_decision_time;
        if (std::isinf(t)) {
            r.total = r.total || t > 0;
        } else if (t > r.latest) {
            r.latest = t;
        }
    }
    return r;
}

// Calls body(first, last) over [0, n), on the pool when n is large.
template <class Body>
void for_each_range(std::size_t n, Body&& body) {
    if (n < SERIAL_TRIALS) {
        body(std::uint64_t{0}, std::uint64_t{n});
        return;
    }
    auto piece = [&](std::uint64_t first, std::uint64_t last) { body(first, last); };
    WorkerPool::instance().for_each_piece(n, piece);
}

// Runs solve(group) for every group: groups on the pool, or, for one group,
// its trials on the pool (the solve itself is one piece of work). Between
// solves the interruption may stop the batch.
template <class SolveGroup>
void for_each_group(const std::vector<std::vector<std::size_t>>& groups, Interruption& interruption,
                    SolveGroup&& solve) {
    if (groups.size() == 1) {
        solve(groups[0], true);
        return;
    }
    WorkerPool::instance().for_each_piece(
        groups.size(),
        [&](std::uint64_t first, std::uint64_t last) {
            for (std::uint64_t g = first; g < last && !interruption.stop_requested(); ++g) solve(groups[g], false);
        },
        &interruption);
}

// The Jet width that holds the differentiated parameters. Every width is a
// compiled copy of the solver; the narrow ones serve the common fits (drift,
// boundary and one family parameter), where each unused slot would cost a
// tenth of the solve.
template <class Visit>
void with_width(std::size_t slots, Visit&& visit) {
    if (slots <= 2) {
        visit(std::integral_constant<std::size_t, 2>{});
    } else if (slots == 3) {
        visit(std::integral_constant<std::size_t, 3>{});
    } else if (slots <= 4) {
        visit(std::integral_constant<std::size_t, 4>{});
    } else if (slots <= 8) {
        visit(std::integral_constant<std::size_t, 8>{});
    } else {
        visit(std::integral_constant<std::size_t, 12>{});
    }
}

const SolverControls& controls() {
    static const SolverControls c;
    return c;
}

// Runs each(m, parallel_trials) for the m-th set of a solve group: the first (which builds
// the solve) first, its trials on the pool if `parallel`; the others after it, on the pool
// when `parallel` (the group is the batch's only one) and checking the interruption between
// sets, as a regression's per-trial drifts make one set per trial, all sharing one solve.
template <class Each>
void for_each_member(std::size_t count, bool parallel, Interruption& interruption, Each&& each) {
    each(std::size_t{0}, parallel);
    if (count == 1) return;
    if (!parallel) {
        for (std::size_t m = 1; m < count && !interruption.stop_requested(); ++m) each(m, false);
        return;
    }
    WorkerPool::instance().for_each_piece(
        count - 1,
        [&](std::uint64_t first, std::uint64_t last) {
            for (std::uint64_t k = first; k < last && !interruption.stop_requested(); ++k) each(k + 1, false);
        },
        &interruption);
}

// What the sets sharing a solve ask: each its own, the solve as far as the furthest.
struct SharedReach {
    double horizon = 0.0;
    std::vector<Asked> asked;
};

template <class AskedOf>
SharedReach shared_reach(const GeneralTrials& trials, const std::vector<std::vector<std::size_t>>& groups,
                         const std::vector<std::size_t>& members, AskedOf&& asked_of) {
    SharedReach out;
    for (const std::size_t member : members) {
        const std::vector<std::size_t>& group = groups[member];
        const Reach r = reach_of(trials, group, trials.parameters_of(group[0]));
        out.asked.push_back(asked_of(r));
        out.horizon = std::max(out.horizon, solve_horizon(r.latest, out.asked.back()));
    }
    return out;
}

// Runs body(first, last) over a group's trials, on the pool when asked to.
template <class Body>
void over_trials(std::size_t n, bool parallel_trials, Body&& body) {
    if (parallel_trials) {
        for_each_range(n, body);
    } else {
        body(std::uint64_t{0}, std::uint64_t{n});
    }
}

void evaluate_values(const SetLikelihood<0>& set, Quantity quantity, const GeneralTrials& trials,
                     const std::vector<std::size_t>& group, double* values, bool parallel_trials) {
    over_trials(group.size(), parallel_trials, [&](std::uint64_t first, std::uint64_t last) {
        for (std::uint64_t k = first; k < last; ++k) {
            const std::size_t trial = group[k];
            const bool upper = trials.upper(trial);
            const double rt = trials.rts[trial];
            double value = 0.0;
            switch (quantity) {
                case Quantity::LogDensity: value = set.log_density(upper, rt); break;
                case Quantity::Density: value = std::exp(set.log_density(upper, rt)); break;
                case Quantity::Distribution: value = set.distribution(upper, rt); break;
            }
            values[trial] = value;
        }
    });
}

template <std::size_t N, std::size_t M>
void evaluate_gradients(const SetLikelihood<N, M>& set, const GeneralTrials& trials, const std::vector<std::size_t>& group,
                        const WantedPartials& wanted, GeneralGradients& out, bool parallel_trials) {
    over_trials(group.size(), parallel_trials, [&](std::uint64_t first, std::uint64_t last) {
        for (std::uint64_t k = first; k < last; ++k) {
            const std::size_t trial = group[k];
            const DensityGradient g = set.log_density_gradient(trials.upper(trial), trials.rts[trial]);
            out.log_density.data()[trial] = g.log_density;
            for (std::size_t i = 0; i < GENERAL_PARAMETER_COUNT; ++i)
                out.partials[i].data()[trial] = wanted[i] ? g.partials[i] : NAN;
        }
    });
}

}  // namespace

GeneralParameters GeneralTrials::parameters_of(std::size_t trial) const noexcept {
    GeneralParameters p;
    auto* out = reinterpret_cast<double*>(&p);  // NOLINT: a plain record of doubles in this order
    for (std::size_t i = 0; i < GENERAL_PARAMETER_COUNT; ++i) out[i] = parameters[i][trial];
    return p;
}

std::optional<Error> check_trials(const ModelShape& shape, const GeneralTrials& trials) {
    if (trials.trial_count == 0) return std::nullopt;
    const std::size_t checked = all_single(trials) ? 1 : trials.trial_count;
    for (std::size_t trial = 0; trial < checked; ++trial) {
        if (auto error = check_general_parameters(shape, trials.parameters_of(trial))) return error;
    }
    return std::nullopt;
}

Result<OwnedBuffer<double>> evaluate_general(const ModelShape& shape, Quantity quantity, const GeneralTrials& trials,
                                             Interruption& interruption) {
    const std::size_t n = trials.trial_count;
    OwnedBuffer<double> out;
    if (!allocate(out, n)) return out_of_memory(n);
    double* values = out.data();
    const auto groups = parameter_groups(trials);
    const auto asked_of = [&](const Reach& r) {
        return quantity != Quantity::Distribution ? Asked::Densities
               : r.total                          ? Asked::Probabilities
                                                  : Asked::Distributions;
    };
    for_each_group(solve_groups(shape, trials, groups), interruption,
                   [&](const std::vector<std::size_t>& members, bool parallel_trials) {
                       const SharedReach reach = shared_reach(trials, groups, members, asked_of);
                       std::shared_ptr<const Solve<0>> shared;
                       for_each_member(members.size(), parallel_trials, interruption, [&](std::size_t m, bool parallel) {
                           const std::vector<std::size_t>& group = groups[members[m]];
                           const GeneralParameters p = trials.parameters_of(group[0]);
                           const SetLikelihood<0> set(shape, p, {}, reach.horizon, reach.asked[m], controls(),
                                                      shared);
                           if (m == 0) shared = set.solve();
                           evaluate_values(set, quantity, trials, group, values, parallel);
                       });
                   });
    if (interruption.stopped()) return fail(ErrorKind::Interrupted, "interrupted");
    return out;
}

Result<GeneralGradients> evaluate_general_gradients(const ModelShape& shape, const GeneralTrials& trials,
                                                    const WantedPartials& wanted, Interruption& interruption) {
    const std::size_t n = trials.trial_count;
    GeneralGradients out;
    if (!allocate(out.log_density, n)) return out_of_memory(n);
    for (OwnedBuffer<double>& partial : out.partials) {
        if (!allocate(partial, n)) return out_of_memory(n);
    }
    const auto groups = parameter_groups(trials);
    const auto densities = [](const Reach&) { return Asked::Densities; };
    for_each_group(solve_groups(shape, trials, groups), interruption,
                   [&](const std::vector<std::size_t>& members, bool parallel_trials) {
                       const SharedReach reach = shared_reach(trials, groups, members, densities);
                       // Sets sharing a solve have the same slots (the deviation's is in the key).
                       const GeneralParameters first = trials.parameters_of(groups[members[0]][0]);
                       const std::vector<std::size_t> slots = differentiated_parameters(shape, first, wanted);
                       const std::size_t solved = solved_slots(shape, first, slots).size();
                       with_width(slots.size(), [&](auto width) {
                           with_width(solved, [&](auto solved_width) {
                               constexpr std::size_t N = decltype(width)::value;
                               constexpr std::size_t M = decltype(solved_width)::value;
                               // A solve carries at most the set's partials.
                               if constexpr (M <= N) {
                                   std::shared_ptr<const Solve<M>> shared;
                                   for_each_member(
                                       members.size(), parallel_trials, interruption, [&](std::size_t m, bool parallel) {
                                           const std::vector<std::size_t>& group = groups[members[m]];
                                           const SetLikelihood<N, M> set(shape, trials.parameters_of(group[0]), slots,
                                                                         reach.horizon, Asked::Densities, controls(),
                                                                         shared);
                                           if (m == 0) shared = set.solve();
                                           evaluate_gradients(set, trials, group, wanted, out, parallel);
                                       });
                               }
                           });
                       });
                   });
    if (interruption.stopped()) return fail(ErrorKind::Interrupted, "interrupted");
    return out;
}

}  // namespace ventrola::generalized
