"""The likelihood functions: accuracy against the mpmath reference table
(tests/data/wiener-reference.json, from tools/make_wiener_reference.py), and
facts of the mathematics checked on the functions' own values.

The tolerances are the accuracy contract: the log-density to 1e-9 of
max(1, |log f|) without starting-point and non-decision-time variability and
1e-6 with it; the distribution function to 1e-9 and 1e-6 absolute; each
partial derivative to 1e-6 relative or 1e-8 absolute.
"""
import json
import math
from pathlib import Path

import numpy as np
import pytest
from scipy import integrate

from ventrola import loglik, wiener_cdf, wiener_logpdf, wiener_logpdf_grad, wiener_pdf

TABLE = json.loads((Path(__file__).parent / "data" / "wiener-reference.json").read_text())
PARAMETERS = TABLE["parameters"]
KEYWORDS = PARAMETERS + ["noise_sd"]
REGIONS = ["base", "sv", "sz", "st0", "all"]


def region_points(region):
    return [p for p in TABLE["points"] if p["region"] == region]


def call(function, points):
    """One broadcast call over the points, each with its own parameters."""
    choices = np.array([p["choice"] for p in points])
    rts = np.array([p["rt"] for p in points], dtype=np.float64)
    keywords = {k: np.array([p["params"][k] for p in points], dtype=np.float64) for k in KEYWORDS}
    return function(choices, rts, **keywords)


def loose(points):
    """The contract's tolerance class of each point: with sz or st0, looser."""
    return np.array([p["params"]["starting_point_range"] > 0 or p["params"]["non_decision_time_range"] > 0 for p in points])


def report(points, errors, limits, label):
    """Fails with the worst offenders, saying where in parameter space they are."""
    bad = np.flatnonzero(~(errors <= limits))
    if bad.size:
        worst = bad[np.argsort(-(errors[bad] / limits[bad]))][:8]
        lines = [
            f"  id {points[i]['id']} ({points[i]['times']}, {'upper' if points[i]['choice'] else 'lower'}, "
            f"rt={points[i]['rt']}): error {errors[i]:.3g} > {limits[i]:.3g}  {points[i]['params']}"
            for i in worst
        ]
        pytest.fail(f"{label}: {bad.size} of {len(points)} points out of tolerance\n" + "\n".join(lines))


@pytest.mark.parametrize("region", REGIONS)
def test_log_density_matches_the_reference(region):
    points = region_points(region)
    got = call(wiener_logpdf, points)
    expected = np.array([-np.inf if p["log_density"] is None else p["log_density"] for p in points])
    impossible = np.isneginf(expected)
    assert np.all(np.isneginf(got[impossible])), "response times at or below t0 must give -inf"
    with np.errstate(invalid="ignore"):
        errors = np.where(impossible, 0.0, np.abs(got - expected))
    limits = np.where(loose(points), 1e-6, 1e-9) * np.maximum(1.0, np.abs(np.where(impossible, 0.0, expected)))
    report(points, errors, limits, f"log-density, {region}")


@pytest.mark.parametrize("region", REGIONS)
def test_distribution_function_matches_the_reference(region):
    points = region_points(region)
    got = call(wiener_cdf, points)
    expected = np.array([p["cdf"] for p in points])
    report(points, np.abs(got - expected), np.where(loose(points), 1e-6, 1e-9), f"distribution function, {region}")


@pytest.mark.parametrize("region", REGIONS)
def test_gradient_matches_the_reference(region):
    points = [p for p in region_points(region) if p["gradient"] is not None]
    log_f, gradient = call(wiener_logpdf_grad, points)
    assert sorted(gradient) == sorted(PARAMETERS)
    expected = np.array([p["log_density"] for p in points])
    limits = np.where(loose(points), 1e-6, 1e-9) * np.maximum(1.0, np.abs(expected))
    report(points, np.abs(log_f - expected), limits, f"log-density beside the gradient, {region}")
    for name in PARAMETERS:
        expected = np.array([p["gradient"][name] for p in points])
        limits = np.maximum(1e-6 * np.abs(expected), 1e-8)
        report(points, np.abs(gradient[name] - expected), limits, f"d log f / d {name}, {region}")


# ---------------------------------------------------------------- facts ---

