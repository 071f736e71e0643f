// Nelder-Mead downhill simplex minimiser with the classic coefficients, an
// explicit starting simplex, an iteration budget and a convergence test on the
// spread of the vertex costs. Generic over the cost: any callable taking the
// vector (as std::span<const double> or const std::vector<double>&) and
// returning a double. Deterministic for a deterministic cost.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "fault.hpp"

namespace ventrola {

enum class StepKind { Reflection, Expansion, ContractionOutside, ContractionInside, Shrink };

inline std::string_view step_kind_name(StepKind kind) {
    switch (kind) {
        case StepKind::Reflection: return "Reflection";
        case StepKind::Expansion: return "Expansion";
        case StepKind::ContractionOutside: return "ContractionOutside";
        case StepKind::ContractionInside: return "ContractionInside";
        case StepKind::Shrink: return "Shrink";
    }
    return "?";
}

inline constexpr std::string_view ISSUE_TRACKER_URL = "https://github.com/ventrola/ventrola/issues";

enum class OptimizerErrorKind { PotentialBug };

struct OptimizerError {
    OptimizerErrorKind kind;
    std::string text;
};

// The text a failed run hands on.
inline std::string run_failure_text(const OptimizerError& error) {
    std::string message;
    switch (error.kind) {
        case OptimizerErrorKind::PotentialBug: message = "Potential bug: "; break;
    }
    message += error.text;
    message += ". This is potentially a bug. Please file a report on ";
    message += ISSUE_TRACKER_URL;
    return message;
}

struct Solved {
    std::vector<double> best;
    double cost = 0.0;
    std::uint64_t iterations = 0;
};
struct NoSolution {};
struct Failed {
    std::string message;
};
using RunOutcome = std::variant<Solved, NoSolution, Failed>;

struct Vertex {
    std::vector<double> x;
    double cost;
};

template <class Cost>
class NelderMead {
public:
    static constexpr double REFLECTION = 1.0;   // alpha
    static constexpr double EXPANSION = 2.0;    // gamma
    static constexpr double CONTRACTION = 0.5;  // rho
    static constexpr double SHRINK = 0.5;       // sigma
    static constexpr double SPREAD_TOLERANCE = 1e-10;

    NelderMead(Cost& cost, std::vector<std::vector<double>> simplex) : cost_(cost) {
        check_shape(simplex);
        vertices_.reserve(simplex.size());
        // Not evaluated yet.
        for (auto& x : simplex) vertices_.push_back(Vertex{std::move(x), std::numeric_limits<double>::quiet_NaN()});
    }

    // Evaluates every vertex in the caller's order, then sorts.
    void initialise() {
        for (Vertex& v : vertices_) v.cost = evaluate(v.x);
        sort();
    }

    const Vertex& best_vertex() const { return vertices_.front(); }

    // Sample standard deviation of the vertex costs below the tolerance. A NaN
    // spread (a NaN or infinite cost among them) never counts as converged.
    bool converged() const {
        const double m = static_cast<double>(vertices_.size());
        double sum = vertices_[0].cost;
        for (std::size_t i = 1; i < vertices_.size(); ++i) sum = sum + vertices_[i].cost;
        const double mean = sum / m;
        double ss = square(vertices_[0].cost - mean);
        for (std::size_t i = 1; i < vertices_.size(); ++i) ss = ss + square(vertices_[i].cost - mean);
        const double spread = std::sqrt((1.0 / (m - 1.0)) * ss);
        return SPREAD_TOLERANCE > spread;
    }

    // One iteration. Fails only when a NaN cost leaves no case to take.
    std::expected<StepKind, OptimizerError> step() {
        const std::size_t n = vertices_.size() - 1;
        const double fb = vertices_[0].cost;
        const double fs = vertices_[n - 1].cost;
        const double fw = vertices_[n].cost;
        const std::vector<double>& xw = vertices_[n].x;

        const std::vector<double> c = centroid();
        std::vector<double> xr = offset_point(c, xw, REFLECTION, c);
        const double fr = evaluate(xr);

        StepKind kind;
        if (fr < fs && fr >= fb) {
            replace_worst(std::move(xr), fr);
            kind = StepKind::Reflection;
        } else if (fr < fb) {
            std::vector<double> xe = offset_point(xr, c, EXPANSION, c);
            const double fe = evaluate(xe);
            if (fr > fe) {
                replace_worst(std::move(xe), fe);
            } else {
                replace_worst(std::move(xr), fr);
            }
            kind = StepKind::Expansion;
        } else if (fr >= fs && fr < fw) {
            std::vector<double> xc = offset_point(xr, c, CONTRACTION, c);
            const double fc = evaluate(xc);
            if (fr >= fc) {
                replace_worst(std::move(xc), fc);
                kind = StepKind::ContractionOutside;
            } else {
                shrink();
                kind = StepKind::Shrink;
            }
        } else if (fr >= fs && fr >= fw) {
            std::vector<double> xc = offset_point(xw, c, CONTRACTION, c);
            const double fc = evaluate(xc);
            if (fc < fw) {
                replace_worst(std::move(xc), fc);
                kind = StepKind::ContractionInside;
            } else {
                shrink();
                kind = StepKind::Shrink;
            }
        } else {
            // Only NaN gets here: fr is NaN, or fb is NaN while fr < fs, or fw
            // is NaN while fr >= fs.
            return std::unexpected(
                OptimizerError{OptimizerErrorKind::PotentialBug, "`NelderMead`: Reached unreachable point."});
        }
        sort();
        return kind;
    }

private:
    static double square(double d) { return d * d; }

