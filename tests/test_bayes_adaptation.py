"""The sampler's early-adapting mass matrix and its jittered starts."""

import warnings

import numpy as np
import pytest

pytest.importorskip("pymc")
import pymc as pm  # noqa: E402

from ventrola import bayes  # noqa: E402
from ventrola.bayes.adaptation import adapting_step  # noqa: E402


def scales_apart():
    """Posterior scales three orders of magnitude apart (as a non-decision time and a drift rate
    can be), and two constrained variables."""
    rng = np.random.default_rng(4)
    with pm.Model() as model:
        narrow = pm.Normal("narrow", 0.0, 1e-3)
        wide = pm.Normal("wide", 0.0, 2.0)
        positive = pm.HalfNormal("positive", 1.0)
        bounded = pm.Uniform("bounded", 0.0, 2.0)
        pm.Normal("observed", narrow + positive, 1.0, observed=rng.normal(1.0, 1.0, 20))
        pm.Deterministic("total", wide + bounded)
    return model


def sampled(model, early, draws=400, tune=300, dense=None):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return bayes.sample(model, draws=draws, tune=tune, chains=2, cores=1, random_seed=11, progressbar=False,
                            early_adaptation=early, dense=dense, discard_tuned_samples=False,
                            idata_kwargs={"log_likelihood": False})


@pytest.fixture(scope="module")
def both_starts():
    model = scales_apart()
    return sampled(model, True), sampled(model, False)


def test_early_adaptation_spends_far_fewer_steps_in_the_first_window_and_samples_the_same_posterior(both_starts):
    early, default = both_starts
    first_window = slice(0, 100)
    early_steps = float(early.warmup_sample_stats["n_steps"].isel(draw=first_window).sum())
    default_steps = float(default.warmup_sample_stats["n_steps"].isel(draw=first_window).sum())
    assert early_steps < default_steps / 5, (early_steps, default_steps)
    posterior = early.posterior
    assert float(posterior["narrow"].std()) == pytest.approx(1e-3, rel=0.15)
    assert float(posterior["wide"].std()) == pytest.approx(2.0, rel=0.15)
    assert int(early.sample_stats["diverging"].sum()) == 0


def test_the_starts_are_reproducible_distinct_and_inside_the_supports():
    model = scales_apart()
    first = adapting_step(model, 3, 5, {})
    again = adapting_step(model, 3, 5, {})
    assert first is not None and again is not None
    starts, repeated = first[1], again[1]
    assert len(starts) == 3
    for start, same in zip(starts, repeated):
        assert set(start) == {"narrow", "wide", "positive", "bounded"}
        assert all(np.array_equal(start[name], same[name]) for name in start)
        assert start["positive"] > 0 and 0 < start["bounded"] < 2
    assert len({float(start["wide"]) for start in starts}) == 3
    per_chain = adapting_step(model, 2, [7, 8], {})
    assert per_chain is not None and float(per_chain[1][0]["wide"]) != float(per_chain[1][1]["wide"])
    from_generator = adapting_step(model, 2, np.random.default_rng(7), {})
    again_from_generator = adapting_step(model, 2, np.random.default_rng(7), {})
    assert from_generator is not None and again_from_generator is not None
    assert float(from_generator[1][1]["wide"]) == float(again_from_generator[1][1]["wide"])
    assert adapting_step(model, 2, np.random.RandomState(7), {}) is not None
    with pytest.raises(ValueError, match="random_seed has 1 values for 2 chains"):
        adapting_step(model, 2, [7], {})


def test_nuts_options_go_to_the_step_and_a_chosen_start_is_left_to_pm_sample():
    model = scales_apart()
    kwargs = {"target_accept": 0.93, "nuts": {"max_treedepth": 7}, "cores": 1}
    step, _ = adapting_step(model, 2, 1, kwargs)
    assert step.target_accept == 0.93 and step.max_treedepth == 7
    assert kwargs == {"cores": 1}
    for chosen in ({"init": "adapt_diag"}, {"step": None}, {"initvals": {"wide": 1.0}}):
        assert adapting_step(model, 2, 1, dict(chosen)) is None
    assert adapting_step(model, None, 1, {}) is None


