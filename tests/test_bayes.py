"""The PyMC layer: the log-probability Op against ventrola.loglik, its gradient
against finite differences, random draws against the distribution function,
the hierarchical model's structure and checks, and one small recovery."""
import re
import warnings

import numpy as np
import pandas as pd
import pytest

import ventrola

with warnings.catch_warnings():
    # ArviZ announces its coming refactor on import.
    warnings.simplefilter("ignore", FutureWarning)
    import arviz as az
    import pymc as pm
    import pytensor.tensor as pt
    from pytensor.gradient import verify_grad

    from ventrola.bayes import WienerDDM, WienerLogProbability, hierarchical_model, signed_rts, split_signed_rts

def test_ventrola_imports_without_pymc_and_the_bayes_module_says_what_to_install(python_subprocess):
    out = python_subprocess(
        "import sys\n"
        "sys.modules['pymc'] = None  # as if it were not installed\n"
        "import ventrola\n"
        "print('pytensor' in sys.modules, 'arviz' in sys.modules)\n"
        "try:\n"
        "    import ventrola.bayes\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    assert out.decode().splitlines() == ["False False", 'ventrola.bayes needs PyMC: pip install "ventrola[bayes]"']


PARAMETER_SETS = [
    dict(drift_rate=1.2, boundary_separation=1.4, starting_point=0.45, non_decision_time=0.25),
    dict(drift_rate=-0.8, boundary_separation=2.0, starting_point=0.6, non_decision_time=0.2, drift_rate_sd=0.9,
         starting_point_range=0.3, non_decision_time_range=0.1, noise_sd=1.3),
]


def small_data(seed, n=200):
    choices, rts, _ = ventrola.simulate_ddm(0.9, 1.3, 0.5, 0.25, n, seed)
    return choices, rts


@pytest.mark.parametrize("params", PARAMETER_SETS)
@pytest.mark.parametrize("contamination", [0.0, 0.08])
def test_model_log_probability_is_ventrolas_loglik(params, contamination):
    choices, rts = small_data(1)
    if contamination:
        rts[:3] = [0.05, 0.1, 0.2]  # below t0: only a lapse can produce them
    with pm.Model() as model:
        drift = pm.Normal("drift", 0.0, 1.0)
        fixed = {name: value for name, value in params.items() if name != "drift_rate"}
        WienerDDM("y", drift, contamination=contamination, observed=signed_rts(choices, rts), **fixed)
    point = {"drift": params["drift_rate"]}
    model_value = model.compile_logp(vars=model.observed_RVs)(point)
    assert model_value == pytest.approx(ventrola.loglik(choices, rts, params, contamination), rel=1e-12)
    per_trial = pm.logp(WienerDDM.dist(**params), signed_rts(choices, rts)).eval()
    assert np.array_equal(per_trial, ventrola.wiener_logpdf(choices, rts, **params))


def test_gradient_of_every_parameter_matches_finite_differences():
    # Per-trial and scalar parameters together, so gradients are also summed
    # over broadcast axes; the window cuts the last trial out of the lapse term.
    value = np.array([0.55, -0.7, 0.95, -0.42, 1.3])
    point = [np.array([1.0, 0.6, 1.4, -0.3, 0.8]), np.array(1.5), np.array([0.45]), np.array(0.2),
             np.array(0.7), np.array(0.25), np.array([0.12, 0.1, 0.08, 0.1, 0.1]), np.array(1.1),
             np.array(0.06), np.array(1.2)]
    verify_grad(lambda *params: WienerLogProbability()(pt.constant(value), *params)[0], point,
                rng=np.random.default_rng(7))


def test_a_length_one_input_broadcast_only_at_run_time_is_refused():
    # Its gradient would keep the trials' length.
    boundary = pt.dvector("boundary")
    log_p = WienerLogProbability()(pt.constant(np.array([0.5, -0.6, 0.7])), 1.0, boundary, 0.5, 0.2, 0.0, 0.0, 0.0,
                                   1.0, 0.0, np.inf)[0]
    assert log_p.eval({boundary: np.array([1.5, 1.4, 1.3])}).shape == (3,)
    with pytest.raises(ValueError, match="broadcast at run time"):
        log_p.eval({boundary: np.array([1.5])})


def test_invalid_parameters_and_impossible_trials_give_minus_infinity_without_nan_gradients():
    value = pt.constant(np.array([0.5, -0.6, 0.15, 0.7]))
    a = pt.dvector("a")
    p = pt.dscalar("p")
    log_p = WienerLogProbability()(value, 1.0, a, 0.5, 0.2, 0.0, 0.0, 0.0, 1.0, p, 0.7)[0]
    gradient = pt.grad(log_p.sum(), [a, p])

    def evaluate(a_value, p_value):
        return [x.eval({a: a_value, p: p_value}) for x in (log_p, *gradient)]

    # Trial 2 (rt 0.15 < t0) has density 0 under the model; trial 4's boundary is negative.
    trials, d_a, d_p = evaluate(np.array([1.5, 1.5, 1.5, -1.0]), 0.0)
    assert np.isneginf(trials[[2, 3]]).all() and np.isfinite(trials[:2]).all()
    assert np.all(d_a[[2, 3]] == 0) and np.isfinite(d_a).all()
    trials, d_a, d_p = evaluate(np.array([1.5, 1.5, 1.5, 1.5]), 0.1)
    assert trials[2] == pytest.approx(np.log(0.1 / 1.4)) and d_a[2] == 0
    assert np.isfinite(trials).all() and np.isfinite(d_a).all() and np.isfinite(d_p)
    assert np.isneginf(evaluate(np.full(4, 1.5), 1.5)[0]).all()


def test_wiener_ddm_needs_drift_boundary_and_without_data_a_lapse_window():
    with pytest.raises(TypeError, match="'boundary_separation'"):
        WienerDDM.dist(1.0)
    with pytest.raises(TypeError, match="'drift_rate' twice"):
        WienerDDM.dist(1.0, 1.5, drift_rate=2.0)
    with pytest.raises(ValueError, match="max_rt"):
        WienerDDM.dist(1.0, 1.5, contamination=0.1)
    assert np.isfinite(pm.draw(WienerDDM.dist(1.0, 1.5, contamination=0.1, max_rt=3.0), random_seed=1))


@pytest.mark.parametrize("contamination", [0.0, 0.3])
def test_draws_follow_the_distribution_function(contamination):
    params = dict(drift_rate=np.array([0.7, -1.2]), boundary_separation=1.2, starting_point=0.55,
                  non_decision_time=0.2, drift_rate_sd=0.5)
    draws = pm.draw(WienerDDM.dist(**params, contamination=contamination, max_rt=2.5, shape=(4000, 2)),
                    random_seed=3)
    assert draws.shape == (4000, 2)
    grid = np.linspace(0.1, 3.0, 30)
    for column, drift in enumerate(params["drift_rate"]):
        choices, rts = split_signed_rts(draws[:, column])
        for upper in (True, False):
            model = ventrola.wiener_cdf(upper, grid, **{**params, "drift_rate": drift})
            expected = (1 - contamination) * model + contamination * 0.5 * np.minimum(grid, 2.5) / 2.5
            observed = np.mean((choices == upper)[:, None] & (rts[:, None] <= grid), axis=0)
            assert np.max(np.abs(observed - expected)) < 0.03  # about 4 standard errors at 4000 draws


def hierarchical_table(seed, participants=6, trials=60):
    """Participants' drift rates per condition and boundaries from group
    distributions, their non-decision times uniform on [0.2, 0.4] s; returns
    the table, the group's truth and each participant's non-decision time.
    The participants' effects are standardised, so that the sample of
    participants has exactly the group's mean and spread on the link scale."""
    rng = np.random.default_rng(seed)
    truth = {"drift_rate_mu": {"easy": 1.8, "hard": 0.7}, "drift_rate_sigma": {"easy": 0.5, "hard": 0.5},
             "boundary_separation_mu": np.log(1.3), "boundary_separation_sigma": 0.25}
    subjects = [f"p{j}" for j in range(participants)]
    boundaries = np.exp(truth["boundary_separation_mu"] + truth["boundary_separation_sigma"] * standard(rng, participants))
    drifts = {condition: mu + truth["drift_rate_sigma"][condition] * standard(rng, participants)
              for condition, mu in truth["drift_rate_mu"].items()}
    t0s = dict(zip(subjects, rng.uniform(0.2, 0.4, participants)))
    rows = []
    for j, subject in enumerate(subjects):
        for condition in truth["drift_rate_mu"]:
            choices, rts, _ = ventrola.simulate_ddm(drifts[condition][j], boundaries[j], 0.5, t0s[subject], trials,
                                                     int(rng.integers(2**62)))
            rows.append(pd.DataFrame({"subject": subject, "condition": condition, "rt": rts * 1000,
                                      "response": np.where(choices, "right", "wrong")}))
    return pd.concat(rows, ignore_index=True), truth, t0s


def standard(rng, n):
    """n normal draws shifted and scaled to mean 0 and standard deviation 1."""
    draws = rng.normal(size=n)
    return (draws - draws.mean()) / draws.std(ddof=1)


def build(table, **options):
    return hierarchical_model(table, **{"rt": "rt", "rt_unit": "ms", "choice": "response", "upper": "right", **options})


def test_hierarchical_model_names_dims_and_observed_trials():
    table, _, _ = hierarchical_table(0, participants=3, trials=20)
    model = build(table, free=("drift_rate", "boundary_separation", "non_decision_time", "drift_rate_sd"),
                  depends_on={"drift_rate": "condition", "drift_rate_sd": ["condition"]}, contamination="free")
    assert list(model.coords["subject"]) == ["p0", "p1", "p2"]
    assert list(model.coords["condition"]) == ["easy", "hard"]
    assert model.named_vars_to_dims["drift_rate_mu"] == ("condition",)
    assert model.named_vars_to_dims["drift_rate_z"] == ("subject", "condition")
    assert model.named_vars_to_dims["drift_rate_subject"] == ("subject", "condition")
    assert model.named_vars_to_dims["boundary_separation_subject"] == ("subject",)
    assert model.named_vars_to_dims["drift_rate_sd"] == ("condition",)
    assert {"contamination", "non_decision_time_mu", "non_decision_time_sigma"} <= set(model.named_vars)
    assert "starting_point_mu" not in model.named_vars
    centred = build(table, depends_on={"drift_rate": "condition"}, centred=["drift_rate"])
    assert centred.named_vars_to_dims["drift_rate_link"] == ("subject", "condition")
    assert "drift_rate_z" not in centred.named_vars and "boundary_separation_z" in centred.named_vars
    observed = model["signed_rt"]
    expected = np.where(table["response"] == "right", table["rt"] / 1000, -table["rt"] / 1000)
    assert np.array_equal(model.rvs_to_values[observed].data, expected)


@pytest.mark.parametrize("weight", [0.0, 0.3, 0.5, 1.0])
def test_every_centring_weight_draws_participants_from_the_same_group_distribution(weight):
    table, _, _ = hierarchical_table(0, participants=6, trials=20)
    model = build(table, centred={"boundary_separation": weight})
    assert ("boundary_separation_link" in model.named_vars) == (weight == 1.0)
    prior = pm.sample_prior_predictive(draws=3000, model=model, random_seed=1, var_names=[
        "boundary_separation_mu", "boundary_separation_sigma", "boundary_separation_subject"]).prior
    mu = prior["boundary_separation_mu"].values[..., None]
    sigma = prior["boundary_separation_sigma"].values[..., None]
    standard = (np.log(prior["boundary_separation_subject"].values) - mu) / sigma  # the log link
    assert abs(standard.mean()) < 0.03 and abs(standard.std() - 1.0) < 0.03
    assert abs(np.corrcoef(standard.ravel(), np.repeat(sigma.ravel(), 6))[0, 1]) < 0.03


def test_hierarchical_log_probability_is_loglik_with_each_trials_parameters():
    table, _, _ = hierarchical_table(1, participants=3, trials=25)
    model = build(table, free=("drift_rate", "boundary_separation", "starting_point", "non_decision_time",
                               "non_decision_time_range"),
                  depends_on={"drift_rate": "condition"}, fixed={"starting_point_range": 0.2},
                  contamination=0.04)
    point = model.initial_point()
    rng = np.random.default_rng(2)
    point = {name: value + 0.3 * rng.normal(size=np.shape(value)) for name, value in point.items()}
    names = ["drift_rate_subject", "boundary_separation_subject", "starting_point_subject",
             "non_decision_time_subject", "non_decision_time_range"]
    values = model.replace_rvs_by_values([model[name] for name in names])
    drift, boundary, start, t0, st0 = model.compile_fn(values, inputs=model.value_vars, point_fn=True)(point)
    subject = table["subject"].map({"p0": 0, "p1": 1, "p2": 2}).to_numpy()
    condition = (table["condition"] == "hard").to_numpy().astype(int)
    params = dict(drift_rate=drift[subject, condition], boundary_separation=boundary[subject],
                  starting_point=start[subject], non_decision_time=t0[subject], starting_point_range=0.2,
                  non_decision_time_range=st0)
    choices, rts = (table["response"] == "right").to_numpy(), table["rt"].to_numpy() / 1000
    expected = ventrola.loglik(choices, rts, params, contamination=0.04)
    assert model.compile_logp(vars=model.observed_RVs)(point) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize(("contamination", "bound"), [(0.0, "min"), ("free", "median")])
def test_prior_keeps_each_non_decision_time_below_its_bound_and_the_start_inside_its_range(contamination, bound):
    table, _, _ = hierarchical_table(2, participants=3, trials=20)
    model = build(table, free=("drift_rate", "boundary_separation", "starting_point", "non_decision_time",
                               "starting_point_range"),
                  depends_on={"non_decision_time": "condition"}, contamination=contamination)
    prior = pm.sample_prior_predictive(300, model=model, random_seed=4).prior
    cells = table.groupby(["subject", "condition"])["rt"].agg(["min", "median"]) / 1000
    t0 = prior["non_decision_time_subject"].to_numpy()
    assert np.all(t0 > 0) and np.all(t0 < cells[bound].unstack().to_numpy())
    # With lapses the bound is looser: some draws lie beyond the fastest response.
    assert np.any(t0 > cells["min"].unstack().to_numpy()) == (bound == "median")
    start = prior["starting_point_subject"].to_numpy()
    half_range = prior["starting_point_range"].to_numpy()[..., None] / 2
    assert np.all(start > half_range) and np.all(start < 1 - half_range)


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (dict(free=("drift_rate", "noise_sd")), "noise_sd"),
        (dict(free=("drift_rate", "boundary_separation", "drift_rate")), "more than once"),
        (dict(free=("drift_rate",)), "'boundary_separation' must be free or given a value"),
        (dict(depends_on={"starting_point": "condition"}), "not among the free parameters"),
        (dict(depends_on={"drift_rate": "subject"}), "participant column"),
        (dict(depends_on={"drift_rate": "block"}), "column 'block' is not in the table"),
        (dict(fixed={"starting_point": 1.2}), "fixed starting_point must be strictly between 0 and 1"),
        (dict(fixed={"drift_rate": 1.0}), "both free and fixed"),
        (dict(fixed={"starting_point": 0.9, "starting_point_range": 0.3}), "starting_point_range"),
        (dict(contamination=1.0), "contamination"),
        (dict(contamination="estimate"), "contamination"),
        (dict(free=("drift_rate", "boundary_separation", "starting_point", "starting_point_range"),
              depends_on={"starting_point_range": "condition"}), "must depend on every column"),
        (dict(rt_unit="minutes"), "rt_unit"),
        (dict(by="trial"), "rename the column"),
        (dict(centred=("drift_rate_sd",)), "not a free participant-level parameter"),
        (dict(centred={"drift_rate": 1.5}), "centred['drift_rate'] must be a number from 0 (non-centred) to 1"),
        (dict(centred={"drift_rate": "half"}), "centred['drift_rate'] must be a number from 0 (non-centred) to 1"),
        (dict(centred={"drift_rate": 0.5}, formulas={"drift_rate": "1 + (1 | subject)"}),
         "the group-specific terms of a formula are centred (1) or not (0)"),
        (dict(depends_on={"drift_rate": 5}), "depends_on['drift_rate'] must be a column name or a list of them, not 5"),
        (dict(free=("drift_rate", "boundary_separation"), fixed={"non_decision_time": 5.0}),
         "non_decision_time is fixed at 5.0 s, not below the fastest response time"),
    ],
)
def test_hierarchical_model_refuses_bad_arguments(options, message):
    table, _, _ = hierarchical_table(3, participants=2, trials=5)
    with pytest.raises(ValueError, match=re.escape(message)):
        build(table, **options)


