// A generalized model as a simulation steps through it: the bound's
// half-width at every step's end and the free process's exact one-step law
// (mean shift from the drift, decay from the leak, spread from the noise), so
// that a trial's step is y <- y * decay + shift[k] + spread * z. Built once per
// parameter set by the model's solver, read by every trial.
#pragma once

#include <cstddef>
#include <vector>

namespace ventrola {

struct StepTables {
    double dt = 0.001;
    double decay = 1.0;              // e^(-leak dt)
    double spread = 0.0;             // the noise's standard deviation over one step
    double offset_gain = 0.0;        // the mean shift of one step per unit of drift offset
    std::vector<double> half_width;  // b(k dt), k = 0 .. steps
    std::vector<double> shift;       // the drift's mean shift over step k, k = 0 .. steps - 1

    std::size_t steps() const { return shift.size(); }
};

}  // namespace ventrola
