// The structure of a generalized diffusion model as the solver takes it: the
// families (model/general_parameters.hpp) and a user's tabulated functions.
#pragma once

#include <cstddef>
#include <span>

#include "model/general_parameters.hpp"

namespace ventrola::generalized {

using ventrola::BoundFamily;
using ventrola::DriftFamily;
using ventrola::GENERAL_PARAMETER_COUNT;
using ventrola::GeneralParameters;
using ventrola::ModelFamilies;

// A user's function on an even time grid: values at 0, step, 2 step, ...; the
// solver interpolates between them with cubic splines and asks nothing else.
struct Table {
    std::span<const double> values;
    double step = 0.0;
};

// The families, and the tables of a user's functions where the families are tabulated.
struct ModelShape : ModelFamilies {
    Table bound_table;  // c(t), for BoundFamily::Tabulated
    Table drift_table;  // v(t), for DriftFamily::Tabulated (its integral from 0 comes from the spline)
};

}  // namespace ventrola::generalized
