"""fit_ez() from the user's side."""
import math
import sys

import numpy as np
import pytest

from _ventrola import VentrolaError, fit_ez, simulate

KEYS = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd"]


def upper_times(mean, variance, count):
    """`count` times (even count) with exactly this mean and sample variance, up to rounding."""
    half = math.sqrt(variance * (count - 1) / count)
    return [mean + half] * (count // 2) + [mean - half] * (count // 2)


def data(upper_rts, n_lower, lower_rt=0.7):
    choices = np.array([True] * len(upper_rts) + [False] * n_lower)
    rts = np.array(list(upper_rts) + [lower_rt] * n_lower, dtype=np.float64)
    return choices, rts


def test_worked_example_and_its_mirror():
    result = fit_ez(*data(upper_times(0.5, 0.01, 8), 2))
    assert list(result) == KEYS
    assert all(type(value) is float for value in result.values())
    assert result["drift_rate"] == pytest.approx(1.81449, abs=5e-5)
    assert result["boundary_separation"] == pytest.approx(0.764011, abs=5e-6)
    assert result["non_decision_time"] == pytest.approx(0.373682, abs=5e-6)
    assert (result["starting_point"], result["noise_sd"]) == (0.5, 1.0)

    mirror = fit_ez(*data(upper_times(0.5, 0.01, 2), 8))
    assert mirror["drift_rate"] == pytest.approx(-1.81449, abs=5e-5)
    assert mirror["boundary_separation"] == pytest.approx(0.764011, abs=5e-6)
    assert mirror["non_decision_time"] == pytest.approx(0.373682, abs=5e-6)


def ez_reference(p, m, v):
    """The EZ-diffusion equations with noise scale 1, written out independently."""
    logit = math.log(p / (1 - p))
    x = logit * (logit * p * p - logit * p + p - 0.5) / v
    drift = math.copysign(x**0.25, p - 0.5)
    boundary = logit / drift
    y = -drift * boundary
    mdt = (boundary / (2 * drift)) * (1 - math.exp(y)) / (1 + math.exp(y))
    return drift, boundary, m - mdt


def test_all_upper_uses_the_edge_correction():
    # N = 10, all upper: accuracy 1 is replaced by 1 - 1/(2N) = 0.95.
    times = [0.4, 0.45, 0.5, 0.55, 0.6, 0.42, 0.48, 0.52, 0.58, 0.5]
    result = fit_ez(np.ones(10, dtype=bool), np.array(times))
    expected = ez_reference(0.95, float(np.mean(times)), float(np.var(times, ddof=1)))
    got = (result["drift_rate"], result["boundary_separation"], result["non_decision_time"])
    assert got == pytest.approx(expected, rel=1e-12)
    assert (result["starting_point"], result["noise_sd"]) == (0.5, 1.0)


@pytest.mark.parametrize(
    ("choices", "rts", "message"),
    [
        ([], [], "not enough data: 0 non-timed-out trial(s), need at least 2"),
        ([True], [0.5], "not enough data: 1 non-timed-out trial(s), need at least 2"),
        ([False, False, False], [0.5, 0.6, 0.7],
         "not enough correct responses: 0 upper-boundary trial(s), need at least 2 to form RT statistics"),
        ([True, False, False], [0.5, 0.6, 0.7],
         "not enough correct responses: 1 upper-boundary trial(s), need at least 2 to form RT statistics"),
        ([True, True, False, False], [0.5, 0.6, 0.7, 0.8],
         "accuracy is exactly 0.5; drift rate is not identifiable from chance performance"),
        ([True] * 5, [0.5] * 5,
         "the RT variance of correct responses is not positive; cannot recover parameters"),
        ([True, True, True, False], [0.5, float("nan"), 0.6, 0.7],
         "the RT variance of correct responses is not positive; cannot recover parameters"),
    ],
)
def test_estimator_failures(choices, rts, message):
    with pytest.raises(VentrolaError) as caught:
        fit_ez(np.array(choices, dtype=bool), np.array(rts, dtype=np.float64))
    assert str(caught.value) == message
    assert caught.value.args == (message,)
    assert isinstance(caught.value, ValueError)
    assert not getattr(caught.value, "__notes__", None)


def test_nan_on_a_lower_trial_has_no_effect():
    clean = fit_ez(*data(upper_times(0.5, 0.01, 8), 2, lower_rt=0.7))
    with_nan = fit_ez(*data(upper_times(0.5, 0.01, 8), 2, lower_rt=float("nan")))
    assert clean == with_nan


def test_negative_non_decision_time_is_returned():
    # Fast, widely spread correct responses imply more decision time than the
    # mean response time holds.
    result = fit_ez(*data([0.0, 0.3, 0.0, 0.3, 0.0, 0.3], 1))
    assert result["non_decision_time"] < 0


def test_overflowing_variance_gives_non_finite_values_not_an_error():
    result = fit_ez(*data([1e200, -1e200, 1e200], 1))
    assert not all(math.isfinite(v) for v in result.values())


def test_length_mismatch_is_a_plain_value_error():
    with pytest.raises(ValueError) as caught:
        fit_ez(np.zeros(3, dtype=bool), np.zeros(4))
    assert type(caught.value) is ValueError
    assert str(caught.value) == "choices and rts must have equal length (3 vs 4)"


def test_errors_come_in_call_order():
    strided = np.zeros(10)[::2]
    with pytest.raises(TypeError) as caught:
        fit_ez([True], None)
    assert str(caught.value) == "'list' object is not an instance of 'ndarray'"
    if sys.version_info >= (3, 11):
        assert caught.value.__notes__ == ["while processing 'choices'"]
    with pytest.raises(TypeError) as caught:
        fit_ez(np.zeros(2, dtype=bool), None)
    assert str(caught.value) == "'None' is not an instance of 'ndarray'"
    if sys.version_info >= (3, 11):
        assert caught.value.__notes__ == ["while processing 'rts'"]
    with pytest.raises(ValueError, match="^`choices` must be a contiguous 1-D array"):
        fit_ez(np.zeros(10, dtype=bool)[::2], strided)
    with pytest.raises(ValueError, match="^`rts` must be a contiguous 1-D array"):
        fit_ez(np.zeros(7, dtype=bool), strided)


def test_read_only_and_subclass_arrays_are_read_in_place():
    choices, rts = data(upper_times(0.5, 0.01, 8), 2)
    expected = fit_ez(choices, rts)
    choices.flags.writeable = False
    rts.flags.writeable = False

    class Trials(np.ndarray):
        pass

    assert fit_ez(choices, rts.view(Trials)) == expected


def test_recovers_the_generating_parameters():
    # A million trials put the sampling error of every estimate well under
    # 0.01. The 1 ms Euler step lets the path overshoot the boundary by about
    # 0.58 * sqrt(dt) = 0.018 and crossings are noticed up to a step late, so
    # the effective boundary is slightly wider than the true one: allow 0.05 in
    # drift and boundary and 0.02 s in non-decision time.
    choices, rts, excluded = simulate(1.0, 1.5, 0.5, 0.3, 1_000_000, 11)
    assert excluded == 0
    result = fit_ez(choices, rts)
    assert result["drift_rate"] == pytest.approx(1.0, abs=0.05)
    assert result["boundary_separation"] == pytest.approx(1.5, abs=0.05)
    assert result["non_decision_time"] == pytest.approx(0.3, abs=0.02)
