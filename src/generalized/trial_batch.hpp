// The likelihood of many trials of a generalized model at once. Each
// parameter is one value for all trials or one per trial; trials that share a
// parameter set share one first-passage solution. Parameter sets are solved
// in parallel on the worker pool (and the trials of one large set evaluated in
// parallel after its solve); every result lands at its trial's index, so the
// output is the same for any number of threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "error.hpp"
#include "generalized/model_shape.hpp"
#include "parallel/interruption.hpp"
#include "parallel/owned_buffer.hpp"

namespace ventrola::generalized {

// One value for all trials (a single element) or one per trial.
struct TrialColumn {
    std::vector<double> values;
    double operator[](std::size_t trial) const noexcept { return values[values.size() == 1 ? 0 : trial]; }
};

struct GeneralTrials {
    std::vector<std::uint8_t> choices;  // one or per trial; nonzero is the upper bound
    TrialColumn rts;
    std::array<TrialColumn, GENERAL_PARAMETER_COUNT> parameters;  // GeneralParameters' order
    std::size_t trial_count = 0;

    bool upper(std::size_t trial) const noexcept { return choices[choices.size() == 1 ? 0 : trial] != 0; }
    GeneralParameters parameters_of(std::size_t trial) const noexcept;
};

enum class Quantity { LogDensity, Density, Distribution };

// ValueError naming the first parameter out of its range (for the model's
// families; the others are ignored), or nothing.
std::optional<Error> check_trials(const ModelShape& shape, const GeneralTrials& trials);

// One value per trial.
// Interrupted when the interruption stops the batch (checked between parameter sets).
Result<OwnedBuffer<double>> evaluate_general(const ModelShape& shape, Quantity quantity, const GeneralTrials& trials,
                                             Interruption& interruption);

struct GeneralGradients {
    OwnedBuffer<double> log_density;
    std::array<OwnedBuffer<double>, GENERAL_PARAMETER_COUNT> partials;  // d log f / d parameter, per trial
};

// The partial derivatives a caller wants, in GeneralParameters' order; the
// others are not carried through the solve (each costs about a third of a
// solve without derivatives) and come out as NaN.
using WantedPartials = std::array<bool, GENERAL_PARAMETER_COUNT>;

Result<GeneralGradients> evaluate_general_gradients(const ModelShape& shape, const GeneralTrials& trials,
                                                    const WantedPartials& wanted, Interruption& interruption);

}  // namespace ventrola::generalized
