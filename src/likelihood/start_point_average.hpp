// The distribution function averaged over a start point uniform on
// [w - sz/2, w + sz/2] (sz > 0), at `longest` = rt - t0 > 0 or, when `range` =
// st0 is positive, averaged over the non-decision time as well. (The
// density's averages are range_average.hpp's.)
#pragma once

#include "likelihood/decision_time.hpp"

namespace ventrola::likelihood {

double start_point_average_distribution(bool upper, double longest, double range, double sz,
                                        const DecisionParameters& p);

}  // namespace ventrola::likelihood
