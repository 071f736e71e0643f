// The density averaged over a start point uniform on [w - sz/2, w + sz/2] and
// a non-decision time uniform on [t0, t0 + st0], and its partial derivatives,
// for one parameter set and any number of trials.
//
// The double average is one product rule: decision times in the window
// [longest - st0, longest] (longest = rt - t0) on log-time rules, at each
// of them the start points on a rule sized for that time, and at each start
// point the density from the time's shared DensitySlice. The log-density and
// its gradient walk the same nodes in the same order, so the gradient's
// log-density is the log-density to the last bit. What does not depend on
// the response time (the parameters seen from each boundary, the start points
// of the fixed-size rules with their sines) is kept in the object and reused
// by every trial of the set; it is a cache, so a trial's result does not
// depend on which trials came before it.
#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "likelihood/averaged_gradient.hpp"
#include "likelihood/decision_time.hpp"
#include "likelihood/density_slice.hpp"

namespace ventrola::likelihood {

// Start-point rules up to this many nodes keep their start points.
inline constexpr int CACHED_START_NODES = 12;

class TimeProfile;

// The start average at one decision time and the averages under it of the
// partial derivatives of log f (seen from the boundary reached).
struct StartAverageValues {
    double log_density;
    double d_v, d_a, d_d, d_sv, d_s;
    double half_position_d_d;  // position / 2 times the d partial
    double abs_d_s;            // |d log f / ds|
};

class RangeAverage {
public:
    // The values the gradient's sums carry.
    static constexpr std::size_t GRADIENT_VALUES = 9;

    // p in units of noise 1; half = sz / 2 >= 0 with half < min(w, 1 - w).
    // `tabulated`: integrate windows over time_profile.hpp's tables, for a
    // parameter set that many trials share.
    RangeAverage(const DecisionParameters& p, double half, bool tabulated = false);
    ~RangeAverage();
    RangeAverage(const RangeAverage&) = delete;
    RangeAverage& operator=(const RangeAverage&) = delete;

    // log of the average of the decision-time density over the start range
    // and over decision times in [longest - range, longest] (counting only the
    // positive ones; range = 0: at longest itself). longest > 0, finite.
    double log_density(bool upper, double longest, double range) const;

    // The same with its partial derivatives.
    AveragedGradient gradient(bool upper, double longest, double range) const;

    // The start average at decision time s, to the gradient's accuracy.
    StartAverageValues start_average_at(bool upper, double s) const;

    // The parameters seen from one boundary, and the cached start points.
    struct StartNode {
        StartPoint point;
        double position;    // in [-1, 1] across the start range
        double log_weight;  // of the node in the average
    };
    struct Side {
        DecisionParameters lower;  // v and the start as seen from the boundary
        double d_c;                // 1 - the start, exact
        double flip;               // 1 at the lower boundary, -1 at the upper
        SliceConstants constants;
        // log(1 + 2/d) at the start range's ends, which bound the images' weights.
        double log_image_low, log_image_high;
    };

    const Side& side(bool upper) const { return sides_[upper]; }
    double half() const { return half_; }
    // The n-node rule's start points on one side (n <= CACHED_START_NODES).
    const StartNode* start_nodes(bool upper, int n) const;

private:
    bool holds_point_mass(bool upper, double longest, double range) const;
    TimeProfile* profile(bool upper) const;  // null unless tabulated

    std::array<Side, 2> sides_;
    double half_;
    bool tabulated_;
    mutable std::array<std::unique_ptr<TimeProfile>, 2> profiles_;
    static constexpr std::size_t CACHE_SIZE = CACHED_START_NODES * (CACHED_START_NODES + 1) / 2;
    mutable std::array<std::array<StartNode, CACHE_SIZE>, 2> nodes_;
    mutable std::array<std::array<bool, CACHED_START_NODES + 1>, 2> filled_{};
};

}  // namespace ventrola::likelihood
