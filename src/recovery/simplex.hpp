// The starting simplex around a parameter vector.
#pragma once

#include <array>
#include <vector>

namespace ventrola {

// Four vectors: x0, then x0 with element 0 moved by max(|x0[0]| * relative_step,
// floor), with element 1 moved by max(|x0[1]| * relative_step, floor), and with
// element 2 moved by max(floor, 0.05). The order matters: the optimizer's sort
// is stable.
std::vector<std::vector<double>> build_simplex(const std::array<double, 3>& x0, double relative_step, double floor);

}  // namespace ventrola
