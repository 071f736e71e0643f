// One trial's own parameters: drift, start and non-decision time drawn from
// their across-trial distributions, first thing from the trial's stream. A
// range of zero draws nothing, so a model without variability reads the
// stream exactly as `simulate` does.
#pragma once

#include "model/parameters.hpp"
#include "simulation/standard_normal.hpp"

namespace ventrola {

template <class Stream>
[[gnu::always_inline]] inline DiffusionParams draw_trial_parameters(const FullModelParams& model, Stream& stream) {
    DiffusionParams trial{model.drift_rate, model.boundary_separation, model.starting_point, model.non_decision_time,
                          model.noise_sd};
    if (model.drift_rate_sd > 0.0) {
        trial.drift_rate = model.drift_rate + model.drift_rate_sd * standard_normal(stream);
    }
    if (model.starting_point_range > 0.0) {
        // u - 0.5 is exact, so the start stays within half the range of w.
        const double u = open_uniform(stream.next_u64());
        trial.starting_point = model.starting_point + model.starting_point_range * (u - 0.5);
    }
    if (model.non_decision_time_range > 0.0) {
        const double u = open_uniform(stream.next_u64());
        trial.non_decision_time = model.non_decision_time + model.non_decision_time_range * u;
    }
    return trial;
}

}  // namespace ventrola
