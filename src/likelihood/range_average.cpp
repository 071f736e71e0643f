// The product rule of range_average.hpp. Decision times come from
// time_window_quadrature.hpp (log-time rules sized from the averaged
// integrand's values and slopes at the window's ends, a Gauss-Laguerre head
// where the window reaches down to 0, adaptive Gauss-Kronrod where one rule
// is too steep); at each time the start points come from a rule sized from
// the density's shape in the start point at that time (below).
#include "likelihood/range_average.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "likelihood/image_start_average.hpp"
#include "likelihood/large_time_series.hpp"
#include "likelihood/log_weighted_sum.hpp"
#include "likelihood/lower_boundary.hpp"
#include "likelihood/quadrature.hpp"
#include "likelihood/start_rule.hpp"
#include "likelihood/time_profile.hpp"
#include "likelihood/time_window_quadrature.hpp"

namespace ventrola::likelihood {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// The start node at `offset` from the range's centre.
RangeAverage::StartNode node_at(const RangeAverage::Side& side, const DensitySlice& slice, double half,
                                double offset, double log_weight) {
    return {start_point(slice, side.lower.w + offset, side.d_c - offset), offset / half, log_weight};
}

// Calls visit(node) for every start node of the rule at this time; the
// weights sum to 1 over the whole range, so that a range too small to
// resolve still averages to its centre's value.
template <class Visit>
void for_each_start(const RangeAverage& plan, bool upper, const DensitySlice& slice, Accuracy accuracy,
                    Visit&& visit) {
    const RangeAverage::Side& side = plan.side(upper);
    const double half = plan.half();
    if (half == 0) {
        visit(RangeAverage::StartNode{start_point(slice, side.lower.w, side.d_c), 0.0, 0.0});
        return;
    }
    const StartRule rule = start_rule(start_shape(slice.s, side.lower, side.d_c, half, false), accuracy);
    if (whole_range(rule, half) && rule.nodes <= CACHED_START_NODES) {
        const RangeAverage::StartNode* nodes = plan.start_nodes(upper, rule.nodes);
        for (int i = 0; i < rule.nodes; ++i) visit(nodes[i]);
        return;
    }
    for_each_start_offset(rule, half, [&](double offset, double log_weight) {
        visit(node_at(side, slice, half, offset, log_weight));
    });
}

// The values averaged beside the density in the gradient: the partials of
// log f in v, a, d, sv; minus those in t (for t0) and theta t (for st0, theta =
// (longest - t) / range the share of the window below its end); position / 2
// times the d partial (for sz); and the magnitudes that bound the rounding of
// the t0 and st0 averages.
constexpr std::size_t GRADIENT_VALUES = RangeAverage::GRADIENT_VALUES;

// How far below the window's end, in log-time, a window reaching 0 starts
// when the density has no leading edge to integrate from 0.
constexpr double FARTHEST_BACK = -700;

// The partials of log f at one start node, or their averages over the range
// where it is integrated in closed form.
struct StartPartials {
    double d_v, d_a, d_d, d_sv, d_s;
    double half_position_d_d;
    double abs_d_s;
};

// What a sum of K values takes from the partials at decision time x: none for
// the log-density, the slope in time for a sample that sizes a rule, all for
// the gradient.
template <std::size_t K>
std::array<double, K> values_of(const StartPartials& g, double theta) {
    if constexpr (K == 0) {
        return {};
    } else if constexpr (K == 1) {
        return {g.d_s};
    } else {
        static_assert(K == GRADIENT_VALUES);
        return {g.d_v, g.d_a, g.d_d, g.d_sv, -g.d_s, -theta * g.d_s, g.half_position_d_d, g.abs_d_s,
                theta * g.abs_d_s};
    }
}

// theta = (longest - x) / range at x = longest exp(offset), where the values need it.
template <std::size_t K>
double theta_of(double longest, double offset, double range) {
    return K == GRADIENT_VALUES ? -longest * std::expm1(offset) / range : 0.0;
}

// The slope in time of log f from a sum's means.
template <std::size_t K>
double slope_of(const LogWeightedSum<K>& sum) {
    if constexpr (K == 1) {
        return sum.mean(0);
    } else {
        return -sum.mean(4);
    }
}

// Adds the start average of the density at decision time x, weighted by
// exp(log_weight), to `sum` with the K values under it: in closed form at
// short times where that keeps its digits, else on the rule of start_rule.
template <std::size_t K>
void add_start_average(const RangeAverage& plan, bool upper, double x, Accuracy accuracy, double log_weight,
                       double theta, LogWeightedSum<K>& sum) {
    const RangeAverage::Side& side = plan.side(upper);
    const DensitySlice slice = density_slice(x, side.constants, plan.half() > 0 ? AVERAGE_SERIES_SWITCH : SERIES_SWITCH);
    const double half = plan.half();
    if (half > 0 && !slice.large) {
        const double d = side.lower.w;
        const ImageStartAverage f = image_start_average(slice, {d - half, d + half, side.d_c - half, d, half,
                                                                 side.log_image_low, side.log_image_high},
                                                        K == 0);
        if (f.valid) {
            const StartPartials g{f.d_v, f.d_a, f.d_d, f.d_sv, f.d_s, f.half_position_d_d, f.abs_d_s};
            sum.add_split(f.factor, f.exponent + log_weight, values_of<K>(g, theta));
            return;
        }
    }
    for_each_start(plan, upper, slice, accuracy, [&](const RangeAverage::StartNode& node) {
        const double log_scale = log_weight + node.log_weight;
        if constexpr (K == 0) {
            const SplitDensity f = slice_density(slice, node.point);
            sum.add_split(f.factor, f.exponent + log_scale);
        } else {
            const SliceGradient f = slice_gradient(slice, node.point);
            const StartPartials g{f.d_v,  f.d_a, f.d_d, f.d_sv, f.d_s, 0.5 * node.position * f.d_d,
                                  std::fabs(f.d_s)};
            sum.add_split(f.factor, f.exponent + log_scale, values_of<K>(g, theta));
        }
    });
}

// The integrand of the window for time_window_quadrature.hpp's head and
// adaptive rules: the start average at one decision time.
template <std::size_t K>
struct StartAverage {
    const RangeAverage& plan;
    bool upper;
    double longest;
    double range;
    Accuracy accuracy;

