// The model's parameters, as simulation, likelihood and recovery all take
// them: the five of one trial, and the seven-parameter model with its noise.
// Times are in seconds; the starting point is a fraction of the boundary
// separation.
#pragma once

#include <cstddef>

namespace ventrola {

// One trial's diffusion: what the trial loops run.
struct DiffusionParams {
    double drift_rate;
    double boundary_separation;
    double starting_point;     // fraction of boundary_separation
    double non_decision_time;  // seconds
    double noise_sd;
};

// The seven-parameter model: the five above as the centres of the
// across-trial distributions v ~ N(v, sv^2), w ~ U(w - sz/2, w + sz/2),
// t0 ~ U(t0, t0 + st0), and the noise, which is never estimated.
struct FullModelParams {
    double drift_rate;               // v
    double boundary_separation;      // a > 0
    double starting_point;           // w in (0, 1)
    double non_decision_time;        // t0 >= 0
    double drift_rate_sd;            // sv >= 0
    double starting_point_range;     // sz, 0 <= sz/2 < min(w, 1 - w)
    double non_decision_time_range;  // st0 >= 0
    double noise_sd;                 // s > 0
};

// FullModelParams' members; columns of them and tables about them follow
// the members' order.
inline constexpr std::size_t PARAMETER_COUNT = 8;
static_assert(sizeof(FullModelParams) == PARAMETER_COUNT * sizeof(double));

}  // namespace ventrola
