// The likelihood of trials that share one parameter set of a generalized
// model: the first-passage solution is computed once, then each trial reads
// its density (or distribution) at its decision time, with the across-trial
// variabilities on top:
// - constant drift and drift variability: without a leak and with a point
//   start, a change of measure makes them a closed-form factor of the density
//   solved at drift 0 (see WeightedPassage), and sets that differ only in them
//   and in the non-decision time share that solve; otherwise Gauss-Hermite
//   over the drift offset, one solution per node;
// - starting-point range: averaged inside the solution (its forcing is the
//   start's closed-form average);
// - non-decision-time range: a difference of distribution functions over the
//   window, or Gauss-Legendre over it where the window is narrow; the
//   distribution function's window average by adaptive Gauss-Kronrod.
// Values are in user units; the solver works at noise 1 (drift, bound and
// amplitude over the noise). Partial derivatives come out for every
// parameter, in GeneralParameters' order (the noise's from the scaling
// relation; parameters the model does not use get 0).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "generalized/adaptive_kronrod.hpp"
#include "generalized/first_passage.hpp"
#include "generalized/hermite_rule.hpp"
#include "generalized/weighted_passage.hpp"

namespace ventrola::generalized {

// Positions in GeneralParameters.
enum ParameterIndex : std::size_t {
    V = 0,
    A = 1,
    W = 2,
    T0 = 3,
    SV = 4,
    SZ = 5,
    ST0 = 6,
    S = 7,
    COLLAPSE_TIME = 8,
    COLLAPSE_SHAPE = 9,
    COLLAPSE_FLOOR = 10,
    AMPLITUDE = 11,
    AUTOMATIC_TIME = 12,
    AUTOMATIC_SHAPE = 13,
    LEAK = 14,
};

inline double parameter_at(const GeneralParameters& p, std::size_t i) {
    return reinterpret_cast<const double*>(&p)[i];  // NOLINT: a plain record of doubles
}

struct DensityGradient {
    double log_density;
    std::array<double, GENERAL_PARAMETER_COUNT> partials;
};

// Which parameters the solver differentiates for this model and parameter set, in Jet order:
// those the model uses that are wanted, or that the noise's partial needs when it is wanted.
std::vector<std::size_t> differentiated_parameters(const ModelShape& shape, const GeneralParameters& p,
                                                   const std::array<bool, GENERAL_PARAMETER_COUNT>& wanted);

// What the trials of a set ask of it: densities (and their gradients) only, distribution
// functions as well, or also the probability of each bound (rt = inf).
enum class Asked { Densities, Distributions, Probabilities };

// Whether the drift (and its deviation) ride on a change of measure, the solve at drift 0.
inline bool drift_by_measure(const ModelShape& shape, const GeneralParameters& p) {
    return shape.drift == DriftFamily::Constant && !shape.leak && p.starting_point_range == 0.0;
}

// What decides a set's solve where drift_by_measure holds: its parameters less the drift, the
// non-decision time and its range, and of the drift's deviation only whether there is one
// (it decides the slots). Sets with equal keys share one solve.
inline std::array<double, GENERAL_PARAMETER_COUNT> shared_solve_key(const GeneralParameters& p) {
    std::array<double, GENERAL_PARAMETER_COUNT> key{};
    for (std::size_t i = 0; i < GENERAL_PARAMETER_COUNT; ++i) key[i] = parameter_at(p, i);
    key[V] = key[T0] = key[ST0] = 0.0;
    key[SV] = p.drift_rate_sd > 0.0 ? 1.0 : 0.0;
    return key;
}

// The latest decision time a solve must reach for trials up to `latest` asking `asked`.
inline double solve_horizon(double latest, Asked asked) {
    return asked == Asked::Probabilities ? INFINITY : latest;
}

// One first-passage solve: the model's functions at the solved parameters and the solution.
template <std::size_t N>
struct Solve {
    Solve(const ModelShape& shape, const Scaled<Jet<N>>& scaled, const Jet<N>& y0, const Jet<N>& width,
          double nearest, double horizon, const SolverControls& controls)
        : functions(shape, scaled), passage(functions, y0, width, nearest, horizon, controls) {}
    TimeFunctions<Jet<N>> functions;
    FirstPassage<N> passage;
};

// The slots a solve carries: the set's, less the drift's where the measure carries it.
inline std::vector<std::size_t> solved_slots(const ModelShape& shape, const GeneralParameters& p,
                                             std::vector<std::size_t> slots) {
    if (drift_by_measure(shape, p)) std::erase(slots, std::size_t{V});
    return slots;
}

// N: the Jet width of the set's partials; M: the solve's, narrower where the measure carries
// the drift (solved_slots); M = N otherwise.
template <std::size_t N, std::size_t M = N>
class SetLikelihood {
public:
    using J = Jet<N>;
    using JS = Jet<M>;

