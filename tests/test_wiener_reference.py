"""The mpmath reference (wiener_reference.py) against itself, by independent
routes to the same quantity, and the reference table against the reference.

These judge the judge: the accuracy tests of the engine are only as good as
the values they compare with.
"""
import json
import math
import os
import random
from pathlib import Path

import pytest
from mpmath import mp, mpf

import wiener_reference as ref

TABLE = Path(__file__).parent / "data" / "wiener-reference.json"


@pytest.fixture(autouse=True)
def digits():
    with mp.workdps(ref.DPS):
        yield


def test_the_two_density_series_agree_where_both_converge():
    for u in [0.02, 0.1, 0.5, 2 / math.pi, 1.5, 4.0]:
        for w in [1e-3, 0.05, 0.5, 0.95, 0.999]:
            small, large = ref.g_small(mpf(u), mpf(w)), ref.g_large(mpf(u), mpf(w))
            for x, y in zip(small, large):  # log g and its two derivatives
                assert abs(x - y) <= mpf("1e-30") * max(1, abs(y)), (u, w)


def test_the_two_distribution_series_agree_where_both_converge():
    for t in [0.05, 0.4, 1.0, 3.0]:
        for v, a, w in [(0.0, 1.0, 0.5), (-3.0, 2.0, 0.9), (4.0, 0.5, 0.05), (0.5, 1.5, 0.3)]:
            args = [mpf(x) for x in (t, v, a, w)]
            small, large = ref.cdf_fixed_small(*args), ref.cdf_fixed_large(*args)
            assert abs(small - large) <= mpf("1e-30") * large, (t, v, a, w)


def test_the_density_integrates_to_the_distribution_function_and_the_choice_probability():
    mp.dps = ref.QUAD_DPS
    for v, a, w, sv in [(1.3, 1.2, 0.4, 0.0), (-2.0, 0.6, 0.8, 0.0), (0.5, 2.0, 0.3, 1.5)]:
        v, a, w, sv = (mpf(x) for x in (v, a, w, sv))
        density = lambda s: mp.exp(ref.log_density_fixed(s, v, a, w, sv))
        total = mp.quad(density, [0, 0.05, 0.3, 1, 4, mp.inf])
        if sv == 0:
            t = mpf("0.7")
            assert abs(mp.quad(density, [0, 0.05, 0.3, t]) - ref.cdf_fixed(t, v, a, w)) < mpf("1e-18")
            assert abs(total - ref.probability_lower(v, a, w)) < mpf("1e-18")
        else:
            expected = mp.quad(lambda z: mp.npdf(z) * ref.probability_lower(v + sv * z, a, w), [-mp.inf, 0, mp.inf])
            assert abs(total - expected) < mpf("1e-18")
    # Both boundaries together, and the distribution function at a time as
    # good as never: P(RT > 14 s) is about exp(-pi^2 14 / 2a^2) < 1e-15.
    base = dict(drift_rate=0.8, boundary_separation=1.4, starting_point=0.45, non_decision_time_range=0.2)
    for extra in (dict(drift_rate_sd=1.0), dict(starting_point_range=0.3)):
        p = {**base, **extra}
        assert abs(ref.probability(True, **p) + ref.probability(False, **p) - 1) < mpf("1e-15")
        assert abs(ref.distribution(True, 14.0, **p) - ref.probability(True, **p)) < mpf("1e-14")


def test_the_closed_start_average_matches_quadrature_over_the_start():
    for s, lo, hi, sv in [("0.4", "0.2", "0.6", "0"), ("0.002", "0.001", "0.1", "2"), ("1.5", "0.05", "0.95", "4"), ("3e-5", "0.3", "0.35", "1")]:
        s, lo, hi, sv = (mpf(x) for x in (s, lo, hi, sv))
        v, a = mpf("1.5"), mpf("1.2")
        top = ref.log_density_fixed(s, v, a, lo, sv)
        density = lambda w: mp.exp(ref.log_density_fixed(s, v, a, w, sv) - top)
        # At the shortest times the density falls by hundreds of e-folds
        # across the range: geometric pieces from the lower end.
        pieces = [lo] + [lo + (hi - lo) / mpf(2) ** k for k in range(24, -1, -1)]
        integral, error = mp.quad(density, pieces, error=True)
        assert error < mpf("1e-30") * integral
        by_quadrature = top + mp.log(integral / (hi - lo))
        assert abs(ref.start_average(s, v, a, lo, hi, sv) - by_quadrature) < mpf("1e-25") * max(1, abs(by_quadrature))


