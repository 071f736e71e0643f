// Clenshaw's recurrence over all the series of a time-table cell at once, the
// likelihood's innermost loop: a trial's window reads the cell's
// antiderivatives at both ends, every table lookup the cell's interpolants.
// The series side by side fill a vector register, so the loop is compiled
// once per instruction set and the fastest copy this processor runs is used;
// every copy does the same operations in the same order on each series, so
// all give the same bits.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace ventrola::likelihood {

// The degree of the time tables' interpolants, and the functions they hold at
// each node: log h, d log h / dx, then the seven averages of RangeAverage's
// start_average_at (d/dv, d/da, d/dd, d/dsv, d/ds, position / 2 times d/dd,
// |d/ds|).
constexpr int PROFILE_DEGREE = 16;
constexpr std::size_t PROFILE_FUNCTIONS = 9;
// A cell's antiderivatives: one degree higher, of h s and of h s times each
// of nine means (cell_antiderivative.hpp).
constexpr int ANTIDERIVATIVE_DEGREE = PROFILE_DEGREE + 1;
constexpr std::size_t ANTIDERIVATIVE_SERIES = 10;

using ProfileSeries = double[PROFILE_DEGREE + 1][PROFILE_FUNCTIONS];
using AntiderivativeSeries = double[ANTIDERIVATIVE_DEGREE + 1][ANTIDERIVATIVE_SERIES];

// Every series at z in [-1, 1], series[n][f] the coefficient of T_n in f.
struct ClenshawKernels {
    std::string_view name;
    void (*profile)(const ProfileSeries& series, double z, double* values);
    void (*antiderivative)(const AntiderivativeSeries& series, double z, double* values);
};

// The copies this processor can run, the baseline first and the fastest last.
std::span<const ClenshawKernels* const> available_clenshaw_kernels() noexcept;

// The fastest of them, chosen on the first call.
const ClenshawKernels& best_clenshaw_kernels() noexcept;

}  // namespace ventrola::likelihood
