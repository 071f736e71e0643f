// The domains of the generalized models' own parameters, one row each; the
// seven and the noise are checked by their own table.
#include <array>
#include <cmath>
#include <string_view>

#include "model/general_parameters.hpp"
#include "model/parameter_checks.hpp"

namespace ventrola {
namespace {

enum class Owner { Bound, BoundWeibull, Drift, Leak };

struct FamilyDomain {
    std::string_view name;
    std::string_view requirement;
    double GeneralParameters::* value;
    Owner owner;
    bool (*accepts)(double);
};

constexpr std::array<FamilyDomain, 7> FAMILY_DOMAINS{{
    {"collapse_time", "be > 0 and finite", &GeneralParameters::collapse_time, Owner::Bound,
     [](double x) { return x > 0 && std::isfinite(x); }},
    {"collapse_shape", "be > 0 and finite", &GeneralParameters::collapse_shape, Owner::BoundWeibull,
     [](double x) { return x > 0 && std::isfinite(x); }},
    {"collapse_floor", "be >= 0 and < 1", &GeneralParameters::collapse_floor, Owner::BoundWeibull,
     [](double x) { return x >= 0 && x < 1; }},
    {"automatic_amplitude", "be finite", &GeneralParameters::automatic_amplitude, Owner::Drift,
     [](double x) { return std::isfinite(x); }},
    {"automatic_time", "be > 0 and finite", &GeneralParameters::automatic_time, Owner::Drift,
     [](double x) { return x > 0 && std::isfinite(x); }},
    {"automatic_shape", "be > 1 and finite", &GeneralParameters::automatic_shape, Owner::Drift,
     [](double x) { return x > 1 && std::isfinite(x); }},
    {"leak", "be finite", &GeneralParameters::leak, Owner::Leak, [](double x) { return std::isfinite(x); }},
}};

bool uses(const ModelFamilies& f, Owner owner) {
    switch (owner) {
        case Owner::Bound: return f.bound != BoundFamily::Constant && f.bound != BoundFamily::Tabulated;
        case Owner::BoundWeibull: return f.bound == BoundFamily::Weibull;
        case Owner::Drift: return f.drift == DriftFamily::Dmc;
        case Owner::Leak: return f.leak;
    }
    return false;
}

}  // namespace

std::optional<Error> check_general_parameters(const ModelFamilies& families, const GeneralParameters& p) {
    const FullModelParams seven{p.drift_rate,    p.boundary_separation,  p.starting_point,          p.non_decision_time,
                                p.drift_rate_sd, p.starting_point_range, p.non_decision_time_range, p.noise_sd};
    if (auto error = check_parameters(seven)) return error;
    for (const FamilyDomain& domain : FAMILY_DOMAINS) {
        if (uses(families, domain.owner) && !domain.accepts(p.*domain.value)) {
            return out_of_range(domain.name, domain.requirement, p.*domain.value);
        }
    }
    return std::nullopt;
}

}  // namespace ventrola
