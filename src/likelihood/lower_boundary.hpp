// The response at the upper boundary seen as one at the lower boundary: the
// process mirrored about the middle of the interval has drift -v and starts
// at 1 - w, and its lower boundary is the original upper one. The densities,
// distribution functions and averages are written for the lower boundary
// and reach the upper one through this view.
#pragma once

#include "likelihood/decision_time.hpp"

namespace ventrola::likelihood {

// The drift and start seen from the boundary of the response.
struct LowerView {
    double v;
    double w;
    double w_complement;  // 1 - w, exact on whichever side it was given
    double flip;          // d(seen v)/dv = d(seen w)/dw: 1 at the lower boundary, -1 at the upper
};

// Indexed rather than branched on: trials alternate between the boundaries
// unpredictably.
inline LowerView lower_view(bool upper, const DecisionParameters& p) {
    const double sides[2] = {p.w, 1.0 - p.w};
    const double signs[2] = {1.0, -1.0};
    const double flip = signs[upper];
    return {flip * p.v, sides[upper], sides[!upper], flip};
}

// All the parameters as the lower boundary's functions take them.
inline DecisionParameters seen_from_lower(bool upper, const DecisionParameters& p) {
    const LowerView x = lower_view(upper, p);
    return {x.v, p.a, x.w, p.sv};
}

}  // namespace ventrola::likelihood
