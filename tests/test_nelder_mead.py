"""The Nelder-Mead optimizer and its starting simplex, driven by Python cost functions.

`minimize(cost, simplex, budget)` returns (outcome, step kinds); the cost function
receives every point the optimizer evaluates, in order, so the tests below
script the costs call by call and check the points against the method's
formulas, re-computed here with the same grouping.
"""
import math

import pytest

import _ventrola_testing as testing

FAILURE_TEXT = (
    "Potential bug: `NelderMead`: Reached unreachable point.. This is potentially a bug. "
    "Please file a report on https://github.com/ventrola/ventrola/issues"
)

# Awkward coordinates, so that a different grouping of a formula changes bits.
SIMPLEX = [
    (0.1, 0.7, 1.0 / 3.0),
    (0.9, 0.2, 0.3),
    (1.86, 1.88, 0.34),
    (1.4, 0.5, 1.9),
]


class Script:
    """A cost function that answers with the given costs in call order and
    records every point it is asked about."""

    def __init__(self, *costs):
        self.costs = list(costs)
        self.points = []

    def __call__(self, x):
        self.points.append(tuple(x))
        if not self.costs:
            raise LookupError("the optimizer asked for more costs than scripted")
        return self.costs.pop(0)


def centroid(vertices):
    """Mean of all but the last of the (sorted) vertices, summed from the first."""
    total = list(vertices[0])
    for x in vertices[1:-1]:
        total = [a + b for a, b in zip(total, x)]
    k = 1.0 / float(len(vertices) - 1)
    return tuple(a * k for a in total)


def offset(p, q, k, r):
    """((p - q) * k) + r element by element."""
    return tuple(((a - b) * k) + c for a, b, c in zip(p, q, r))


def shrunk(vertices):
    x0 = vertices[0]
    return [offset(x, x0, 0.5, x0) for x in vertices[1:]]


def run(cost, simplex=SIMPLEX, budget=1):
    return testing.minimize(cost, [list(x) for x in simplex], budget)


class TestStoppingRules:
    def test_equal_costs_converge_before_the_first_step(self):
        for value in (1e9, 0.0, -3.5):
            calls = []
            outcome, steps = run(lambda x: calls.append(x) or value, budget=100)
            assert outcome == ("Solved", list(SIMPLEX[0]), value, 0)
            assert steps == [] and len(calls) == 4

    def test_budget_zero_reports_the_sorted_best_vertex(self):
        cost = Script(3.0, 1.0, 2.0, 0.5)
        outcome, steps = run(cost, budget=0)
        assert outcome == ("Solved", list(SIMPLEX[3]), 0.5, 0)
        assert steps == [] and cost.points == SIMPLEX

    @pytest.mark.parametrize("budget", [1, 2, 5])
    def test_budget_bounds_the_steps(self, budget):
        outcome, steps = run(lambda x: sum(v * v for v in x), budget=budget)
        assert outcome[0] == "Solved" and outcome[3] == budget
        assert len(steps) == budget

    def test_spread_is_the_sample_standard_deviation(self):
        # Costs (0, 0, 0, d) have sample deviation d / 2 and population deviation
        # d * sqrt(3) / 4; d = 2.1e-10 separates the two around 1e-10.
        for d, converged in ((2.1e-10, False), (1.9e-10, True)):
            cost = Script(0.0, 0.0, 0.0, d, 5.0, 5.0, 5.0, 5.0, 5.0)
            outcome, steps = run(cost, budget=1)
            assert (steps == []) is converged

    def test_spread_scales_the_sum_of_squares_by_a_precomputed_factor(self):
        def spread(costs, factor_first):
            m = float(len(costs))
            total = costs[0]
            for f in costs[1:]:
                total = total + f
            mean = total / m
            ss = (costs[0] - mean) * (costs[0] - mean)
            for f in costs[1:]:
                ss = ss + (f - mean) * (f - mean)
            return math.sqrt((1.0 / (m - 1.0)) * ss) if factor_first else math.sqrt(ss / (m - 1.0))

        x = float.fromhex("0x1.7ce1cac9fa1d1p-33")
        costs = [0.0, 0.0, x, x]
        assert 1e-10 > spread(costs, True) and not 1e-10 > spread(costs, False)
        outcome, steps = run(Script(*costs), budget=3)
        assert outcome == ("Solved", list(SIMPLEX[0]), 0.0, 0) and steps == []

        above = math.nextafter(x, 1.0)
        outcome, steps = run(Script(0.0, 0.0, above, above, 9.0, 9.0, 9.0, 9.0, 9.0), budget=1)
        assert steps == ["Shrink"]


