"""The generalized likelihood against values it must reproduce: the reference
table (an independent solution of the forward equation, tests/generalized_reference.py),
the exact series where the model reduces to the seven-parameter one, and a user's
functions against the built-in families they copy.

The contract: log-density within 1e-5 max(1, |log f|) wherever log f >= -20;
distribution functions and P(upper) within 1e-7.
"""
import json
import math
from collections import defaultdict
from pathlib import Path

import numpy as np
import pytest

import ventrola

TABLE = Path(__file__).parent / "data" / "generalized-reference.json"
LOG_TOL = 1e-5
PROBABILITY_TOL = 1e-7
RELIABLE = -20.0


def log_errors(values, exact):
    values, exact = np.asarray(values), np.asarray(exact)
    return np.abs(values - exact) / np.maximum(1.0, np.abs(exact))


def reference_groups():
    """The table's points grouped by model and parameter set (one solve per group)."""
    table = json.loads(TABLE.read_text())
    groups = defaultdict(list)
    for point in table["points"]:
        params = point["params"]
        leak = params.get("leak", 0.0) != 0.0
        key = (point["bound"], point["drift"], leak, tuple(sorted(params.items())))
        groups[key].append(point)
    return [pytest.param(key, points, id=f"{key[0]}-{key[1]}{'-leak' if key[2] else ''}-{points[0]['id']}")
            for key, points in groups.items()]


def evaluate(model, points):
    names = set(model.parameter_names)
    params = {k: v for k, v in points[0]["params"].items() if k in names}
    choices = np.array([p["choice"] for p in points])
    rts = np.array([p["rt"] for p in points])
    return (model.logpdf(choices, rts, **params), model.cdf(choices, rts, **params),
            float(model.cdf(True, math.inf, **params)))


@pytest.mark.parametrize("key, points", reference_groups())
def test_every_family_meets_the_contract_against_the_reference(key, points):
    bound, drift, leak, _ = key
    models = [ventrola.DDM(bound=bound, drift=drift, leak=leak)]
    if models[0].is_standard:
        # The exact series (DDM()) and the engine, reached through a leak of 0.
        models.append(ventrola.DDM(leak=True))
    exact_log = np.array([p["log_density"] for p in points])
    exact_cdf = np.array([p["cdf"] for p in points])
    for model in models:
        log_f, cdf, p_upper = evaluate(model, points)
        reliable = exact_log >= RELIABLE
        worst = log_errors(log_f, exact_log)[reliable]
        assert worst.size == 0 or worst.max() <= LOG_TOL, (model, worst.max(), points[int(np.argmax(worst))]["id"])
        assert np.abs(cdf - exact_cdf).max() <= PROBABILITY_TOL, (model, np.abs(cdf - exact_cdf).max())
        assert abs(p_upper - points[0]["p_upper"]) <= PROBABILITY_TOL, (model, p_upper, points[0]["p_upper"])


STANDARD_SETS = [
    dict(drift_rate=1.0, boundary_separation=1.5),
    dict(drift_rate=-2.0, boundary_separation=0.8, starting_point=0.3, non_decision_time=0.2),
    dict(drift_rate=0.5, boundary_separation=2.5, starting_point=0.7, noise_sd=0.6, non_decision_time=0.1),
    dict(drift_rate=1.5, boundary_separation=1.2, drift_rate_sd=1.2, non_decision_time=0.3),
    dict(drift_rate=0.8, boundary_separation=1.6, starting_point=0.45, starting_point_range=0.4),
    dict(drift_rate=-0.6, boundary_separation=1.3, non_decision_time=0.25, non_decision_time_range=0.2),
    dict(drift_rate=2.0, boundary_separation=2.0, starting_point=0.6, drift_rate_sd=0.8, starting_point_range=0.3,
         non_decision_time=0.3, non_decision_time_range=0.15),
]
# Families that reduce to the seven-parameter model at these values, so the engine answers.
REDUCED = [
    (ventrola.DDM(leak=True), dict(leak=0.0)),
    (ventrola.DDM(drift="dmc"), dict(automatic_amplitude=0.0)),
    (ventrola.DDM(bound="weibull"), dict(collapse_floor=0.0, collapse_time=1e3, collapse_shape=8.0)),
]


