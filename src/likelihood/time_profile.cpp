// Cells of the tabulated start average. Interpolation at the Chebyshev
// extreme points x_j = mid + half cos(j pi / N), coefficients by the discrete
// cosine transform, Clenshaw's recurrence to evaluate. A cell is accepted when
// the two last coefficients of every function add up to less than its
// tolerance: 1e-11 of max(1, |log h|) for log h, 1e-9 of the largest value
// for the averages of the partials, or PARTIAL_RESOLUTION where that is
// smaller. The error of the interpolant is then of that order, far below the
// 1e-9 the log-density keeps and the 1e-6 of the partials.
#include "likelihood/time_profile.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "likelihood/chebyshev_series.hpp"
#include "likelihood/clenshaw_kernels.hpp"
#include "likelihood/quadrature.hpp"

namespace ventrola::likelihood {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr int N = TimeProfile::DEGREE;
constexpr std::size_t F = TimeProfile::FUNCTIONS;
constexpr std::size_t SERIES = TimeProfile::FUNCTIONS + 1;
constexpr double CELL_WIDTH = 1.0;  // in log-time: wide enough that a smooth stretch of the
                                    // density takes few cells, narrow enough that few are halved
constexpr int DEEPEST = 10;         // halvings of a cell
// Halvings of a rule's piece within a leaf: enough for any density that
// matters; beyond them the nodes would grow without bound.
constexpr int MOST_SPLITS = 12;
constexpr double LOG_TOLERANCE = 1e-11;
constexpr double MEAN_TOLERANCE = 1e-9;

// Below a window's running integral by this many e-folds, a cell on the
// rising edge (and every cell before it, which lies lower still) is left out:
// a relative 1e-13, where the edge falls by tens of e-folds per cell, far
// inside the 1e-9 the log-density keeps; each e-fold more costs cells of
// leading edge that every parameter set's tables would build.
constexpr double NEGLIGIBLE = 30;

// The Chebyshev series of a derivative: d/dz sum c_n T_n.
void derivative_series(const double* c, double* d) {
    d[N] = 0;
    d[N - 1] = 2 * N * c[N];
    for (int n = N - 2; n >= 0; --n) d[n] = d[n + 2] + 2 * (n + 1) * c[n + 1];
    d[0] *= 0.5;
}

}  // namespace

TimeProfile::TimeProfile(const RangeAverage& plan, bool upper) : plan_(plan), upper_(upper) {}

int TimeProfile::add_cell(double lo, double hi) {
    const double mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
    const auto& transform = chebyshev::cosine_transform<N>();
    Cell cell{lo, hi, -1, true, -INF, INF, 0, 0, mid, 1.0 / half, {}, {}, {}, NOT_BUILT};
    double nodes[N + 1][SERIES];
    double slope[N + 1];
    bool finite = true;
    for (int j = 0; j <= N; ++j) {
        const double x = mid + half * transform.node[j];
        const double s = std::exp(x);
        const StartAverageValues v = plan_.start_average_at(upper_, s);
        finite = finite && std::isfinite(v.log_density);
        double* node = nodes[j];
        node[0] = v.log_density;
        node[1] = s * v.d_s;  // d log h / dx
        node[2] = v.d_v;
        node[3] = v.d_a;
        node[4] = v.d_d;
        node[5] = v.d_sv;
        node[6] = v.d_s;
        node[7] = v.half_position_d_d;
        node[8] = v.abs_d_s;
        slope[j] = s * v.d_s + 1;  // d log(h s) / dx
    }
    cell.usable = finite;
    if (finite) {
        chebyshev::coefficients<N, SERIES>(nodes, cell.series);
        for (std::size_t f = 0; f < TimeProfile::SERIES; ++f) {
            // The average of |d log f / ds| only bounds a rounding error; it has
            // a kink where d log f / ds changes sign, and is not checked. The
            // slope is checked through the averages (it is s times one).
            if (f == TimeProfile::SERIES - 1 || f == 1) continue;
            double largest = 0;
            for (int j = 0; j <= N; ++j) largest = std::fmax(largest, std::fabs(nodes[j][f]));
            const double tolerance = f == 0 ? LOG_TOLERANCE * std::fmax(1.0, largest) : std::fmax(MEAN_TOLERANCE * largest, PARTIAL_RESOLUTION);
            if (!(std::fabs(cell.series[N - 1][f]) + std::fabs(cell.series[N][f]) <= tolerance)) {
                cell.usable = false;
            }
        }
        // Bounds of log(h s) and its first two derivatives in x over the cell,
        // at its nodes (the curvature from the interpolant's series).
        double log_h[N + 1], first[N + 1], second[N + 1][1];
        for (int n = 0; n <= N; ++n) log_h[n] = cell.series[n][0];
        // The series at z = -1 and 1, where the interpolants are their
        // values at the cell's nodes.
        for (int side = 0; side < 2; ++side) {
            for (int f = 0; f < 2; ++f) cell.ends[side][f] = nodes[side == 0 ? N : 0][f];
        }
        derivative_series(log_h, first);
        derivative_series(first, &second[0][0]);
        cell.least_slope = INF;
        for (int j = 0; j <= N; ++j) {
            const double x = mid + half * transform.node[j];
            cell.top = std::fmax(cell.top, nodes[j][0] + x);
            cell.least_slope = std::fmin(cell.least_slope, slope[j]);
            cell.slope_bound = std::fmax(cell.slope_bound, std::fabs(slope[j]));
            double curvature;
            chebyshev::evaluate<1, N, 1>(second, transform.node[j], &curvature);
            cell.curvature_bound = std::fmax(cell.curvature_bound, std::fabs(curvature) / (half * half));
        }
    }
    // A cell tabulated to accuracy is a leaf, and windows will want its
    // antiderivatives; they are made from the values at hand.
    if (cell.usable) {
        cell.antiderivative = static_cast<int>(antiderivatives_.size());
        antiderivatives_.emplace_back(nodes, mid, half);
    }
    cells_.push_back(cell);
    return static_cast<int>(cells_.size()) - 1;
}

