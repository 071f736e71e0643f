"""simulate_ddm() from the user's side: Euler trials equal to simulate's,
reproducibility, validation, the time cap, memory and the interpreter lock.
The distributions it samples are checked in test_simulate_ddm_statistics.py."""
import math
import threading
import time

import numpy as np
import pytest

import _ventrola
import ventrola
from ventrola import simulate_ddm

BASE = (1.0, 1.5, 0.5, 0.3)  # drift_rate, boundary_separation, starting_point, non_decision_time
ALL_RANGES = dict(drift_rate_sd=1.0, starting_point_range=0.3, non_decision_time_range=0.2)


def test_result_shapes_and_types():
    for method in ("exact", "euler"):
        choices, rts, excluded = simulate_ddm(*BASE, 1000, 5, method=method, **ALL_RANGES)
        assert choices.dtype == np.bool_ and rts.dtype == np.float64
        assert choices.ndim == 1 and rts.ndim == 1
        assert len(choices) == len(rts) == 1000 - excluded and isinstance(excluded, int)
        assert np.all(rts > 0.3) and np.all(np.isfinite(rts))
        assert type(rts.base).__name__ == "PySliceContainer"
    choices, rts, excluded = simulate_ddm(*BASE, 0, 1)
    assert (choices.shape, rts.shape, excluded) == ((0,), (0,), 0)


# (drift, boundary, start, t0, noise_sd, seed): a typical set, some trials
# past the 10 s cap, a biased start with strong noise, the largest seed.
SIMULATE_CASES = [
    (1.0, 1.5, 0.5, 0.3, 1.0, 7),
    (0.0, 1.5, 0.5, 0.2, 0.2, 3),
    (-2.3, 0.7, 0.2, 0.0, 1.7, 11),
    (0.5, 2.0, 0.9, 0.1, 0.5, 2**64 - 1),
]


@pytest.mark.parametrize(("drift", "boundary", "start", "t0", "noise_sd", "seed"), SIMULATE_CASES)
def test_euler_without_variability_is_simulate_bit_for_bit(drift, boundary, start, t0, noise_sd, seed):
    n = 20_000
    expected = _ventrola.simulate(drift, boundary, start, t0, n, seed, noise_sd)
    got = simulate_ddm(drift, boundary, start, t0, n, seed, noise_sd=noise_sd, method="euler")
    assert got[2] == expected[2]
    assert np.array_equal(got[0], expected[0])
    assert got[1].tobytes() == expected[1].tobytes()


def test_variability_and_other_steps_change_the_euler_trials():
    plain = simulate_ddm(*BASE, 2000, 4, method="euler")
    for changed in (dict(drift_rate_sd=0.5), dict(starting_point_range=0.1), dict(dt=0.002), dict(max_time=1.0)):
        assert not np.array_equal(simulate_ddm(*BASE, 2000, 4, method="euler", **changed)[1], plain[1])


@pytest.mark.parametrize("method", ["exact", "euler"])
@pytest.mark.parametrize("ranges", [{}, ALL_RANGES])
def test_same_seed_same_trials_and_prefix_property(method, ranges):
    # A 0.6 s cap drops some trials, and the kept ones stay a prefix.
    small = simulate_ddm(*BASE, 3000, 99, method=method, max_time=0.6, **ranges)
    again = simulate_ddm(*BASE, 3000, 99, method=method, max_time=0.6, **ranges)
    large = simulate_ddm(*BASE, 10_000, 99, method=method, max_time=0.6, **ranges)
    assert small[2] > 0
    assert np.array_equal(small[0], again[0]) and np.array_equal(small[1], again[1])
    kept = len(small[0])
    assert np.array_equal(small[0], large[0][:kept]) and np.array_equal(small[1], large[1][:kept])
    other_seed = simulate_ddm(*BASE, 3000, 100, method=method, max_time=0.6, **ranges)
    assert not np.array_equal(small[1], other_seed[1])


DIGEST = """
import hashlib
from ventrola import simulate_ddm
parts = []
for method, ranges in (("exact", {}), ("exact", dict(drift_rate_sd=1.0, starting_point_range=0.3,
                       non_decision_time_range=0.2)), ("euler", dict(drift_rate_sd=0.5))):
    n = 200_000 if method == "exact" else 20_000
    choices, rts, excluded = simulate_ddm(0.7, 1.2, 0.45, 0.25, n, 2024, noise_sd=1.1, method=method, **ranges)
    parts += [choices.tobytes(), rts.tobytes(), excluded.to_bytes(8, "little")]
print(hashlib.sha256(b"".join(parts)).hexdigest())
"""


def test_identical_for_every_thread_count(python_subprocess):
    digests = {
        threads: python_subprocess(DIGEST, {"RAYON_NUM_THREADS": threads}).strip() for threads in ("1", "2", "3", "8")
    }
    assert len(set(digests.values())) == 1


