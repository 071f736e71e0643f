"""fit_ml: recovery of known parameters, standard errors that match the sampling spread, the
lapse mixture, and every refusal.

Data come from simulate_ddm's exact sampler, so they follow the fitted model itself, across-trial
variability included, and recovery is judged against the simulated values.
"""

import math

import numpy as np
import pytest
from scipy.optimize import OptimizeResult

import ventrola
from ventrola.ml import fit as ml_fit

THREE = ("drift_rate", "boundary_separation", "non_decision_time")
BIAS_AND_DRIFT_SD = (*THREE, "starting_point", "drift_rate_sd")


def exact_trials(drift, boundary, start, t0, n, seed, **variability):
    """n trials of the model, none cut off by a time cap."""
    choices, rts, _ = ventrola.simulate_ddm(drift, boundary, start, t0, n, seed, method="exact", max_time=math.inf,
                                            **variability)
    return choices, rts


def truth(drift, boundary, start, t0, **variability):
    return {"drift_rate": drift, "boundary_separation": boundary, "starting_point": start,
            "non_decision_time": t0, **variability}


def with_lapses(choices, rts, share, seed):
    """Replaces a share of trials by lapses: a random response at a time uniform up to the slowest."""
    rng = np.random.default_rng(seed)
    lapse = rng.random(len(rts)) < share
    times = np.where(lapse, rng.uniform(0.0, rts.max(), len(rts)), rts)
    return np.where(lapse, rng.random(len(rts)) < 0.5, choices), times


def assert_within_standard_errors(fit, expected, names, limit=4.0):
    for name in names:
        se = fit["standard_errors"][name]
        assert np.isfinite(se) and se > 0, (name, fit["note"])
        assert abs(fit[name] - expected[name]) < limit * se, (name, fit[name], expected[name], se)


# ---------------------------------------------------------------------------
# Recovery


@pytest.mark.parametrize("drift, boundary, t0, seed", [(2.0, 1.2, 0.3, 1), (1.0, 1.5, 0.3, 2), (0.6, 2.2, 0.25, 3)])
def test_three_parameter_model_is_recovered(drift, boundary, t0, seed):
    choices, rts = exact_trials(drift, boundary, 0.5, t0, 2000, seed)
    fit = ventrola.fit_ml(choices, rts, contamination=0.0)
    assert fit["converged"] and fit["note"] is None
    assert_within_standard_errors(fit, truth(drift, boundary, 0.5, t0), THREE)
    assert (fit["starting_point"], fit["drift_rate_sd"], fit["starting_point_range"],
            fit["non_decision_time_range"], fit["noise_sd"], fit["contamination"]) == (0.5, 0.0, 0.0, 0.0, 1.0, 0.0)
    assert fit["n_trials"] == 2000 and fit["n_free"] == 3 and fit["iterations"] > 0


def test_bias_and_drift_variability_are_recovered():
    choices, rts = exact_trials(1.0, 1.5, 0.35, 0.3, 3000, 4, drift_rate_sd=1.2)
    fit = ventrola.fit_ml(choices, rts, free=BIAS_AND_DRIFT_SD, contamination=0.0)
    assert fit["converged"]
    assert_within_standard_errors(fit, truth(1.0, 1.5, 0.35, 0.3, drift_rate_sd=1.2), BIAS_AND_DRIFT_SD)


def test_non_decision_time_range_is_recovered():
    choices, rts = exact_trials(1.2, 1.4, 0.5, 0.25, 2000, 5, non_decision_time_range=0.15)
    free = (*THREE, "non_decision_time_range")
    fit = ventrola.fit_ml(choices, rts, free=free, contamination=0.0)
    assert fit["converged"]
    assert_within_standard_errors(fit, truth(1.2, 1.4, 0.5, 0.25, non_decision_time_range=0.15), free)


