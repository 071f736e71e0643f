// The parameters of a generalized diffusion model: the seven-parameter
// model's with its noise, the bound's and the drift's own, and the leak; the
// families that say which of them a model uses; and their checks, worded as
// the seven parameters' are.
//
// Coordinates: y is the position measured from the midpoint between the
// bounds at t = 0. y starts at (w - 1/2) a and moves as
//   dy = (v(t) - leak y) dt + s dW
// until it reaches +b(t) (the upper response) or -b(t), b(t) = (a/2) c(t).
#pragma once

#include <cstddef>
#include <optional>

#include "error.hpp"

namespace ventrola {

enum class BoundFamily {
    Constant,     // c = 1
    Linear,       // c = max(0, 1 - t/T)
    Exponential,  // c = exp(-t/tau)
    Hyperbolic,   // c = tau / (t + tau)
    Weibull,      // c = 1 - (1 - floor) (1 - exp(-(t/lambda)^kappa))
    Tabulated,    // c from a user's table
};

enum class DriftFamily {
    Constant,  // v
    Dmc,       // v + d/dt [A exp(-t/tau_a) (e t / ((alpha - 1) tau_a))^(alpha - 1)]
    Tabulated,
};

struct ModelFamilies {
    BoundFamily bound = BoundFamily::Constant;
    DriftFamily drift = DriftFamily::Constant;
    bool leak = false;
};

// Every parameter a generalized model can have, in user units. Those a
// model's families do not use are ignored.
struct GeneralParameters {
    double drift_rate = 0.0;               // v
    double boundary_separation = 1.0;      // a
    double starting_point = 0.5;           // w
    double non_decision_time = 0.0;        // t0, seconds
    double drift_rate_sd = 0.0;            // sv
    double starting_point_range = 0.0;     // sz
    double non_decision_time_range = 0.0;  // st0, seconds
    double noise_sd = 1.0;                 // s
    double collapse_time = 1.0;            // T, tau or lambda of the bound, seconds
    double collapse_shape = 1.0;           // kappa of the weibull bound
    double collapse_floor = 0.0;           // the weibull bound's asymptote, in [0, 1)
    double automatic_amplitude = 0.0;      // A, in the drift's units
    double automatic_time = 0.1;           // tau_a, seconds
    double automatic_shape = 2.0;          // alpha > 1
    double leak = 0.0;                     // 1/s; negative excites
};

inline constexpr std::size_t GENERAL_PARAMETER_COUNT = 15;
static_assert(sizeof(GeneralParameters) == GENERAL_PARAMETER_COUNT * sizeof(double));

// ValueError naming the first parameter, of those the families use, out of its domain.
std::optional<Error> check_general_parameters(const ModelFamilies& families, const GeneralParameters& p);

}  // namespace ventrola