def test_a_model_without_a_finite_start_is_refused_with_a_reason():
    with pm.Model() as model:
        x = pm.Normal("x", 0.0, 1.0)
        pm.Potential("never", 0.0 * x - np.inf)
    with pytest.raises(ValueError, match="no finite log-probability"):
        adapting_step(model, 2, 1, {})


# -- the dense mass matrix of the later tuning windows ---------------------------------------

SCALES = np.array([1e-3, 2.0])


def correlated_covariance(correlation):
    return np.outer(SCALES, SCALES) * np.array([[1.0, correlation], [correlation, 1.0]])


def test_the_estimate_skips_the_walk_in_is_diagonal_early_dense_and_shrunk_later_and_frozen_after_tuning():
    from ventrola.bayes.dense_metric import DiagonalThenDense

    rng = np.random.default_rng(8)
    draws = rng.multivariate_normal([0.0, 5.0], correlated_covariance(0.9), size=600)
    potential = DiagonalThenDense(2, np.zeros(2), np.ones(2), discard=10, dense_after=150, adaptation_window=50,
                                  initial_weight=1e-6)
    for wild in range(10):  # the walk in from a distant start: left out
        potential.update(np.array([1e3, -1e3]), None, True)
    for x in draws[:138]:
        potential.update(x, None, True)
    early = potential._cov.copy()
    assert early[0, 1] == 0.0 and early[1, 0] == 0.0
    np.testing.assert_allclose(np.sqrt(np.diag(early)), SCALES, rtol=0.25)
    for x in draws[138:]:
        potential.update(x, None, True)
    late = potential._cov.copy()
    correlation = late[0, 1] / np.sqrt(late[0, 0] * late[1, 1])
    assert 0.8 < correlation < 0.9  # 0.9 less the shrinkage towards the diagonal
    np.testing.assert_allclose(np.sqrt(np.diag(late)), SCALES, rtol=0.15)
    np.testing.assert_allclose(potential.velocity(np.array([1.0, -1.0])), late @ np.array([1.0, -1.0]))
    potential.update(np.array([1e3, -1e3]), None, False)  # sampling draws leave the matrix alone
    np.testing.assert_array_equal(potential._cov, late)


def test_a_correlated_posterior_takes_far_fewer_steps_with_the_dense_matrix_and_keeps_its_shape():
    with pm.Model() as model:
        pm.MvNormal("x", mu=np.zeros(2), cov=correlated_covariance(0.99))
    dense, diagonal = sampled(model, True, 500, 400, dense=True), sampled(model, False, 500, 400)
    dense_steps = float(dense.sample_stats["n_steps"].mean())
    diagonal_steps = float(diagonal.sample_stats["n_steps"].mean())
    assert dense_steps < diagonal_steps / 2, (dense_steps, diagonal_steps)
    x = dense.posterior["x"].values.reshape(-1, 2)
    np.testing.assert_allclose(x.std(axis=0), SCALES, rtol=0.15)
    assert np.corrcoef(x.T)[0, 1] == pytest.approx(0.99, abs=0.01)
    assert int(dense.sample_stats["diverging"].sum()) == 0


def test_the_dense_matrix_goes_to_models_of_variabilities_and_never_beyond_two_hundred_parameters():
    from pymc.step_methods.hmc.quadpotential import QuadPotentialDiagAdapt

    from ventrola.bayes.adaptation import DENSE_LIMIT
    from ventrola.bayes.dense_metric import DiagonalThenDense

    cases = [("x", 3, None, QuadPotentialDiagAdapt), ("drift_rate_sd", 3, None, DiagonalThenDense),
             ("starting_point_range_easy", 3, None, DiagonalThenDense),
             ("drift_rate_sd", 3, False, QuadPotentialDiagAdapt), ("x", DENSE_LIMIT, True, DiagonalThenDense),
             ("x", DENSE_LIMIT + 1, True, QuadPotentialDiagAdapt)]
    for name, size, dense, kind in cases:
        with pm.Model() as model:
            pm.HalfNormal(name, 1.0, size=size)
        step, _ = adapting_step(model, 2, 3, {}, dense)
        assert type(step.potential) is kind, (name, size, dense)
        assert step.target_accept == (0.85 if kind is DiagonalThenDense else 0.8)
