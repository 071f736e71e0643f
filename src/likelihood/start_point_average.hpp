// Averages over a start point uniform on [w - sz/2, w + sz/2] (sz > 0) of the
// decision-time functions at `longest` = rt - t0 > 0 or, when `range` = st0 is
// positive, of their averages over the non-decision time.
#pragma once

#include "likelihood/averaged_gradient.hpp"
#include "likelihood/decision_time.hpp"

namespace ventrola::likelihood {

double log_start_point_average(bool upper, double longest, double range, double sz, const DecisionParameters& p);

AveragedGradient start_point_average_gradient(bool upper, double longest, double range, double sz,
                                              const DecisionParameters& p);

double start_point_average_distribution(bool upper, double longest, double range, double sz,
                                        const DecisionParameters& p);

}  // namespace ventrola::likelihood
