// Averages over a non-decision time uniform on [t0, t0 + st0]. With
// `longest` = rt - t0 > 0 the longest decision time the response allows, they
// average the decision-time functions over decision times in
// [longest - st0, longest], counting only the positive ones. `range` = st0 > 0.
#pragma once

#include "likelihood/averaged_gradient.hpp"
#include "likelihood/decision_time.hpp"

namespace ventrola::likelihood {

// log((1/st0) * integral of f over the window).
double log_non_decision_average(bool upper, double longest, double range, const DecisionParameters& p);

// The same with its partial derivatives; d_sz is 0.
AveragedGradient non_decision_average_gradient(bool upper, double longest, double range, const DecisionParameters& p);

// (1/st0) * integral of F over the window.
double non_decision_average_distribution(bool upper, double longest, double range, const DecisionParameters& p);

}  // namespace ventrola::likelihood
