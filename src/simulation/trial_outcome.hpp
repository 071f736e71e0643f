// The outcome of one simulated trial, as the trial loops write it and the
// fits read observed trials.
#pragma once

namespace ventrola {

struct TrialOutcome {
    double rt;       // seconds: decision time plus non-decision time
    bool choice;     // true when the upper boundary was hit
    bool timed_out;  // still between the boundaries when the time cap stopped it
};

}  // namespace ventrola
