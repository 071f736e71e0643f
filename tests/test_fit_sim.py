"""fit_sim() from the user's side."""
import sys

import numpy as np
import pytest

import _ventrola_testing as testing
from _ventrola import VentrolaError, fit_ez, fit_sim, simulate

KEYS = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd",
        "iterations", "final_cost"]

NO_TARGET = "target data has no usable trials, or fewer than two upper-boundary trials"


@pytest.fixture(scope="module")
def observed():
    choices, rts, _ = simulate(1.0, 1.5, 0.5, 0.3, 2000, 314)
    return choices, rts


def test_result_format(observed):
    result = fit_sim(*observed, max_iters=5)
    assert list(result) == KEYS
    assert type(result["iterations"]) is int
    assert all(type(result[key]) is float for key in KEYS if key != "iterations")
    assert (result["starting_point"], result["noise_sd"]) == (0.5, 1.0)


def test_same_call_same_result_with_or_without_the_ez_guess(observed):
    plain = fit_sim(*observed, max_iters=20)
    assert fit_sim(*observed, max_iters=20) == plain
    assert fit_sim(*observed, initial_guess=None, max_iters=20) == plain
    assert fit_sim(*observed, fit_ez(*observed), 20) == plain


def test_guess_start_point_and_noise_are_not_fitted(observed):
    guess = dict(fit_ez(*observed), starting_point=0.2, noise_sd=3.0)
    result = fit_sim(*observed, guess, 3)
    assert (result["starting_point"], result["noise_sd"]) == (0.5, 1.0)
    # They play no part in the search either.
    assert result == fit_sim(*observed, fit_ez(*observed), 3)


def test_invalid_start_converges_at_once(observed):
    guess = {"drift_rate": 0.8, "boundary_separation": -1.0, "non_decision_time": 0.25}
    result = fit_sim(*observed, guess)
    assert (result["drift_rate"], result["boundary_separation"], result["non_decision_time"]) == (0.8, -1.0, 0.25)
    assert (result["iterations"], result["final_cost"]) == (0, 1e9)


@pytest.mark.parametrize(("max_iters", "most"), [(0, 2), (1, 2), (2, 2), (7, 7)])
def test_small_budgets(observed, max_iters, most):
    result = fit_sim(*observed, max_iters=max_iters)
    assert 1 <= result["iterations"] <= most


@pytest.mark.parametrize("guess", [None, {"drift_rate": 1, "boundary_separation": 1, "non_decision_time": 0.2}])
@pytest.mark.parametrize(
    ("choices", "rts"),
    [([], []), ([False] * 5, [0.5] * 5), ([True, False, False], [0.4, 0.5, 0.6])],
)
def test_no_usable_target(guess, choices, rts):
    with pytest.raises(VentrolaError) as caught:
        fit_sim(np.array(choices, dtype=bool), np.array(rts, dtype=np.float64), guess)
    assert str(caught.value) == NO_TARGET


@pytest.mark.parametrize(
    ("guess", "message"),
    [
        ({}, "initial_guess is missing 'drift_rate'"),
        ({"drift_rate": 1, "boundary_separation": 1}, "initial_guess is missing 'non_decision_time'"),
        ({"non_decision_time": 0.2}, "initial_guess is missing 'drift_rate'"),
        ({"Drift_rate": 1, "boundary_separation": 1, "non_decision_time": 0.2},
         "initial_guess is missing 'drift_rate'"),
    ],
)
def test_missing_guess_keys(observed, guess, message):
    with pytest.raises(ValueError) as caught:
        fit_sim(*observed, guess)
    assert type(caught.value) is ValueError
    assert str(caught.value) == message


def test_length_error_comes_before_missing_keys():
    with pytest.raises(ValueError, match=r"^choices and rts must have equal length \(2 vs 3\)$"):
        fit_sim(np.zeros(2, dtype=bool), np.zeros(3), {})


def test_guess_entries_must_all_convert(observed):
    guess = {"drift_rate": 1, "boundary_separation": 1, "non_decision_time": 0.2, "comment": "pilot"}
    with pytest.raises(TypeError) as caught:
        fit_sim(*observed, guess)
    if sys.version_info >= (3, 11):
        assert caught.value.__notes__ == ["while processing 'initial_guess'"]


def test_nan_among_upper_times_fails_with_the_optimizer_text():
    choices = np.array([True, True, True, False])
    rts = np.array([0.5, np.nan, 0.7, 0.6])
    with pytest.raises(VentrolaError) as caught:
        fit_sim(choices, rts, max_iters=5)
    assert str(caught.value) == (
        "optimizer error: Potential bug: `NelderMead`: Reached unreachable point.. "
        "This is potentially a bug. Please file a report on https://github.com/ventrola/ventrola/issues"
    )


def test_equal_upper_times_give_an_infinite_cost():
    choices = np.array([True, True, True, False])
    rts = np.array([0.5, 0.5, 0.5, 0.6])
    result = fit_sim(choices, rts, max_iters=3)
    assert result["final_cost"] == float("inf")


FIT_IN_SUBPROCESS = """
import _ventrola
choices, rts, _ = _ventrola.simulate(0.8, 1.2, 0.5, 0.25, 1500, 77)
print(repr(sorted(_ventrola.fit_sim(choices, rts, max_iters=25).items())))
"""


def test_identical_for_one_and_two_threads(python_subprocess):
    one = python_subprocess(FIT_IN_SUBPROCESS, {"RAYON_NUM_THREADS": "1"})
    two = python_subprocess(FIT_IN_SUBPROCESS, {"RAYON_NUM_THREADS": "2"})
    assert one == two


@pytest.mark.parametrize(
    ("truth", "tolerance"),
    [
        # 2000 observed trials: the sampling error of the three statistics alone
        # moves the estimates by a few percent; the objective's own 5000
        # simulated trials add about as much again.
        ((1.0, 1.5, 0.3), (0.15, 0.12, 0.03)),
        ((2.5, 0.8, 0.45), (0.35, 0.1, 0.03)),
    ],
)
def test_recovers_parameters_at_least_as_well_as_the_ez_start(truth, tolerance):
    drift, boundary, t0 = truth
    choices, rts, _ = simulate(drift, boundary, 0.5, t0, 2000, 2718)
    result = fit_sim(choices, rts)
    got = (result["drift_rate"], result["boundary_separation"], result["non_decision_time"])
    for value, true_value, allowed in zip(got, truth, tolerance):
        assert abs(value - true_value) <= allowed, (got, truth)
    ez = fit_ez(choices, rts)
    ez_cost = testing.objective_cost(
        choices.tolist(), rts.tolist(), [ez["drift_rate"], ez["boundary_separation"], ez["non_decision_time"]]
    )
    assert result["final_cost"] <= ez_cost
    assert result["final_cost"] == testing.objective_cost(choices.tolist(), rts.tolist(), list(got))