class TestStepKinds:
    """Costs 0, 1, 2, 3 for the starting vertices: fb = 0, fs = 2, fw = 3."""

    START = (0.0, 1.0, 2.0, 3.0)
    C = centroid(SIMPLEX)
    XR = offset(C, SIMPLEX[3], 1.0, C)
    XE = offset(XR, C, 2.0, C)
    XC_OUT = offset(XR, C, 0.5, C)
    XC_IN = offset(SIMPLEX[3], C, 0.5, C)

    def test_reference_points_depend_on_the_grouping(self):
        # Otherwise the point checks below could not tell groupings apart.
        total = [a + b + c for a, b, c in zip(*SIMPLEX[:3])]
        assert self.C != tuple(t / 3.0 for t in total)
        assert self.XR != tuple(c + c - w for c, w in zip(self.C, SIMPLEX[3]))
        assert self.XC_OUT != tuple((r + c) * 0.5 for r, c in zip(self.XR, self.C))
        assert self.XC_IN != tuple((w + c) * 0.5 for w, c in zip(SIMPLEX[3], self.C))

    def check(self, scripted, kind, points, best, best_cost):
        cost = Script(*self.START, *scripted)
        outcome, steps = run(cost, budget=1)
        assert steps == [kind]
        assert cost.points[4:] == points
        assert outcome == ("Solved", list(best), best_cost, 1)

    def test_reflection_and_a_reflected_cost_equal_to_the_best(self):
        self.check([1.5], "Reflection", [self.XR], SIMPLEX[0], 0.0)
        # fr == fb is a reflection, and the new vertex sorts behind the best.
        self.check([0.0], "Reflection", [self.XR], SIMPLEX[0], 0.0)

    def test_expansion_takes_the_expanded_point_only_when_strictly_better(self):
        self.check([-1.0, -2.0], "Expansion", [self.XR, self.XE], self.XE, -2.0)
        self.check([-1.0, -1.0], "Expansion", [self.XR, self.XE], self.XR, -1.0)
        self.check([-1.0, 0.5], "Expansion", [self.XR, self.XE], self.XR, -1.0)

    def test_reflected_cost_equal_to_second_worst_contracts_outside(self):
        self.check([2.0, 2.0], "ContractionOutside", [self.XR, self.XC_OUT], SIMPLEX[0], 0.0)
        self.check([2.5, 1.0e-3], "ContractionOutside", [self.XR, self.XC_OUT], SIMPLEX[0], 0.0)
        self.check([2.5, -7.0], "ContractionOutside", [self.XR, self.XC_OUT], self.XC_OUT, -7.0)

    def test_rejected_outside_contraction_shrinks(self):
        self.check([2.0, 2.0000001, 5.0, 5.0, 5.0], "Shrink", [self.XR, self.XC_OUT, *shrunk(SIMPLEX)], SIMPLEX[0], 0.0)

    def test_inside_contraction_needs_a_strictly_better_point(self):
        self.check([3.0, 2.999], "ContractionInside", [self.XR, self.XC_IN], SIMPLEX[0], 0.0)
        self.check([math.inf, -1.0], "ContractionInside", [self.XR, self.XC_IN], self.XC_IN, -1.0)
        # fc == fw is rejected and shrinks toward the best vertex.
        self.check([3.0, 3.0, 5.0, 5.0, 5.0], "Shrink", [self.XR, self.XC_IN, *shrunk(SIMPLEX)], SIMPLEX[0], 0.0)

    def test_a_shrunk_vertex_can_become_the_best(self):
        self.check([4.0, 4.0, 5.0, -1.0, 5.0], "Shrink", [self.XR, self.XC_IN, *shrunk(SIMPLEX)], shrunk(SIMPLEX)[1], -1.0)

    def test_cost_evaluations_per_step_kind(self):
        counts = {}
        for scripted in ([1.5], [-1.0, -2.0], [2.5, 2.0], [3.5, 2.0], [3.5, 3.5, 9.0, 9.0, 9.0]):
            cost = Script(*self.START, *scripted)
            _, steps = run(cost, budget=1)
            counts[steps[0]] = len(cost.points) - 4
        assert counts == {"Reflection": 1, "Expansion": 2, "ContractionOutside": 2, "ContractionInside": 2, "Shrink": 5}