    static void check_shape(const std::vector<std::vector<double>>& simplex) {
        const std::size_t n = simplex.empty() ? 0 : simplex.front().size();
        bool ok = n > 0 && simplex.size() == n + 1;
        for (const auto& x : simplex) ok = ok && x.size() == n;
        if (!ok) raise_fault("Nelder-Mead needs n + 1 vectors of one common length n > 0");
    }

    double evaluate(const std::vector<double>& x) { return static_cast<double>(cost_(x)); }

    // ((p - q) * k) + r, element by element: reflection, expansion, both
    // contractions and the shrink are all of this form.
    static std::vector<double> offset_point(const std::vector<double>& p, const std::vector<double>& q, double k,
                                            const std::vector<double>& r) {
        std::vector<double> out(p.size());
        for (std::size_t i = 0; i < p.size(); ++i) out[i] = ((p[i] - q[i]) * k) + r[i];
        return out;
    }

    // Mean of all vertices but the worst, summed in sorted order from x0.
    std::vector<double> centroid() const {
        const std::size_t n = vertices_.size() - 1;
        std::vector<double> sum = vertices_[0].x;
        for (std::size_t i = 1; i < n; ++i) {
            for (std::size_t j = 0; j < sum.size(); ++j) sum[j] = sum[j] + vertices_[i].x[j];
        }
        const double k = 1.0 / static_cast<double>(n);
        for (double& s : sum) s = s * k;
        return sum;
    }

    void replace_worst(std::vector<double> x, double cost) { vertices_.back() = Vertex{std::move(x), cost}; }

    // Every vertex but the best moves halfway towards it and is re-evaluated.
    void shrink() {
        const std::vector<double>& x0 = vertices_[0].x;
        for (std::size_t i = 1; i < vertices_.size(); ++i) {
            vertices_[i].x = offset_point(vertices_[i].x, x0, SHRINK, x0);
            vertices_[i].cost = evaluate(vertices_[i].x);
        }
    }

    // Stable insertion sort by cost with strict IEEE comparison: ties keep
    // their order, and a NaN cost neither moves nor lets anything past it.
    void sort() {
        for (std::size_t i = 1; i < vertices_.size(); ++i) {
            for (std::size_t j = i; j > 0 && vertices_[j].cost < vertices_[j - 1].cost; --j) {
                std::swap(vertices_[j], vertices_[j - 1]);
            }
        }
    }

    Cost& cost_;
    std::vector<Vertex> vertices_;
};

// What the run loop keeps beside the solver.
class RunState {
public:
    explicit RunState(std::uint64_t budget) : budget_(budget) {}

    bool budget_used() const { return iterations_ >= budget_; }
    void count_step() { ++iterations_; }

    // Vertex 0 becomes the best when its cost is lower, or when both costs are
    // infinite with the same sign; an equal or NaN cost never does.
    void track(const Vertex& current) {
        const double cost = current.cost;
        const bool same_infinity =
            std::isinf(cost) && std::isinf(best_cost_) && std::signbit(cost) == std::signbit(best_cost_);
        if (cost < best_cost_ || same_infinity) {
            best_ = current.x;
            best_cost_ = cost;
        }
    }

    RunOutcome outcome() const {
        if (!best_) return NoSolution{};
        return Solved{*best_, best_cost_, iterations_};
    }

private:
    std::optional<std::vector<double>> best_;
    double best_cost_ = std::numeric_limits<double>::infinity();
    std::uint64_t iterations_ = 0;
    std::uint64_t budget_;
};

struct IgnoreSteps {
    void operator()(StepKind) const noexcept {}
};

// Minimises `cost` from `simplex` (n + 1 vectors of length n) within `budget`
// steps. `on_step` sees the kind of every completed step; it cannot change the
// run.
template <class Cost, class OnStep = IgnoreSteps>
RunOutcome minimize(Cost&& cost, std::vector<std::vector<double>> simplex, std::uint64_t budget,
                    OnStep&& on_step = OnStep{}) {
    NelderMead<std::remove_reference_t<Cost>> solver(cost, std::move(simplex));
    RunState state(budget);
    solver.initialise();
    state.track(solver.best_vertex());
    while (!solver.converged() && !state.budget_used()) {
        const auto kind = solver.step();
        if (!kind) return Failed{run_failure_text(kind.error())};
        on_step(*kind);
        state.track(solver.best_vertex());
        state.count_step();
    }
    return state.outcome();
}

}  // namespace ventrola