MODELS = {
    "base": dict(drift_rate=1.3, boundary_separation=1.2, starting_point=0.4, non_decision_time=0.25),
    "sv": dict(drift_rate=-0.8, boundary_separation=2.0, starting_point=0.6, non_decision_time=0.3, drift_rate_sd=1.5),
    "sz": dict(drift_rate=2.0, boundary_separation=0.9, starting_point=0.5, non_decision_time=0.2, starting_point_range=0.5),
    "st0": dict(drift_rate=0.5, boundary_separation=1.5, starting_point=0.3, non_decision_time=0.2, non_decision_time_range=0.25),
    "all": dict(drift_rate=1.0, boundary_separation=1.4, starting_point=0.55, non_decision_time=0.2,
                drift_rate_sd=1.0, starting_point_range=0.4, non_decision_time_range=0.3, noise_sd=0.8),
}


def density_integral(choice, params, lo, hi):
    value, error = integrate.quad(
        lambda t: float(wiener_pdf(choice, t, **params)), lo, hi, limit=400, epsabs=1e-12, epsrel=1e-10
    )
    assert error < 1e-9
    return value


def contract(params):
    """The accuracy owed to this model: looser with sz or st0."""
    return 1e-6 if params.get("starting_point_range", 0) > 0 or params.get("non_decision_time_range", 0) > 0 else 1e-9


@pytest.mark.parametrize("name", MODELS)
def test_the_density_integrates_to_the_distribution_function(name):
    p = MODELS[name]
    start, tolerance = p["non_decision_time"], 2 * contract(p)
    total = 0.0
    for choice in (True, False):
        pieces = [start, start + 0.05, start + 0.5, start + 3.0]
        to_rt = np.cumsum([density_integral(choice, p, x, y) for x, y in zip(pieces, pieces[1:])])
        np.testing.assert_allclose(wiener_cdf(choice, pieces[1:], **p), to_rt, rtol=0, atol=tolerance)
        whole = to_rt[-1] + density_integral(choice, p, pieces[-1], np.inf)
        assert wiener_cdf(choice, np.inf, **p) == pytest.approx(whole, abs=tolerance)
        total += whole
    assert total == pytest.approx(1.0, abs=tolerance)
    # The density is the exponential of the log-density wherever it is representable.
    rts = np.linspace(start + 0.01, start + 2.0, 25)
    log_f = wiener_logpdf(True, rts, **p)
    np.testing.assert_allclose(wiener_pdf(True, rts, **p), np.exp(log_f), rtol=2 * contract(p) * np.max(np.abs(log_f)))


@pytest.mark.parametrize("range_name", ["drift_rate_sd", "starting_point_range", "non_decision_time_range"])
def test_variability_vanishing_is_continuous(range_name):
    p = dict(drift_rate=1.0, boundary_separation=1.2, starting_point=0.45, non_decision_time=0.2)
    rts = np.array([0.21, 0.3, 0.6, 1.5, 4.0])
    epsilon = 1e-8
    for choice in (True, False):
        at_zero, gradient = wiener_logpdf_grad(choice, rts, **p, **{range_name: 0.0})
        nearly = wiener_logpdf(choice, rts, **p, **{range_name: epsilon})
        # To first order the change is epsilon times the derivative at 0: 0
        # for sv and sz (f is even in both), half the t0 slope for st0.
        np.testing.assert_allclose(
            nearly, at_zero + epsilon * gradient[range_name], rtol=0, atol=1e-6 * np.max(np.maximum(1, np.abs(at_zero)))
        )
        np.testing.assert_allclose(
            wiener_cdf(choice, rts, **p, **{range_name: epsilon}), wiener_cdf(choice, rts, **p, **{range_name: 0.0}), atol=1e-6
        )