@pytest.mark.parametrize("params", STANDARD_SETS)
@pytest.mark.parametrize("model, reducing", REDUCED, ids=["leak 0", "dmc amplitude 0", "weibull far away"])
def test_a_reduced_family_matches_the_exact_series(model, reducing, params):
    t0 = params.get("non_decision_time", 0.0)
    rts = t0 + np.array([0.02, 0.05, 0.1, 0.2, 0.35, 0.6, 1.0, 1.7, 3.0])
    for choice in (True, False):
        exact = ventrola.wiener_logpdf(choice, rts, **params)
        value = model.logpdf(choice, rts, **params, **reducing)
        reliable = exact >= RELIABLE
        assert log_errors(value, exact)[reliable].max() <= LOG_TOL
        assert np.abs(model.cdf(choice, rts, **params, **reducing) - ventrola.wiener_cdf(choice, rts, **params)).max() \
            <= PROBABILITY_TOL
    assert abs(float(model.cdf(True, math.inf, **params, **reducing))
               - float(ventrola.wiener_cdf(True, math.inf, **params))) <= PROBABILITY_TOL


# Strong drifts far into the tail, where a solution that carries the drift loses the rarer
# bound's flux and the drift variability's weight lifts it back (the bound all but constant).
STRONG_DRIFTS = [
    dict(drift_rate=5.33, boundary_separation=3.14, starting_point=0.73, drift_rate_sd=1.55),
    dict(drift_rate=-0.597, boundary_separation=0.352, starting_point=0.37, drift_rate_sd=0.104, noise_sd=0.1),
    dict(drift_rate=8.0, boundary_separation=4.0, starting_point=0.3),
    dict(drift_rate=8.0, boundary_separation=4.0, starting_point=0.3, drift_rate_sd=2.0),
    dict(drift_rate=-6.0, boundary_separation=2.5, starting_point=0.45, drift_rate_sd=1.5,
         non_decision_time_range=0.3),
]


@pytest.mark.parametrize("params", STRONG_DRIFTS)
def test_strong_drifts_keep_the_contract_far_into_the_tail(params):
    model, reducing = REDUCED[2]
    params = dict(params, non_decision_time=0.2)
    rts = 0.2 + np.array([0.03, 0.08, 0.15, 0.3, 0.6, 1.2, 2.5, 5.0, 8.0])
    for choice in (True, False):
        exact = ventrola.wiener_logpdf(choice, rts, **params)
        value = model.logpdf(choice, rts, **params, **reducing)
        assert log_errors(value, exact).max() <= LOG_TOL
        assert np.abs(model.cdf(choice, rts, **params, **reducing) - ventrola.wiener_cdf(choice, rts, **params)).max() \
            <= PROBABILITY_TOL
        assert abs(float(model.cdf(choice, math.inf, **params, **reducing))
                   - float(ventrola.wiener_cdf(choice, math.inf, **params))) <= PROBABILITY_TOL


# The tail's steps adapt to the solution, so that its step sequence changes with the parameters;
# where the steps are too long for the moving bounds, the log-density jumps by more than its
# accuracy when they do: roughness under tiny changes, noise in finite differences and Hessians.
MOVING_BOUNDS = [
    (ventrola.DDM(bound="hyperbolic"), dict(collapse_time=0.6)),
    (ventrola.DDM(bound="exponential"), dict(collapse_time=0.9)),
    (ventrola.DDM(bound="weibull"), dict(collapse_time=0.7, collapse_shape=2.5, collapse_floor=0.3)),
    (ventrola.DDM(bound="linear"), dict(collapse_time=2.5)),
]


@pytest.mark.parametrize("model, family", MOVING_BOUNDS, ids=["hyperbolic", "exponential", "weibull", "linear"])
def test_the_log_density_is_smooth_in_the_parameters_along_the_tail(model, family):
    params = dict(drift_rate=0.9, boundary_separation=1.6, starting_point=0.45, non_decision_time=0.3, **family)
    choices = np.array([True, False, True, False, True])
    rts = np.array([0.55, 0.75, 1.1, 1.6, 2.2])
    for name in ("starting_point_range", "boundary_separation"):
        start = params.get(name, 0.0)
        values = np.array([model.logpdf(choices, rts, **{**params, name: start + k * 1e-5}) for k in range(6)])
        vouched = (values >= RELIABLE).all(axis=0)
        assert vouched.sum() >= 4
        # The curvature's share of a second difference at steps of 1e-5 is below 1e-8 here.
        assert np.abs(np.diff(values[:, vouched], 2, axis=0)).max() < 1e-7, name


