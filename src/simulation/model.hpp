// The model's parameters and the outcome of one trial, shared by simulation
// and recovery.
#pragma once

namespace ventrola {

struct DiffusionParams {
    double drift_rate;
    double boundary_separation;
    double starting_point;     // fraction of boundary_separation
    double non_decision_time;  // seconds
    double noise_sd;
};

struct TrialOutcome {
    double rt;       // seconds: decision time plus non-decision time
    bool choice;     // true when the upper boundary was hit
    bool timed_out;  // still between the boundaries when the time cap stopped it
};

}  // namespace ventrola