class TestSorting:
    def test_ties_keep_their_order(self):
        # Sorted: vertex 3 (0), vertex 1 (1), vertex 2 (1), vertex 0 (2).
        order = [SIMPLEX[3], SIMPLEX[1], SIMPLEX[2], SIMPLEX[0]]
        cost = Script(2.0, 1.0, 1.0, 0.0, 0.5)
        outcome, steps = run(cost)
        c = centroid(order)
        assert cost.points[4] == offset(c, SIMPLEX[0], 1.0, c)
        assert steps == ["Reflection"] and outcome[1] == list(SIMPLEX[3])

    def test_the_later_of_two_worst_vertices_is_reflected(self):
        cost = Script(0.0, 1.0, 2.0, 2.0, 1.5)
        run(cost)
        c = centroid(SIMPLEX)
        assert cost.points[4] == offset(c, SIMPLEX[3], 1.0, c)

    def test_a_new_vertex_equal_to_the_best_sorts_behind_it(self):
        # Step 1 reflects with fr == fb; step 2 shrinks, toward vertex 0, which
        # must still be the first vector.
        c = centroid(SIMPLEX)
        xr = offset(c, SIMPLEX[3], 1.0, c)
        after = [SIMPLEX[0], xr, SIMPLEX[1], SIMPLEX[2]]
        cost = Script(0.0, 1.0, 2.0, 3.0, 0.0, 7.0, 7.0, 7.0, 7.0, 7.0)
        outcome, steps = run(cost, budget=2)
        assert steps == ["Reflection", "Shrink"]
        assert cost.points[-3:] == shrunk(after)
        assert outcome == ("Solved", list(SIMPLEX[0]), 0.0, 2)

    def test_nan_never_moves_and_nothing_moves_past_it(self):
        outcome, _ = run(Script(1.0, math.nan, 0.0, -1.0), budget=0)
        assert outcome == ("Solved", list(SIMPLEX[0]), 1.0, 0)
        outcome, _ = run(Script(1.0, 0.5, math.nan, -1.0), budget=0)
        assert outcome == ("Solved", list(SIMPLEX[1]), 0.5, 0)


class TestNonFiniteCosts:
    def test_infinite_costs_use_the_whole_budget_and_shrink_toward_vertex_0(self):
        points = []
        outcome, steps = run(lambda x: points.append(x) or math.inf, budget=7)
        assert outcome == ("Solved", list(SIMPLEX[0]), math.inf, 7)
        assert steps == ["Shrink"] * 7
        assert len(points) == 4 + 7 * 5
        assert [tuple(p) for p in points[6:9]] == shrunk(SIMPLEX)

    def test_nan_reflected_cost_fails(self):
        outcome, steps = run(Script(0.0, 1.0, 2.0, 3.0, math.nan), budget=5)
        assert outcome == ("Failed", FAILURE_TEXT) and steps == []

    def test_nan_worst_cost(self):
        # fr >= fs decides neither contraction against a NaN worst cost.
        outcome, steps = run(Script(0.0, 1.0, 2.0, math.nan, 2.5), budget=5)
        assert outcome == ("Failed", FAILURE_TEXT) and steps == []
        # A reflection replaces the NaN vertex.
        outcome, steps = run(Script(0.0, 1.0, 2.0, math.nan, 1.5), budget=1)
        assert outcome == ("Solved", list(SIMPLEX[0]), 0.0, 1) and steps == ["Reflection"]

    def test_nan_best_cost_fails_when_the_reflection_is_below_the_second_worst(self):
        outcome, steps = run(Script(math.nan, 1.0, 2.0, 3.0, 1.5), budget=5)
        assert outcome == ("Failed", FAILURE_TEXT)

    def test_a_later_nan_reflection_fails_the_run(self):
        outcome, steps = run(Script(0.0, 1.0, 2.0, 3.0, 1.5, math.nan), budget=5)
        assert outcome == ("Failed", FAILURE_TEXT) and steps == ["Reflection"]

    def test_no_solution_when_vertex_0_is_always_nan(self):
        first = tuple(SIMPLEX[0])
        outcome, steps = run(lambda x: math.nan if tuple(x) == first else 10.0, budget=4)
        assert outcome == ("NoSolution",)
        assert steps == ["Shrink"] * 4

    def test_all_nan_costs_fail_at_the_first_step(self):
        outcome, steps = run(lambda x: math.nan, budget=4)
        assert outcome == ("Failed", FAILURE_TEXT)

    def test_negative_infinity_becomes_the_best(self):
        outcome, _ = run(Script(1.0, -math.inf, 2.0, 3.0), budget=0)
        assert outcome == ("Solved", list(SIMPLEX[1]), -math.inf, 0)


