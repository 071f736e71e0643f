"""The PyMC layer for generalized models: the Op's log-probability against the model's own, its
gradient against finite differences (verify_grad), draws against the distribution function,
the hierarchical model's variables and refusals, and a small recovery."""
import warnings

import numpy as np
import pandas as pd
import pytest

import ventrola
from ventrola import DDM

with warnings.catch_warnings():
    warnings.simplefilter("ignore", FutureWarning)
    import arviz as az
    import pymc as pm
    import pytensor
    from pytensor.gradient import verify_grad

    from ventrola.bayes import GeneralDDM, ModelLogProbability, hierarchical_model, model_log_probability

EXPONENTIAL = DDM(bound="exponential")
TRUTH = dict(drift_rate=1.0, boundary_separation=2.0, non_decision_time=0.3, collapse_time=0.8)


@pytest.fixture(scope="module")
def signed():
    choices, rts, _ = EXPONENTIAL.simulate(60, 3, **TRUTH)
    return np.where(choices, rts, -rts)


def test_the_op_is_the_model_s_log_density_with_lapses(signed):
    p, window = 0.05, 3.0
    log_p = model_log_probability(EXPONENTIAL, signed, **TRUTH, contamination=p, max_rt=window).eval()
    density = EXPONENTIAL.pdf(signed > 0, np.abs(signed), **TRUTH)
    np.testing.assert_allclose(log_p, np.log((1 - p) * density + p / (2 * window)), rtol=1e-12)
    # Out of range: -inf and no gradient, never an exception inside a sampler.
    tau = pytensor.tensor.scalar("tau")
    value = model_log_probability(EXPONENTIAL, signed, **{**TRUTH, "collapse_time": tau}).sum()
    evaluate = pytensor.function([tau], [value, pytensor.grad(value, tau)])
    total, slope = evaluate(-0.5)
    assert total == -np.inf and slope == 0.0


@pytest.mark.parametrize(("model", "own"), [
    (EXPONENTIAL, dict(collapse_time=0.7)),
    (DDM(drift="dmc", leak=True), dict(automatic_amplitude=0.3, leak=0.5)),
])
def test_gradient_matches_finite_differences(signed, model, own):
    names = ["drift_rate", "boundary_separation", *own]
    fixed = {"non_decision_time": 0.25}

    def total(*values):
        return model_log_probability(model, signed, **fixed, **dict(zip(names, values)),
                                     contamination=0.02, max_rt=3.0).sum()

    point = [np.array(1.1), np.array(1.9), *(np.array(v) for v in own.values())]
    verify_grad(total, point, rng=np.random.default_rng(0), eps=1e-5, abs_tol=2e-4, rel_tol=2e-4)


def test_the_rewrite_drops_partials_nothing_uses(signed):
    v = pytensor.tensor.scalar("v")
    value = model_log_probability(EXPONENTIAL, signed, **{**TRUTH, "drift_rate": v}).sum()
    function = pytensor.function([v], pytensor.grad(value, v))
    ops = [node.op for node in function.maker.fgraph.toposort() if isinstance(node.op, ModelLogProbability)]
    assert [op.wrt for op in ops] == [("drift_rate",)]


def test_draws_follow_the_model():
    draws = pm.draw(GeneralDDM.dist(EXPONENTIAL, **TRUTH, shape=4000), random_seed=1)
    upper_share = EXPONENTIAL.cdf(True, np.inf, **TRUTH)
    assert abs(np.mean(draws > 0) - upper_share) < 4 * np.sqrt(upper_share * (1 - upper_share) / 4000)
    median = np.median(np.abs(draws))
    below = EXPONENTIAL.cdf(True, median, **TRUTH) + EXPONENTIAL.cdf(False, median, **TRUTH)
    assert abs(below - 0.5) < 0.03


def conditions_table(n_subjects=3, n=80):
    parts = []
    for s in range(n_subjects):
        for k, (condition, v) in enumerate((("hard", 0.7), ("easy", 1.6))):
            choices, rts, _ = EXPONENTIAL.simulate(n, 100 * s + k, drift_rate=v, boundary_separation=2.0,
                                                   non_decision_time=0.3, collapse_time=0.8)
            parts.append(pd.DataFrame({"subject": f"s{s}", "condition": condition, "choice": choices, "rt": rts}))
    return pd.concat(parts, ignore_index=True)


def test_hierarchical_model_of_a_collapsing_bound_and_its_refusals():
    trials = conditions_table(n=20)
    model = hierarchical_model(trials, model=EXPONENTIAL, depends_on={"drift_rate": "condition"})
    names = {variable.name for variable in model.free_RVs}
    assert "collapse_time" in names and "drift_rate_z" in names
    assert model["collapse_time"].owner.op.name == "lognormal"
    observed = model["signed_rt"]
    assert isinstance(model.logp().owner, object) and observed in model.observed_RVs
    with pytest.raises(ValueError, match="'automatic_time', a parameter of the dmc families"):
        hierarchical_model(trials, model=EXPONENTIAL, free=["drift_rate", "automatic_time"])
    with pytest.raises(ValueError, match="own function, which has no prior"):
        hierarchical_model(trials, model=DDM(bound=lambda t, k=1.0: np.exp(-k * t)), free=["drift_rate", "k"])
    with pytest.raises(ValueError, match="timed trials"):
        hierarchical_model(trials, model=EXPONENTIAL, rt_range=(0.1, 5.0))


def test_a_small_hierarchical_recovery_and_the_pointwise_log_likelihood():
    trials = conditions_table()
    model = hierarchical_model(trials, model=EXPONENTIAL, free=["drift_rate", "collapse_time"],
                               fixed={"boundary_separation": 2.0, "non_decision_time": 0.3},
                               depends_on={"drift_rate": "condition"})
    with model:
        estimate = pm.find_MAP(progressbar=False)
    drifts = estimate["drift_rate_subject"]
    assert drifts.shape == (3, 2) and np.all(drifts[:, 0] > drifts[:, 1])  # levels sorted: easy, hard
    assert abs(estimate["collapse_time"] - 0.8) < 0.25
    # The pointwise log-likelihood LOO reads, at one draw: each trial's own log-density.
    names = ("collapse_time", "drift_rate_mu", "drift_rate_sigma", "drift_rate_z", "drift_rate_subject")
    idata = az.from_dict(posterior={name: np.asarray(estimate[name])[None, None] for name in names})
    pointwise = pm.compute_log_likelihood(idata, model=model, progressbar=False).log_likelihood["signed_rt"]
    subject = trials["subject"].str[1:].astype(int).to_numpy()
    level = (trials["condition"] == "hard").to_numpy().astype(int)
    expected = EXPONENTIAL.logpdf(trials["choice"].to_numpy(), trials["rt"].to_numpy(),
                                  drift_rate=drifts[subject, level], boundary_separation=2.0,
                                  non_decision_time=0.3, collapse_time=float(estimate["collapse_time"]))
    np.testing.assert_allclose(pointwise.values.reshape(-1), expected, rtol=1e-10)