    WindowNode<K> node(double x, double offset) const {
        LogWeightedSum<K> sum;
        add_start_average<K>(plan, upper, x, accuracy, 0.0, theta_of<K>(longest, offset, range), sum);
        WindowNode<K> result{sum.log_total(), {}};
        for (std::size_t k = 0; k < K; ++k) result.values[k] = sum.mean(k);
        return result;
    }
};

// A sample of the start average at a piece's end: what sizes the pieces'
// rules, and the end node those rules share. At short times the average can
// hide components of its own: the density from the start points at either
// end of the range, each with a time course of its own (the farther one rises
// later and far more steeply). The sample keeps each end's density, from the
// leading image, with the share of the average that the start points near
// that end carry; a rule must integrate each to the accuracy its share asks.
struct Component {
    window_detail::WindowEnd end;
    double log_share = -std::numeric_limits<double>::infinity();  // none at long times
};

template <std::size_t K>
struct Sample {
    window_detail::WindowEnd end;  // x, offset, log value, log slope
    std::array<double, K> values;
    Component extremes[2];
    double weight = 0;  // the rules' weights on it, without the factor longest
};

// The leading image at start d against the average exp(log_average): its
// log, its slope in time, and the share of the starts within a fall of e of
// it (1 / |d log f / dd| of the range's 2 half, at most all of it).
Component extreme_component(const DensitySlice& slice, double d, double half, double log_average,
                            const window_detail::WindowEnd& at) {
    const double a_rho = slice.a * slice.rho;
    const double t = a_rho * d + slice.v * slice.kappa;
    const double log_f = std::log(slice.scale * d) + slice.front - 0.5 * t * t;
    const double slope = (-1.5 - 0.5 * slice.phi + 0.5 * (1.0 + slice.phi) * t * t) * slice.inv_s - slice.v * slice.rho * t;
    const double fall = std::fabs(1.0 / d - a_rho * t) * 2.0 * half;
    Component c{{at.x, at.offset, log_f, slope}};
    c.log_share = log_f - log_average - (fall > 1 ? std::log(fall) : 0.0);
    return c;
}

template <std::size_t K>
Sample<K> sample_at(const StartAverage<K>& integrand, double offset) {
    constexpr std::size_t KS = K == 0 ? 1 : K;  // the slope comes with the gradient's values
    const double x = integrand.longest * std::exp(offset);
    const double theta = theta_of<KS>(integrand.longest, offset, integrand.range);
    LogWeightedSum<KS> sum;
    add_start_average<KS>(integrand.plan, integrand.upper, x, integrand.accuracy, 0.0, theta, sum);
    Sample<K> sample{{x, offset, sum.log_total(), slope_of(sum)}, {}};
    if constexpr (K != 0) {
        for (std::size_t k = 0; k < K; ++k) sample.values[k] = sum.mean(k);
    }
    const double half = integrand.plan.half();
    const RangeAverage::Side& side = integrand.plan.side(integrand.upper);
    const DensitySlice slice = density_slice(x, side.constants, AVERAGE_SERIES_SWITCH);
    if (half > 0 && !slice.large && std::isfinite(sample.end.log_value)) {
        sample.extremes[0] = extreme_component(slice, side.lower.w - half, half, sample.end.log_value, sample.end);
        sample.extremes[1] = extreme_component(slice, side.lower.w + half, half, sample.end.log_value, sample.end);
    }
    return sample;
}

// The rule for a piece: sized for the average, and for each extreme start's
// density to the accuracy its share asks; 0 when one rule will not do.
template <std::size_t K>
int piece_rule_size(const Sample<K>& a, const Sample<K>& b, Accuracy accuracy) {
    int nodes = window_detail::single_rule_size(a.end, b.end, accuracy);
    for (int e = 0; e < 2 && nodes != 0; ++e) {
        const double log_share = std::fmax(a.extremes[e].log_share, b.extremes[e].log_share);
        if (!std::isfinite(a.extremes[e].log_share) || !std::isfinite(b.extremes[e].log_share)) continue;
        const int component = window_detail::single_rule_size(a.extremes[e].end, b.extremes[e].end, accuracy,
                                                              std::exp(std::fmin(log_share, 0.0)));
        nodes = component == 0 ? 0 : std::max(nodes, component);
    }
    return nodes;
}

// At the leading edge the nearest start point counts; starts further away
// only add factors that vanish faster.
LeadingEdge leading_edge(const RangeAverage::Side& side, double half) {
    const DecisionParameters& p = side.lower;
    return likelihood::leading_edge(p.v, p.a * (p.w - half), p.sv);
}

// The integral of the start average over decision times in the window
// [longest - range, longest], as far as they are positive, into `sum`. The
// window is cut into pieces of at most WIDEST_PIECE in ratio (with a
// Gauss-Laguerre head in c/x where it reaches down to 0); each piece takes a
// Gauss-Lobatto rule in log-time whose end nodes are the samples that sized
// it, shared with the neighbouring pieces, or adaptive Gauss-Kronrod where one
// rule would be too steep. Pieces on which the integrand rises or falls
// throughout and stays below the running sum by NEGLIGIBLE are left out.
template <std::size_t K>
WindowEnds integrate(const RangeAverage& plan, bool upper, double longest, double range, Accuracy accuracy,
                     LogWeightedSum<K>& sum) {
    using namespace window_detail;
    constexpr double INF = std::numeric_limits<double>::infinity();
    if (range == 0) {
        add_start_average<K>(plan, upper, longest, accuracy, 0.0, 0.0, sum);
        return {-INF, sum.log_total()};
    }
    const StartAverage<K> integrand{plan, upper, longest, range, accuracy};
    const double log_longest = std::log(longest);
    const Sample<K> hi = sample_at(integrand, 0.0);
    WindowEnds ends{-INF, hi.end.log_value};
    const double shortest = longest - range;
    const LeadingEdge edge = leading_edge(plan.side(upper), plan.half());
    const double c = edge.c;
    // A nearest start infinitely many noise units from the boundary: the
    // density is below every double's logarithm throughout.
    if (!std::isfinite(c)) return ends;
    const double head_end = std::fmin(longest, c / edge.start);
    Sample<K> lo;
    if (!(c > 0) || !(head_end > 0)) {
        // The nearest start so close to the boundary (in noise units) that c
        // underflows, or a drift (variability) so large that the leading edge
        // is no longer exp(-c/x): the starts whose density rises below
        // exp(-700) times the window's end carry a negligible share, and the
        // window starts there.
        lo = sample_at(integrand, shortest > 0 ? std::fmax(std::log1p(-range / longest), FARTHEST_BACK) : FARTHEST_BACK);
        if (shortest > 0) ends.log_at_shortest = lo.end.log_value;
    } else if (shortest <= 0 || c / shortest >= c / head_end + NEGLIGIBLE) {
        integrate_head<K>(integrand, longest, head_end, c, accuracy, sum);
        if (head_end >= longest) return ends;
        lo = sample_at(integrand, std::log(head_end / longest));
    } else {
        lo = sample_at(integrand, std::log1p(-range / longest));
        ends.log_at_shortest = lo.end.log_value;
    }
    const DecisionParameters& seen = plan.side(upper).lower;
    const PieceCuts cuts = piece_cuts(lo.end.offset, log_longest, -seen.v, seen.a * (seen.w - plan.half()),
                                      seen.a * (seen.w + plan.half()), seen.sv);
    std::array<Sample<K>, MAX_CUTS + 1> points;
    const int pieces = cuts.count - 1;
    points[0] = lo;
    for (int piece = 1; piece < pieces; ++piece) points[piece] = sample_at(integrand, cuts.offsets[piece]);
    points[pieces] = hi;
    // log of integrand times x, the integrand in log-time, and its slope there.
    auto log_in_log_time = [&](const WindowEnd& e) { return e.log_value + e.offset; };
    auto slope_in_log_time = [](const WindowEnd& e) { return e.x * e.log_slope + 1; };
    std::array<int, MAX_CUTS> order{};
    for (int piece = 0; piece < pieces; ++piece) {
        order[piece] = piece;
        auto top = [&](int k) {
            return std::fmax(log_in_log_time(points[k].end), log_in_log_time(points[k + 1].end));
        };
        for (int j = piece; j > 0 && top(order[j]) > top(order[j - 1]); --j) std::swap(order[j], order[j - 1]);
    }
    for (int k = 0; k < pieces; ++k) {
        Sample<K>& a = points[order[k]];
        Sample<K>& b = points[order[k] + 1];
        const bool monotone = (slope_in_log_time(a.end) > 0) == (slope_in_log_time(b.end) > 0);
        const double width = b.end.offset - a.end.offset;
        const double bound =
            std::fmax(log_in_log_time(a.end), log_in_log_time(b.end)) + log_longest + std::log(width);
        if (monotone && bound < sum.log_total() - NEGLIGIBLE) continue;
        const int legendre = piece_rule_size(a, b, accuracy);
        if (legendre == 0 || legendre + 1 > MAX_LOBATTO_NODES) {
            integrate_adaptively<K>(integrand, longest, log_longest, a.end.offset, b.end.offset, accuracy, sum);
            continue;
        }
        // As many Lobatto nodes as make the same degree, one more.
        const GaussLobattoRule rule = gauss_lobatto(legendre + 1);
        const double centre = 0.5 * (a.end.offset + b.end.offset), half = 0.5 * width;
        const double log_half = std::log(half);
        const std::size_t n = rule.nodes.size();
        a.weight += std::exp(rule.log_weights[0] + a.end.offset) * half;
        b.weight += std::exp(rule.log_weights[n - 1] + b.end.offset) * half;
        for (std::size_t i = 1; i + 1 < n; ++i) {
            const double offset = centre + half * rule.nodes[i];
            add_start_average<K>(plan, upper, longest * std::exp(offset), accuracy,
                                 rule.log_weights[i] + log_half + offset + log_longest,
                                 theta_of<K>(longest, offset, range), sum);
        }
    }
    for (int point = 0; point <= pieces; ++point) {
        const Sample<K>& p = points[point];
        if (p.weight > 0) sum.add(std::log(p.weight) + log_longest + p.end.log_value, p.values);
    }
    return ends;
}

// The log-density's rules are sized for 1e-9, a thousandth of its contract.
// The gradient's are sized for 1e-12: some partials are small differences
// under the integral (the start range's, as a range shrinks, where the value
// is flat to first order), and others carry factors that grow towards the
// window's early end; their rules need the margin. The gradient's
// log-density comes from the same finer rules, so it agrees with the
// log-density to within the latter's accuracy.
constexpr Accuracy VALUE_ACCURACY = Accuracy::Value;
constexpr Accuracy GRADIENT_ACCURACY = Accuracy::Derivative;

}  // namespace