def test_arguments_broadcast_like_numpy():
    choices = np.array([[True], [False], [True]])  # (3, 1)
    rts = np.array([0.4, 0.6, 0.9, 1.6])  # (4,)
    drifts = np.array([[0.5], [1.0], [-1.0]])
    for function in (wiener_logpdf, wiener_pdf, wiener_cdf):
        out = function(choices, rts, drifts, 1.2, non_decision_time=0.3)
        assert out.shape == (3, 4) and out.dtype == np.float64
        for i in range(3):
            for j in range(4):
                alone = function(bool(choices[i, 0]), float(rts[j]), float(drifts[i, 0]), 1.2, non_decision_time=0.3)
                assert out[i, j] == float(alone)
    log_f, gradient = wiener_logpdf_grad(choices, rts, drifts, 1.2, non_decision_time=0.3)
    assert log_f.shape == (3, 4) and all(g.shape == (3, 4) for g in gradient.values())
    assert np.shape(wiener_logpdf(True, 0.5, 1.0, 1.0)) == ()
    with pytest.raises(ValueError):
        wiener_logpdf(np.ones(3, dtype=bool), np.ones(4), 1.0, 1.0)


@pytest.mark.parametrize(
    "name, value",
    [
        ("drift_rate", np.nan), ("drift_rate", np.inf),
        ("boundary_separation", 0.0), ("boundary_separation", -1.0),
        ("starting_point", 0.0), ("starting_point", 1.0),
        ("non_decision_time", -0.1), ("drift_rate_sd", -0.5),
        ("starting_point_range", -0.1), ("starting_point_range", 0.61),  # sz/2 >= min(w, 1 - w) = 0.3
        ("non_decision_time_range", -0.1), ("noise_sd", 0.0),
    ],
)
def test_invalid_parameters_are_refused_by_name(name, value):
    p = dict(drift_rate=1.0, boundary_separation=1.0, starting_point=0.3, non_decision_time=0.2)
    p[name] = np.array([p.get(name, 0.1 if name != "noise_sd" else 1.0), value])  # a bad value among good ones
    for function in (wiener_logpdf, wiener_pdf, wiener_cdf, wiener_logpdf_grad):
        with pytest.raises(ValueError, match=name):
            function(True, 0.5, **p)


def test_impossible_and_missing_response_times():
    for name, p in MODELS.items():
        t0 = p["non_decision_time"]
        rts = np.array([t0, t0 - 0.1, 0.0, -1.0, np.nan])
        log_f, pdf, cdf = wiener_logpdf(True, rts, **p), wiener_pdf(True, rts, **p), wiener_cdf(True, rts, **p)
        assert np.all(np.isneginf(log_f[:4])) and np.all(pdf[:4] == 0) and np.all(cdf[:4] == 0), name
        assert np.isnan(log_f[4]) and np.isnan(pdf[4]) and np.isnan(cdf[4]), name
        # Where the log-density is -inf its derivatives do not exist.
        _, gradient = wiener_logpdf_grad(True, rts, **p)
        assert all(np.all(np.isnan(g)) for g in gradient.values()), name


def test_loglik_sums_the_log_density_and_mixes_in_contaminants():
    p = {**dict.fromkeys(PARAMETERS, 0.0), **MODELS["all"]}
    rng = np.random.default_rng(7)
    choices = rng.random(40) < 0.6
    rts = rng.uniform(0.25, 2.5, 40)
    assert loglik(choices, rts, p) == pytest.approx(np.sum(wiener_logpdf(choices, rts, **p)), rel=1e-12)
    for contamination in (0.02, 0.3):
        # Either response with probability 1/2, uniform on [0, T], T the largest response time.
        mixed = (1 - contamination) * wiener_pdf(choices, rts, **p) + contamination * 0.5 / rts.max()
        assert loglik(choices, rts, p, contamination=contamination) == pytest.approx(np.sum(np.log(mixed)), rel=1e-12)
    # A response faster than any non-decision time: impossible for the model, not for a lapse.
    rts[0] = 0.05
    assert loglik(choices, rts, p) == -np.inf
    mixed = 0.9 * wiener_pdf(choices, rts, **p) + 0.1 * 0.5 / rts.max()
    assert loglik(choices, rts, p, contamination=0.1) == pytest.approx(np.sum(np.log(mixed)), rel=1e-12)
    # Weight 1, the top of its range: every trial a lapse.
    assert loglik(choices, rts, p, contamination=1.0) == pytest.approx(len(rts) * math.log(0.5 / rts.max()), rel=1e-12)
    for contamination in (-0.1, 1.5, math.nan):
        with pytest.raises(ValueError, match="contamination"):
            loglik(choices, rts, p, contamination=contamination)
