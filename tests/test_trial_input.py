"""What the package-level fits take from a user: array-likes converted once, impossible trials
refused in one sentence, times that look like milliseconds warned about. The compiled functions
keep their own strict contract (tested with them)."""
import decimal
import warnings

import numpy as np
import pandas as pd
import pytest

import _ventrola
import ventrola


@pytest.fixture(scope="module")
def trials():
    choices, rts, _ = ventrola.simulate(1.0, 1.5, 0.5, 0.3, 400, 5)
    return choices, rts


def fit_ez(choices, rts):
    return ventrola.fit_ez(choices, rts)


def fit_sim(choices, rts):
    return ventrola.fit_sim(choices, rts, max_iters=3)


def fit_ml(choices, rts):
    return ventrola.fit_ml(choices, rts, contamination=0.0)


FITS = [fit_ez, fit_sim, fit_ml]


def changed(values, at):
    values = values.copy()
    for position, value in at.items():
        values[position] = value
    return values


@pytest.mark.parametrize(
    "convert",
    [
        lambda c, r: (c.tolist(), r.tolist()),
        lambda c, r: (c.astype(np.int8), r.astype(np.float32)),
        lambda c, r: (c.astype(np.float64), (r * 1e4).astype(np.int64) / 1e4),
        lambda c, r: (pd.Series(c.astype(int)), pd.Series(r)),
        lambda c, r: (pd.Series(c, dtype="boolean"), pd.Series(r, dtype="Float64")),
        lambda c, r: (pd.array(c.astype(int), dtype="Int64"), tuple(r)),
        lambda c, r: (np.repeat(c, 2)[::2], np.repeat(r, 2)[::2]),
        lambda c, r: (c.astype(object), np.array([decimal.Decimal(str(t)) for t in r], dtype=object)),
    ],
    ids=["lists", "int8-float32", "float-choices", "series", "nullable-series", "int64-array-tuple",
         "strided", "objects"],
)
def test_array_likes_fit_as_the_compiled_layout(trials, convert):
    choices, rts = convert(*trials)
    # The compiled fits on the same values, converted by hand.
    flags = np.array([value == 1 for value in np.asarray(choices, dtype=object)], dtype=np.bool_)
    times = np.array([float(value) for value in np.asarray(rts, dtype=object)], dtype=np.float64)
    assert ventrola.fit_ez(choices, rts) == _ventrola.fit_ez(flags, times)
    guess = {"drift_rate": 0.8, "boundary_separation": 1.2, "non_decision_time": 0.25}
    assert ventrola.fit_sim(choices, rts, guess, 4) == _ventrola.fit_sim(flags, times, guess, 4)
    assert ventrola.fit_ml(choices, rts, contamination=0.0) == ventrola.fit_ml(flags, times, contamination=0.0)


@pytest.mark.parametrize("fit", FITS)
@pytest.mark.parametrize(
    "change, message",
    [
        (lambda c, r: (np.where(np.arange(len(c)) == 5, 2, c.astype(int)), r), r"choices\[5\] is 2$"),
        (lambda c, r: (np.where(np.arange(len(c)) == 1, np.nan, c.astype(float)), r), r"choices\[1\] is nan"),
        (lambda c, r: (["left"] + ["right"] * (len(c) - 1), r), r"choices\[0\] is 'left'"),
        (lambda c, r: ([True, False, None] + c[3:].tolist(), r), r"choices\[2\] is None"),
        (lambda c, r: (pd.Series(c, dtype="boolean").mask(np.arange(len(c)) == 7), r), r"choices\[7\] is <NA>"),
        (lambda c, r: (c.reshape(20, 20), r.reshape(20, 20)), r"choices must be one-dimensional.*shape \(20, 20\)"),
        (lambda c, r: (True, r), "choices must be one-dimensional, one value per trial, not a scalar True"),
        (lambda c, r: (c, [r[:2].tolist(), [0.5]]), "rts must be an array of numbers"),
        (lambda c, r: (c[:-1], r), "one value per trial each, not 399 and 400"),
        (lambda c, r: (c, r > 0.5), "rts must hold response times in seconds, not booleans"),
        (lambda c, r: (c, pd.Series(r > 0.5)), "rts must hold response times in seconds, not booleans"),
        (lambda c, r: (c, r.astype(str)), "rts must hold numbers of seconds, not text such as '0."),
        (lambda c, r: (c, r + 0j), "not complex128 values"),
        (lambda c, r: (c, [*r[:9], "0.5s", *r[10:]]), r"rts\[9\] is '0.5s'"),
        (lambda c, r: (c, np.where(np.arange(len(r)) == 4, -0.3, r)),
         r"^rts holds 1 impossible response time \(NaN, infinite, zero or negative\): the first is -0.3 at "
         r"position 4$"),
        (lambda c, r: (c, changed(r, {9: np.nan, 6: np.inf})), "2 impossible response times .*: the first is inf at position 6$"),
        (lambda c, r: (c, changed(r, {399: -np.inf, 398: 0.0})), "the first is 0.0 at position 398$"),
        (lambda c, r: (c, pd.Series(r, dtype="Float64").mask(np.arange(len(r)) == 11)), "the first is nan at position 11"),
    ],
)
def test_unusable_trials_get_one_sentence(trials, fit, change, message):
    choices, rts = change(*trials)
    with pytest.raises(ValueError, match=message) as caught:
        fit(choices, rts)
    assert type(caught.value) is ValueError
    assert "\n" not in str(caught.value)


@pytest.mark.parametrize("fit", FITS)
def test_milliseconds_warn_but_still_fit(trials, fit):
    choices, rts = trials
    with pytest.warns(UserWarning, match=r"median response time is \d+(\.\d+)? s.*milliseconds") as record:
        result = fit(choices, rts * 1000.0)
    assert len(record) == 1 and record[0].filename == __file__
    if fit is fit_ez:
        assert result == _ventrola.fit_ez(choices, rts * 1000.0)
    # Exactly half the times beyond 20 s is not yet a median beyond it.
    half = np.where(np.arange(len(rts)) % 2 == 0, rts * 1000.0, rts)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fit(choices, half)
        fit(choices, rts)


def test_compiled_fits_keep_their_strict_contract(trials):
    choices, rts = trials
    with pytest.raises(TypeError, match="is not an instance of 'ndarray'"):
        _ventrola.fit_ez(choices.tolist(), rts)
    # The compiled fit still takes negative times without a word; only the package refuses them.
    negative = np.where(np.arange(len(rts)) == 4, -0.3, rts)
    assert set(_ventrola.fit_ez(choices, negative)) == set(ventrola.fit_ez(choices, rts))
