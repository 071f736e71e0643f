#include "likelihood/unit_density.hpp"

#include "likelihood/large_time_series.hpp"
#include "likelihood/small_time_series.hpp"

namespace ventrola::likelihood {
UnitDensity unit_density(double u, double w, double w_complement) {
    return u < SERIES_SWITCH ? small_time_density(u, w, w_complement) : large_time_density(u, w, w_complement);
}

UnitDensityGradient unit_density_gradient(double u, double w, double w_complement) {
    return u < SERIES_SWITCH ? small_time_density_gradient(u, w, w_complement)
                             : large_time_density_gradient(u, w, w_complement);
}

}  // namespace ventrola::likelihood