RangeAverage::RangeAverage(const DecisionParameters& p, double half, bool tabulated)
    : half_(half), tabulated_(tabulated) {
    for (const bool upper : {false, true}) {
        const LowerView x = lower_view(upper, p);
        const DecisionParameters lower{x.v, p.a, x.w, p.sv};
        sides_[upper] = Side{lower, x.w_complement, x.flip, slice_constants(lower), std::log1p(2.0 / (x.w - half)),
                             std::log1p(2.0 / (x.w + half))};
    }
}

const RangeAverage::StartNode* RangeAverage::start_nodes(bool upper, int n) const {
    StartNode* nodes = nodes_[upper].data() + (n - 1) * n / 2;
    if (!filled_[upper][n]) {
        const GaussLegendreRule gl = gauss_legendre(n);
        const Side& s = sides_[upper];
        const double log_half = std::log(0.5);
        for (int i = 0; i < n; ++i) {
            const double offset = half_ * gl.nodes[i];
            const double d = s.lower.w + offset, d_c = s.d_c - offset;
            nodes[i] = {{d, d_c, start_angle(d, d_c)}, gl.nodes[i], gl.log_weights[i] + log_half};
        }
        filled_[upper][n] = true;
    }
    return nodes;
}

RangeAverage::~RangeAverage() = default;

