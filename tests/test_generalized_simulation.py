"""Simulated trials of generalized models against their likelihood (the
distribution of each response's times by Kolmogorov-Smirnov, the choice
probability), their reproducibility, and their refusals; and the model
keyword of simulate_ddm and simulate_frame."""
import math

import numpy as np
import pytest

import ventrola

BASE = dict(drift_rate=0.8, boundary_separation=1.6, starting_point=0.45, non_decision_time=0.3)
N = 40_000
CASES = [
    (ventrola.DDM(bound="exponential"), dict(collapse_time=0.8)),
    (ventrola.DDM(bound="linear"), dict(collapse_time=1.5)),
    (ventrola.DDM(bound="hyperbolic"), dict(collapse_time=0.5)),
    (ventrola.DDM(bound="weibull"), dict(collapse_time=0.6, collapse_shape=3.0, collapse_floor=0.2)),
    (ventrola.DDM(drift="dmc"), dict(automatic_amplitude=-0.5, automatic_time=0.05, automatic_shape=2.5)),
    (ventrola.DDM(leak=True), dict(leak=3.0)),
    (ventrola.DDM(leak=True), dict(leak=-2.0)),
    (ventrola.DDM(bound="exponential", drift="dmc"),
     dict(collapse_time=1.0, automatic_amplitude=0.4, drift_rate_sd=0.8, starting_point_range=0.2,
          non_decision_time_range=0.15)),
    (ventrola.DDM(bound=lambda t, halfway=0.4: halfway / (t + halfway)), dict(halfway=0.4)),
]
IDS = ["exponential", "linear", "hyperbolic", "weibull", "dmc", "leak", "self-excitation",
       "with every variability", "a user's bound"]
KS_CRITICAL = 1.95  # sqrt(n) D at the 0.1 % level


def ks_distance(model, choice, times, params, points=400):
    """sqrt(n) times the largest distance between the trials' distribution function and the
    model's, at up to `points` of the times the trials took (all on the 1 ms grid of the steps,
    where both are compared after the ties)."""
    values, counts = np.unique(times, return_counts=True)
    empirical = np.cumsum(counts) / times.size
    chosen = np.unique(np.linspace(0, values.size - 1, min(points, values.size)).round().astype(int))
    total = float(model.cdf(choice, math.inf, **params))
    predicted = model.cdf(choice, values[chosen], **params) / total
    return math.sqrt(times.size) * float(np.max(np.abs(predicted - empirical[chosen])))


@pytest.mark.parametrize("model, family", CASES, ids=IDS)
def test_simulated_trials_follow_the_likelihood(model, family):
    params = {**BASE, **family}
    choices, rts, excluded = model.simulate(N, 21, max_time=30.0, **params)
    assert excluded == 0 and rts.size == N
    p_upper = float(model.cdf(True, math.inf, **params))
    share = choices.mean()
    # The binomial spread, and the steps' bias: 1 ms steps checked by the Brownian bridge.
    assert abs(share - p_upper) <= 4 * math.sqrt(p_upper * (1 - p_upper) / N) + 0.003, (share, p_upper)
    for choice in (True, False):
        times = rts[choices == choice]
        if times.size >= 500:
            assert ks_distance(model, choice, times, params) < KS_CRITICAL, choice


def test_a_run_is_the_prefix_of_a_longer_one_and_seeds_differ():
    model = ventrola.DDM(bound="weibull", drift="dmc", leak=True)
    params = dict(BASE, collapse_time=0.9, automatic_amplitude=0.3, leak=1.0, drift_rate_sd=0.5,
                  starting_point_range=0.1, non_decision_time_range=0.05)
    short = model.simulate(500, 8, **params)
    long = model.simulate(2000, 8, **params)
    np.testing.assert_array_equal(short[0], long[0][:500])
    np.testing.assert_array_equal(short[1], long[1][:500])
    other = model.simulate(500, 9, **params)
    assert not np.array_equal(short[1], other[1])
    choices, rts, excluded = model.simulate(0, 8, **params)
    assert choices.shape == rts.shape == (0,) and excluded == 0 and choices.dtype == np.bool_


def test_undecided_trials_are_dropped_and_counted():
    model = ventrola.DDM(leak=True)
    params = dict(drift_rate=0.0, boundary_separation=3.0, non_decision_time=0.2, leak=4.0)
    choices, rts, excluded = model.simulate(4000, 2, max_time=1.0, **params)
    assert excluded + rts.size == 4000 and excluded > 0
    assert rts.max() <= 0.2 + 1.0 + 1e-12
    undecided = 1.0 - float(model.cdf(True, 1.2, **params) + model.cdf(False, 1.2, **params))
    assert abs(excluded / 4000 - undecided) < 4 * math.sqrt(undecided * (1 - undecided) / 4000) + 0.01


@pytest.mark.parametrize("keywords, error, message", [
    (dict(dt=0.0), ValueError, "dt"),
    (dict(dt=math.nan), ValueError, "dt"),
    (dict(max_time=math.inf), ValueError, "max_time"),
    (dict(max_time=1e6, dt=1e-6), ValueError, "steps"),
    (dict(n=-1), (ValueError, OverflowError), None),
    (dict(seed=-1), (ValueError, OverflowError), None),
    (dict(collapse_time=[0.5, 0.6]), TypeError, "collapse_time"),
])
def test_bad_simulation_requests_are_refused(keywords, error, message):
    model = ventrola.DDM(bound="exponential")
    arguments = dict(n=10, seed=1, **BASE, collapse_time=0.5)
    arguments.update(keywords)
    n, seed = arguments.pop("n"), arguments.pop("seed")
    with pytest.raises(error, match=message):
        model.simulate(n, seed, **arguments)


def test_simulate_ddm_and_simulate_frame_take_a_model():
    model = ventrola.DDM(bound="exponential")
    direct = model.simulate(300, 5, collapse_time=0.7, **BASE)
    through = ventrola.simulate_ddm(0.8, 1.6, 0.45, 0.3, 300, 5, model=model, collapse_time=0.7)
    for a, b in zip(direct, through):
        np.testing.assert_array_equal(a, b)
    frame = ventrola.simulate_frame(0.8, 1.6, 0.45, 0.3, 300, 5, model=model, collapse_time=0.7)
    np.testing.assert_array_equal(frame["rt"].to_numpy(), direct[1])
    # The seven-parameter model keeps its exact sampler, through DDM() too.
    exact = ventrola.simulate_ddm(0.8, 1.6, 0.45, 0.3, 300, 5)
    for a, b in zip(exact, ventrola.simulate_ddm(0.8, 1.6, 0.45, 0.3, 300, 5, model=ventrola.DDM())):
        np.testing.assert_array_equal(a, b)
    with pytest.raises(ValueError, match="method='exact' draws first passages of the seven-parameter model"):
        ventrola.simulate_ddm(0.8, 1.6, 0.45, 0.3, 10, 5, model=model, method="exact", collapse_time=0.7)
    with pytest.raises(TypeError, match="unexpected keyword argument 'collapse_time'"):
        ventrola.simulate_ddm(0.8, 1.6, 0.45, 0.3, 10, 5, collapse_time=0.7)
    with pytest.raises(TypeError, match="has no parameter 'leak'"):
        ventrola.simulate_ddm(0.8, 1.6, 0.45, 0.3, 10, 5, model=model, collapse_time=0.7, leak=1.0)
