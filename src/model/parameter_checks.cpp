// The domains of the seven parameters and the noise, one row each, and the
// refusal text built from a row.
#include "model/parameter_checks.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string>

namespace ventrola {

namespace {

bool finite(double x) { return std::isfinite(x); }
bool positive_finite(double x) { return x > 0 && std::isfinite(x); }
bool non_negative_finite(double x) { return x >= 0 && std::isfinite(x); }

// Half the range on each side of the start must stay strictly inside (0, 1).
bool start_range_fits(const FullModelParams& p) {
    const double half_range = p.starting_point_range / 2;
    return half_range >= 0 && half_range < std::min(p.starting_point, 1 - p.starting_point);
}

const std::array<ParameterDomain, PARAMETER_COUNT> DOMAINS{{
    {"drift_rate", "be finite", &FullModelParams::drift_rate,
     [](const FullModelParams& p) { return finite(p.drift_rate); }},
    {"boundary_separation", "be > 0 and finite", &FullModelParams::boundary_separation,
     [](const FullModelParams& p) { return positive_finite(p.boundary_separation); }},
    {"starting_point", "be strictly between 0 and 1", &FullModelParams::starting_point,
     [](const FullModelParams& p) { return p.starting_point > 0 && p.starting_point < 1; }},
    {"non_decision_time", "be >= 0 and finite", &FullModelParams::non_decision_time,
     [](const FullModelParams& p) { return non_negative_finite(p.non_decision_time); }},
    {"drift_rate_sd", "be >= 0 and finite", &FullModelParams::drift_rate_sd,
     [](const FullModelParams& p) { return non_negative_finite(p.drift_rate_sd); }},
    {"starting_point_range", "be >= 0 with starting_point_range/2 < min(starting_point, 1 - starting_point)",
     &FullModelParams::starting_point_range, start_range_fits},
    {"non_decision_time_range", "be >= 0 and finite", &FullModelParams::non_decision_time_range,
     [](const FullModelParams& p) { return non_negative_finite(p.non_decision_time_range); }},
    {"noise_sd", "be > 0 and finite", &FullModelParams::noise_sd,
     [](const FullModelParams& p) { return positive_finite(p.noise_sd); }},
}};

// The shortest text that reads back as the same double, as Python prints it.
std::string shortest(double value) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general).ptr;
    return {digits, end};
}

}  // namespace

std::span<const ParameterDomain> parameter_domains() noexcept { return DOMAINS; }

std::optional<Error> check_parameters(const FullModelParams& p) {
    for (const ParameterDomain& domain : DOMAINS) {
        if (!domain.accepts(p)) return out_of_range(domain.name, domain.requirement, p.*domain.value);
    }
    return std::nullopt;
}

Error out_of_range(std::string_view name, std::string_view requirement, double value) {
    return Error{ErrorKind::ValueError,
                 std::string(name) + " must " + std::string(requirement) + ", got " + shortest(value)};
}

}  // namespace ventrola
