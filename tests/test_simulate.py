"""simulate() from the user's side: results, reproducibility, validation, memory."""
import hashlib
import math
import threading
import time

import numpy as np
import pytest

import _ventrola
from _ventrola import simulate

TYPICAL = dict(drift=1.0, boundary=1.5, start=0.5, t0=0.3)


def test_result_shapes_and_types():
    choices, rts, excluded = simulate(**TYPICAL, n=1000, seed=5)
    assert choices.dtype == np.bool_ and rts.dtype == np.float64
    assert choices.ndim == 1 and rts.ndim == 1
    assert len(choices) == len(rts) == 1000 - excluded
    assert isinstance(excluded, int)
    assert np.all(rts >= 0.3 + 0.001)


def test_output_arrays_own_nothing_and_keep_their_buffer_alive():
    choices, rts, _ = simulate(**TYPICAL, n=100, seed=1)
    for array in (choices, rts):
        assert array.flags.writeable and array.flags.c_contiguous and array.flags.aligned
        assert not array.flags.owndata
        assert type(array.base).__name__ == "PySliceContainer"
        assert type(array.base).__module__ == "builtins"
    view = rts[10:20]
    expected = view.copy()
    del choices, rts
    assert np.array_equal(view, expected)  # the view keeps the buffer alive
    view[:] = 1.0  # and it is writable memory of our own
    assert np.all(view == 1.0)


def test_empty_run():
    choices, rts, excluded = simulate(**TYPICAL, n=0, seed=1)
    assert (choices.dtype, rts.dtype, choices.shape, rts.shape, excluded) == (np.bool_, np.float64, (0,), (0,), 0)


def test_all_trials_timed_out():
    choices, rts, excluded = simulate(0.0, 1.0, 0.5, 0.2, 5, 3, 1e-9)
    assert len(choices) == len(rts) == 0 and excluded == 5


def test_same_seed_same_trials_and_prefix_property():
    small = simulate(**TYPICAL, n=2000, seed=99)
    again = simulate(**TYPICAL, n=2000, seed=99)
    large = simulate(**TYPICAL, n=5000, seed=99)
    assert np.array_equal(small[0], again[0]) and np.array_equal(small[1], again[1])
    kept = len(small[0])
    assert np.array_equal(small[0], large[0][:kept])
    assert np.array_equal(small[1], large[1][:kept])
    assert small[2] <= large[2]
    other_seed = simulate(**TYPICAL, n=2000, seed=100)
    assert not np.array_equal(small[1], other_seed[1])


DIGEST = """
import hashlib, _ventrola
choices, rts, excluded = _ventrola.simulate(0.7, 1.2, 0.45, 0.25, 200_000, 2024, 1.1)
h = hashlib.sha256(choices.tobytes() + rts.tobytes() + excluded.to_bytes(8, "little"))
print(h.hexdigest())
"""


def test_identical_for_every_thread_count(python_subprocess):
    digests = {
        threads: python_subprocess(DIGEST, {"RAYON_NUM_THREADS": threads}).strip()
        for threads in ("1", "2", "8")
    }
    choices, rts, excluded = simulate(0.7, 1.2, 0.45, 0.25, 200_000, 2024, 1.1)
    here = hashlib.sha256(choices.tobytes() + rts.tobytes() + excluded.to_bytes(8, "little")).hexdigest()
    assert set(digests.values()) == {here.encode()}


