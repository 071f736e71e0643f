// Which values of the model's parameters are usable, and the refusal of one
// that is not: "{name} must {requirement}, got {value}", the value written
// as Python's repr() writes a float. The likelihood and the full-model
// simulation refuse with these same words; the Python package words its own
// checks alike.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "error.hpp"
#include "model/parameters.hpp"

namespace ventrola {

// One parameter of FullModelParams: its name, what a usable value is, and
// the test of it (phrased so that NaN fails). A test may read the other
// parameters: the starting point's range depends on the starting point.
struct ParameterDomain {
    std::string_view name;
    std::string_view requirement;  // completes "{name} must ..."
    double FullModelParams::* value;
    bool (*accepts)(const FullModelParams& p);
};

// The domains in FullModelParams' order, which is also the order the checks
// go in.
std::span<const ParameterDomain> parameter_domains() noexcept;

// Beyond the domains: drift_rate, boundary_separation and drift_rate_sd stay
// below 1e100 in units of the noise. The refusal names the value when it is
// 1e100 or more itself ("..., got 1e+300 with noise_sd 1.0"), else the noise.
inline constexpr std::string_view NOISE_SCALED_REQUIREMENT = "be below 1e100 times noise_sd in magnitude";
inline constexpr std::string_view NOISE_SCALE_REQUIREMENT =
    "be more than 1e-100 times each of |drift_rate|, drift_rate_sd and boundary_separation";

// ValueError naming the first parameter out of its domain, NaN included, then
// the first too large in units of the noise; nothing when all are usable.
std::optional<Error> check_parameters(const FullModelParams& p);

// The refusal of `value` for `name`, for this module's table and for the
// checks its users add on top (a simulation's step, say).
Error out_of_range(std::string_view name, std::string_view requirement, double value);

}  // namespace ventrola
