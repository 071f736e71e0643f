// A generalized model's step tables for simulation: the bound's half-width at
// every step's end and the free process's one-step law, from the same
// functions of time the likelihood uses, in the user's units.
#pragma once

#include "error.hpp"
#include "generalized/model_shape.hpp"
#include "model/step_tables.hpp"

namespace ventrola::generalized {

// The most steps a simulation may take per trial (the tables hold two doubles a step).
inline constexpr double MAX_STEPS = 5e7;

// ValueError when dt or max_time is unusable, or when max_time / dt passes MAX_STEPS.
Result<StepTables> tabulate_steps(const ModelShape& shape, const GeneralParameters& p, double dt, double max_time);

}  // namespace ventrola::generalized