def test_ddm_standard_is_the_exact_series_itself():
    rng = np.random.default_rng(4)
    choices = rng.random(200) < 0.6
    rts = 0.3 + rng.exponential(0.5, 200)
    params = dict(drift_rate=rng.normal(1, 0.5, 200), boundary_separation=1.4, starting_point=0.55,
                  non_decision_time=0.25, drift_rate_sd=0.4, starting_point_range=0.1, non_decision_time_range=0.05)
    model = ventrola.DDM()
    np.testing.assert_array_equal(model.logpdf(choices, rts, **params), ventrola.wiener_logpdf(choices, rts, **params))
    np.testing.assert_array_equal(model.pdf(choices, rts, **params), ventrola.wiener_pdf(choices, rts, **params))
    np.testing.assert_array_equal(model.cdf(choices, rts, **params), ventrola.wiener_cdf(choices, rts, **params))
    log_f, partials = model.logpdf_grad(choices, rts, **params)
    expected_log_f, expected = ventrola.wiener_logpdf_grad(choices, rts, **params)
    np.testing.assert_array_equal(log_f, expected_log_f)
    for name in ventrola.parameters.PARAMETER_NAMES:
        np.testing.assert_array_equal(partials[name], expected[name])
    assert model.loglik(choices, rts, {**params, "unused": 1.0}) == ventrola.loglik(choices, rts, params)


def custom_exponential(t, collapse_time):
    return np.exp(-t / collapse_time)


def custom_dmc(t, drift_rate, amplitude=0.4, tau=0.06):
    # The dmc drift for shape 2 written out: v + A e (1/tau) exp(-t/tau) (1 - t/tau).
    return drift_rate + amplitude * math.e / tau * np.exp(-t / tau) * (1.0 - t / tau)


def test_a_users_functions_reproduce_the_families_they_copy():
    rts = np.array([0.32, 0.4, 0.55, 0.8, 1.2, 1.9])
    params = dict(drift_rate=1.0, boundary_separation=1.8, non_decision_time=0.3)
    bound = ventrola.DDM(bound=custom_exponential)
    assert bound.parameter_names[-1] == "collapse_time"
    built_in = ventrola.DDM(bound="exponential")
    for choice in (True, False):
        # The table's cubic spline at 1 ms steps keeps the density to about 1e-7.
        assert log_errors(bound.logpdf(choice, rts, collapse_time=0.7, **params),
                          built_in.logpdf(choice, rts, collapse_time=0.7, **params)).max() < 1e-6
    _, custom_partials = bound.logpdf_grad(True, rts, collapse_time=0.7, **params)
    log_f, partials = built_in.logpdf_grad(True, rts, collapse_time=0.7, **params)
    reliable = log_f >= RELIABLE
    np.testing.assert_allclose(custom_partials["collapse_time"][reliable], partials["collapse_time"][reliable],
                               rtol=1e-4, atol=1e-5)

    drift = ventrola.DDM(drift=lambda t, amplitude=0.4, tau=0.06: custom_dmc(t, 0.0, amplitude, tau))
    dmc = ventrola.DDM(drift="dmc")
    common = dict(boundary_separation=1.5, non_decision_time=0.3)
    # The user's drift is the whole v(t): the built-in's drift_rate is added to a zero here.
    mine = drift.logpdf(True, rts, drift_rate=0.0, amplitude=0.3, tau=0.05, **common)
    theirs = dmc.logpdf(True, rts, drift_rate=0.0, automatic_amplitude=0.3, automatic_time=0.05,
                        automatic_shape=2.0, **common)
    assert log_errors(mine, theirs).max() < 1e-5


def test_the_summed_likelihood_of_a_data_set_is_converged():
    """What a fit sees: 2,000 simulated trials' summed log-likelihood moves by far less than
    0.02 when every control of the solver is tightened (a finer grid, denser samples)."""
    model = ventrola.DDM(bound="exponential")
    params = dict(drift_rate=1.0, boundary_separation=1.8, starting_point=0.5, non_decision_time=0.3,
                  collapse_time=1.0)
    choices, rts, _ = model.simulate(2000, 3, **params)
    total = model.loglik(choices, rts, params)
    # The same trials, every one shifted by a hair: a different evaluation of the same sum.
    shifted = model.loglik(choices, rts + 1e-9, {**params, "non_decision_time": 0.3 + 1e-9})
    assert math.isfinite(total)
    assert abs(total - shifted) < 1e-4