def test_starting_point_range_is_recovered():
    choices, rts = exact_trials(1.0, 1.5, 0.5, 0.3, 2000, 21, starting_point_range=0.6)
    free = (*THREE, "starting_point_range")
    fit = ventrola.fit_ml(choices, rts, free=free, contamination=0.0)
    assert fit["converged"]
    assert_within_standard_errors(fit, truth(1.0, 1.5, 0.5, 0.3, starting_point_range=0.6), free)


def test_standard_errors_match_the_spread_of_estimates_over_data_sets():
    estimates, errors = [], []
    for seed in range(100):
        choices, rts = exact_trials(1.0, 1.5, 0.5, 0.3, 400, 1000 + seed)
        fit = ventrola.fit_ml(choices, rts, contamination=0.0)
        estimates.append([fit[name] for name in THREE])
        errors.append([fit["standard_errors"][name] for name in THREE])
    spread = np.std(estimates, axis=0, ddof=1)
    typical = np.sqrt(np.mean(np.square(errors), axis=0))
    # With 100 data sets the spread itself is uncertain by about 7 %; at 400 trials the estimates
    # spread a little wider than the asymptotic errors say.
    np.testing.assert_array_less(0.8 * typical, spread)
    np.testing.assert_array_less(spread, 1.3 * typical)


# ---------------------------------------------------------------------------
# The optimum


def test_reported_likelihood_is_the_mixture_likelihood_at_a_maximum():
    choices, rts = exact_trials(1.1, 1.3, 0.5, 0.28, 1500, 6)
    fit = ventrola.fit_ml(choices, rts, free=(*THREE, "starting_point"), contamination=0.03)
    assert fit["loglik"] == pytest.approx(ventrola.loglik(choices, rts, fit, contamination=0.03), rel=1e-12)
    assert fit["aic"] == pytest.approx(2 * 4 - 2 * fit["loglik"])
    assert fit["bic"] == pytest.approx(4 * math.log(1500) - 2 * fit["loglik"])
    # Any small move of a free parameter lowers the likelihood.
    for name in (*THREE, "starting_point"):
        step = 4 * fit["standard_errors"][name]
        for moved in (fit[name] - step, fit[name] + step):
            assert ventrola.loglik(choices, rts, dict(fit, **{name: moved}), contamination=0.03) < fit["loglik"]


def test_noise_sd_sets_the_units():
    choices, rts = exact_trials(1.0, 1.5, 0.5, 0.3, 1000, 7)
    unit = ventrola.fit_ml(choices, rts, free=(*THREE, "drift_rate_sd"), contamination=0.0)
    doubled = ventrola.fit_ml(choices, rts, free=(*THREE, "drift_rate_sd"), fixed={"noise_sd": 2.0},
                              contamination=0.0)
    assert doubled["noise_sd"] == 2.0
    assert doubled["loglik"] == pytest.approx(unit["loglik"], abs=1e-6)
    for name in ("drift_rate", "boundary_separation"):
        assert doubled[name] == pytest.approx(2.0 * unit[name], rel=1e-4)
    assert doubled["non_decision_time"] == pytest.approx(unit["non_decision_time"], rel=1e-4)


def test_fixed_values_are_kept_and_the_rest_fitted():
    choices, rts = exact_trials(0.9, 1.4, 0.5, 0.3, 1000, 8)
    fit = ventrola.fit_ml(choices, rts, free=["drift_rate"],
                          fixed={"boundary_separation": 1.45, "non_decision_time": 0.29, "starting_point": 0.55},
                          contamination=0.0)
    assert (fit["boundary_separation"], fit["non_decision_time"], fit["starting_point"]) == (1.45, 0.29, 0.55)
    assert list(fit["standard_errors"]) == ["drift_rate"] and fit["n_free"] == 1
    best = ventrola.loglik(choices, rts, fit)
    for drift in (fit["drift_rate"] - 0.05, fit["drift_rate"] + 0.05):
        assert ventrola.loglik(choices, rts, dict(fit, drift_rate=drift)) < best