class TestCostErrors:
    @pytest.mark.parametrize("at_call", [0, 3, 4, 7])
    def test_an_exception_in_the_cost_ends_the_run_and_is_raised(self, at_call):
        calls = []

        def cost(x):
            calls.append(x)
            if len(calls) > at_call:
                raise KeyError("cost failed")
            return float(len(calls))

        with pytest.raises(KeyError, match="cost failed"):
            run(cost, budget=10)
        assert len(calls) == at_call + 1

    def test_a_cost_that_is_not_a_number_raises_type_error(self):
        with pytest.raises(TypeError):
            run(lambda x: "cheap")


class TestConvergence:
    def test_a_quadratic_bowl_is_minimised_before_the_budget(self):
        def bowl(x):
            return (x[0] - 1.0) ** 2 + 2.0 * (x[1] + 0.5) ** 2 + 0.5 * (x[2] - 0.25) ** 2

        outcome, steps = testing.minimize(bowl, testing.build_simplex([0.0, 0.0, 0.0], 0.15, 0.05), 1000)
        kind, best, cost, iterations = outcome
        assert kind == "Solved" and iterations == len(steps) < 1000
        assert cost == bowl(best) and cost < 1e-9
        assert best == pytest.approx([1.0, -0.5, 0.25], abs=1e-3)


class TestBuildSimplex:
    def test_coarse_example(self):
        assert testing.build_simplex([1.0, 2.0, 0.3], 0.15, 0.05) == [
            [1.0, 2.0, 0.3],
            [1.15, 2.0, 0.3],
            [1.0, 2.3, 0.3],
            [1.0, 2.0, 0.35],
        ]

    def test_refinement_example_keeps_the_doubles_of_the_additions(self):
        simplex = testing.build_simplex([0.0, 0.1, 0.0], 0.05, 0.02)
        assert simplex == [[0.0, 0.1, 0.0], [0.02, 0.1, 0.0], [0.0, 0.12000000000000001, 0.0], [0.0, 0.1, 0.05]]
        assert simplex[2][1] != 0.12

    def test_steps_use_magnitudes_and_the_non_decision_step_ignores_the_relative_step(self):
        simplex = testing.build_simplex([-2.0, -4.0, 10.0], 0.5, 0.02)
        assert simplex == [[-2.0, -4.0, 10.0], [-1.0, -4.0, 10.0], [-2.0, -2.0, 10.0], [-2.0, -4.0, 10.05]]
        assert testing.build_simplex([0.0, 0.0, 0.0], 0.5, 0.2)[3] == [0.0, 0.0, 0.2]

    def test_nan_loses_the_larger_of(self):
        assert testing.build_simplex([1.0, 2.0, 0.3], math.nan, 0.05) == [
            [1.0, 2.0, 0.3],
            [1.05, 2.0, 0.3],
            [1.0, 2.05, 0.3],
            [1.0, 2.0, 0.35],
        ]
        assert testing.build_simplex([1.0, 2.0, 0.3], 0.15, math.nan) == [
            [1.0, 2.0, 0.3],
            [1.15, 2.0, 0.3],
            [1.0, 2.3, 0.3],
            [1.0, 2.0, 0.35],
        ]
