"""How the likelihood functions take their arguments and share the process
with _ventrola: broadcasting, conversions, argument errors, one runtime and
one worker pool, results independent of the thread count."""
import numpy as np
import pandas as pd
import pytest

import ventrola
from ventrola import _engine

FUNCTIONS = [ventrola.wiener_logpdf, ventrola.wiener_pdf, ventrola.wiener_cdf]
BASE = dict(drift_rate=1.0, boundary_separation=1.5, starting_point=0.5, non_decision_time=0.3)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_arguments_broadcast_like_numpy_and_match_elementwise_calls(function):
    rts = np.linspace(0.35, 2.0, 6).reshape(2, 3)
    drifts = np.array([[-1.0], [2.0]])
    choices = np.array([True, False, True])
    out = function(choices, rts, drifts, 1.5, non_decision_time=0.3)
    assert out.shape == (2, 3) and out.dtype == np.float64
    for i in range(2):
        for j in range(3):
            single = function(bool(choices[j]), float(rts[i, j]), float(drifts[i, 0]), 1.5, non_decision_time=0.3)
            assert single.shape == ()
            assert out[i, j] == single


def test_scalars_give_a_zero_dimensional_array_and_empty_inputs_an_empty_one():
    assert ventrola.wiener_logpdf(True, 0.8, **BASE).shape == ()
    empty = ventrola.wiener_logpdf(np.zeros(0, bool), np.zeros(0), **BASE)
    assert empty.shape == (0,)
    logpdf, gradients = ventrola.wiener_logpdf_grad(np.zeros((0, 2), bool), 0.8, **BASE)
    assert logpdf.shape == (0, 2) and all(g.shape == (0, 2) for g in gradients.values())


def test_choices_may_be_zero_one_numbers_but_nothing_else():
    as_bools = ventrola.wiener_logpdf([True, False], [0.8, 0.9], **BASE)
    assert np.array_equal(ventrola.wiener_logpdf([1, 0], [0.8, 0.9], **BASE), as_bools)
    assert np.array_equal(ventrola.wiener_logpdf([1.0, 0.0], [0.8, 0.9], **BASE), as_bools)
    for bad in ([1, 2], [0.5, 1.0], ["upper", "lower"]):
        with pytest.raises(ValueError, match="choices"):
            ventrola.wiener_logpdf(bad, [0.8, 0.9], **BASE)


def test_shapes_that_do_not_broadcast_and_non_numbers_are_refused():
    with pytest.raises(ValueError):
        ventrola.wiener_logpdf([True, False], [0.8, 0.9, 1.0], **BASE)
    with pytest.raises(TypeError, match="drift_rate"):
        ventrola.wiener_logpdf(True, 0.8, "fast", 1.5)


NOT_REAL = "must be a real number or an array of real numbers"


@pytest.mark.parametrize(
    "value, refusal",
    [
        (None, f"{NOT_REAL}: found None"),
        ([0.8, None], f"{NOT_REAL}: found None"),
        (True, f"{NOT_REAL}, not booleans"),
        ("0.8", f"{NOT_REAL}, not text"),
        (0.8j, f"{NOT_REAL}, not complex numbers"),
        (np.array([800], dtype="timedelta64[ms]"),
         f"{NOT_REAL}, not timedelta64[ms] durations; divide them by numpy.timedelta64(1, 's') for seconds"),
        (np.array(["2020-01-01"], dtype="datetime64[D]"), f"{NOT_REAL}, not datetime64[D] dates"),
    ],
)
def test_what_is_no_real_number_is_a_type_error_naming_the_argument(value, refusal):
    # Each of these used to be read as a number: NaN, 1, 0.8, or 800 "seconds" for 800 ms.
    for function in (*FUNCTIONS, ventrola.wiener_logpdf_grad):
        with pytest.raises(TypeError) as as_time:
            function(True, value, **BASE)
        assert str(as_time.value) == f"rts {refusal}"
        with pytest.raises(TypeError) as as_parameter:
            function(True, 0.8, **dict(BASE, drift_rate=value))
        assert str(as_parameter.value) == f"drift_rate {refusal}"
    with pytest.raises(TypeError, match=f"^rts {NOT_REAL}"):
        ventrola.loglik(True, value, BASE)


def test_real_numbers_of_any_kind_are_read_as_such():
    from decimal import Decimal
    from fractions import Fraction

    expected = ventrola.wiener_logpdf([True, True], [0.75, np.nan], **BASE)
    for rts in ([Fraction(3, 4), np.nan], [Decimal("0.75"), np.nan], pd.array([0.75, None], dtype="Float64"),
                np.array([0.75, np.nan], dtype=np.float32)):
        assert np.array_equal(ventrola.wiener_logpdf(True, rts, **BASE), expected, equal_nan=True)
    with pytest.raises(ValueError, match="^drift_rate holds an integer too large for a double$"):
        ventrola.wiener_logpdf(True, 0.8, 10**400, 1.5)
    with pytest.raises(ValueError, match="^drift_rate must be finite, got inf$"):
        ventrola.wiener_logpdf(True, 0.8, float(10**300) * 10**10, 1.5)


