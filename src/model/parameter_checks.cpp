// The domains of the seven parameters and the noise, one row each, and the
// refusal text built from a row.
#include "model/parameter_checks.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

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

constexpr std::array<ParameterDomain, PARAMETER_COUNT> DOMAINS{{
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

// Drift, separation and drift variability are in units of the noise; squared
// where the simulation squares them they must stay far inside the range of a
// double, and no density of such a model is of any use either.
constexpr double LARGEST_IN_NOISE_UNITS = 1e100;

struct NoiseScaled {
    std::string_view name;
    double FullModelParams::* value;
};

constexpr std::array<NoiseScaled, 3> NOISE_SCALED{{
    {"drift_rate", &FullModelParams::drift_rate},
    {"boundary_separation", &FullModelParams::boundary_separation},
    {"drift_rate_sd", &FullModelParams::drift_rate_sd},
}};

// The value as Python's repr() writes a float: the shortest digits that read
// back as the same double, positional with at least one decimal from 1e-4 up
// to below 1e16 ("0.0001", "-1.5", "1000000000000000.0"), and in scientific
// notation outside ("1e-05", "1e+16"), where Python's form is exactly the
// one to_chars gives.
std::string python_repr(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char text[32];
    const char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    const std::string_view scientific(text, static_cast<std::size_t>(end - text));  // [-]d[.ddd]e(+|-)dd
    const std::size_t e = scientific.find('e');
    const bool negative = scientific.front() == '-';
    std::string digits;
    for (const char c : scientific.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
        if (c != '.') digits += c;
    }
    const std::string_view exponent_text = scientific.substr(e + (scientific[e + 1] == '+' ? 2 : 1));
    int exponent = 0;
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    // How many digits stand before the decimal point (<= 0: zeros follow it first).
    const int point = exponent + 1;
    if (point <= -4 || point > 16) return std::string(scientific);
    std::string out = negative ? "-" : "";
    const auto count = static_cast<int>(digits.size());
    if (point <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (point >= count) {
        out += digits + std::string(static_cast<std::size_t>(point - count), '0') + ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace

std::span<const ParameterDomain> parameter_domains() noexcept { return DOMAINS; }

std::optional<Error> check_parameters(const FullModelParams& p) {
    for (const ParameterDomain& domain : DOMAINS) {
        if (!domain.accepts(p)) return out_of_range(domain.name, domain.requirement, p.*domain.value);
    }
    // All finite now, the noise above 0. A value too large in units of the
    // noise is the value's fault when it would be too large at the default
    // noise of 1 as well, the noise's otherwise.
    for (const NoiseScaled& scaled : NOISE_SCALED) {
        const double value = p.*scaled.value;
        if (std::fabs(value) < LARGEST_IN_NOISE_UNITS * p.noise_sd) continue;
        if (std::fabs(value) >= LARGEST_IN_NOISE_UNITS) {
            Error refused = out_of_range(scaled.name, NOISE_SCALED_REQUIREMENT, value);
            refused.message += " with noise_sd " + python_repr(p.noise_sd);
            return refused;
        }
        return out_of_range("noise_sd", NOISE_SCALE_REQUIREMENT, p.noise_sd);
    }
    return std::nullopt;
}

Error out_of_range(std::string_view name, std::string_view requirement, double value) {
    return Error{ErrorKind::ValueError,
                 std::string(name) + " must " + std::string(requirement) + ", got " + python_repr(value)};
}

}  // namespace ventrola
