#include "likelihood/trial_batch.hpp"

#include <string>

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

// Calls body(trial, parameters) for every trial of [first, last). The common
// case of one parameter set for all trials reads it once.
template <class Body>
void for_each_trial(const TrialColumns& columns, std::uint64_t first, std::uint64_t last, Body&& body) {
    if (all_single(columns)) {
        const FullModelParams p = columns.parameters_of(0);
        for (std::size_t trial = first; trial < last; ++trial) body(trial, p);
    } else {
        for (std::size_t trial = first; trial < last; ++trial) body(trial, columns.parameters_of(trial));
    }
}

template <double (*Function)(bool, double, const FullModelParams&)>
void evaluate_into(const TrialColumns& columns, double* values) {
    for_each_trial_range(columns.trial_count, [&](std::uint64_t first, std::uint64_t last) {
        for_each_trial(columns, first, last, [&](std::size_t trial, const FullModelParams& p) {
            values[trial] = Function(columns.upper(trial), columns.rts[trial], p);
        });
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
        case Quantity::LogDensity: evaluate_into<log_density>(columns, out.data()); break;
        case Quantity::Density: evaluate_into<density>(columns, out.data()); break;
        case Quantity::Distribution: evaluate_into<distribution>(columns, out.data()); break;
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
    for_each_trial_range(n, [&](std::uint64_t first, std::uint64_t last) {
        for_each_trial(columns, first, last, [&](std::size_t trial, const FullModelParams& p) {
            const LogDensityGradient g = log_density_gradient(columns.upper(trial), columns.rts[trial], p);
            values[trial] = g.log_density;
            for (std::size_t k = 0; k < GRADIENT_SIZE; ++k) partials[k][trial] = g.partials[k];
        });
    });
    return out;
}

}  // namespace ventrola::likelihood