def test_fits_are_deterministic_and_accept_a_previous_fit_as_guess():
    choices, rts = exact_trials(1.0, 1.5, 0.5, 0.3, 800, 9)
    first = ventrola.fit_ml(choices, rts)
    assert ventrola.fit_ml(choices, rts) == first
    restarted = ventrola.fit_ml(choices, rts, initial_guess=first)
    assert restarted["loglik"] == pytest.approx(first["loglik"], abs=1e-6)
    far = ventrola.fit_ml(choices, rts, initial_guess={"drift_rate": -2.0, "boundary_separation": 4.0})
    assert far["loglik"] == pytest.approx(first["loglik"], abs=1e-4)


def test_a_fit_that_runs_out_of_iterations_reports_it(monkeypatch):
    monkeypatch.setattr(ml_fit, "MAX_ITERATIONS", 1)
    choices, rts = exact_trials(1.0, 1.5, 0.5, 0.3, 500, 10)
    fit = ventrola.fit_ml(choices, rts, free=BIAS_AND_DRIFT_SD)
    assert fit["converged"] is False
    assert fit["iterations"] == 1 and "LIMIT" in fit["message"].upper()


def test_a_parameter_at_the_edge_of_its_range_has_no_standard_error():
    # A wide start range makes errors fast, which drift variability would make slow: its estimate is 0.
    choices, rts = exact_trials(1.0, 1.5, 0.5, 0.3, 2000, 11, starting_point_range=0.8)
    fit = ventrola.fit_ml(choices, rts, free=(*THREE, "drift_rate_sd"), contamination=0.0)
    assert fit["drift_rate_sd"] == 0.0
    assert math.isnan(fit["standard_errors"]["drift_rate_sd"])
    assert "drift_rate_sd" in fit["note"]
    assert all(np.isfinite(fit["standard_errors"][name]) for name in THREE)


# ---------------------------------------------------------------------------
# Lapses


@pytest.fixture(scope="module")
def lapsed():
    return with_lapses(*exact_trials(1.0, 1.5, 0.5, 0.3, 3000, 12), 0.05, 13)


def test_the_mixture_makes_fits_robust_to_lapses(lapsed):
    choices, rts = lapsed
    true = truth(1.0, 1.5, 0.5, 0.3)
    robust = ventrola.fit_ml(choices, rts, contamination=0.05)
    assert_within_standard_errors(robust, true, THREE)
    estimated = ventrola.fit_ml(choices, rts, free=(*THREE, "contamination"))
    assert_within_standard_errors(estimated, dict(true, contamination=0.05), (*THREE, "contamination"))
    # The model alone must reach below the fastest lapse: far off, and far less likely.
    alone = ventrola.fit_ml(choices, rts, contamination=0.0)
    misses = [abs(alone[name] - true[name]) / robust["standard_errors"][name] for name in THREE]
    assert max(misses) > 10
    assert alone["loglik"] < estimated["loglik"] - 100


# ---------------------------------------------------------------------------
# Refusals


