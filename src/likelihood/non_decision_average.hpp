// The distribution function averaged over a non-decision time uniform on
// [t0, t0 + st0]: with `longest` = rt - t0 > 0 the longest decision time the
// response allows, over decision times in [longest - st0, longest], counting
// only the positive ones. `range` = st0 > 0. (The density's averages are
// range_average.hpp's.)
#pragma once

#include "likelihood/decision_time.hpp"

namespace ventrola::likelihood {

// (1/st0) * integral of F over the window.
double non_decision_average_distribution(bool upper, double longest, double range, const DecisionParameters& p);

}  // namespace ventrola::likelihood