StartAverageValues RangeAverage::start_average_at(bool upper, double s) const {
    LogWeightedSum<GRADIENT_VALUES> sum;
    add_start_average<GRADIENT_VALUES>(*this, upper, s, GRADIENT_ACCURACY, 0.0, 0.0, sum);
    return {sum.log_total(), sum.mean(0), sum.mean(1), sum.mean(2), sum.mean(3), -sum.mean(4), sum.mean(6),
            sum.mean(7)};
}

namespace {

// The window's integral into `sum`, from the tables where they serve.
template <std::size_t K>
WindowEnds integrate_window_of(const RangeAverage& plan, TimeProfile* profile, bool upper, double longest,
                               double range, Accuracy accuracy, LogWeightedSum<K>& sum) {
    WindowEnds ends{};
    if (profile != nullptr && profile->integrate<K>(longest, range, sum, ends)) return ends;
    return integrate<K>(plan, upper, longest, range, accuracy, sum);
}

}  // namespace

// A peak of passage times narrower than the tables' finest cells would have
// them halve to no avail on every trial: such sets are integrated directly.
TimeProfile* RangeAverage::profile(bool upper) const {
    if (!tabulated_) return nullptr;
    const DecisionParameters& seen = sides_[upper].lower;
    if (window_detail::passage_width(-seen.v, seen.a * (seen.w - half_), seen.sv) < window_detail::NARROW_PEAK) {
        return nullptr;
    }
    if (!profiles_[upper]) profiles_[upper] = std::make_unique<TimeProfile>(*this, upper);
    return profiles_[upper].get();
}

