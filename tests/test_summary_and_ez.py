"""Pairing of observed trials, summary statistics and the EZ-diffusion kernel."""
import math
import random
import struct

import pytest

import _ventrola_testing as testing


def address_sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# Counts past the vector's maximum size fail before any allocation; smaller
# ones reach operator new, which AddressSanitizer aborts in instead of throwing.
REACHES_THE_ALLOCATOR = pytest.mark.skipif(address_sanitizer_loaded(),
                                           reason="AddressSanitizer aborts where operator new would throw")


def raises_recovery_error():
    """The module's recovery failure: a ValueError subclass named VentrolaError (the
    test module makes its own class object of that name)."""
    return pytest.raises(ValueError)


def assert_recovery_error(caught, message):
    assert type(caught.value).__name__ == "VentrolaError"
    assert type(caught.value) is not ValueError
    assert caught.value.args == (message,)


def bits(x):
    return struct.pack("<d", x)


def sequential_summary(choices, rts, timed_out=None):
    """Reference: sequential sums from -0.0 and the two-pass variance, in record order."""
    timed_out = timed_out or [False] * len(choices)
    valid = [not cut for cut in timed_out]
    upper = [rt for rt, c, ok in zip(rts, choices, valid) if ok and c]
    n_valid, n_upper = sum(valid), len(upper)
    if n_valid == 0 or n_upper < 2:
        return None
    total = -0.0
    for rt in upper:
        total = total + rt
    mean = total / float(n_upper)
    ss = -0.0
    for rt in upper:
        d = rt - mean
        ss = d * d + ss
    return (float(n_upper) / float(n_valid), mean, ss / (float(n_upper) + -1.0), n_valid, n_upper)


def reference_ez(p, m, v, n):
    """Reference of the estimator's equations with their grouping (C library log, pow, exp)."""
    if p == 1.0:
        p = 1.0 - 1.0 / (float(n) + float(n))
    logit = math.log(p / (1.0 - p))
    t = p * logit
    x = ((((p * t) - t) + p) + -0.5) * logit / v
    s = -1.0 if math.copysign(1.0, p + -0.5) < 0 else 1.0
    drift = math.pow(x, 0.25) * s
    a = logit / drift
    e = math.exp((-drift) * a)
    mdt = ((1.0 - e) / (e + 1.0)) * (a / (drift + drift))
    return drift, a, m - mdt


class TestPairing:
    def test_records_pair_element_by_element_and_any_nonzero_byte_is_true(self):
        trials = testing.pair_observed_trials(bytes([0, 1, 2, 255]), [0.25, -1.0, math.inf, 0.5])
        assert trials == [(0.25, False, False), (-1.0, True, False), (math.inf, True, False), (0.5, True, False)]
        assert testing.pair_observed_trials(b"", []) == []

    @pytest.mark.parametrize(("n_choices", "n_rts"), [(3, 4), (4, 3), (0, 1)])
    def test_different_lengths_are_a_plain_value_error(self, n_choices, n_rts):
        with pytest.raises(ValueError) as caught:
            testing.pair_observed_trials(bytes(n_choices), [0.5] * n_rts)
        assert type(caught.value) is ValueError
        assert str(caught.value) == f"choices and rts must have equal length ({n_choices} vs {n_rts})"

    @pytest.mark.parametrize("n", [pytest.param(2**50, marks=REACHES_THE_ALLOCATOR),
                                   pytest.param(2**58, marks=REACHES_THE_ALLOCATOR), 2**60, 2**64 - 1])
    def test_records_that_cannot_be_reserved_are_a_memory_error(self, n):
        with pytest.raises(MemoryError, match=f"cannot reserve {n} trial records"):
            testing.pair_unbacked_trials(n)