def test_matches_the_models_first_passage_statistics():
    # Unbiased start: P(upper) = 1 / (1 + exp(-v a)) and the mean decision time
    # is (a / 2v) tanh(v a / 2). A 1 ms Euler step overshoots the boundary by
    # about 0.58 * sqrt(dt) in position, which lengthens decision times by a few
    # milliseconds; the tolerances allow for that plus 5 standard errors.
    v, a, n = 1.0, 1.5, 200_000
    choices, rts, excluded = simulate(v, a, 0.5, 0.0, n, 7)
    assert excluded == 0
    p_upper = 1.0 / (1.0 + math.exp(-v * a))
    assert abs(choices.mean() - p_upper) < 5 * math.sqrt(p_upper * (1 - p_upper) / n) + 0.01
    mean_dt = (a / (2 * v)) * math.tanh(v * a / 2)
    assert abs(rts.mean() - mean_dt) < 0.03
    assert rts.mean() > mean_dt - 0.005  # overshoot only ever lengthens


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (dict(boundary=0.0, start=2.0), "boundary must be > 0"),
        (dict(boundary=-1.0), "boundary must be > 0"),
        (dict(boundary=float("nan")), "boundary must be > 0"),
        (dict(start=1.0000000000000002), "start must be in [0, 1]"),
        (dict(start=-1e-300), "start must be in [0, 1]"),
        (dict(start=float("nan")), "start must be in [0, 1]"),
        (dict(t0=-1e-9), "t0 must be >= 0"),
        (dict(t0=float("nan")), "t0 must be >= 0"),
        (dict(noise_sd=0.0), "noise_sd must be > 0"),
        (dict(noise_sd=float("nan")), "noise_sd must be > 0"),
        (dict(noise_sd=-float("inf")), "noise_sd must be > 0"),
    ],
)
def test_validation_messages(arguments, message):
    call = dict(TYPICAL, n=10, seed=1, **{**arguments})
    with pytest.raises(ValueError) as caught:
        simulate(**call)
    assert type(caught.value) is ValueError
    assert not isinstance(caught.value, _ventrola.VentrolaError)
    assert str(caught.value) == message
    assert not getattr(caught.value, "__notes__", None)


def test_values_at_the_edges_are_accepted():
    simulate(1.0, 1.0, 0.5, -0.0, 10, 1)
    assert simulate(1.0, 1.0, 0.0, 0.2, 4, 1)[0].tolist() == [False] * 4
    assert simulate(1.0, 1.0, 1.0, 0.2, 4, 1)[0].tolist() == [True] * 4
    assert np.all(simulate(1.0, 1.0, 1.0, 0.2, 4, 1)[1] == 0.2)
    for drift in (float("nan"), float("inf"), -float("inf")):
        choices, rts, excluded = simulate(drift, 1.0, 0.5, 0.2, 4, 1)
        assert excluded == 0 and np.all(rts == 0.001 + 0.2)
        assert choices.tolist() == [drift == float("inf")] * 4
    choices, rts, _ = simulate(1.0, float("inf"), 0.5, float("inf"), 3, 1, float("inf"))
    assert np.all(np.isinf(rts))


def test_a_count_too_large_to_reserve_is_a_memory_error():
    for n in (2**64 - 1, 2**62, 10**12):
        with pytest.raises(MemoryError) as caught:
            simulate(**TYPICAL, n=n, seed=1)
        assert str(n) in str(caught.value)
    assert len(simulate(**TYPICAL, n=10, seed=1)[0]) == 10  # still usable afterwards


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def address_sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.skipif(address_sanitizer_loaded(), reason="AddressSanitizer keeps freed memory in quarantine")
def test_buffers_are_freed_with_their_arrays():
    # Each call makes 9 MB of results; 60 calls would grow by over 500 MB if
    # the buffers leaked.
    for _ in range(5):
        simulate(1.0, 1.0, 0.0, 0.2, 1_000_000, 1)
    before = resident_bytes()
    for _ in range(60):
        choices, rts, _ = simulate(1.0, 1.0, 0.0, 0.2, 1_000_000, 1)
        del choices, rts
    assert resident_bytes() - before < 100 * 2**20


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
        simulate(0.0, 3.0, 0.5, 0.2, 100_000, 1)  # long trials: about a second of steps
        finished = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    during = [t for t in ticks if started < t < finished]
    # With the lock held the ticker could not run at all during the call.
    assert len(during) >= 10