def test_invalid_values_in_a_parameter_array_are_named():
    with pytest.raises(ValueError, match="boundary_separation"):
        ventrola.wiener_logpdf(True, [0.8, 0.9], 1.0, [1.5, -1.0])
    with pytest.raises(ValueError, match="starting_point"):
        ventrola.wiener_cdf(True, [0.8, 0.9], 1.0, 1.5, starting_point=[0.5, 1.0])


def test_gradients_come_as_a_dict_of_the_seven_names_in_order():
    logpdf, gradients = ventrola.wiener_logpdf_grad([True, False], [0.8, 0.9], **BASE)
    assert list(gradients) == list(ventrola.likelihood.PARAMETER_NAMES)
    assert np.array_equal(logpdf, ventrola.wiener_logpdf([True, False], [0.8, 0.9], **BASE))
    assert all(g.shape == (2,) and np.all(np.isfinite(g)) for g in gradients.values())


def test_engine_checks_its_columns():
    columns = [np.array([value]) for value in (1.0, 1.5, 0.5, 0.3, 0.0, 0.0, 0.0, 1.0)]
    good = [np.array([True]), np.array([0.8])] + columns
    assert _engine.wiener_logpdf(*good).shape == (1,)
    with pytest.raises(TypeError):
        _engine.wiener_logpdf(*good[:9])
    with pytest.raises(TypeError, match="ndarray"):
        _engine.wiener_logpdf(np.array([True]), [0.8], *good[2:])
    with pytest.raises(ValueError, match="rts"):
        _engine.wiener_logpdf(np.array([True, False, True]), np.array([0.8, 0.9]), *good[2:])


def test_loglik_reads_result_dicts_and_applies_the_lapse_mixture():
    choices = np.array([True, False, True])
    rts = np.array([0.5, 0.7, 1.2])
    params = dict(BASE, noise_sd=1.0, iterations=12, final_cost=0.1)
    densities = ventrola.wiener_pdf(choices, rts, **BASE)
    assert ventrola.loglik(choices, rts, params) == pytest.approx(np.log(densities).sum(), rel=1e-12)
    mixed = 0.9 * densities + 0.1 * 0.5 / rts.max()
    assert ventrola.loglik(choices, rts, params, contamination=0.1) == pytest.approx(np.log(mixed).sum(), rel=1e-12)
    # A response faster than t0 is impossible for the model but not for a lapse.
    fast = np.array([0.1, 0.7])
    assert ventrola.loglik(fast > 0, fast, params) == -np.inf
    assert np.isfinite(ventrola.loglik(fast > 0, fast, params, contamination=0.05))
    with pytest.raises(ValueError, match="contamination"):
        ventrola.loglik(choices, rts, params, contamination=1.5)
    with pytest.raises(ValueError, match="boundary_separation"):
        ventrola.loglik(choices, rts, {"drift_rate": 1.0})


DIGEST = """
import hashlib, numpy as np, ventrola, _ventrola
rng = np.random.default_rng(5)
n = 200_000
rts = rng.uniform(0.2, 3.0, n)
choices = rng.random(n) < 0.6
drift = rng.normal(1.0, 1.0, n)
logpdf, gradients = ventrola.wiener_logpdf_grad(choices, rts, drift, 1.5, 0.4, 0.25, drift_rate_sd=0.5)
cdf = ventrola.wiener_cdf(choices, rts, drift, 1.5, 0.4, 0.25, drift_rate_sd=0.5)
digest = hashlib.sha256(logpdf.tobytes() + cdf.tobytes())
for g in gradients.values():
    digest.update(g.tobytes())
_ventrola.simulate(1.0, 1.5, 0.5, 0.3, 50_000, 1)
import os
print(digest.hexdigest(), len(os.listdir("/proc/self/task")))
"""


def test_results_do_not_depend_on_the_thread_count_and_one_pool_serves_both_modules(python_subprocess):
    runs = {threads: python_subprocess(DIGEST, {"RAYON_NUM_THREADS": threads}).split() for threads in ("1", "2", "5")}
    assert len({digest for digest, _ in runs.values()}) == 1
    # The interpreter's own thread plus the pool's workers, once: _ventrola's
    # simulate and the engine ran on the same pool. (Other libraries may add a
    # thread or two of their own; a second pool would add four.)
    assert int(runs["5"][1]) - int(runs["1"][1]) == 4


def test_the_extensions_share_one_runtime_library(python_subprocess):
    code = (
        "import _ventrola, ventrola._engine\n"
        "print(sorted({l.split()[-1].rsplit('/', 1)[-1] for l in open('/proc/self/maps') if 'ventrola' in l}))"
    )
    names = python_subprocess(code).decode()
    assert names.count("libventrola_runtime") == 1 and "_engine" in names and "_ventrola" in names