// Narrower than this in log-time (|v| r above 1e14), the peak of passage
// times from a single start is too sharp for quadrature once |v| r nears
// 1e18; all the probability of the boundary lies within it, and that
// probability is 1 to double precision (exp(-2 |v| r) underflows).
constexpr double POINT_MASS_WIDTH = 1e-7;

// Whether the window holds all of such a peak, 50 widths either side: the
// window's average is then 1 / st0 exactly, and its partials 0 but that in
// st0. (A window's edge within the peak is left to the quadrature.)
bool RangeAverage::holds_point_mass(bool upper, double longest, double range) const {
    if (half_ != 0 || !(range > 0)) return false;
    const DecisionParameters& seen = sides_[upper].lower;
    const double r = seen.a * seen.w, mu = -seen.v;
    const double width = window_detail::passage_width(mu, r, seen.sv);
    if (!(width < POINT_MASS_WIDTH)) return false;
    const double log_peak = std::log(r) - std::log(mu);  // r / mu may overflow or underflow
    const double log_longest = std::log(longest);
    const double shortest = longest - range;
    return log_peak + 50 * width < log_longest && (shortest <= 0 || std::log(shortest) < log_peak - 50 * width);
}

double RangeAverage::log_density(bool upper, double longest, double range) const {
    if (holds_point_mass(upper, longest, range)) return -std::log(range);
    LogWeightedSum<0> sum;
    integrate_window_of<0>(*this, profile(upper), upper, longest, range, VALUE_ACCURACY, sum);
    return range > 0 ? sum.log_total() - std::log(range) : sum.log_total();
}