    // horizon: the latest decision time the solve reaches, solve_horizon() of what this set's
    // trials ask, or more where other sets share the solve. shared: the solve of a set that
    // differs from this one only in what drift_by_measure carries and in the non-decision
    // time, built with the same slots; nullptr to solve here.
    SetLikelihood(const ModelShape& shape, const GeneralParameters& p, const std::vector<std::size_t>& slots,
                  double horizon, Asked asked, const SolverControls& controls,
                  std::shared_ptr<const Solve<M>> shared = nullptr)
        : p_(p), slots_(slots) {
        const double s = p.noise_sd;
        const bool measured = drift_by_measure(shape, p);
        const std::vector<std::size_t> solved = solved_slots(shape, p, slots);
        if (slots.size() > N || solved.size() > M || (!measured && M != N))
            raise_fault("a set's partials do not fit the Jet widths chosen for it");
        // Where each solved partial lands among the set's.
        SlotPositions<M> positions{};
        positions.fill(N);
        for (std::size_t k = 0; k < solved.size(); ++k) {
            positions[k] = static_cast<std::size_t>(std::ranges::find(slots, solved[k]) - slots.begin());
        }
        const auto variable = [&]<class T>(std::size_t index, double scale, const std::vector<std::size_t>& order) {
            T x(parameter_at(p, index) * scale);
            for (std::size_t k = 0; k < order.size(); ++k) {
                if (order[k] == index) x.d[k] = scale;
            }
            return x;
        };
        const auto solved_variable = [&](std::size_t index, double scale) {
            return variable.template operator()<JS>(index, scale, solved);
        };
        const J v = variable.template operator()<J>(V, 1.0 / s, slots);
        const J sv = variable.template operator()<J>(SV, 1.0 / s, slots);
        Scaled<JS> scaled{measured ? JS(0.0) : solved_variable(V, 1.0 / s),
                          solved_variable(A, 1.0 / s),
                          solved_variable(W, 1.0),
                          solved_variable(SZ, 1.0),
                          solved_variable(COLLAPSE_TIME, 1.0),
                          solved_variable(COLLAPSE_SHAPE, 1.0),
                          solved_variable(COLLAPSE_FLOOR, 1.0),
                          solved_variable(AMPLITUDE, 1.0 / s),
                          solved_variable(AUTOMATIC_TIME, 1.0),
                          solved_variable(AUTOMATIC_SHAPE, 1.0),
                          solved_variable(LEAK, 1.0),
                          1.0 / s};
        const JS y0 = (scaled.w - 0.5) * scaled.a;
        const JS width = scaled.sz * scaled.a;
        const double nearest =
            (std::min(p.starting_point, 1.0 - p.starting_point) - 0.5 * p.starting_point_range) * scaled.a.v;
        // A window over the non-decision time may be a difference of distribution functions.
        const bool distributions = asked != Asked::Densities || p.non_decision_time_range > 0.0;
        const bool closed_form = !shape.leak && p.starting_point_range == 0.0;
        if (measured || closed_form || p.drift_rate_sd == 0.0) {
            const DriftMeasure<J> measure{measured || p.drift_rate_sd > 0.0, measured ? v : J(0.0),
                                          p.drift_rate_sd > 0.0 ? sv : J(0.0)};
            if (!(measured && shared)) {
                shared = std::make_shared<const Solve<M>>(shape, scaled, y0, width, nearest, horizon, controls);
            }
            add_component(std::move(shared), measure, distributions, J(0.0), positions);
        } else {
            // Gauss-Hermite: delta = sqrt(2) sv x_k with weights w_k / sqrt(pi).
            const std::size_t size =
                controls.hermite > 0 ? controls.hermite : hermite_size(p.drift_rate_sd * p.boundary_separation / s / s);
            const HermiteRule& rule = hermite_rule(size);
            const JS solved_sv = solved_variable(SV, 1.0 / s);
            for (std::size_t k = 0; k < rule.nodes.size(); ++k) {
                Scaled<JS> shifted = scaled;
                shifted.v = scaled.v + (SQRT2 * rule.nodes[k]) * solved_sv;
                add_component(std::make_shared<const Solve<M>>(shape, shifted, y0, width, nearest, horizon, controls),
                              DriftMeasure<J>{}, distributions, J(std::log(rule.weights[k] / SQRT_PI)), positions);
            }
        }
    }

