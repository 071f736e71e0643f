"""The two-phase simulation-based fit: budgets, the choice between phases, the
warm start and whole fits through the test module."""
import math
import random

import pytest

import _ventrola
import _ventrola_testing as testing

KEYS = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd", "iterations", "final_cost"]
NO_TARGET = "target data has no usable trials, or fewer than two upper-boundary trials"
FAILURE_TEXT = (
    "Potential bug: `NelderMead`: Reached unreachable point.. This is potentially a bug. "
    "Please file a report on https://github.com/ventrola/ventrola/issues"
)
FALLBACK = (1.0, 1.0, 0.5, 0.2, 1.0)
U64_MAX = 2**64 - 1


def observed(n=300, seed=7, params=(1.0, 1.2, 0.3)):
    choices, rts, _ = _ventrola.simulate(params[0], params[1], 0.5, params[2], n, seed)
    return choices.tolist(), rts.tolist()


def fit_error(choices, rts, start, max_iters):
    with pytest.raises(ValueError) as caught:
        testing.fit_by_simulation(choices, rts, start, max_iters)
    assert type(caught.value).__name__ == "VentrolaError"
    return caught.value.args


def vector(result):
    return [result["drift_rate"], result["boundary_separation"], result["non_decision_time"]]


class TestBudgets:
    def test_coarse_budget_examples(self):
        assert [testing.coarse_budget(m) for m in (0, 1, 2, 3, 4, 100, 199, 200)] == [1, 1, 1, 1, 2, 55, 109, 110]

    def test_coarse_budget_is_exact_for_every_64_bit_value(self):
        rng = random.Random(55)
        overflow_start = 335395346794719120  # the largest M whose M * 55 fits in 64 bits
        assert overflow_start * 55 <= U64_MAX < (overflow_start + 1) * 55
        values = [overflow_start, overflow_start + 1, 2**63, U64_MAX - 100, U64_MAX - 1, U64_MAX]
        values += [rng.randrange(2**64) for _ in range(200)] + [rng.randrange(10**6) for _ in range(200)]
        for m in values:
            assert testing.coarse_budget(m) == max(1, m * 55 // 100), m

    @pytest.mark.parametrize(
        ("max_iters", "coarse_iterations", "budget"),
        [
            (200, 110, 90),
            (200, 0, 200),
            (200, 199, 1),
            (200, 200, 1),
            (200, 201, 1),
            (0, 0, 1),
            (0, 1, 1),
            (1, 1, 1),
            (2, 1, 1),
            (U64_MAX, 0, U64_MAX),
            (U64_MAX, U64_MAX, 1),
        ],
    )
    def test_refinement_budget(self, max_iters, coarse_iterations, budget):
        assert testing.refinement_budget(max_iters, coarse_iterations) == budget

    @pytest.mark.parametrize(
        ("coarse", "refined", "wins"),
        [
            (2.0, 1.0, True),
            (1.0, 1.0, False),
            (1.0, 2.0, False),
            (math.inf, 1e9, True),
            (math.inf, math.inf, False),
            (math.nan, 1.0, False),
            (1.0, math.nan, False),
            (0.0, -0.0, False),
        ],
    )
    def test_only_a_strictly_lower_refined_cost_replaces_the_coarse_result(self, coarse, refined, wins):
        assert testing.refinement_wins(coarse, refined) is wins


class TestWarmStart:
    def test_the_ez_estimate_when_it_succeeds(self):
        choices, rts = observed()
        estimate = testing.ez_estimate(choices, rts)
        assert testing.warm_start(choices, rts) == tuple(estimate.values())

    @pytest.mark.parametrize(
        ("choices", "rts"),
        [([], []), ([True, True, False, False], [0.4, 0.6, 0.5, 0.5]), ([True] * 5, [0.5] * 5)],
    )
    def test_the_fallback_when_the_estimator_fails(self, choices, rts):
        assert testing.warm_start(choices, rts) == FALLBACK


class TestFailures:
    @pytest.mark.parametrize(
        ("choices", "rts"),
        [([], []), ([False, False, False], [0.5, 0.6, 0.7]), ([True, False, False], [0.5, 0.6, 0.7])],
    )
    def test_no_target(self, choices, rts):
        assert fit_error(choices, rts, FALLBACK, 200) == (NO_TARGET,)

    def test_nan_costs_fail_the_first_step(self):
        args = fit_error([True, True, False], [math.nan, 0.5, 0.7], FALLBACK, 200)
        assert args == ("optimizer error: " + FAILURE_TEXT,)


class TestWholeFits:
    @pytest.mark.parametrize(("max_iters", "starting_point", "noise_sd"), [(0, 0.5, 1.0), (200, 0.3, 2.0)])
    def test_an_invalid_start_converges_at_once_in_both_phases(self, max_iters, starting_point, noise_sd):
        choices, rts = observed()
        result = testing.fit_by_simulation(choices, rts, (0.7, -1.0, starting_point, 0.3, noise_sd), max_iters)
        # Four vertices per phase, no step.
        assert result.pop("evaluations") == 8
        assert list(result) == KEYS
        assert result == {
            "drift_rate": 0.7,
            "boundary_separation": -1.0,
            "starting_point": 0.5,
            "non_decision_time": 0.3,
            "noise_sd": 1.0,
            "iterations": 0,
            "final_cost": 1e9,
        }

    def test_nan_start_values_are_penalised_not_errors(self):
        choices, rts = observed()
        result = testing.fit_by_simulation(choices, rts, (math.nan, 1.0, 0.5, 0.3, 1.0), 200)
        assert math.isnan(result["drift_rate"])
        assert (result["boundary_separation"], result["non_decision_time"]) == (1.0, 0.3)
        assert (result["iterations"], result["final_cost"]) == (0, 1e9)

    @pytest.mark.parametrize("max_iters", [0, 1, 2])
    def test_tiny_budgets_give_one_step_per_phase(self, max_iters):
        choices, rts = observed()
        start = testing.warm_start(choices, rts)
        result = testing.fit_by_simulation(choices, rts, start, max_iters)
        assert result["iterations"] == 2
        # Four vertices per phase, then 1 to 5 evaluations per step.
        assert 8 + 2 <= result["evaluations"] <= 8 + 2 * 5
        assert result["final_cost"] == testing.objective_cost(choices, rts, vector(result))
        assert result["final_cost"] <= testing.objective_cost(choices, rts, [start[0], start[1], start[3]])

    def test_infinite_costs_use_both_budgets_and_keep_the_coarse_result(self):
        # Equal upper-boundary times: every valid vector costs infinity, every
        # step shrinks toward the start vector, and the tie keeps phase one.
        choices, rts = [True, True, True, False], [0.6, 0.6, 0.6, 0.9]
        result = testing.fit_by_simulation(choices, rts, (0.9, 1.1, 0.5, 0.25, 1.0), 3)
        assert vector(result) == [0.9, 1.1, 0.25]
        assert (result["iterations"], result["final_cost"]) == (3, math.inf)
        # Each step: reflection, rejected inside contraction, three shrink moves.
        assert result["evaluations"] == 8 + 3 * 5

    def test_a_short_fit_improves_on_its_start_and_reports_its_vector_cost(self):
        choices, rts = observed(n=400, seed=11, params=(1.5, 1.0, 0.25))
        start = testing.warm_start(choices, rts)
        result = testing.fit_by_simulation(choices, rts, start, 8)
        assert 2 <= result["iterations"] <= 8
        assert (result["starting_point"], result["noise_sd"]) == (0.5, 1.0)
        assert result["final_cost"] == testing.objective_cost(choices, rts, vector(result))
        assert result["final_cost"] < testing.objective_cost(choices, rts, [start[0], start[1], start[3]])
        assert testing.fit_by_simulation(choices, rts, start, 8) == result
