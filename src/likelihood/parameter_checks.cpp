#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "likelihood/wiener.hpp"

namespace ventrola::likelihood {

namespace {

// The shortest text that reads back as the same double, as Python prints it.
std::string shortest(double value) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general).ptr;
    return {digits, end};
}

Error out_of_range(const char* name, const std::string& requirement, double value) {
    return Error{ErrorKind::ValueError, std::string(name) + " must " + requirement + ", got " + shortest(value)};
}

}  // namespace

std::optional<Error> check_parameters(const WienerParameters& p) {
    if (!std::isfinite(p.drift_rate)) return out_of_range("drift_rate", "be finite", p.drift_rate);
    if (!(p.boundary_separation > 0 && std::isfinite(p.boundary_separation))) {
        return out_of_range("boundary_separation", "be > 0 and finite", p.boundary_separation);
    }
    if (!(p.starting_point > 0 && p.starting_point < 1)) {
        return out_of_range("starting_point", "satisfy 0 < starting_point < 1", p.starting_point);
    }
    if (!(p.non_decision_time >= 0 && std::isfinite(p.non_decision_time))) {
        return out_of_range("non_decision_time", "be >= 0 and finite", p.non_decision_time);
    }
    if (!(p.drift_rate_sd >= 0 && std::isfinite(p.drift_rate_sd))) {
        return out_of_range("drift_rate_sd", "be >= 0 and finite", p.drift_rate_sd);
    }
    const double half_range = p.starting_point_range / 2;
    if (!(half_range >= 0 && half_range < std::min(p.starting_point, 1 - p.starting_point))) {
        return out_of_range("starting_point_range",
                            "satisfy 0 <= starting_point_range/2 < min(starting_point, 1 - starting_point)",
                            p.starting_point_range);
    }
    if (!(p.non_decision_time_range >= 0 && std::isfinite(p.non_decision_time_range))) {
        return out_of_range("non_decision_time_range", "be >= 0 and finite", p.non_decision_time_range);
    }
    if (!(p.noise_sd > 0 && std::isfinite(p.noise_sd))) {
        return out_of_range("noise_sd", "be > 0 and finite", p.noise_sd);
    }
    return std::nullopt;
}

}  // namespace ventrola::likelihood
