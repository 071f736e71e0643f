// The batch functions: one ParameterSet per parameter set in use, tabulated
// where enough trials share it, the trials split over the worker pool.
#include "likelihood/trial_batch.hpp"

#include <cmath>
#include <cstring>
#include <array>
#include <optional>
#include <string>

#include "likelihood/set_groups.hpp"
#include "model/parameter_checks.hpp"
#include "parallel/worker_pool.hpp"

namespace ventrola::likelihood {
namespace {

// Below this many trials the pool's hand-over costs more than it saves.
constexpr std::size_t SERIAL_TRIALS = 2048;

template <class Body>
void for_each_trial_range(std::size_t n, Body&& body) {
    if (n < SERIAL_TRIALS) {
        body(std::uint64_t{0}, std::uint64_t{n});
        return;
    }
    WorkerPool::instance().for_each_piece(n, body);
}

std::unexpected<Error> out_of_memory(std::size_t n) {
    return fail(ErrorKind::MemoryError, "cannot allocate the results of " + std::to_string(n) + " trials");
}

bool allocate(OwnedBuffer<double>& buffer, std::size_t n) {
    if (!OwnedBuffer<double>::try_reserve(buffer, n)) return false;
    buffer.set_length_unchecked(n);
    return true;
}

bool all_single(const TrialColumns& columns) {
    for (const Column& column : columns.parameters) {
        if (column.values.size() != 1) return false;
    }
    return true;
}

// From this many trials on, a parameter set's averages are tabulated
// (time_profile.hpp): the tables cost about as much as a dozen trials'
// direct averages and then make each trial several times cheaper.
constexpr std::size_t SHARED_FROM = 16;

// The last few parameter sets a thread used, so that trials that alternate
// between a few sets (conditions in turn) keep each set's cached work. Sets
// here have no ranges to average, and so no tables.
class RecentSets {
public:
    const ParameterSet& of(const FullModelParams& p) {
        for (std::size_t i = 0; i < SLOTS; ++i) {
            if (sets_[i] && std::memcmp(&p, &sets_[i]->parameters(), sizeof p) == 0) return *sets_[i];
        }
        std::optional<ParameterSet>& slot = sets_[next_];
        next_ = (next_ + 1) % SLOTS;
        slot.emplace(p);
        return *slot;
    }

private:
    static constexpr std::size_t SLOTS = 4;
    std::array<std::optional<ParameterSet>, SLOTS> sets_;
    std::size_t next_ = 0;
};

// Calls body(trial, set) for every trial of [first, last), set the
// ParameterSet of the trial's parameters: one set for all (tabulated from
// SHARED_FROM trials), or per-trial sets without ranges to average. A
// trial's result is a function of its parameters alone, so how the trials
// are split over threads changes none.
template <class Body>
void for_each_trial(const TrialColumns& columns, std::uint64_t first, std::uint64_t last, Body&& body) {
    if (all_single(columns)) {
        const ParameterSet set(columns.parameters_of(0), columns.trial_count >= SHARED_FROM);
        for (std::size_t trial = first; trial < last; ++trial) body(trial, set);
        return;
    }
    RecentSets sets;
    for (std::size_t trial = first; trial < last; ++trial) body(trial, sets.of(columns.parameters_of(trial)));
}

bool averaged(const TrialColumns& columns) {
    for (std::size_t trial = 0; trial < columns.trial_count; ++trial) {
        const FullModelParams p = columns.parameters_of(trial);
        if (p.starting_point_range > 0 || p.non_decision_time_range > 0) return true;
    }
    return false;
}

// Calls body(trial, set) for every trial of the call. Where sets have tables
// to build and trials differ in their sets, the trials are taken set by set
// (set_groups.hpp); otherwise in ranges of the call's order.
template <class Body>
void for_each_trial_of_call(const TrialColumns& columns, Body&& body) {
    if (all_single(columns) || !averaged(columns)) {
        for_each_trial_range(columns.trial_count, [&](std::uint64_t first, std::uint64_t last) {
            for_each_trial(columns, first, last, body);
        });
        return;
    }
    const SetGroups groups(columns, SHARED_FROM);
    const auto& units = groups.units();
    auto run_units = [&](std::uint64_t first, std::uint64_t last) {
        std::optional<ParameterSet> set;
        std::uint32_t current = 0;
        for (std::uint64_t u = first; u < last; ++u) {
            const SetGroups::Unit& unit = units[u];
            if (!set || unit.set != current) {
                current = unit.set;
                set.emplace(groups.parameters(current), groups.shared(current));
            }
            for (std::size_t i = unit.first; i < unit.last; ++i) body(groups.order()[i], *set);
        }
    };
    if (columns.trial_count < SERIAL_TRIALS) {
        run_units(0, units.size());
    } else {
        WorkerPool::instance().for_each_piece(units.size(), run_units);
    }
}

template <double (ParameterSet::*Function)(bool, double) const>
void evaluate_into(const TrialColumns& columns, double* values) {
    for_each_trial_of_call(columns, [&](std::size_t trial, const ParameterSet& set) {
        values[trial] = (set.*Function)(columns.upper(trial), columns.rts[trial]);
    });
}

// exp of the log-density.
double density_of(const ParameterSet& set, bool upper, double rt) { return std::exp(set.log_density(upper, rt)); }

void evaluate_densities_into(const TrialColumns& columns, double* values) {
    for_each_trial_of_call(columns, [&](std::size_t trial, const ParameterSet& set) {
        values[trial] = density_of(set, columns.upper(trial), columns.rts[trial]);
    });
}

}  // namespace

FullModelParams TrialColumns::parameters_of(std::size_t trial) const noexcept {
    return FullModelParams{parameters[0][trial], parameters[1][trial], parameters[2][trial], parameters[3][trial],
                           parameters[4][trial], parameters[5][trial], parameters[6][trial], parameters[7][trial]};
}

std::optional<Error> check_columns(const TrialColumns& columns) {
    if (columns.trial_count == 0) return std::nullopt;
    const std::size_t checked = all_single(columns) ? 1 : columns.trial_count;
    for (std::size_t trial = 0; trial < checked; ++trial) {
        if (auto error = check_parameters(columns.parameters_of(trial))) return error;
    }
    return std::nullopt;
}

Result<OwnedBuffer<double>> evaluate_trials(Quantity quantity, const TrialColumns& columns) {
    const std::size_t n = columns.trial_count;
    OwnedBuffer<double> out;
    if (!allocate(out, n)) return out_of_memory(n);
    switch (quantity) {
        case Quantity::LogDensity: evaluate_into<&ParameterSet::log_density>(columns, out.data()); break;
        case Quantity::Density: evaluate_densities_into(columns, out.data()); break;
        case Quantity::Distribution: evaluate_into<&ParameterSet::distribution>(columns, out.data()); break;
    }
    return out;
}

Result<GradientBuffers> evaluate_trial_gradients(const TrialColumns& columns) {
    const std::size_t n = columns.trial_count;
    GradientBuffers out;
    if (!allocate(out.log_density, n)) return out_of_memory(n);
    for (OwnedBuffer<double>& partial : out.partials) {
        if (!allocate(partial, n)) return out_of_memory(n);
    }
    double* values = out.log_density.data();
    std::array<double*, GRADIENT_SIZE> partials{};
    for (std::size_t k = 0; k < GRADIENT_SIZE; ++k) partials[k] = out.partials[k].data();
    for_each_trial_of_call(columns, [&](std::size_t trial, const ParameterSet& set) {
        const LogDensityGradient g = set.log_density_gradient(columns.upper(trial), columns.rts[trial]);
        values[trial] = g.log_density;
        for (std::size_t k = 0; k < GRADIENT_SIZE; ++k) partials[k][trial] = g.partials[k];
    });
    return out;
}

}  // namespace ventrola::likelihood
