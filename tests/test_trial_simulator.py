"""One drift-diffusion trial: the stepping loop against a step-by-step Python
rendering of it, the edge cases of the entry test, the boundaries and the time
cap, and determinism across ranges, compiled copies and refill variants."""
import math
import struct

import pytest

import _ventrola_testing as vt

DT = 0.001
SQRT_DT = 0.03162277660168379
MASK64 = 0xFFFFFFFFFFFFFFFF
# Ten thousand and one additions of dt to 0.0 in double precision.
CAPPED_DECISION_TIME = 10.000999999999896

TYPICAL = (1.0, 1.5, 0.5, 0.3, 1.0)  # drift, boundary, start, t0, noise_sd
PARAMETER_SETS = [
    TYPICAL,
    (-0.7, 2.0, 0.3, 0.2, 1.0),
    (0.0, 3.0, 0.5, 0.0, 0.5),
    (2.0, 0.5, 0.9, 0.1, 1.5),
]


def normals(seed, stream, n):
    data = vt.normals(seed, stream, n)
    return struct.unpack(f"<{n}d", data)


def python_trial(params, seed, index):
    """(rt, choice, timed_out, steps), one variate of the trial's stream per step."""
    drift, boundary, start, t0, noise_sd = params
    x = start * boundary
    t = 0.0
    inside = False
    steps = 0
    if x > 0 and boundary > x:
        m = drift * DT
        s = noise_sd * SQRT_DT
        z = normals(seed, index, 1024)
        while True:
            if steps == len(z):
                z = normals(seed, index, 2 * len(z))
            x = ((z[steps] * s) + m) + x
            steps += 1
            t = t + DT
            inside = x < boundary and 0 < x
            if not (inside and t < 10.0):
                break
    return t + t0, x >= boundary * 0.5, inside, steps


def trial(params, seed=1, index=0):
    return vt.simulate_trial(*params, seed, index)


def same(a, b):
    """Equal outcomes, rts compared bit for bit."""
    return struct.pack("<d", a[0]) == struct.pack("<d", b[0]) and tuple(a[1:]) == tuple(b[1:])


def test_constants_behind_the_time_cap():
    assert math.sqrt(DT) == SQRT_DT
    t = 0.0
    for _ in range(10_000):
        t += DT
    assert t == 9.999999999999897 and t < 10.0
    assert t + DT == CAPPED_DECISION_TIME


@pytest.mark.parametrize("params", PARAMETER_SETS)
def test_trials_follow_the_step_by_step_rendering(params):
    for index in [0, 1, 2, 3, 4, 5, 6, 7, 1 << 32, MASK64]:
        expected = python_trial(params, 2024, index)
        assert same(trial(params, 2024, index), expected), (params, index)


def test_start_on_a_boundary_takes_no_step():
    assert trial((1.0, 1.5, 0.0, 0.3, 1.0)) == (0.3, False, False, 0)
    assert trial((-1.0, 1.5, 1.0, 0.3, 1.0)) == (0.3, True, False, 0)


def test_nan_start_position_takes_no_step():
    assert trial((1.0, 1.5, math.nan, 0.3, 1.0)) == (0.3, False, False, 0)


def test_nan_drift_ends_after_one_step_at_the_lower_choice():
    assert trial((math.nan, 1.5, 0.5, 0.3, 1.0)) == (DT + 0.3, False, False, 1)


@pytest.mark.parametrize("drift, choice", [(math.inf, True), (-math.inf, False)])
def test_infinite_drift_ends_after_one_step(drift, choice):
    assert trial((drift, 1.5, 0.5, 0.3, 1.0)) == (DT + 0.3, choice, False, 1)


def test_infinite_boundary_ends_at_once():
    # start > 0: x = +inf fails the entry test; start 0: x = 0 * inf = NaN.
    assert trial((1.0, math.inf, 0.5, 0.3, 1.0)) == (0.3, True, False, 0)
    assert trial((1.0, math.inf, 0.0, 0.3, 1.0)) == (0.3, False, False, 0)


def test_landing_exactly_on_a_boundary_ends_the_trial():
    # Without noise each step adds m = 500 * 0.001 = 0.5 exactly.
    assert 500 * DT == 0.5
    assert trial((500.0, 1.0, 0.5, 0.0, 0.0)) == (DT, True, False, 1)  # x == 1.0
    assert trial((-500.0, 1.0, 0.5, 0.0, 0.0)) == (DT, False, False, 1)  # x == 0.0