void TimeProfile::refine(int index, int depth) {
    const Cell& cell = cells_[index];
    if (cell.usable || !std::isfinite(cell.top) || depth >= DEEPEST) return;
    const double lo = cell.lo, hi = cell.hi, mid = 0.5 * (lo + hi);
    const int first = add_cell(lo, mid);
    add_cell(mid, hi);
    cells_[index].children = first;
    refine(first, depth + 1);
    refine(first + 1, depth + 1);
}

int TimeProfile::top_cell(std::int64_t k) {
    if (top_.empty()) {
        first_k_ = k;
        top_.push_back(-1);
    } else if (k < first_k_) {
        top_.insert(top_.begin(), static_cast<std::size_t>(first_k_ - k), -1);
        first_k_ = k;
    } else if (k >= first_k_ + static_cast<std::int64_t>(top_.size())) {
        top_.resize(static_cast<std::size_t>(k - first_k_ + 1), -1);
    }
    int& slot = top_[static_cast<std::size_t>(k - first_k_)];
    if (slot >= 0) return slot;
    const int index = add_cell(k * CELL_WIDTH, (k + 1) * CELL_WIDTH);
    refine(index, 0);
    top_[static_cast<std::size_t>(k - first_k_)] = index;
    return index;
}

std::int64_t TimeProfile::cell_of(double x) { return static_cast<std::int64_t>(std::floor(x / CELL_WIDTH)); }

// The leaf holding x, or -1 where it could not be tabulated.
int TimeProfile::leaf_at(double x) {
    int index = top_cell(cell_of(x));
    while (cells_[index].children >= 0) {
        const int first = cells_[index].children;
        index = x < cells_[first].hi ? first : first + 1;
    }
    return cells_[index].usable ? index : -1;
}

template <std::size_t count>
void TimeProfile::evaluate(const Cell& cell, double x, double* values) {
    const double z = (x - cell.mid) * cell.inv_half;
    if constexpr (count == SERIES) {
        static const ClenshawKernels& kernels = best_clenshaw_kernels();
        kernels.profile(cell.series, z, values);
    } else {
        chebyshev::evaluate<count, N, SERIES>(cell.series, z, values);
    }
}

bool TimeProfile::at(double s, std::array<double, FUNCTIONS>& values) {
    const double x = std::log(s);
    const int leaf = leaf_at(x);
    if (leaf < 0) return false;
    double all[SERIES];
    evaluate<SERIES>(cells_[leaf], x, all);
    values[0] = all[0];
    for (std::size_t f = 1; f < F; ++f) values[f] = all[f + 1];
    return true;
}

namespace {

// A leaf's end as time_window_quadrature.hpp sizes rules from it.
window_detail::WindowEnd end_of(double x, double log_h, double slope_in_x) {
    const double s = std::exp(x);
    return {s, x, log_h, slope_in_x / s};
}

}  // namespace

// The rules over the interpolants are sized for the log-density's 1e-9 and
// the gradient's 1e-12, as range_average.cpp's rules are: the averages of
// the partials have time courses of their own, which a rule sized for the
// density resolves less well. A cell's cached integrals serve both, sized for
// the gradient.
template <std::size_t K>
constexpr Accuracy accuracy_for = K == 0 ? Accuracy::Value : Accuracy::Derivative;
constexpr Accuracy CELL_ACCURACY = Accuracy::Derivative;