def test_a_non_decision_time_fixed_above_some_trials_needs_lapses():
    # Refused without lapses (above); with them those trials are lapses and the model can be sampled.
    table, _, _ = hierarchical_table(3, participants=2, trials=5)
    model = build(table, free=("drift_rate", "boundary_separation"), fixed={"non_decision_time": 5.0},
                  contamination=0.05)
    assert np.isfinite(model.compile_logp()(model.initial_point()))


def test_hierarchical_model_refuses_non_positive_times():
    table, _, _ = hierarchical_table(3, participants=2, trials=5)
    table.loc[3, "rt"] = 0.0
    with pytest.raises(ValueError, match="1 impossible response time .*: the first is 0.0 at index 3"):
        build(table)


# PyMC's energy computation may overflow on the wild first steps of warm-up.
@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
def test_small_hierarchical_fit_recovers_the_group_and_converges():
    table, truth, t0s = hierarchical_table(11, participants=10, trials=25)
    model = build(table, depends_on={"drift_rate": "condition"})
    with model:
        idata = pm.sample(1500, tune=700, chains=2, cores=2, random_seed=5, progressbar=False,
                          compute_convergence_checks=False)
    posterior = idata.posterior
    assert float(az.rhat(posterior).to_array().max()) <= 1.01
    assert int(idata.sample_stats["diverging"].sum()) < 30  # under 1 % of the draws
    interval = posterior.quantile([0.005, 0.995], dim=("chain", "draw"))
    for name, value in truth.items():
        for level, true_value in (value.items() if isinstance(value, dict) else [(None, value)]):
            low, high = interval[name].sel(condition=level) if level else interval[name]
            assert float(low) <= true_value <= float(high), (name, level)
    # Each participant's non-decision time is known to about 15 ms from 50 trials.
    estimates = posterior["non_decision_time_subject"].median(dim=("chain", "draw"))
    errors = [float(estimates.sel(subject=subject)) - true_t0 for subject, true_t0 in t0s.items()]
    assert np.mean(np.abs(errors)) < 0.03
    predictive = pm.sample_posterior_predictive(idata.sel(draw=slice(0, 20)), model=model, random_seed=6,
                                                progressbar=False).posterior_predictive["signed_rt"]
    assert predictive.shape == (2, 21, len(table))
    assert abs(float((predictive > 0).mean()) - np.mean(table["response"] == "right")) < 0.05