def test_window_quadrature_matches_the_difference_of_distribution_functions():
    p = dict(drift_rate=-1.2, boundary_separation=1.5, starting_point=0.4, non_decision_time=0.3)
    for rt, st0 in [(0.9, 0.2), (0.35, 0.2), (0.3002, 0.1)]:
        by_quadrature = ref.log_density(True, rt, non_decision_time_range=st0, **p)
        m = ref.reduce(True, p)
        t = mpf(rt) - m.t0
        difference = ref.cdf_fixed(t, m.v, m.a, m.w) - ref.cdf_fixed(t - st0, m.v, m.a, m.w)
        assert abs(by_quadrature - mp.log(difference / st0)) < mpf("1e-15") * max(1, abs(by_quadrature))


def test_the_distribution_function_with_drift_variability_matches_the_drift_average():
    mp.dps = ref.QUAD_DPS
    p = dict(drift_rate=1.0, boundary_separation=1.2, starting_point=0.6, drift_rate_sd=2.0, noise_sd=1.0)
    for choice, rt in [(True, 0.6), (False, 2.5)]:
        m = ref.reduce(choice, p)
        # The normal weight beyond 14 standard deviations is below 1e-44.
        averaged = mp.quad(lambda z: mp.npdf(z) * ref.cdf_fixed(mpf(rt), m.v + m.sv * z, m.a, m.w), [-14, -4, 0, 4, 14])
        assert abs(ref.distribution(choice, rt, **p) - averaged) < mpf("1e-15") * max(averaged, mpf("1e-30"))


@pytest.mark.parametrize(
    "choice, rt, params",
    [
        (False, 0.9, dict(drift_rate=1.2, boundary_separation=1.5, starting_point=0.4, non_decision_time=0.3)),
        (True, 0.231, dict(drift_rate=-4.0, boundary_separation=2.5, starting_point=0.2, drift_rate_sd=2.0, noise_sd=0.5)),
        (True, 0.7, dict(drift_rate=2.0, boundary_separation=1.0, starting_point=0.5, starting_point_range=0.6)),
        (False, 0.35, dict(drift_rate=1.0, boundary_separation=1.0, non_decision_time=0.2, non_decision_time_range=0.3)),
        (True, 0.5, dict(drift_rate=1.0, boundary_separation=2.0, drift_rate_sd=1.0, starting_point_range=0.4, non_decision_time=0.2, non_decision_time_range=0.2)),
    ],
    ids=["base", "sv", "sz", "st0", "all"],
)
def test_the_exact_gradient_matches_finite_differences(choice, rt, params):
    _, exact = ref.log_density_gradient(choice, rt, **params)
    differences = ref.finite_difference_gradient(choice, rt, **params)
    for name in ref.PARAMETERS:
        assert abs(exact[name] - differences[name]) <= mpf("1e-9") * max(1, abs(exact[name])), name


def _sample(points, rng):
    """A few table points, cheap ones mostly: the random choice changes from
    run to run so that, over many runs, every entry is recomputed."""
    closed = [p for p in points if p["region"] in ("base", "sv")]
    quadrature = [p for p in points if p["region"] in ("sz", "st0")]
    nested = [p for p in points if p["region"] == "all" and p["gradient"] is None]
    return rng.sample(closed, 3) + rng.sample(quadrature, 1) + rng.sample(nested, 1)


def test_the_table_is_what_the_reference_computes():
    points = json.loads(TABLE.read_text())["points"]
    seed = int(os.environ.get("VENTROLA_REFERENCE_SEED", random.randrange(2**32)))
    chosen = points if os.environ.get("VENTROLA_REFERENCE_POINTS") == "all" else _sample(points, random.Random(seed))
    for p in chosen:
        where = f"table point {p['id']} (VENTROLA_REFERENCE_SEED={seed})"
        if p["gradient"] is None:
            log_f, gradient = ref.log_density(p["choice"], p["rt"], **p["params"]), None
        else:
            log_f, gradient = ref.log_density_gradient(p["choice"], p["rt"], **p["params"])
        if p["log_density"] is None:
            assert log_f == -mp.inf, where
        else:
            assert math.isclose(p["log_density"], float(log_f), rel_tol=1e-12, abs_tol=1e-12), where
        cdf = ref.distribution(p["choice"], p["rt"], **p["params"])
        assert math.isclose(p["cdf"], float(cdf), rel_tol=1e-12, abs_tol=1e-15), where
        if p["gradient"] is not None:
            for name, value in p["gradient"].items():
                assert math.isclose(value, float(gradient[name]), rel_tol=1e-10, abs_tol=1e-12), f"{where}: {name}"
