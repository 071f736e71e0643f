// The kernels of clenshaw_kernels.hpp themselves. Each file that includes
// this compiles its own copy for one instruction set, so the wrappers have
// internal linkage and the recurrence is always inlined into them: no copy
// compiled for a wider instruction set can stand in for the baseline's.
#pragma once

#include "likelihood/chebyshev_series.hpp"
#include "likelihood/clenshaw_kernels.hpp"

namespace ventrola::likelihood {
namespace {

void profile_kernel(const ProfileSeries& series, double z, double* values) {
    chebyshev::evaluate<PROFILE_FUNCTIONS, PROFILE_DEGREE, PROFILE_FUNCTIONS>(series, z, values);
}

void antiderivative_kernel(const AntiderivativeSeries& series, double z, double* values) {
    chebyshev::evaluate<ANTIDERIVATIVE_SERIES, ANTIDERIVATIVE_DEGREE, ANTIDERIVATIVE_SERIES>(series, z, values);
}

}  // namespace
}  // namespace ventrola::likelihood