class TestSummary:
    def test_worked_example(self):
        assert testing.compute_summary([True, True, True, False], [0.0, 0.5, 1.0, 123.0]) == (0.75, 0.5, 0.25, 4, 3)

    @pytest.mark.parametrize(
        ("choices", "rts", "timed_out"),
        [
            ([], [], None),
            ([True], [0.5], None),
            ([True, False, False], [0.5, 0.6, 0.7], None),
            ([False, False], [0.5, 0.6], None),
            ([True, True], [0.5, 0.6], [True, True]),
            ([True, True, True], [0.5, 0.6, 0.7], [False, True, True]),
        ],
    )
    def test_none_without_a_valid_trial_or_two_valid_upper_trials(self, choices, rts, timed_out):
        args = (choices, rts) if timed_out is None else (choices, rts, timed_out)
        assert testing.compute_summary(*args) is None

    def test_timed_out_records_count_nowhere(self):
        choices = [True, True, False, True, True, False]
        rts = [0.4, math.nan, 0.9, 0.6, math.inf, -3.0]
        timed_out = [False, True, False, False, True, True]
        summary = testing.compute_summary(choices, rts, timed_out)
        assert summary == testing.compute_summary([True, False, True], [0.4, 0.9, 0.6])
        assert summary[3:] == (3, 2)
        assert summary[0] == 2 / 3

    def test_lower_boundary_times_do_not_enter(self):
        a = testing.compute_summary([True, False, True], [0.4, math.nan, 0.6])
        b = testing.compute_summary([True, False, True], [0.4, 1e300, 0.6])
        assert a == b and not any(math.isnan(v) for v in a)

    def test_sums_start_from_negative_zero(self):
        accuracy, mean, variance, _, _ = testing.compute_summary([True, True], [-0.0, -0.0])
        assert bits(mean) == bits(-0.0)
        assert bits(variance) == bits(0.0)

    def test_sequential_sum_and_two_pass_variance_to_the_bit(self):
        rng = random.Random(20240607)
        # Times with a large common offset: a pairwise or compensated sum and a
        # one-pass variance round differently from the sequential two-pass one.
        rts = [1000.0 + rng.random() * 1e-3 for _ in range(2001)]
        choices = [rng.random() < 0.8 for _ in rts]
        summary = testing.compute_summary(choices, rts)
        expected = sequential_summary(choices, rts)
        assert [bits(v) for v in summary[:3]] == [bits(v) for v in expected[:3]]
        assert summary[3:] == expected[3:]

        upper = [rt for rt, c in zip(rts, choices) if c]
        n = len(upper)

        def pairwise(values):
            if len(values) <= 2:
                return sum(values)
            half = len(values) // 2
            return pairwise(values[:half]) + pairwise(values[half:])

        assert math.fsum(upper) / n != summary[1]
        assert pairwise(upper) / n != summary[1]
        one_pass = (sum(r * r for r in upper) - n * summary[1] * summary[1]) / (n - 1)
        assert one_pass != summary[2]


class TestEzEquations:
    def test_published_example(self):
        # Proportion correct .802, variance .112, mean .723: with noise scale
        # 0.1 the published values are v = .0999385, a = .1399702, Ter = .3000300;
        # with scale 1 drift and boundary are ten times larger.
        result = testing.ez_from_statistics(0.802, 0.723, 0.112, 100)
        assert result["drift_rate"] == pytest.approx(0.999385, abs=5e-7)
        assert result["boundary_separation"] == pytest.approx(1.399702, abs=5e-7)
        assert result["non_decision_time"] == pytest.approx(0.3000300, abs=5e-8)
        assert (result["starting_point"], result["noise_sd"]) == (0.5, 1.0)

    @pytest.mark.parametrize(("accuracy", "sign"), [(0.8, 1.0), (0.2, -1.0)])
    def test_worked_example_and_mirror(self, accuracy, sign):
        result = testing.ez_from_statistics(accuracy, 0.5, 0.01, 10)
        assert result["drift_rate"] == pytest.approx(sign * 1.81449, abs=5e-6)
        assert result["boundary_separation"] == pytest.approx(0.764011, abs=5e-7)
        assert result["non_decision_time"] == pytest.approx(0.373682, abs=5e-7)
        assert 0.5 - result["non_decision_time"] == pytest.approx(0.126318, abs=5e-7)

    @pytest.mark.parametrize(
        ("p", "m", "v", "n"),
        [(0.802, 0.723, 0.112, 100), (0.8, 0.5, 0.01, 10), (0.2, 0.5, 0.01, 10), (0.51, 0.31, 0.0003, 7),
         (1.0, 0.6, 0.02, 10), (0.999, 2.5, 3.0, 1000), (0.0123, 0.4, 0.05, 3)],
    )
    def test_grouping_to_the_bit(self, p, m, v, n):
        result = testing.ez_from_statistics(p, m, v, n)
        got = (result["drift_rate"], result["boundary_separation"], result["non_decision_time"])
        assert [bits(x) for x in got] == [bits(x) for x in reference_ez(p, m, v, n)]

    def test_accuracy_one_is_corrected_with_the_valid_count(self):
        corrected = 1.0 - 1.0 / (10.0 + 10.0)
        assert testing.ez_from_statistics(1.0, 0.6, 0.02, 10) == testing.ez_from_statistics(corrected, 0.6, 0.02, 10)
        assert testing.ez_from_statistics(1.0, 0.6, 0.02, 10) != testing.ez_from_statistics(1.0, 0.6, 0.02, 11)

    def test_infinite_variance_gives_values_not_an_error(self):
        result = testing.ez_from_statistics(0.8, 0.5, math.inf, 10)
        assert result["drift_rate"] == 0.0
        assert math.isinf(result["boundary_separation"])
        assert math.isnan(result["non_decision_time"])


MESSAGES = {
    "chance": "accuracy is exactly 0.5; drift rate is not identifiable from chance performance",
    "variance": "the RT variance of correct responses is not positive; cannot recover parameters",
    "radicand": "the EZ-diffusion equations have no real solution for these summary statistics",
}


