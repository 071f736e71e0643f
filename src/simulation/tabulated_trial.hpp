// A trial of a generalized model: steps of the free process's exact one-step
// law from the tables (the drift's mean shift, the leak's decay, the noise's
// spread), the position checked against the bound's half-width at each step's
// end, as Euler's method checks it, and in between by the Brownian bridge: a
// path that starts and ends a step inside a bound touched it on the way with
// probability exp(-2 g0 g1 / spread^2), g0 and g1 its distances to the bound
// at the step's ends (exact for a bound linear over the step). Checking only
// the ends would let paths slip past the bound and move it out by about
// 0.58 spread on average; with the bridge the trials follow the continuous
// process to first order in dt.
#pragma once

#include <cmath>
#include <cstddef>
#include <type_traits>

#include "model/parameters.hpp"
#include "model/step_tables.hpp"
#include "simulation/euler_trial.hpp"
#include "simulation/standard_normal.hpp"
#include "simulation/trial_outcome.hpp"

namespace ventrola {

inline constexpr double BRIDGE_FLOOR = -40.0;

// `trial` holds the trial's drawn start and non-decision time; drift_offset is
// its drawn drift less the model's (the tables carry the model's own drift).
// Every STEPS_PER_CHECK steps `keep_going()` says whether to go on (as for
// Euler trials); a trial it stops ends as if timed out.
template <class Stream, class KeepGoing = NeverStop>
[[gnu::always_inline]] inline TrialOutcome run_tabulated_trial(const DiffusionParams& trial, double drift_offset,
                                                               const StepTables& tables, Stream& stream,
                                                               KeepGoing&& keep_going = {}) {
    double y = (trial.starting_point - 0.5) * trial.boundary_separation;
    const double decay = tables.decay;
    const double spread = tables.spread;
    const double bridge = -2.0 / (spread * spread);
    const double offset = drift_offset * tables.offset_gain;
    const double* shift = tables.shift.data();
    const double* bound = tables.half_width.data();
    const std::size_t steps = tables.steps();
    for (std::size_t k = 0; k < steps; ++k) {
        const double z = standard_normal(stream);
        const double before = y;
        y = y * decay + (shift[k] + offset) + spread * z;
        const double end = static_cast<double>(k + 1) * tables.dt + trial.non_decision_time;
        const double upper_gap = bound[k + 1] - y;
        const double lower_gap = bound[k + 1] + y;
        if (upper_gap <= 0.0) return {end, true, false};
        if (lower_gap <= 0.0) return {end, false, false};
        // The bridge's crossing probabilities; below e^-40 they are not worth a draw.
        const double upper_exponent = bridge * (bound[k] - before) * upper_gap;
        const double lower_exponent = bridge * (bound[k] + before) * lower_gap;
        if (upper_exponent > BRIDGE_FLOOR || lower_exponent > BRIDGE_FLOOR) {
            const double u = open_uniform(stream.next_u64());
            const double p_upper = std::exp(upper_exponent);
            if (u < p_upper) return {end, true, false};
            if (u < p_upper + std::exp(lower_exponent)) return {end, false, false};
        }
        if constexpr (std::remove_cvref_t<KeepGoing>::checks) {
            if ((k + 1) % STEPS_PER_CHECK == 0 && !keep_going()) break;
        }
    }
    return {static_cast<double>(steps) * tables.dt + trial.non_decision_time, y >= 0.0, true};
}

}  // namespace ventrola
