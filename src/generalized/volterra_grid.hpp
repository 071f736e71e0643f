// The time grid of the integral equations: t_i = phi(i) for a smooth map phi
// with phi'(u) = h(phi(u)), h the local step. h follows the model's fastest
// time scale at each moment: the start's distance to the nearer bound (early
// first passages), the time to diffuse across the bounds, how fast the bounds
// and the drift change, and the leak. The trapezoidal rule in u is then
// accurate to high order, and its end corrections apply.
#pragma once

#include <vector>

#include "generalized/time_functions.hpp"

namespace ventrola::generalized {

struct VolterraGrid {
    std::vector<double> t;         // t[0] = 0 < t[1] < ...
    std::vector<double> jacobian;  // phi'(u_i) = dt/du at each node
};

struct GridControls {
    double resolution = 0.07;   // kappa: steps per unit of the fastest rate's scale
    double start_weight = 4.0;  // how finely the first passages near the start are resolved
    double end_theta = 0.5;     // the grid ends where int_0^t s^2 / b^2 dt reaches this
    int max_nodes = 4000;
};

// nearest: the smallest distance from a start to either bound at t = 0 (y units).
VolterraGrid build_volterra_grid(const TimeFunctions<double>& f, double nearest, const GridControls& controls);

}  // namespace ventrola::generalized