// Each rule sized from the interpolant's values and slopes at its ends,
// halved where one rule would be too steep.
template <class Visit>
bool TimeProfile::for_each_node(const Cell& cell, double p, double q, Accuracy accuracy, Visit&& visit,
                                int splits) {
    auto end = [&](double x) {
        if (x == cell.lo) return end_of(x, cell.ends[0][0], cell.ends[0][1]);
        if (x == cell.hi) return end_of(x, cell.ends[1][0], cell.ends[1][1]);
        return end_at(cell, x);
    };
    const int n = window_detail::single_rule_size(end(p), end(q), accuracy);
    if (n == 0) {
        if (splits == MOST_SPLITS) return false;
        const double mid = 0.5 * (p + q);
        return for_each_node(cell, p, mid, accuracy, visit, splits + 1) &&
               for_each_node(cell, mid, q, accuracy, visit, splits + 1);
    }
    const GaussLegendreRule rule = gauss_legendre(n);
    const double centre = 0.5 * (p + q), half = 0.5 * (q - p), log_half = std::log(half);
    for (std::size_t i = 0; i < rule.nodes.size(); ++i) visit(centre + half * rule.nodes[i], rule.log_weights[i] + log_half);
    return true;
}

// A leaf's antiderivatives, built when a window first needs them.
const CellAntiderivative& TimeProfile::antiderivative_of(int index) const {
    return antiderivatives_[static_cast<std::size_t>(cells_[index].antiderivative)];
}

const TimeProfile::CellIntegral* TimeProfile::whole(int index) {
    Cell& cell = cells_[index];
    if (cell.integral.known) return cell.integral.failed ? nullptr : &cell.integral;
    // Cached for any window that covers the cell, whose weight theta's means
    // lose up to longest / range <= 1 / (1 - e^(lo - hi)) of their digits.
    const double amplification = -1 / std::expm1(cell.lo - cell.hi);
    if (antiderivative_of(index).part(cell.lo, cell.hi, true, amplification, cell.integral)) {
        cell.integral.known = true;
        return &cell.integral;
    }
    LogWeightedSum<CELL_MEANS> sum;
    double values[SERIES];
    // Four quarters, each on its own rule: a cell may rise by many e-folds.
    const double quarter = 0.25 * (cell.hi - cell.lo);
    for (int part = 0; part < 4; ++part) {
        const double p = cell.lo + part * quarter;
        const bool ruled = for_each_node(cell, p, p + quarter, CELL_ACCURACY, [&](double x, double log_weight) {
            evaluate<SERIES>(cell, x, values);
            const double s = std::exp(x);
            sum.add(log_weight + values[0] + x, {values[2], values[3], values[4], values[5], values[6], values[7],
                                                 values[8], s * values[6], s * values[8]});
        });
        if (!ruled) {
            cell.integral.known = cell.integral.failed = true;
            return nullptr;
        }
    }
    cell.integral.log_integral = sum.log_total();
    for (std::size_t k = 0; k < CELL_MEANS; ++k) cell.integral.means[k] = sum.mean(k);
    cell.integral.known = true;
    return &cell.integral;
}

int TimeProfile::window_rule_size(const window_detail::WindowEnd& lo, const window_detail::WindowEnd& hi,
                                  const Cell& low, const Cell& high, Accuracy accuracy) {
    const double width = hi.offset - lo.offset;
    if (!(width <= std::log(window_detail::WIDEST_PIECE)) || (&low != &high && low.hi != high.lo)) return 0;
    const int from_ends = window_detail::single_rule_size(lo, hi, accuracy);
    if (from_ends == 0) return 0;
    // log(h s) over the window: its slope at most the larger end's plus the
    // curvature bound across the window.
    const double curvature = std::fmax(low.curvature_bound, high.curvature_bound);
    const double end_slope = std::fmax(std::fabs(lo.x * lo.log_slope + 1), std::fabs(hi.x * hi.log_slope + 1));
    const double half = 0.5 * width;
    const int from_bounds = rule_size((end_slope + curvature * width) * half, 0.5 * curvature * half * half, accuracy);
    if (from_bounds == 0 || from_bounds + 1 > MAX_RULE_NODES) return 0;
    return std::max(from_ends, from_bounds + 1);
}

window_detail::WindowEnd TimeProfile::end_at(const Cell& cell, double x) {
    double values[2];
    evaluate<2>(cell, x, values);
    return end_of(x, values[0], values[1]);
}

