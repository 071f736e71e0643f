// The likelihood of many trials at once: every parameter is either one value
// for all trials or one value per trial. Trials are independent, so the work
// is split over the worker pool and each result lands at its index: the
// output is the same for any number of threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "error.hpp"
#include "likelihood/wiener.hpp"
#include "parallel/owned_buffer.hpp"

namespace ventrola::likelihood {

// One value for all trials (a single element) or one per trial.
struct Column {
    std::vector<double> values;

    double operator[](std::size_t trial) const noexcept { return values[values.size() == 1 ? 0 : trial]; }
};

struct TrialColumns {
    std::vector<std::uint8_t> choices;  // one or per trial; nonzero is the upper boundary
    Column rts;
    std::array<Column, PARAMETER_COUNT> parameters;  // in the order of FullModelParams' members
    std::size_t trial_count = 0;

    bool upper(std::size_t trial) const noexcept { return choices[choices.size() == 1 ? 0 : trial] != 0; }
    FullModelParams parameters_of(std::size_t trial) const noexcept;
};

enum class Quantity { LogDensity, Density, Distribution };

// ValueError for the first trial whose parameters are out of range.
std::optional<Error> check_columns(const TrialColumns& columns);

// One value per trial. MemoryError when the output cannot be allocated.
Result<OwnedBuffer<double>> evaluate_trials(Quantity quantity, const TrialColumns& columns);

struct GradientBuffers {
    OwnedBuffer<double> log_density;
    std::array<OwnedBuffer<double>, GRADIENT_SIZE> partials;
};

Result<GradientBuffers> evaluate_trial_gradients(const TrialColumns& columns);

}  // namespace ventrola::likelihood