    // The solve another set may share (see drift_by_measure); the first component's.
    std::shared_ptr<const Solve<M>> solve() const { return components_[0].solve; }

    // log f(rt, choice) and its partial derivatives.
    DensityGradient log_density_gradient(bool upper, double rt) const {
        const std::size_t side = upper ? UPPER : LOWER;
        const double t0 = p_.non_decision_time;
        const double st0 = p_.non_decision_time_range;
        DensityGradient out{-HUGE_VAL, {}};
        out.partials.fill(NAN);
        const double high = rt - t0;
        if (!(high > 0.0)) {
            if (std::isnan(rt)) out.log_density = NAN;
            return out;
        }
        J log_f;
        double d_t0 = 0.0;
        double d_st0 = 0.0;
        if (st0 == 0.0) {
            log_f = log_decision_density(side, high);
            d_t0 = -slope(side, high);
        } else {
            const double low = std::max(high - st0, 0.0);
            const J f = window_density(side, low, high, st0);
            if (!(f.v > 0.0)) return out;
            log_f = log(f);
            const double g_high = std::exp(log_decision_density(side, high).v);
            const double g_low = low > 0.0 ? std::exp(log_decision_density(side, low).v) : 0.0;
            d_t0 = -(g_high - g_low) / (st0 * f.v);
            d_st0 = (g_low / f.v - 1.0) / st0;
        }
        out.log_density = log_f.v;
        if (!std::isfinite(log_f.v)) return out;
        out.partials.fill(0.0);
        for (std::size_t k = 0; k < slots_.size(); ++k) out.partials[slots_[k]] = log_f.d[k];
        out.partials[T0] = d_t0;
        out.partials[ST0] = st0 == 0.0 ? d_st0_at_zero(side, high) : d_st0;
        // f depends on v, a, sv and the amplitude only through their ratios to the noise.
        out.partials[S] = -(p_.drift_rate * out.partials[V] + p_.boundary_separation * out.partials[A] +
                            p_.drift_rate_sd * out.partials[SV] + p_.automatic_amplitude * out.partials[AMPLITUDE]) /
                          p_.noise_sd;
        return out;
    }

    double log_density(bool upper, double rt) const {
        const std::size_t side = upper ? UPPER : LOWER;
        const double high = rt - p_.non_decision_time;
        if (std::isnan(rt)) return NAN;
        if (!(high > 0.0)) return -HUGE_VAL;
        const double st0 = p_.non_decision_time_range;
        if (st0 == 0.0) return log_decision_density(side, high).v;
        const J f = window_density(side, std::max(high - st0, 0.0), high, st0);
        return f.v > 0.0 ? std::log(f.v) : -INFINITY;
    }

