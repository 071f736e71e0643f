#include "generalized/volterra_grid.hpp"

#include <algorithm>
#include <cmath>

namespace ventrola::generalized {
namespace {

// Sub-steps of RK4 per grid step: the nodes then follow the flow of
// dt/du = h(t) closely enough that h(t_i) is the map's derivative there.
constexpr int SUBSTEPS = 4;

double step_at(const TimeFunctions<double>& f, double t, double nearest, const GridControls& c) {
    const BoundAt<double> bound = f.bound(t);
    const double b = bound.b;
    if (!(b > 0.0)) return 0.0;
    const double start = c.start_weight / (t + nearest * nearest / 3.0);
    const double across = 1.0 / (b * b);
    // The bound's slope and curvature as rates; the curvature's through a smooth absolute
    // value, since a kink in h where b'' changes sign would cost the trapezoidal rule its order.
    const double slope = bound.b1 / b;
    const double curvature = bound.b2 / b;
    const double bend2 =
        slope * slope + std::sqrt(curvature * curvature + across * across * across * across) - across * across;
    double drift = 0.0;
    const ModelShape& shape = f.shape();
    if (shape.drift == DriftFamily::Dmc) drift = 1.0 / (t + 0.5 * f.parameters().automatic_time);
    if (shape.drift == DriftFamily::Tabulated) drift = 0.5 / shape.drift_table.step;
    if (shape.bound == BoundFamily::Tabulated) drift = std::max(drift, 0.5 / shape.bound_table.step);
    const double lam = f.leaks() ? f.parameters().leak : 0.0;
    const double leak = std::fabs(lam);
    // The kernels fall off as exp(-alpha^2 (t - tau) / 2), alpha = S' - v + leak S the bounds'
    // motion against the drift: half the mean of its square over the two bounds.
    const double v = f.drift(t).v;
    const double moving = bound.b1 + lam * b;
    const double motion = 0.5 * (moving * moving + v * v);
    const double rate =
        std::sqrt(start * start + across * across + bend2 + drift * drift + leak * leak + motion * motion);
    return c.resolution / rate;
}

}  // namespace

VolterraGrid build_volterra_grid(const TimeFunctions<double>& f, double nearest, const GridControls& controls) {
    VolterraGrid grid;
    double t = 0.0;
    double theta = 0.0;
    grid.t.push_back(0.0);
    grid.jacobian.push_back(step_at(f, 0.0, nearest, controls));
    const double du = 1.0 / SUBSTEPS;
    while (static_cast<int>(grid.t.size()) < controls.max_nodes) {
        for (int k = 0; k < SUBSTEPS; ++k) {
            const double k1 = step_at(f, t, nearest, controls);
            const double k2 = step_at(f, t + 0.5 * du * k1, nearest, controls);
            const double k3 = step_at(f, t + 0.5 * du * k2, nearest, controls);
            const double k4 = step_at(f, t + du * k3, nearest, controls);
            const double next = t + du * (k1 + 2.0 * k2 + 2.0 * k3 + k4) / 6.0;
            const double b_now = f.bound(t).b;
            const double b_next = f.bound(next).b;
            theta += 0.5 * (next - t) * (1.0 / (b_now * b_now) + 1.0 / (b_next * b_next));
            t = next;
        }
        const double h = step_at(f, t, nearest, controls);
        if (!(h > 0.0)) break;
        grid.t.push_back(t);
        grid.jacobian.push_back(h);
        if (theta >= controls.end_theta) break;
    }
    return grid;
}

}  // namespace ventrola::generalized
