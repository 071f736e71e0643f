"""Argument matching and conversion of the three functions."""
import sys

import numpy as np
import pytest

import _ventrola

simulate = _ventrola.simulate
fit_ez = _ventrola.fit_ez
fit_sim = _ventrola.fit_sim

needs_notes = pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes arrived in 3.11")


# Pure-Python twins with the same parameter lists: the interpreter's own
# messages for the same bad calls must match ours word for word.
def py_simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0):
    pass


def py_fit_ez(choices, rts):
    pass


def py_fit_sim(choices, rts, initial_guess=None, max_iters=200):
    pass


def type_error_of(call, *args, **kwargs):
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)
    return str(caught.value)


def interpreter_message(twin, *args, **kwargs):
    message = type_error_of(twin, *args, **kwargs)
    return message.replace("py_", "", 1)


MATCHING_CASES = [
    (simulate, py_simulate, (1, 2, 3, 4, 5, 6, 7, 8), {}),
    (simulate, py_simulate, (1, 2, 3), {}),
    (simulate, py_simulate, (1, 2, 3, 4), {}),
    (simulate, py_simulate, (), {}),
    (simulate, py_simulate, (1, 2, 3, 4, 5, 6), {"drift": 1}),
    (simulate, py_simulate, (1, 2, 3, 4, 5, 6), {"noise": 1}),
    (simulate, py_simulate, (1,), {"n": 1, "seed": 2, "start": 3}),
    (fit_ez, py_fit_ez, (1, 2, 3), {}),
    (fit_ez, py_fit_ez, (1,), {}),
    (fit_ez, py_fit_ez, (), {"rts": 1}),
    (fit_ez, py_fit_ez, (1,), {"choices": 2}),
    (fit_sim, py_fit_sim, (1, 2, 3, 4, 5), {}),
    (fit_sim, py_fit_sim, (), {}),
    (fit_sim, py_fit_sim, (1, 2), {"max_iter": 3}),
    (fit_sim, py_fit_sim, (1, 2, None), {"initial_guess": None}),
]


@pytest.mark.parametrize(("function", "twin", "args", "kwargs"), MATCHING_CASES)
def test_matching_errors_read_like_the_interpreters(function, twin, args, kwargs):
    assert type_error_of(function, *args, **kwargs) == interpreter_message(twin, *args, **kwargs)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: simulate(1, 2, 3, 4, 5, 6, 7, 8),
         "simulate() takes from 6 to 7 positional arguments but 8 were given"),
        (lambda: fit_ez(1, 2, 3), "fit_ez() takes 2 positional arguments but 3 were given"),
        (lambda: fit_sim(1, 2, 3, 4, 5), "fit_sim() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: fit_ez(1), "fit_ez() missing 1 required positional argument: 'rts'"),
        (lambda: simulate(1, 2, 3, 4), "simulate() missing 2 required positional arguments: 'n' and 'seed'"),
        (lambda: simulate(1, 2, 3),
         "simulate() missing 3 required positional arguments: 't0', 'n', and 'seed'"),
        (lambda: simulate(1, 2, 3, 4, 5, 6, drift=1), "simulate() got multiple values for argument 'drift'"),
        (lambda: simulate(1, 2, 3, 4, 5, 6, noise=1), "simulate() got an unexpected keyword argument 'noise'"),
        (lambda: simulate(1, 2, 3, 4, 5, 6, Drift=1), "simulate() got an unexpected keyword argument 'Drift'"),
        # Too many positionals is reported before any keyword is looked at.
        (lambda: simulate(1, 2, 3, 4, 5, 6, 7, 8, bogus=1),
         "simulate() takes from 6 to 7 positional arguments but 8 were given"),
        # The first bad keyword in the dictionary's order ends the matching.
        (lambda: simulate(1, 2, 3, 4, 5, 6, **{"zzz": 1, "drift": 2}),
         "simulate() got an unexpected keyword argument 'zzz'"),
    ],
)
def test_exact_matching_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert not getattr(caught.value, "__notes__", None)


