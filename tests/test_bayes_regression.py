"""Formulas and partly observed trials in the PyMC layer: the Op's log-probability and gradient
for trials without a time, the hierarchical model's regression variables and refusals, one small
regression fit (convergence, recovery, LOO), and the posterior predictive replicates and their
picture."""
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

    from ventrola import bayes
    from ventrola.bayes import WienerDDM, WienerLogProbability, hierarchical_model

PARAMS = dict(drift_rate=0.9, boundary_separation=1.4, starting_point=0.45, non_decision_time=0.25)


def signed(choices, rts, kind):
    """Signed times with the trials without a time marked as the model reads them."""
    values = np.where(choices, rts, -rts)
    gaps = np.isnan(rts)
    if kind == "choice":
        values[gaps] = np.where(choices[gaps], np.inf, -np.inf)
    else:
        values[gaps] = 0.0
    return values


@pytest.mark.parametrize("kind", ["choice", "deadline", "window"])
def test_partly_observed_trials_in_the_op_are_loglik_s(kind):
    choices, rts, _ = ventrola.simulate_ddm(0.9, 1.4, 0.45, 0.25, 60, 3)
    options, inputs = {}, {}
    if kind == "choice":
        rts[::4] = np.nan
        options["missing"] = "choice"
    elif kind == "deadline":
        late = rts > 0.8
        rts[late] = np.nan
        options["deadline"] = inputs["deadline"] = 0.8
    else:
        keep = (rts > 0.35) & (rts < 1.5)
        choices, rts = choices[keep], rts[keep]
        options["rt_range"] = (0.35, 1.5)
        inputs["rt_low"], inputs["rt_high"] = 0.35, 1.5
    value = signed(choices, rts, kind)
    with pm.Model() as model:
        drift = pm.Normal("drift", 0.0, 1.0)
        fixed = {name: v for name, v in PARAMS.items() if name != "drift_rate"}
        WienerDDM("y", drift, contamination=0.03, observed=value, **fixed, **inputs)
    model_value = model.compile_logp(vars=model.observed_RVs)({"drift": PARAMS["drift_rate"]})
    longest = float(np.nanmax(rts))
    expected = ventrola.loglik(choices, rts, PARAMS, 0.03, **options)
    # The model's lapse window is the slowest timed response, as loglik's.
    assert np.isclose(longest, np.nanmax(np.abs(value[np.isfinite(value) & (value != 0)])))
    assert model_value == pytest.approx(expected, rel=1e-12)


def test_the_gradient_for_partly_observed_trials_matches_finite_differences():
    value = np.array([0.55, -np.inf, 0.0, np.inf, -0.7])
    point = [np.array([1.0, 0.6, 1.4, -0.3, 0.8]), np.array(1.5), np.array([0.45]), np.array(0.2),
             np.array(0.4), np.array(0.0), np.array(0.0), np.array(1.1), np.array(0.06), np.array(1.2)]
    deadline = pt.constant(np.array([2.0, 2.0, 0.9, 2.0, 2.0]))
    verify_grad(lambda *params: WienerLogProbability()(pt.constant(value), *params, deadline, 0.0, np.inf)[0],
                point, rng=np.random.default_rng(5), abs_tol=1e-5, rel_tol=1e-4)


def regression_table(seed=11, participants=6, trials_per_level=40, missing_slow=False):
    rng = np.random.default_rng(seed)
    pieces, truth = [], []
    for j in range(participants):
        intercept, slope = rng.normal(0.4, 0.3), rng.normal(2.0, 0.5)
        truth.append((intercept, slope))
        for k, coherence in enumerate((0.0, 0.2, 0.4)):
            choices, rts, _ = ventrola.simulate_ddm(intercept + slope * coherence, 1.4, 0.5, 0.3, trials_per_level,
                                                    seed * 1000 + 10 * j + k)
            pieces.append(pd.DataFrame({"subject": f"p{j}", "coherence": coherence, "rt": rts, "choice": choices}))
    table = pd.concat(pieces, ignore_index=True)
    if missing_slow:
        table["choice"] = table["choice"].astype(object)
        table.loc[table["rt"] > 1.0, ["rt", "choice"]] = np.nan
    return table, truth