    // P(choice, RT <= rt); rt = inf gives the choice's probability.
    double distribution(bool upper, double rt) const {
        const std::size_t side = upper ? UPPER : LOWER;
        if (std::isnan(rt)) return NAN;
        const double high = rt - p_.non_decision_time;
        if (!(high > 0.0)) return 0.0;
        const double st0 = p_.non_decision_time_range;
        if (st0 == 0.0 || std::isinf(rt)) return decision_distribution(side, high).v;
        // The window average of the decision-time distribution function, which can rise
        // within a small part of the window: adaptive.
        const double low = std::max(high - st0, 0.0);
        const auto cdf = [&](double x) { return x > 0.0 ? decision_distribution(side, x).v : 0.0; };
        return adaptive_kronrod(cdf, low, high, 1e-11 * st0) / st0;
    }

private:
    static constexpr double SQRT2 = 1.4142135623730951;
    static constexpr double SQRT_PI = 1.7724538509055159;
    static constexpr int LEGENDRE_POINTS = 16;
    static constexpr double LEGENDRE_NODES[LEGENDRE_POINTS] = {
        -0.9894009349916499, -0.9445750230732326,  -0.8656312023878318, -0.755404408355003,
        -0.6178762444026438, -0.45801677765722737, -0.2816035507792589, -0.09501250983763744,
        0.09501250983763744, 0.2816035507792589,   0.45801677765722737, 0.6178762444026438,
        0.755404408355003,   0.8656312023878318,   0.9445750230732326,  0.9894009349916499};
    static constexpr double LEGENDRE_WEIGHTS[LEGENDRE_POINTS] = {
        0.027152459411754176, 0.062253523938647456, 0.0951585116824926,   0.12462897125553407,
        0.1495959888165767,   0.16915651939500265,  0.18260341504492364,  0.18945061045506864,
        0.18945061045506864,  0.18260341504492364,  0.16915651939500265,  0.1495959888165767,
        0.12462897125553407,  0.0951585116824926,   0.062253523938647456, 0.027152459411754176};

    struct Component {
        std::shared_ptr<const Solve<M>> solve;
        std::unique_ptr<WeightedPassage<N, M>> solution;
        J log_weight;
    };

    void add_component(std::shared_ptr<const Solve<M>> solve, const DriftMeasure<J>& measure, bool distributions,
                       const J& log_weight, const SlotPositions<M>& positions) {
        Component c;
        c.solution = std::make_unique<WeightedPassage<N, M>>(solve->passage, measure, distributions, positions);
        c.solve = std::move(solve);
        c.log_weight = log_weight;
        components_.push_back(std::move(c));
    }

    J log_decision_density(std::size_t side, double t) const {
        if (components_.size() == 1) return components_[0].solution->log_density(side, t);
        // log sum_k w_k g_k, scaled by the largest term.
        std::vector<J> terms;
        double top = -HUGE_VAL;
        for (const Component& c : components_) {
            terms.push_back(c.log_weight + c.solution->log_density(side, t));
            top = std::max(top, terms.back().v);
        }
        if (!std::isfinite(top)) return J(top);
        J sum(0.0);
        for (const J& term : terms) {
            if (std::isfinite(term.v)) sum += exp(term - top);
        }
        return top + log(sum);
    }

    J decision_distribution(std::size_t side, double t) const {
        J total(0.0);
        for (const Component& c : components_) total += exp(c.log_weight) * c.solution->distribution(side, t);
        return total;
    }

    double slope(std::size_t side, double t) const {
        const double h = 1e-6 * std::max(t, 1e-3);
        const double low = std::max(t - h, 0.5 * t);
        return (log_decision_density(side, t + h).v - log_decision_density(side, low).v) / (t + h - low);
    }

    // The density averaged over the window [low, high] of decision times.
    J window_density(std::size_t side, double low, double high, double width) const {
        const double span = high - low;
        if (span >= 0.25 * high) {
            // A wide window: a difference of distribution functions loses no digits.
            return (decision_distribution(side, high) - decision_distribution(side, low)) / width;
        }
        J sum(0.0);
        for (int k = 0; k < LEGENDRE_POINTS; ++k) {
            const double x = low + 0.5 * span * (1.0 + LEGENDRE_NODES[k]);
            const J log_g = log_decision_density(side, x);
            if (std::isfinite(log_g.v)) sum += LEGENDRE_WEIGHTS[k] * exp(log_g);
        }
        return 0.5 * span / width * sum;
    }

    // d log f / d st0 at st0 = 0: the window's average moves to half its width, -(1/2) d log g / dt.
    double d_st0_at_zero(std::size_t side, double t) const { return -0.5 * slope(side, t); }

    GeneralParameters p_;
    std::vector<std::size_t> slots_;
    std::vector<Component> components_;
};

}  // namespace ventrola::generalized