def not_enough_data(n):
    return f"not enough data: {n} non-timed-out trial(s), need at least 2"


def not_enough_upper(n):
    return f"not enough correct responses: {n} upper-boundary trial(s), need at least 2 to form RT statistics"


class TestEzFailures:
    @pytest.mark.parametrize(
        ("choices", "rts", "timed_out", "message"),
        [
            ([], [], None, not_enough_data(0)),
            ([True], [0.5], None, not_enough_data(1)),
            ([True, True, True], [0.5, 0.5, 0.5], [True, False, True], not_enough_data(1)),
            ([False, False, False], [0.5, 0.6, 0.7], None, not_enough_upper(0)),
            ([True, False, False], [0.5, 0.6, 0.7], None, not_enough_upper(1)),
            ([True, True, False], [0.5, 0.6, 0.7], [False, True, False], not_enough_upper(1)),
            ([True, True, False, False], [0.5, 0.7, 0.6, 0.6], None, MESSAGES["chance"]),
            # Chance accuracy is tested before the (zero) variance.
            ([True, True, False, False], [0.5, 0.5, 0.6, 0.6], None, MESSAGES["chance"]),
            ([True] * 10, [0.5] * 10, None, MESSAGES["variance"]),
            ([True, True, False], [0.5, math.nan, 0.6], None, MESSAGES["variance"]),
            ([True, True, True, False], [0.5, math.inf, 0.6, 0.6], None, MESSAGES["variance"]),
        ],
    )
    def test_each_kind_with_its_message_first_failure_wins(self, choices, rts, timed_out, message):
        args = (choices, rts) if timed_out is None else (choices, rts, timed_out)
        with raises_recovery_error() as caught:
            testing.ez_estimate(*args)
        assert_recovery_error(caught, message)

    @pytest.mark.parametrize(
        ("p", "v", "message"),
        [
            (0.5, 0.01, MESSAGES["chance"]),
            (0.5, math.nan, MESSAGES["chance"]),
            (0.8, 0.0, MESSAGES["variance"]),
            (0.8, -0.01, MESSAGES["variance"]),
            (0.8, math.nan, MESSAGES["variance"]),
            (1.5, 0.0, MESSAGES["variance"]),
            # Statistics no data set can have make the radicand NaN.
            (1.5, 0.01, MESSAGES["radicand"]),
            (0.0, 0.01, MESSAGES["radicand"]),
            (math.nan, 0.01, MESSAGES["radicand"]),
        ],
    )
    def test_statistics_fail_in_the_same_order(self, p, v, message):
        with raises_recovery_error() as caught:
            testing.ez_from_statistics(p, 0.5, v, 10)
        assert_recovery_error(caught, message)


class TestEzEstimate:
    def test_estimate_is_the_equations_on_the_summary(self):
        rng = random.Random(7)
        rts = [0.3 + rng.random() for _ in range(50)]
        choices = [rng.random() < 0.7 for _ in rts]
        p, m, v, n_valid, _ = testing.compute_summary(choices, rts)
        assert testing.ez_estimate(choices, rts) == testing.ez_from_statistics(p, m, v, n_valid)

    def test_all_upper_with_varying_times_uses_the_corrected_accuracy(self):
        rts = [0.3 + 0.01 * i for i in range(10)]
        _, m, v, _, _ = testing.compute_summary([True] * 10, rts)
        result = testing.ez_estimate([True] * 10, rts)
        assert result == testing.ez_from_statistics(1.0 - 1.0 / 20.0, m, v, 10)
        assert (result["starting_point"], result["noise_sd"]) == (0.5, 1.0)

    def test_timed_out_trials_do_not_count_towards_the_correction(self):
        rts = [0.3 + 0.01 * i for i in range(12)]
        timed_out = [False] * 10 + [True, True]
        assert testing.ez_estimate([True] * 12, rts, timed_out) == testing.ez_estimate([True] * 10, rts[:10])

    def test_low_accuracy_gives_negative_drift_and_positive_boundary(self):
        choices = [True, True, True] + [False] * 7
        rts = [0.4, 0.5, 0.7] + [9.0] * 7
        result = testing.ez_estimate(choices, rts)
        assert result["drift_rate"] < 0 < result["boundary_separation"]

    def test_negative_non_decision_time_is_returned_unchanged(self):
        result = testing.ez_estimate([True, True, True, False], [-0.2, 0.0, 0.1, 0.0])
        assert result["non_decision_time"] < 0

    def test_overflowing_variance_gives_non_finite_values(self):
        result = testing.ez_estimate([True, True, True, False], [1e300, -1e300, 1e300, 0.5])
        values = [result["drift_rate"], result["boundary_separation"], result["non_decision_time"]]
        assert not all(math.isfinite(x) for x in values)
