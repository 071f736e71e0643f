"""simulate_ddm() samples the model's distribution: choice proportions and
response-time distributions per boundary against the likelihood engine's
distribution function and the closed forms, and Euler trials approaching the
exact ones as the step shrinks.

Seeds are fixed, so each check gives the same answer on every run; the
thresholds (|z| < 6, Kolmogorov-Smirnov p > 1e-8) are ones that a correct
sampler would fail, over every check of this file together, in fewer than one
run in a million.
"""
import math

import numpy as np
import pytest

import ventrola
from ventrola import simulate_ddm

N = 100_000
Z_LIMIT = 6.0
P_LIMIT = 1e-8

# (drift_rate, boundary_separation, starting_point, non_decision_time, noise_sd, ranges)
MODELS = {
    "base": (1.0, 1.5, 0.5, 0.3, 1.0, {}),
    "strong drift": (4.0, 2.0, 0.5, 0.2, 1.0, {}),
    "weak drift": (0.1, 1.0, 0.5, 0.0, 1.0, {}),
    "no drift, biased start": (0.0, 1.2, 0.3, 0.1, 1.0, {}),
    "start near the lower boundary": (2.0, 1.5, 0.1, 0.25, 1.0, {}),
    "negative drift, high start": (-1.5, 1.8, 0.8, 0.2, 1.0, {}),
    "weak noise": (0.3, 0.2, 0.6, 0.25, 0.2, {}),
    "drift variability": (1.0, 1.5, 0.5, 0.3, 1.0, dict(drift_rate_sd=1.2)),
    "start variability": (1.0, 1.5, 0.5, 0.3, 1.0, dict(starting_point_range=0.6)),
    "non-decision time variability": (1.0, 1.5, 0.5, 0.3, 1.0, dict(non_decision_time_range=0.25)),
    "all three, biased": (
        -0.5,
        2.0,
        0.6,
        0.2,
        0.7,
        dict(drift_rate_sd=0.8, starting_point_range=0.5, non_decision_time_range=0.1),
    ),
}


def kolmogorov_smirnov_p(cdf_at_sorted_sample):
    """Asymptotic p-value (with Stephens' small-sample correction) of the
    largest distance between the empirical and the given distribution."""
    f = np.asarray(cdf_at_sorted_sample)
    n = f.size
    i = np.arange(1, n + 1)
    distance = max(np.max(i / n - f), np.max(f - (i - 1) / n))
    lam = (math.sqrt(n) + 0.12 + 0.11 / math.sqrt(n)) * distance
    k = np.arange(1, 101)
    p = 2.0 * np.sum((-1.0) ** (k - 1) * np.exp(-2.0 * k**2 * lam**2))
    return float(min(max(p, 0.0), 1.0))


def model_keywords(v, a, w, t0, s, ranges):
    return dict(drift_rate=v, boundary_separation=a, starting_point=w, non_decision_time=t0, noise_sd=s, **ranges)


@pytest.mark.parametrize("name", list(MODELS))
def test_exact_trials_follow_the_models_distribution(name):
    v, a, w, t0, s, ranges = MODELS[name]
    choices, rts, excluded = simulate_ddm(v, a, w, t0, N, 17, noise_sd=s, max_time=math.inf, **ranges)
    assert excluded == 0 and len(rts) == N
    keywords = model_keywords(v, a, w, t0, s, ranges)
    p_upper = float(ventrola.wiener_cdf(True, math.inf, **keywords))
    z = (choices.mean() - p_upper) / math.sqrt(p_upper * (1 - p_upper) / N)
    assert abs(z) < Z_LIMIT, (name, choices.mean(), p_upper)
    for side, probability in ((True, p_upper), (False, 1.0 - p_upper)):
        times = np.sort(rts[choices == side])
        if times.size < 100:
            continue
        conditional = ventrola.wiener_cdf(side, times, **keywords) / probability
        p = kolmogorov_smirnov_p(conditional)
        assert p > P_LIMIT, (name, side, p)


@pytest.mark.parametrize("name", [name for name, model in MODELS.items() if not model[5]])
def test_exact_trials_match_the_closed_forms(name):
    # P(upper) = (1 - exp(-2 v a w)) / (1 - exp(-2 v a)) and, by optional
    # stopping of X_t - v t, the mean decision time (a P(upper) - w a) / v
    # (w (1 - w) a^2 without drift), all in units of the noise.
    v, a, w, t0, s, _ = MODELS[name]
    choices, rts, _ = simulate_ddm(v, a, w, t0, N, 23, noise_sd=s, max_time=math.inf)
    mu, alpha = v / s, a / s
    if mu == 0:
        p_upper, mean_time = w, w * (1 - w) * alpha**2
    else:
        p_upper = math.expm1(-2 * mu * alpha * w) / math.expm1(-2 * mu * alpha)
        mean_time = (a * p_upper - w * a) / v
    assert abs(choices.mean() - p_upper) < Z_LIMIT * math.sqrt(p_upper * (1 - p_upper) / N)
    decision = rts - t0
    assert abs(decision.mean() - mean_time) < Z_LIMIT * decision.std() / math.sqrt(N)


def test_the_share_dropped_at_the_cap_is_the_chance_of_a_slower_trial():
    keywords = model_keywords(0.5, 2.0, 0.4, 0.3, 1.0, dict(drift_rate_sd=0.5))
    for max_time in (0.5, 1.0, 2.0):
        _, rts, excluded = simulate_ddm(0.5, 2.0, 0.4, 0.3, N, 9, drift_rate_sd=0.5, max_time=max_time)
        assert rts.max() <= 0.3 + max_time
        finished = float(np.sum(ventrola.wiener_cdf([True, False], 0.3 + max_time, **keywords)))
        z = (excluded / N - (1 - finished)) / math.sqrt(finished * (1 - finished) / N)
        assert abs(z) < Z_LIMIT, (max_time, excluded / N, 1 - finished)


def test_euler_trials_approach_the_exact_ones_as_the_step_shrinks():
    # The Euler walk overshoots the boundary by about 0.58 sqrt(dt) noise
    # units, which lengthens decision times by a bias proportional to
    # sqrt(dt): quartering the step halves it.
    exact = simulate_ddm(*MODELS["base"][:4], 400_000, 5, max_time=math.inf)[1].mean()
    biases = []
    for dt in (0.016, 0.004, 0.001):
        rts = simulate_ddm(*MODELS["base"][:4], 100_000, 5, method="euler", dt=dt, max_time=math.inf)[1]
        biases.append(rts.mean() - exact)
    assert biases[0] > biases[1] > biases[2] > 0
    for coarse, fine in zip(biases, biases[1:]):
        assert 1.4 < coarse / fine < 2.8, biases