// One node: h s exp(log_weight) at x, with the gradient's values; theta =
// (longest - s) / range, the share of the window below its end.
template <std::size_t K>
void TimeProfile::add_value(const Cell& cell, double x, double log_weight, double longest, double x_hi, double range,
                            LogWeightedSum<K>& window) {
    double values[SERIES];
    if constexpr (K == 0) {
        evaluate<1>(cell, x, values);
        window.add(log_weight + values[0] + x, {});
    } else {
        evaluate<SERIES>(cell, x, values);
        const double theta = -longest * std::expm1(x - x_hi) / range;
        const double d_s = values[6];
        window.add(log_weight + values[0] + x, {values[2], values[3], values[4], values[5], -d_s, -theta * d_s,
                                                values[7], values[8], theta * values[8]});
    }
}

// The window's sum into the caller's, as one term.
template <std::size_t K>
void TimeProfile::add_window(const LogWeightedSum<K>& window, LogWeightedSum<K>& sum) {
    if (window.log_total() == -INF) return;
    std::array<double, K> means{};
    for (std::size_t i = 0; i < K; ++i) means[i] = window.mean(i);
    sum.add(window.log_total(), means);
}

template <std::size_t K>
void TimeProfile::add_integral(const PartIntegral& c, double longest, double range, LogWeightedSum<K>& window) {
    if constexpr (K == 0) {
        window.add(c.log_integral, {});
    } else {
        const double* m = c.means;
        // The average of theta d log f / ds over the part from those of
        // d log f / ds and s d log f / ds.
        const double theta_d_s = (longest * m[4] - m[7]) / range;
        const double theta_abs = (longest * m[6] - m[8]) / range;
        window.add(c.log_integral, {m[0], m[1], m[2], m[3], -m[4], -theta_d_s, m[5], m[6], theta_abs});
    }
}

template <std::size_t K>
bool TimeProfile::add_part(int index, double p, double q, double longest, double range, LogWeightedSum<K>& window) {
    PartIntegral part;
    // The means of theta lose up to longest / range of their digits.
    if (!antiderivative_of(index).part(p, q, K != 0, longest / range, part)) return false;
    add_integral<K>(part, longest, range, window);
    return true;
}