def test_a_formula_s_variables_are_named_by_term_and_level():
    table, _ = regression_table(trials_per_level=5)
    model = hierarchical_model(table, formulas={"drift_rate": "1 + coherence + (1 + coherence | subject)",
                                                "boundary_separation": "1 + (1 | subject)"})
    names = {variable.name for variable in model.free_RVs}
    assert {"drift_rate_coef", "drift_rate[1|subject]_sigma", "drift_rate[1|subject]_z",
            "drift_rate[coherence|subject]_z", "boundary_separation_coef", "non_decision_time_z"} <= names
    assert not {"drift_rate_mu", "boundary_separation_mu"} & names
    assert list(model.coords["drift_rate_term"]) == ["Intercept", "coherence"]
    assert list(model.coords["subject"]) == [f"p{j}" for j in range(6)]
    assert model.named_vars_to_dims["drift_rate[coherence|subject]"] == ("subject",)
    # The intercept takes the table's intercept prior, the slope the slope prior.
    prior = ventrola.parameters.TABLE["drift_rate"].regression
    mu, sigma = model["drift_rate_coef"].owner.inputs[-2:]
    assert np.allclose(mu.eval(), [prior.intercept_mean, 0.0]) and np.allclose(sigma.eval(), [prior.intercept_sd,
                                                                                               prior.slope_sd])


def test_centred_group_specific_terms_are_sampled_themselves():
    table, _ = regression_table(trials_per_level=5)
    model = hierarchical_model(table, formulas={"drift_rate": "1 + coherence + (1 + coherence | subject)"},
                               centred=["drift_rate", "boundary_separation"])
    names = {variable.name for variable in model.free_RVs}
    assert {"drift_rate[1|subject]", "drift_rate[coherence|subject]", "boundary_separation_link"} <= names
    assert not {"drift_rate[1|subject]_z", "drift_rate[coherence|subject]_z"} & names
    # Each offset is drawn with its term's spread: at a spread of 1 its log-density is the standard normal's.
    point = model.initial_point()
    point["drift_rate[coherence|subject]_sigma_log__"] = np.array(0.0)
    point["drift_rate[coherence|subject]"] = np.zeros(6)
    logp = model.compile_logp(vars=[model["drift_rate[coherence|subject]"]], sum=False)(point)[0]
    assert np.allclose(logp, -0.5 * np.log(2 * np.pi))


@pytest.mark.parametrize(("options", "message"), [
    ({"formulas": {"drift_rate": "1 + coherence"}, "depends_on": {"drift_rate": "coherence"}},
     "'drift_rate' has both a formula and depends_on"),
    ({"formulas": {"drift_rate": "1"}, "centred": ["drift_rate"]},
     "centred names 'drift_rate', whose formula has no group-specific terms to centre"),
    ({"formulas": {"drift_rate": "1"}, "fixed": {"drift_rate": 1.0}}, "has a formula, so it is estimated"),
    ({"formulas": {"drift_rate": "1 + (1 | session)"}}, "groups by 'session', which is not a column of the data"),
    ({"formulas": {"drift_rate": "1 + cohrence"}}, "'cohrence' is not a column of the data"),
    ({"formulas": {"boundary": "1"}}, "formulas names 'boundary', which is not a parameter of the model"),
])
def test_the_hierarchical_model_refuses_bad_formulas(options, message):
    table, _ = regression_table(trials_per_level=5)
    with pytest.raises(ValueError) as refused:
        hierarchical_model(table, **options)
    assert message in str(refused.value)


@pytest.fixture(scope="module")
def regression_fit():
    table, truth = regression_table()
    model = hierarchical_model(table, formulas={"drift_rate": "1 + coherence + (1 | subject)"})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        idata = bayes.sample(model, draws=400, tune=400, chains=2, cores=1, random_seed=17, progressbar=False,
                             target_accept=0.95)
    return table, truth, model, idata


def test_a_small_regression_converges_and_recovers_its_slope(regression_fit):
    table, truth, _model, idata = regression_fit
    summary = az.summary(idata, var_names=["drift_rate_coef", "drift_rate[1|subject]_sigma"], kind="diagnostics")
    assert (summary["r_hat"] <= 1.01).all(), summary
    assert int(idata.sample_stats["diverging"].sum()) == 0
    slope = idata.posterior["drift_rate_coef"].sel(drift_rate_term="coherence")
    low, high = np.quantile(slope, [0.01, 0.99])
    assert low < np.mean([s for _, s in truth]) < high
    assert 1.0 < float(slope.mean()) < 3.0


