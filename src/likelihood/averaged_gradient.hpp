// The log of an averaged density and its partial derivatives, in units of
// noise 1 (v, a and sv already divided by the noise).
#pragma once

namespace ventrola::likelihood {

struct AveragedGradient {
    double log_density;
    double d_v;
    double d_a;
    double d_w;
    double d_sv;
    double d_t0;   // non-decision time
    double d_sz;   // starting-point range
    double d_st0;  // non-decision-time range
};

}  // namespace ventrola::likelihood