def test_every_parameter_by_keyword_in_any_order():
    by_position = simulate(0.5, 1.2, 0.4, 0.25, 50, 9, 0.8)
    by_keyword = simulate(seed=9, noise_sd=0.8, n=50, t0=0.25, start=0.4, boundary=1.2, drift=0.5)
    mixed = simulate(0.5, 1.2, n=50, seed=9, t0=0.25, noise_sd=0.8, start=0.4)
    for other in (by_keyword, mixed):
        assert np.array_equal(by_position[0], other[0])
        assert np.array_equal(by_position[1], other[1])
        assert by_position[2] == other[2]


def test_seventh_positional_is_noise_sd():
    explicit = simulate(0.5, 1.2, 0.4, 0.25, 50, 9, 0.8)
    default = simulate(0.5, 1.2, 0.4, 0.25, 50, 9)
    assert not np.array_equal(explicit[1], default[1])
    assert np.array_equal(default[1], simulate(0.5, 1.2, 0.4, 0.25, 50, 9, 1.0)[1])


GOOD = dict(drift=1.0, boundary=1.0, start=0.5, t0=0.2, n=3, seed=1)


@pytest.mark.parametrize(
    ("name", "value", "error"),
    [
        ("n", -1, OverflowError),
        ("n", 10.0, TypeError),
        ("n", "3", TypeError),
        ("n", None, TypeError),
        ("seed", 2**64, OverflowError),
        ("seed", -(2**70), OverflowError),
        ("seed", np.float64(3.0), TypeError),
        ("drift", "fast", TypeError),
        ("drift", None, TypeError),
        ("t0", 10**400, OverflowError),
        ("noise_sd", None, TypeError),
        ("boundary", [1.0], TypeError),
    ],
)
def test_conversion_failures_keep_their_class_and_get_a_note(name, value, error):
    with pytest.raises(error) as caught:
        simulate(**{**GOOD, name: value})
    assert type(caught.value) is error
    if sys.version_info >= (3, 11):
        assert caught.value.__notes__ == [f"while processing '{name}'"]


@needs_notes
def test_fit_sim_max_iters_conversion_notes():
    choices = np.array([True, False, True])
    rts = np.array([0.5, 0.6, 0.7])
    with pytest.raises(TypeError) as caught:
        fit_sim(choices, rts, None, None)
    assert caught.value.__notes__ == ["while processing 'max_iters'"]
    with pytest.raises(OverflowError) as caught:
        fit_sim(choices, rts, max_iters=-1)
    assert caught.value.__notes__ == ["while processing 'max_iters'"]


def test_only_the_first_failing_conversion_is_reported():
    with pytest.raises(TypeError) as caught:
        simulate("a", "b", 0.5, 0.2, 3, 1)
    if sys.version_info >= (3, 11):
        assert caught.value.__notes__ == ["while processing 'drift'"]


class Indexable:
    def __index__(self):
        return 7


class Floatable:
    def __float__(self):
        return 0.25


def test_accepted_scalar_kinds():
    reference = simulate(1.0, 1.0, 0.5, 0.25, 7, 2**64 - 1)
    variants = [
        simulate(np.float64(1.0), np.float32(1.0), 0.5, Floatable(), np.int64(7), 2**64 - 1),
        simulate(1, True, 0.5, 0.25, Indexable(), np.uint64(2**64 - 1)),
        simulate(1.0, 1.0, 0.5, 0.25, 7, 18446744073709551615),
    ]
    for other in variants:
        assert np.array_equal(reference[0], other[0])
        assert np.array_equal(reference[1], other[1])
    # True converts to 1 for an integer parameter.
    assert len(simulate(1.0, 1.0, 0.5, 0.25, True, 0)[0]) + simulate(1.0, 1.0, 0.5, 0.25, True, 0)[2] == 1


def test_minus_one_is_a_value_not_a_failure():
    # PyFloat_AsDouble returns -1.0 both as a value and as a failure marker.
    choices, rts, excluded = simulate(-1.0, 1.0, 0.5, 0.25, 20, 3)
    assert len(choices) + excluded == 20


def test_non_finite_reals_reach_the_operation():
    # Conversion itself never range-tests; validation reports the parameter.
    with pytest.raises(ValueError, match="^boundary must be > 0$"):
        simulate(1.0, float("nan"), 0.5, 0.2, 3, 1)
    choices, rts, excluded = simulate(float("inf"), 1.0, 0.5, 0.2, 3, 1)
    assert choices.tolist() == [True, True, True]