def test_loo_and_compare_read_the_stored_log_likelihood(regression_fit):
    table, _truth, _model, idata = regression_fit
    assert idata.log_likelihood["signed_rt"].shape == (2, 400, len(table))
    with warnings.catch_warnings():
        # A few fast trials near t0 may be influential with 800 draws, which ArviZ warns of; its
        # comparison table warns of pandas' deprecations.
        warnings.simplefilter("ignore")
        loo = az.loo(idata)
        ranked = az.compare({"with slope": idata, "again": idata})
    assert np.isfinite(loo.elpd_loo) and loo.elpd_loo < 0
    # About the number of parameters: 3 common, 6 + 1 drift offsets, 2 x 6 + 4 participant-level.
    assert 3 < loo.p_loo < 30
    assert np.mean(loo.pareto_k < 0.7) > 0.99
    assert list(ranked["elpd_diff"]) == [0.0, 0.0]


def test_replicates_follow_the_model_and_the_picture_has_a_row_per_condition(regression_fit):
    table, _truth, model, idata = regression_fit
    replicated = bayes.posterior_predictive(idata, model, draws=20, random_seed=3)
    values = replicated.posterior_predictive["signed_rt"]
    assert values.sizes["chain"] * values.sizes["draw"] == 20 and values.sizes["trial"] == len(table)
    # Accuracy rises with coherence in the replicates as in the data.
    upper = (values > 0).mean(dim=("chain", "draw")).to_numpy()
    by_level = pd.Series(upper).groupby(table["coherence"]).mean()
    observed = table.groupby("coherence")["choice"].mean()
    assert np.all(np.diff(by_level.to_numpy()) > 0)
    assert np.allclose(by_level.to_numpy(), observed.to_numpy(), atol=0.08)
    figure = bayes.plot_posterior_predictive(replicated, table, by="coherence")
    assert len(figure.axes) == 6
    assert [ax.get_title() for ax in figure.axes][::2] == [
        f"{level}: quantile probability (20 replicates)" for level in ("0.0", "0.2", "0.4")]
    with pytest.raises(ValueError, match="the replicates have .* trials and the table 10 rows"):
        bayes.plot_posterior_predictive(replicated, table.head(10))
    with pytest.raises(ValueError, match="draws must be a positive integer"):
        bayes.posterior_predictive(idata, model, draws=0)


def test_replicates_of_trials_without_a_time_are_observed_as_the_data_were():
    table, _ = regression_table(trials_per_level=30, missing_slow=True)
    model = hierarchical_model(table, formulas={"drift_rate": "1 + coherence"}, deadline=1.0)
    posterior = {
        "drift_rate_coef": np.array([[[0.4, 2.0]]]),
        "boundary_separation_mu": np.full((1, 1), np.log(1.4)),
        "boundary_separation_sigma": np.full((1, 1), 0.01),
        "boundary_separation_z": np.zeros((1, 1, 6)),
        "non_decision_time_mu": np.full((1, 1), 2.0),
        "non_decision_time_sigma": np.full((1, 1), 0.01),
        "non_decision_time_z": np.zeros((1, 1, 6)),
    }
    idata = az.from_dict(posterior={name: np.repeat(value, 50, axis=1) for name, value in posterior.items()},
                         coords={"drift_rate_term": ["Intercept", "coherence"], "subject": model.coords["subject"]},
                         dims={"drift_rate_coef": ["drift_rate_term"], "boundary_separation_z": ["subject"],
                               "non_decision_time_z": ["subject"]})
    values = bayes.posterior_predictive(idata, model, draws=50, random_seed=4).posterior_predictive["signed_rt"]
    replicated = values.to_numpy().reshape(50, -1)
    late = np.mean(replicated == 0)
    assert np.all(np.abs(replicated[replicated != 0]) <= 1.0)
    assert late == pytest.approx(table["rt"].isna().mean(), abs=0.05)

    gonogo = table.assign(rt=table["rt"].where(table["choice"] == True))  # noqa: E712
    model = hierarchical_model(gonogo.dropna(subset=["choice"]), formulas={"drift_rate": "1 + coherence"},
                               missing="choice")
    values = bayes.posterior_predictive(idata, model, draws=10, random_seed=5).posterior_predictive["signed_rt"]
    observed = np.asarray(idata_observed(model), dtype=np.float64)
    without_time = np.isinf(observed)
    assert without_time.any()
    assert np.isinf(values.to_numpy()[..., without_time]).all()
    assert np.isfinite(values.to_numpy()[..., ~without_time]).all()


def idata_observed(model):
    data = model.rvs_to_values[model["signed_rt"]]
    return data.data if hasattr(data, "data") else data.eval()