@pytest.fixture(scope="module")
def small():
    return exact_trials(1.0, 1.5, 0.5, 0.3, 200, 14)


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda c, r: (np.where(np.arange(len(c)) == 3, 2, c.astype(int)), r), r"choices\[3\] is 2"),
        (lambda c, r: (c, np.where(np.arange(len(r)) == 3, np.nan, r)), "1 impossible response time .*nan at position 3"),
        (lambda c, r: (c, np.where(np.arange(len(r)) == 3, -0.2, r)), "-0.2 at position 3"),
        (lambda c, r: (c, np.where(np.arange(len(r)) == 3, np.inf, r)), "inf at position 3"),
        (lambda c, r: (c[:-1], r), "one value per trial each, not 199 and 200"),
        (lambda c, r: (c.reshape(20, 10), r.reshape(20, 10)), "one-dimensional"),
        (lambda c, r: (c, r.astype(str).astype(object) + "s"), r"must hold numbers of seconds: rts\[0\] is '0\."),
    ],
)
def test_unusable_trials_raise_value_error(small, change, message):
    choices, rts = change(*small)
    with pytest.raises(ValueError, match=message):
        ventrola.fit_ml(choices, rts)


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"free": ["drift_rate", "speed"]}, "unknown parameter 'speed' in free"),
        ({"free": ["drift_rate", "drift_rate"]}, "more than once"),
        ({"free": []}, "nothing to estimate"),
        ({"free": ["noise_sd"]}, "noise_sd cannot be free"),
        ({"fixed": {"drift_rate": 1.0}}, "'drift_rate' is both free and fixed"),
        ({"fixed": {"bias": 0.1}}, "unknown parameter 'bias' in fixed"),
        ({"fixed": {"contamination": 0.1}}, "contamination="),
        ({"fixed": {"starting_point": 1.2}}, "fixed starting_point must be strictly between 0 and 1"),
        ({"fixed": {"noise_sd": 0.0}}, "fixed noise_sd must be > 0"),
        ({"fixed": {"drift_rate_sd": "wide"}}, "drift_rate_sd must be a number"),
        ({"fixed": {"starting_point": 0.2, "starting_point_range": 0.5}}, "starting_point_range"),
        ({"free": ["drift_rate"]}, "'boundary_separation' has no default"),
        ({"contamination": 1.5}, "contamination must be >= 0 and < 1"),
        ({"contamination": -0.1}, "contamination must be >= 0 and < 1"),
        ({"initial_guess": [1.0, 1.5, 0.3]}, "initial_guess must be a dict"),
        ({"initial_guess": {"drift_rate": "fast"}}, r"initial_guess\['drift_rate'\] must be a number"),
        ({"free": ["drift_rate", "boundary_separation"], "fixed": {"non_decision_time": 5.0}, "contamination": 0.0},
         "not below the fastest response time"),
    ],
)
def test_bad_arguments_raise_value_error(small, arguments, message):
    with pytest.raises(ValueError, match=message):
        ventrola.fit_ml(*small, **arguments)


def test_too_few_trials_raise_ventrola_error(small):
    choices, rts = small
    with pytest.raises(ventrola.VentrolaError, match="too few trials: 5"):
        ventrola.fit_ml(choices[:5], rts[:5])
    with pytest.raises(ventrola.VentrolaError, match="^too few trials: 0, need at least 10$"):
        ventrola.fit_ml([], [])


# ---------------------------------------------------------------------------
# When the optimizer's word is not enough


def test_a_tiny_lapse_weight_fits_as_the_model_alone():
    # A weight of 5e-324 made the lapse density underflow to 0, and the first step found only
    # impossible trials: the fit stayed at its start and called that converged.
    choices, rts = exact_trials(1.0, 1.5, 0.5, 0.3, 200, 3)
    tiny = ventrola.fit_ml(choices, rts, contamination=5e-324)
    alone = ventrola.fit_ml(choices, rts, contamination=0.0)
    assert tiny["converged"] and tiny["iterations"] > 1
    assert tiny["loglik"] == pytest.approx(alone["loglik"], abs=1e-6)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # these times also overflow the coordinates' logs
@pytest.mark.parametrize("scale", [None, 1e-300], ids=["times of 5e-324", "times scaled by 1e-300"])
def test_a_fit_stuck_where_nothing_depends_on_the_parameters_is_not_converged(scale):
    # Times no model within the fit's bounds produces: at the start every trial is a lapse.
    choices, rts = exact_trials(1.0, 1.5, 0.5, 0.3, 200, 3)
    rts = np.full(len(rts), 5e-324) if scale is None else rts * scale
    fit = ventrola.fit_ml(choices, rts)
    assert fit["converged"] is False and np.isfinite(fit["loglik"])
    assert fit["note"].startswith(
        "the optimizer stopped at its start, where the log-likelihood does not change with any free parameter")


