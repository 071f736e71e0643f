// The start average of the density at one boundary as a function of the
// decision time, tabulated for one parameter set: what the trials of a fit
// or a sampler share when they share their parameters.
//
// Decision time s enters as x = log s, cut into cells [k, k + 1] for
// integers k. A cell holds Chebyshev interpolants of degree 16 (from 17
// start averages of range_average.hpp at the Chebyshev extreme points) of log
// h(s), h the start-averaged density, and of the averages under it of the
// partial derivatives of log f; where the interpolants' last coefficients
// are not negligible the cell is halved, down to 1/1024 of its width. Cells
// are built when a trial first needs them and kept; each is a function of
// the parameters and its position alone, so which trials came first, and how
// trials are split over threads, changes no result.
//
// A trial's window [longest - st0, longest] is then integrated over the
// interpolants: where a cell's antiderivatives (cell_antiderivative.hpp) are
// accurate enough for its part of the window, from their values at the
// part's ends; elsewhere by Gauss-Legendre rules on the part, which cost a
// polynomial and an exponential per node instead of a start average.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "likelihood/cell_antiderivative.hpp"
#include "likelihood/log_weighted_sum.hpp"
#include "likelihood/range_average.hpp"
#include "likelihood/time_window_quadrature.hpp"

namespace ventrola::likelihood {

class TimeProfile {
public:
    // The functions a cell holds, in x = log s: log h; the averages of d log f
    // / d(v, a, d, sv, s) (seen from the boundary); of position / 2 times the d
    // partial; and of |d log f / ds|.
    static constexpr std::size_t FUNCTIONS = 8;
    static constexpr int DEGREE = PROFILE_DEGREE;
    static_assert(FUNCTIONS + 1 == PROFILE_FUNCTIONS);

    TimeProfile(const RangeAverage& plan, bool upper);

    // The integral of the start average over decision times in [longest -
    // range, longest] (as far as they are positive; range = 0: its value at
    // longest) added to `sum`, with K = 0 or RangeAverage's gradient values;
    // the log start average at the window's ends into `ends`. False, with
    // `sum` unchanged, where a cell the window needs could not be tabulated
    // to accuracy: the caller integrates directly then.
    template <std::size_t K>
    bool integrate(double longest, double range, LogWeightedSum<K>& sum, WindowEnds& ends);

    // The tabulated functions at decision time s; false as above.
    bool at(double s, std::array<double, FUNCTIONS>& values);

private:
    // A cell's integral of h over its decision times, and the averages under
    // it of the partials and of s times the two time partials (for st0's
    // weight theta = (longest - s) / st0), once a window has covered it.
    static constexpr std::size_t CELL_MEANS = PartIntegral::MEANS;
    static constexpr std::size_t SERIES = FUNCTIONS + 1;
    static_assert(SERIES == PROFILE_FUNCTIONS);
    struct CellIntegral : PartIntegral {
        bool known = false;
        bool failed = false;  // too steep for the cell's rules
    };
    static constexpr int NOT_BUILT = -1;  // a cell's antiderivatives, where it is not a usable leaf

    struct Cell {
        double lo, hi;    // in x
        int children;     // index of the first of two halves, or -1 for a leaf
        bool usable;      // tabulated to accuracy
        double top;       // the largest log(h s) at its nodes
        double least_slope, slope_bound, curvature_bound;  // of log(h s) in x
        double mid, inv_half;                              // z = (x - mid) inv_half
        double ends[2][2];  // log h and d log h / dx at lo and hi
        // Chebyshev coefficients by degree, then series: log h, its slope
        // d log h / dx, and the seven averages; side by side, so that the
        // gradient's nine series are summed in one pass.
        ProfileSeries series;
        CellIntegral integral;
        int antiderivative;  // index into antiderivatives_
    };

    static window_detail::WindowEnd end_at(const Cell& cell, double x);
    static int window_rule_size(const window_detail::WindowEnd& lo, const window_detail::WindowEnd& hi,
                                const Cell& low, const Cell& high, Accuracy accuracy);
    template <std::size_t K>
    static void add_value(const Cell& cell, double x, double log_weight, double longest, double x_hi, double range,
                          LogWeightedSum<K>& window);
    template <std::size_t K>
    static void add_window(const LogWeightedSum<K>& window, LogWeightedSum<K>& sum);
    // A cell's (or part's) integral as one term of a window's sum.
    template <std::size_t K>
    static void add_integral(const PartIntegral& c, double longest, double range, LogWeightedSum<K>& window);
    // The integral over [p, q] within a leaf from its antiderivatives into
    // `window`; false, the window unchanged, where they are not accurate
    // enough for it.
    template <std::size_t K>
    bool add_part(int index, double p, double q, double longest, double range, LogWeightedSum<K>& window);

    // Calls visit(x, log weight) at the nodes of rules over [p, q] within a leaf;
    // false where the interpolant is too steep for rules on a bounded number
    // of pieces (astronomically small densities), which are then left to the
    // caller's direct integration.
    template <class Visit>
    static bool for_each_node(const Cell& cell, double p, double q, Accuracy accuracy, Visit&& visit,
                              int splits = 0);

    static std::int64_t cell_of(double x);  // k of the top cell holding x
    int top_cell(std::int64_t k);
    // Tabulates [lo, hi] (in x) as a new cell, with its antiderivatives where
    // it is a leaf; its index.
    int add_cell(double lo, double hi);
    void refine(int index, int depth);
    int leaf_at(double x);
    // The first `count` series of a cell at x: 1 for the log-density, 2 with
    // its slope, SERIES for the gradient.
    template <std::size_t count>
    static void evaluate(const Cell& cell, double x, double* values);
    const CellAntiderivative& antiderivative_of(int index) const;  // of a usable leaf
    // The cell's integral, or nullptr where its rules failed.
    const CellIntegral* whole(int index);

    const RangeAverage& plan_;
    bool upper_;
    std::vector<Cell> cells_;
    std::vector<CellAntiderivative> antiderivatives_;
    // The top cell of each k in [first_k_, first_k_ + top_.size()), -1 where not built.
    std::vector<int> top_;
    std::int64_t first_k_ = 0;
};

}  // namespace ventrola::likelihood
