"""The parts of the exact simulation on their own: the eight-lane first blocks
of every compiled variant give each trial the very draws of its random
stream; the exit-time sampler follows the tilted exit-time law on both sides
of its switch of proposals; and exact trials take few steps."""
import math

import numpy as np
import pytest

import _ventrola_testing as testing

U64 = 2**64


@pytest.mark.parametrize("variant", testing.first_blocks_variants())
def test_every_first_blocks_variant_continues_into_the_streams_own_draws(variant):
    # 40 draws run past the one or two blocks computed ahead into the refills;
    # the stream numbers cross the carry into the high word and wrap at 2^64.
    for seed in (0, 7, U64 - 1):
        for first in (0, 5, 2**32 - 3, U64 - 5):
            for blocks in (1, 2):
                for lane in range(8):
                    expected = testing.stream_draws(seed, (first + lane) % U64, 40)
                    assert testing.first_block_draws(variant, seed, first, blocks, lane, 40) == expected


def tilted_exit_cdf(u, theta, terms=200):
    """P(U <= u) for the exit time U of Brownian motion with drift theta from
    (-1, 1) started at 0: the large-time series integrated term by term,
    1 - cosh(theta) sum_j (-1)^j (pi/2)(2j+1) exp(-c_j u) / c_j with
    c_j = theta^2/2 + (2j+1)^2 pi^2/8. Below u = 1e-3 the law has no mass
    a double can hold for the tilts used here."""
    u = np.maximum(np.asarray(u, dtype=float), 1e-3)
    odd = 2 * np.arange(terms) + 1
    rates = theta**2 / 2 + odd**2 * np.pi**2 / 8
    signs = (-1.0) ** np.arange(terms)
    tail = np.exp(-np.outer(u, rates)) @ (signs * (np.pi / 2) * odd / rates)
    return 1.0 - math.cosh(theta) * tail


# Both proposals: the weak-tilt one below 1.1, the inverse Gaussian from 1.1 on.
@pytest.mark.parametrize("theta", [0.0, 0.4, 1.0999, 1.1, 2.5, 12.0])
def test_exit_times_follow_the_tilted_exit_time_law(theta):
    n = 200_000
    times = np.sort(np.frombuffer(testing.unit_exit_times(theta, 31, n), dtype=np.float64))
    f = tilted_exit_cdf(times, theta)
    i = np.arange(1, n + 1)
    distance = max(np.max(i / n - f), np.max(f - (i - 1) / n))
    # Kolmogorov's bound: P(sqrt(n) D > 3.3) < 2 exp(-2 * 3.3^2) = 7e-10.
    assert math.sqrt(n) * distance < 3.3, distance
    # The mean exit time is tanh(theta) / theta.
    mean = math.tanh(theta) / theta if theta > 0 else 1.0
    assert abs(times.mean() - mean) < 6 * times.std() / math.sqrt(n)


def test_the_sign_of_the_tilt_does_not_matter_to_the_time():
    assert testing.unit_exit_times(-2.5, 3, 1000) == testing.unit_exit_times(2.5, 3, 1000)


def test_a_centred_start_takes_one_step_and_others_few():
    n = 100_000
    assert set(testing.exact_steps(1.3, 1.5, 0.5, 1.0, 4, 1000)) == {1}
    # Without drift each step ends the trial with probability 1/2: the count
    # is geometric with mean 2 and variance 2, whatever the start.
    for start in (0.3, 0.01, 0.999):
        steps = np.array(testing.exact_steps(0.0, 1.0, start, 1.0, 5, n))
        assert abs(steps.mean() - 2.0) < 6 * math.sqrt(2.0 / n)
    # Each step ends the trial at the nearer boundary or doubles the distance
    # to it, so even a trial that drift carries from a start near one boundary
    # to the other takes about log2(1 / (2w)) + 1 steps; most end sooner.
    for drift, start in ((10.0, 0.01), (-10.0, 0.99), (30.0, 0.001), (-10.0, 0.01)):
        steps = np.array(testing.exact_steps(drift, 2.0, start, 1.0, 6, n))
        nearer = min(start, 1.0 - start)
        assert steps.mean() < 1.0 + math.log2(1.0 / (2.0 * nearer)), (drift, start, steps.mean())
