#include "generalized/step_tabulation.hpp"

#include <cmath>
#include <string>

#include "generalized/time_functions.hpp"
#include "model/parameter_checks.hpp"

namespace ventrola::generalized {

Result<StepTables> tabulate_steps(const ModelShape& shape, const GeneralParameters& p, double dt, double max_time) {
    if (!(dt > 0.0 && std::isfinite(dt))) return std::unexpected(out_of_range("dt", "be > 0 and finite", dt));
    if (!(max_time > 0.0 && std::isfinite(max_time))) {
        return std::unexpected(out_of_range("max_time", "be > 0 and finite for a generalized model", max_time));
    }
    double steps = std::ceil(max_time / dt);
    if (shape.bound == BoundFamily::Linear) {
        // Every trial has ended once the bounds meet.
        steps = std::min(steps, std::ceil(p.collapse_time / dt) + 1.0);
    }
    if (!(steps <= MAX_STEPS)) {
        return fail(ErrorKind::ValueError, "max_time / dt must be at most " +
                                               std::to_string(static_cast<long>(MAX_STEPS)) + " steps, got " +
                                               std::to_string(steps));
    }
    // The functions in the user's units: they are linear in the drift, the bound and the amplitude.
    const Scaled<double> user{p.drift_rate,     p.boundary_separation, p.starting_point, p.starting_point_range,
                              p.collapse_time,  p.collapse_shape,      p.collapse_floor, p.automatic_amplitude,
                              p.automatic_time, p.automatic_shape,     p.leak,           1.0};
    const TimeFunctions<double> f(shape, user);
    StepTables tables;
    tables.dt = dt;
    tables.decay = f.decay(dt);
    tables.spread = p.noise_sd * std::sqrt(f.variance(dt));
    tables.offset_gain = f.leaks() ? dt * TimeFunctions<double>::decay_average(p.leak * dt) : dt;
    const auto n = static_cast<std::size_t>(steps);
    tables.half_width.resize(n + 1);
    tables.shift.resize(n);
    double previous = 0.0;  // m(0)
    for (std::size_t k = 0; k <= n; ++k) {
        const double t = static_cast<double>(k) * dt;
        tables.half_width[k] = f.bound(t).b;
        if (k > 0) {
            const double m = f.drift_integral(t);
            tables.shift[k - 1] = m - tables.decay * previous;
            previous = m;
        }
    }
    return tables;
}

}  // namespace ventrola::generalized