AveragedGradient RangeAverage::gradient(bool upper, double longest, double range) const {
    if (holds_point_mass(upper, longest, range)) {
        AveragedGradient g{};
        g.log_density = -std::log(range);
        g.d_st0 = -1 / range;
        return g;
    }
    LogWeightedSum<GRADIENT_VALUES> sum;
    const WindowEnds ends =
        integrate_window_of<GRADIENT_VALUES>(*this, profile(upper), upper, longest, range, GRADIENT_ACCURACY, sum);
    const double log_integral = sum.log_total();
    const Side& s = sides_[upper];
    AveragedGradient g{};
    g.log_density = range > 0 ? log_integral - std::log(range) : log_integral;
    g.d_v = sum.mean(0) * s.flip;
    g.d_a = sum.mean(1);
    g.d_w = sum.mean(2) * s.flip;
    g.d_sv = sum.mean(3);
    g.d_sz = sum.mean(6);
    if (range == 0) {
        // At st0 = 0 the average over [t - st0, t] moves at half the density's slope.
        g.d_t0 = sum.mean(4);
        g.d_st0 = 0.5 * sum.mean(4);
        return g;
    }
    // Leibniz's rule at the window's ends is exact whatever the integrand
    // does inside, but its difference of the end values and the average,
    // divided by st0, loses the average's rounding as the window narrows;
    // there the averages under the integral sign are the better choice. Each
    // partial takes the form whose rounding bound is smaller.
    const double at_shortest = std::exp(ends.log_at_shortest - log_integral);
    const double at_longest = std::exp(ends.log_at_longest - log_integral);
    g.d_t0 = at_shortest + at_longest <= sum.mean(7) ? at_shortest - at_longest : sum.mean(4);
    g.d_st0 = at_shortest <= sum.mean(8) ? at_shortest - 1 / range : sum.mean(5);
    return g;
}

}  // namespace ventrola::likelihood