def test_a_stop_at_the_start_counts_as_converged_only_at_an_optimum(monkeypatch):
    choices, rts = exact_trials(1.0, 1.5, 0.5, 0.3, 400, 5)
    first = ventrola.fit_ml(choices, rts)
    # L-BFGS-B's stop on a small relative change of the objective, met by a first step that found nothing.
    def stop_at_once(fun, x0, **options):
        value, gradient = fun(x0)
        return OptimizeResult(x=np.array(x0), fun=value, jac=gradient, nit=0, success=True, status=0,
                              message="CONVERGENCE: RELATIVE REDUCTION OF F <= FACTR*EPSMCH")

    monkeypatch.setattr(ml_fit, "minimize", stop_at_once)
    stuck = ventrola.fit_ml(choices, rts)
    assert stuck["converged"] is False and stuck["iterations"] == 0
    assert stuck["note"].startswith("the optimizer stopped at its start without improving on it, where the "
                                    "projected gradient is ")
    # From a previous optimum the same stop is right.
    again = ventrola.fit_ml(choices, rts, initial_guess=first)
    assert again["converged"] is True and again["note"] is None


# ---------------------------------------------------------------------------
# The optimizer's coordinates


def test_gradient_in_the_optimizer_s_coordinates_matches_finite_differences():
    """Every parameter free, the starting point and its range on levels of different factors, so the
    range's room depends on two starting points; central differences of the objective agree."""
    from ventrola.ml.coordinates import Layout
    from ventrola.ml.model_spec import model_spec
    from ventrola.ml.objective import Objective, TrialLikelihood
    from ventrola.ml.trial_summary import TrialSummary
    from ventrola.parameters import TABLE

    choices, rts = exact_trials(0.8, 1.4, 0.45, 0.25, 60, 15, non_decision_time_range=0.1)
    spec = model_spec(TABLE.estimable(), None, 0.05)
    start_levels = np.arange(60) % 2
    range_levels = (np.arange(60) // 20 == 2).astype(np.intp)
    trials = TrialSummary(choices, rts)
    layout = Layout(spec, trials, {"starting_point": (start_levels, 2), "starting_point_range": (range_levels, 2)})
    problem = Objective(layout, TrialLikelihood(trials), len(rts))
    theta = np.array([0.9, 1.3, 0.42, 0.61, 0.2, 0.7, 0.2, 0.3, 0.08, 0.04])
    x = layout.x(theta)
    np.testing.assert_allclose(layout.theta(x), theta, rtol=1e-12)
    _, gradient = problem.value_and_gradient(x)
    step = 1e-6
    for i in range(len(x)):
        shift = np.zeros(len(x))
        shift[i] = step
        numeric = (problem.value(x + shift) - problem.value(x - shift)) / (2 * step)
        assert gradient[i] == pytest.approx(numeric, rel=1e-5, abs=1e-7), i


def test_a_stalled_line_search_counts_as_converged_only_at_a_flat_point():
    from types import SimpleNamespace

    from ventrola.ml.coordinates import Layout
    from ventrola.ml.model_spec import model_spec
    from ventrola.ml.trial_summary import TrialSummary

    rts = np.linspace(0.4, 2.0, 50)
    trials = TrialSummary(np.ones(50, dtype=bool), rts)
    layout = Layout(model_spec((*THREE, "drift_rate_sd"), None, 0.0), trials, {})
    x = layout.x(np.array([1.0, 1.5, 0.3, 0.0]))  # the drift variability at its lower bound

    def stalled(gradient):
        return SimpleNamespace(success=False, status=2, message="ABNORMAL: ", x=x, jac=np.array(gradient))

    # A large gradient that pushes against a bound is no reason to go on.
    accepted, message = ml_fit.verdict(stalled([2e-5, -3e-5, 1e-5, 0.4]), layout)
    assert accepted and "accepted" in message
    assert ml_fit.verdict(stalled([2e-3, -3e-5, 1e-5, 0.4]), layout) == (False, "ABNORMAL:")
    assert ml_fit.verdict(stalled([2e-5, -3e-5, 1e-5, -0.4]), layout)[0] is False
    out_of_iterations = SimpleNamespace(success=False, status=1, message="STOP: TOTAL NO. OF ITERATIONS", x=x,
                                        jac=np.zeros(4))
    assert ml_fit.verdict(out_of_iterations, layout)[0] is False