@pytest.mark.parametrize("drift, choice", [(1e7, True), (-1e7, False)])
def test_a_wide_jump_is_decided_by_position(drift, choice):
    assert trial((drift, 1.5, 0.5, 0.0, 1.0)) == (DT, choice, False, 1)


@pytest.mark.parametrize("start, choice", [(0.7, True), (0.3, False), (0.5, True)])
def test_time_out_after_10001_steps_reports_the_half_it_stopped_in(start, choice):
    drift, boundary, t0, noise_sd = 0.0, 1.0, 0.25, 1e-9
    rt, got_choice, timed_out, steps = trial((drift, boundary, start, t0, noise_sd))
    assert (timed_out, steps) == (True, 10_001)
    assert rt == CAPPED_DECISION_TIME + t0
    if start != 0.5:
        assert got_choice == choice
    # Without noise the position stays exactly at the midpoint, which counts as upper.
    assert trial((0.0, 1.0, 0.5, 0.0, 0.0)) == (CAPPED_DECISION_TIME, True, True, 10_001)


def noiseless_crossing_step(drift, start=0.5, boundary=1.0):
    x = start * boundary
    m = drift * DT
    for step in range(1, 10_002):
        x = ((0.0 * 0.0) + m) + x
        if not (x < boundary and 0 < x):
            return step
    return None


def test_a_boundary_reached_on_the_last_allowed_step_is_not_a_time_out():
    drift = 0.5 / 10_000.5 / DT  # reaches 1.0 between steps 10 000 and 10 001
    assert noiseless_crossing_step(drift) == 10_001
    assert trial((drift, 1.0, 0.5, 0.0, 0.0)) == (CAPPED_DECISION_TIME, True, False, 10_001)
    assert trial((-drift, 1.0, 0.5, 0.0, 0.0)) == (CAPPED_DECISION_TIME, False, False, 10_001)
    # A little slower and the cap stops it first.
    slower = 0.5 / 10_001.5 / DT
    assert noiseless_crossing_step(slower) is None
    assert trial((slower, 1.0, 0.5, 0.0, 0.0)) == (CAPPED_DECISION_TIME, True, True, 10_001)


def test_outcomes_are_bounded_and_consistent():
    for index in range(2000):
        rt, choice, timed_out, steps = trial(TYPICAL, 77, index)
        assert 1 <= steps <= 10_001
        assert not timed_out or steps == 10_001
        assert rt > TYPICAL[3]


def test_a_trial_is_the_same_alone_and_in_any_range():
    seed = 99
    together = vt.simulate_trial_range(*TYPICAL, seed, 0, 500)
    for index in range(0, 500, 7):
        alone = trial(TYPICAL, seed, index)
        assert same(alone[:3], together[index])
        assert same(vt.simulate_trial_range(*TYPICAL, seed, index, 1)[0], together[index])
    assert vt.simulate_trial_range(*TYPICAL, seed, 250, 250) == together[250:]
    high = vt.simulate_trial_range(*TYPICAL, seed, MASK64 - 3, 3)
    for offset, outcome in enumerate(high):
        assert same(trial(TYPICAL, seed, MASK64 - 3 + offset)[:3], outcome)
    with pytest.raises(ValueError):
        vt.simulate_trial_range(*TYPICAL, seed, MASK64, 1)


def test_seed_and_index_select_different_trials():
    a = vt.simulate_trial_range(*TYPICAL, 1, 0, 200)
    b = vt.simulate_trial_range(*TYPICAL, 2, 0, 200)
    c = vt.simulate_trial_range(*TYPICAL, 1, 200, 200)
    assert a != b and a != c


@pytest.mark.parametrize("params", PARAMETER_SETS)
def test_every_compiled_trial_loop_gives_identical_outcomes(params):
    kernels = vt.trial_kernels()
    assert kernels[0] == "baseline"
    results = {kernel: vt.run_trial_kernel(kernel, *params, 5, 1000, 3000) for kernel in kernels}
    for kernel in kernels:
        assert results[kernel] == results["baseline"], kernel


def test_outcomes_do_not_depend_on_the_refill_variant():
    default = vt.active_refill_variant()
    try:
        outcomes = {}
        for variant in vt.refill_variants():
            vt.set_refill_variant(variant)
            outcomes[variant] = vt.simulate_trial_range(*TYPICAL, 8, 0, 300)
    finally:
        vt.set_refill_variant(default)
    for variant, result in outcomes.items():
        assert result == outcomes["scalar"], variant