template <std::size_t K>
bool TimeProfile::integrate(double longest, double range, LogWeightedSum<K>& sum, WindowEnds& ends) {
    static_assert(K == 0 || K == RangeAverage::GRADIENT_VALUES);
    const double x_hi = std::log(longest);
    if (range == 0) {
        const int leaf = leaf_at(x_hi);
        if (leaf < 0) return false;
        double values[SERIES];
        if constexpr (K == 0) {
            evaluate<1>(cells_[leaf], x_hi, values);
            sum.add(values[0], {});
        } else {
            evaluate<SERIES>(cells_[leaf], x_hi, values);
            sum.add(values[0],
                    {values[2], values[3], values[4], values[5], -values[6], 0.0, values[7], values[8], 0.0});
        }
        ends = {-INF, values[0]};
        return true;
    }
    const double shortest = longest - range;
    const double x_lo = shortest > 0 ? std::log(shortest) : -INF;

    // The log start average at the window's ends, for Leibniz's rule.
    const int high_leaf = leaf_at(x_hi);
    if (high_leaf < 0) return false;
    evaluate<1>(cells_[high_leaf], x_hi, &ends.log_at_longest);
    ends.log_at_shortest = -INF;
    // A window over more than two cells takes its low end's value once it
    // is known not to be negligible (below).
    const std::int64_t k_hi = cell_of(x_hi);
    const bool low_end_first = shortest > 0 && cell_of(x_lo) >= k_hi - 1;
    if (low_end_first) {
        const int low_leaf = leaf_at(x_lo);
        if (low_leaf < 0) return false;
        evaluate<1>(cells_[low_leaf], x_lo, &ends.log_at_shortest);
        // Within one leaf or across two, from their antiderivatives where
        // they are accurate enough.
        const double join = cells_[low_leaf].hi;
        if (low_leaf == high_leaf || join == cells_[high_leaf].lo) {
            LogWeightedSum<K> window;
            if (add_part<K>(low_leaf, x_lo, std::fmin(join, x_hi), longest, range, window) &&
                (low_leaf == high_leaf || add_part<K>(high_leaf, join, x_hi, longest, range, window))) {
                add_window(window, sum);
                return true;
            }
        }
        // Otherwise a window narrow enough for one rule takes it across the
        // (at most two) leaves it meets, each node from its own leaf: the
        // interpolants join to within their accuracy. The rule is sized from
        // the ends' values and slopes, and from the leaves' bound on the
        // curvature, which sees what the ends do not.
        const window_detail::WindowEnd lo = end_at(cells_[low_leaf], x_lo);
        const window_detail::WindowEnd hi = end_at(cells_[high_leaf], x_hi);
        const int n = window_rule_size(lo, hi, cells_[low_leaf], cells_[high_leaf], accuracy_for<K>);
        if (n != 0) {
            LogWeightedSum<K> window;
            const GaussLegendreRule rule = gauss_legendre(n);
            const double centre = 0.5 * (x_lo + x_hi), half = 0.5 * (x_hi - x_lo), log_half = std::log(half);
            int leaf = low_leaf;
            for (std::size_t i = 0; i < rule.nodes.size(); ++i) {
                const double x = centre + half * rule.nodes[i];
                if (x >= cells_[leaf].hi) leaf = leaf_at(x);
                if (leaf < 0) return false;
                add_value<K>(cells_[leaf], x, rule.log_weights[i] + log_half, longest, x_hi, range, window);
            }
            add_window(window, sum);
            return true;
        }
    }

    LogWeightedSum<K> window;
    // The leaves that meet [x_lo, x_hi], highest first: those inside it whole
    // from their cached integrals, the others on rules over their part of it.
    // False where one could not be tabulated; `done` once the rising edge has
    // fallen out of sight.
    bool done = false;
    double done_top = INF;
    auto visit = [&](auto&& self, int index) -> bool {
        if (cells_[index].children >= 0) {
            const int first = cells_[index].children;
            return self(self, first + 1) && (done || self(self, first));
        }
        if (!cells_[index].usable) return false;
        const double lo = cells_[index].lo, hi = cells_[index].hi;
        const double p = std::fmax(lo, x_lo), q = std::fmin(hi, x_hi);
        if (!(p < q)) return true;
        if (cells_[index].least_slope > 0 &&
            cells_[index].top + std::log(q - p) < window.log_total() - NEGLIGIBLE) {
            done = true;
            done_top = cells_[index].top;
            return true;
        }
        if (p == lo && q == hi) {
            const CellIntegral* c = whole(index);
            if (c == nullptr) return false;
            add_integral<K>(*c, longest, range, window);
            return true;
        }
        if (add_part<K>(index, p, q, longest, range, window)) return true;
        const Cell& cell = cells_[index];
        return for_each_node(cell, p, q, accuracy_for<K>, [&](double x, double log_weight) {
            add_value<K>(cell, x, log_weight, longest, x_hi, range, window);
        });
    };
    // Where the rising edge leaves sight, log(h s) at and below the window's
    // low end is at most `bound`.
    double bound = INF;
    for (std::int64_t k = k_hi; !done && (k + 1) * CELL_WIDTH > x_lo; --k) {
        if (k < k_hi) {
            // Below a cell whose lowest leaf rises throughout and ends out of
            // sight the edge keeps rising: the cells below are out of sight
            // too, and need not be built. (Decided whether or not an earlier
            // window built them, so that no result depends on the order of
            // the trials.)
            int lowest = top_[static_cast<std::size_t>(k + 1 - first_k_)];
            while (cells_[lowest].children >= 0) lowest = cells_[lowest].children;
            const Cell& above = cells_[lowest];
            const double log_at_bottom = above.ends[0][0] + above.lo;
            if (above.usable && above.least_slope > 0 &&
                log_at_bottom + std::log(CELL_WIDTH) < window.log_total() - NEGLIGIBLE) {
                bound = log_at_bottom;
                break;
            }
        }
        if (!visit(visit, top_cell(k))) return false;
        if (done) bound = done_top;
    }
    add_window(window, sum);
    if (K != 0 && shortest > 0 && !low_end_first) {
        // h at the low end against the window's integral: where it is below
        // e^-30 per second it cannot show in the partials in t0 and st0, and
        // the cells down there are left unbuilt.
        if (!(bound - x_lo < window.log_total() - NEGLIGIBLE)) {
            const int low_leaf = leaf_at(x_lo);
            if (low_leaf < 0) return false;
            evaluate<1>(cells_[low_leaf], x_lo, &ends.log_at_shortest);
        }
    }
    return true;
}

template bool TimeProfile::integrate<0>(double, double, LogWeightedSum<0>&, WindowEnds&);
template bool TimeProfile::integrate<RangeAverage::GRADIENT_VALUES>(double, double,
                                                                    LogWeightedSum<RangeAverage::GRADIENT_VALUES>&,
                                                                    WindowEnds&);

}  // namespace ventrola::likelihood