@pytest.mark.parametrize(
    ("keywords", "name"),
    [
        (dict(drift_rate=math.inf), "drift_rate"),
        (dict(drift_rate=math.nan), "drift_rate"),
        (dict(boundary_separation=0.0), "boundary_separation"),
        (dict(boundary_separation=math.inf), "boundary_separation"),
        (dict(starting_point=0.0), "starting_point"),
        (dict(starting_point=1.0), "starting_point"),
        (dict(non_decision_time=-1e-9), "non_decision_time"),
        (dict(drift_rate_sd=-0.1), "drift_rate_sd"),
        (dict(drift_rate_sd=math.nan), "drift_rate_sd"),
        (dict(starting_point=0.2, starting_point_range=0.4), "starting_point_range"),
        (dict(starting_point_range=-0.1), "starting_point_range"),
        (dict(non_decision_time_range=-0.1), "non_decision_time_range"),
        (dict(non_decision_time_range=math.inf), "non_decision_time_range"),
        (dict(noise_sd=0.0), "noise_sd"),
        (dict(noise_sd=1e-120), "noise_sd"),  # drift and separation beyond 1e100 noise units
        (dict(dt=0.0), "dt"),
        (dict(dt=math.inf), "dt"),
        (dict(max_time=0.0), "max_time"),
        (dict(max_time=math.nan), "max_time"),
        (dict(method="Exact"), "method"),
        (dict(method="milstein"), "method"),
    ],
)
def test_values_out_of_range_are_refused_naming_the_parameter(keywords, name):
    arguments = dict(drift_rate=1.0, boundary_separation=1.5, starting_point=0.5, non_decision_time=0.3)
    arguments.update(keywords)
    with pytest.raises(ValueError) as caught:
        simulate_ddm(n=10, seed=1, **arguments)
    assert type(caught.value) is ValueError
    assert str(caught.value).startswith(name + " must ")


def test_arguments_of_the_wrong_kind_are_refused():
    with pytest.raises(TypeError):
        simulate_ddm(*BASE, 10, 1, 0.5)  # the variabilities are keyword-only
    with pytest.raises(TypeError):
        simulate_ddm(*BASE, 10, 1, method=1)
    with pytest.raises(TypeError):
        simulate_ddm("fast", 1.5, 0.5, 0.3, 10, 1)
    with pytest.raises(TypeError):
        simulate_ddm(*BASE, 10.5, 1)
    with pytest.raises(OverflowError):
        simulate_ddm(*BASE, -1, 1)


def test_an_euler_step_too_small_to_reach_the_cap_is_refused():
    # Below half a rounding step of t, t + dt is t again: such a trial never ended.
    for dt, max_time in ((1e-300, 10.0), (5e-324, 10.0), (9e-11, 0.1)):
        with pytest.raises(ValueError) as caught:
            simulate_ddm(*BASE, 2, 1, method="euler", dt=dt, max_time=max_time)
        assert str(caught.value) == (
            f"dt must be at least max_time / 1e9, so that Euler steps reach max_time in at most 1e9 steps, got {dt!r}")
    # Half a billion steps to the cap are allowed (these trials end after 37,500),
    # as is any step without a cap or for exact trials, which take no steps.
    fast = dict(drift_rate=1e6, boundary_separation=1.5, starting_point=0.5, non_decision_time=0.3)
    for dt, max_time, method in ((2e-11, 1e-2, "euler"), (2e-11, math.inf, "euler"), (5e-324, 10.0, "exact")):
        choices, rts, excluded = simulate_ddm(**fast, n=2, seed=1, method=method, dt=dt, max_time=max_time)
        assert excluded == 0 and choices.all()


def test_a_count_too_large_to_reserve_is_a_memory_error():
    for n in (2**64 - 1, 2**62, 10**12):
        with pytest.raises(MemoryError) as caught:
            simulate_ddm(*BASE, n, 1)
        assert str(n) in str(caught.value)
    assert len(simulate_ddm(*BASE, 10, 1)[0]) == 10


def test_the_time_cap_drops_exactly_the_slower_trials():
    n = 20_000
    no_t0 = (1.0, 1.5, 0.5, 0.0)  # response time = decision time, to the bit
    everything = simulate_ddm(*no_t0, n, 8, max_time=math.inf)
    assert everything[2] == 0
    capped = simulate_ddm(*no_t0, n, 8, max_time=0.5)
    kept = everything[1] <= 0.5
    assert capped[2] == n - kept.sum()
    assert np.array_equal(capped[1], everything[1][kept]) and np.array_equal(capped[0], everything[0][kept])


def test_without_a_cap_every_slow_trial_is_kept():
    # Weak noise without drift: the mean decision time is w (1 - w) a^2 / s^2 = 2500 s.
    choices, rts, excluded = simulate_ddm(0.0, 1.0, 0.5, 0.0, 20_000, 3, noise_sd=0.01, max_time=math.inf)
    assert excluded == 0 and len(rts) == 20_000
    assert 2000 < rts.mean() < 3000
    assert simulate_ddm(0.0, 1.0, 0.5, 0.0, 20_000, 3, noise_sd=0.01)[2] > 19_000


def test_extreme_but_valid_parameters_end_every_trial():
    n = 5000
    cases = [
        (dict(starting_point=1e-12), False, 1e-3),  # ends almost at once, below
        (dict(starting_point=1 - 1e-12), True, 1e-3),
        (dict(drift_rate=1e4), True, 2e-4),  # straight up: 0.75 / 1e4 s
        (dict(drift_rate=-1e4), False, 2e-4),
        (dict(noise_sd=1e-6), True, 0.76),  # deterministic: 0.75 / 1.0 s
    ]
    for changed, side, slowest in cases:
        arguments = dict(drift_rate=1.0, boundary_separation=1.5, starting_point=0.5, non_decision_time=0.0)
        arguments.update(changed)
        choices, rts, excluded = simulate_ddm(n=n, seed=2, max_time=math.inf, **arguments)
        assert excluded == 0 and np.all(choices == side), changed
        assert np.all(rts > 0) and rts.max() < slowest, changed


def test_other_python_threads_run_during_a_long_simulation():
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.01)
        started = time.perf_counter()
        simulate_ddm(0.0, 3.0, 0.5, 0.2, 50_000, 1, method="euler")  # about a second of steps
        finished = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    during = [t for t in ticks if started < t < finished]
    assert len(during) >= 10


def test_exported_from_the_package():
    assert "simulate_ddm" in ventrola.__all__ and ventrola.simulate_ddm is simulate_ddm
