"""100,000 mixed calls, succeeding and failing in every documented way, leave
memory and the reference counts of their arguments where they were.

The calls run in a fresh interpreter so that nothing else in the suite moves
the figures. Each of the 23 kinds of call runs about 4,350 times after the
warm-up. Three measures of memory, from coarse to exact:

- resident memory (/proc/self/statm), bound 2 MiB: a simulate result that kept
  its 64-trial buffers (over 1 KiB), a fit that kept its trial records
  (50 x 16 bytes) or a failure that kept its exception, message and note (some
  300 bytes) would each grow it by several MiB;
- bytes in use on the C heap (glibc's mallinfo2, all arenas), bound 64 KiB: a
  leak of 16 bytes per call of a single kind exceeds it;
- blocks held by the interpreter's object allocator (sys.getallocatedblocks),
  compared between the two halves of the run, bound 500 over the second half:
  a leaked object costs at least one block per call, over 2,000 blocks per
  half for one kind of call. First uses leave a constant 100 to 300 blocks
  however many calls run (caches filled once), which land in the first half;
  the second half moves by up to about 100 blocks as the allocator's pools
  come and go.

Reference counts must come back exactly.
"""
import json
import sys

import pytest

LEAKS = r"""
import ctypes, gc, json, sys, time
import numpy as np
import _ventrola as v

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]

mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)  # glibc 2.33 and later
if mallinfo2 is not None:
    mallinfo2.restype = MallInfo2

def heap_in_use():
    if mallinfo2 is None:
        return 0
    info = mallinfo2()
    return info.uordblks + info.hblkhd

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096

class Raising:
    def __float__(self):
        raise ZeroDivisionError("from __float__")

class Meddling:
    # Changes the size of the guess it sits in while that guess is read.
    def __init__(self):
        self.guess = None
    def __float__(self):
        self.guess["extra"] = 1.0
        return 1.0
    def reset(self):
        self.guess.pop("extra", None)

choices, rts, _ = v.simulate(1.0, 1.5, 0.5, 0.3, 50, 3)
ties = (np.ones(4, dtype=bool), np.full(4, 0.5))
empty = (np.empty(0, dtype=bool), np.empty(0))
strided = rts[::2]
drift, boundary, start, t0 = float("1.25"), float("1.5"), float("0.5"), float("0.3")
bad_boundary = float("-1.0")
guess = {"drift_rate": float("1.1"), "boundary_separation": float("1.4"), "non_decision_time": float("0.25")}
# Every vertex of the first simplex has a negative non-decision time: each
# phase stops at once, so this fit succeeds without simulating.
penalised = {"drift_rate": float("1.1"), "boundary_separation": float("1.4"), "non_decision_time": float("-1.0")}
partial = {"drift_rate": float("1.1")}
text_value = {"drift_rate": "1.1"}
int_key = {7: 1.0}
surrogate_key = {"\udc80": 1.0}
raising = Raising()
meddling = Meddling()
meddled = {"drift_rate": meddling, "boundary_separation": 1.0}
meddling.guess = meddled
not_a_dict = [("drift_rate", 1.0)]

calls = {
    "simulate": lambda: v.simulate(drift, boundary, start, t0, 64, 1),
    "simulate keywords": lambda: v.simulate(drift, boundary, start, t0, seed=2, n=3, noise_sd=boundary),
    "simulate ValueError": lambda: v.simulate(drift, bad_boundary, start, t0, 5, 1),
    "simulate MemoryError": lambda: v.simulate(drift, boundary, start, t0, 2**62, 1),
    "simulate OverflowError": lambda: v.simulate(drift, boundary, start, t0, -1, 1),
    "simulate TypeError note": lambda: v.simulate(drift, boundary, start, t0, 5, boundary),
    "simulate hook error": lambda: v.simulate(raising, boundary, start, t0, 5, 1),
    "simulate matching": lambda: v.simulate(drift, boundary, start, t0, 5, 1, noise=1.0),
    "fit_ez": lambda: v.fit_ez(choices, rts),
    "fit_ez VentrolaError": lambda: v.fit_ez(*ties),
    "fit_ez lengths": lambda: v.fit_ez(choices, rts[:10]),
    "fit_ez layout": lambda: v.fit_ez(choices[::2], strided),
    "fit_ez TypeError note": lambda: v.fit_ez(choices, choices),
    "fit_ez matching": lambda: v.fit_ez(choices),
    "fit_sim penalised": lambda: v.fit_sim(choices, rts, penalised, 3),
    "fit_sim NoTarget": lambda: v.fit_sim(*empty, guess, 0),
    "fit_sim missing key": lambda: v.fit_sim(choices, rts, partial, 0),
    "fit_sim not a dict": lambda: v.fit_sim(choices, rts, not_a_dict, 0),
    "fit_sim text value": lambda: v.fit_sim(choices, rts, text_value, 0),
    "fit_sim int key": lambda: v.fit_sim(choices, rts, int_key, 0),
    "fit_sim surrogate key": lambda: v.fit_sim(choices, rts, surrogate_key, 0),
    "fit_sim max_iters": lambda: v.fit_sim(choices, rts, guess, -1),
    "fit_sim panic": lambda: v.fit_sim(choices, rts, meddled, 0),
}
outcomes = {}

def cycle(rounds):
    for _ in range(rounds):
        for name, call in calls.items():
            try:
                call()
                outcome = "result"
            except BaseException as error:
                outcome = type(error).__name__
                if hasattr(error, "__notes__"):
                    outcome += " with note"
            outcomes[name] = outcome
            if name == "fit_sim panic":
                meddling.reset()

def searched_fits(count):
    # Real searches are slow: a few, with the smallest budget.
    for seed in range(count):
        v.fit_sim(choices, rts, guess, 0)
        v.fit_sim(choices, rts, max_iters=0)

panic_class = None
try:
    v.fit_sim(choices, rts, meddled, 0)
except BaseException as error:
    panic_class = type(error)
meddling.reset()

watched = {
    "choices": choices, "rts": rts, "strided": strided, "drift": drift, "boundary": boundary, "t0": t0,
    "guess": guess, "guess value": guess["drift_rate"], "penalised": penalised, "partial": partial,
    "text_value": text_value, "int_key": int_key, "meddled": meddled, "meddling": meddling, "raising": raising,
    "not_a_dict": not_a_dict, "simulate": v.simulate, "fit_ez": v.fit_ez, "fit_sim": v.fit_sim,
    "VentrolaError": v.VentrolaError, "PanicException": panic_class, "module": v,
}

ROUNDS_WARM, ROUNDS = 500, 100_000 // len(calls) + 1
cycle(ROUNDS_WARM)
searched_fits(2)
gc.collect()
refs_before = {name: sys.getrefcount(obj) for name, obj in watched.items()}
rss_before, heap_before, blocks_before = resident(), heap_in_use(), sys.getallocatedblocks()
started = time.perf_counter()
cycle(ROUNDS // 2)
searched_fits(1)
gc.collect()
blocks_half = sys.getallocatedblocks()
cycle(ROUNDS - ROUNDS // 2)
searched_fits(2)
seconds = time.perf_counter() - started
gc.collect()
rss_after, heap_after, blocks_after = resident(), heap_in_use(), sys.getallocatedblocks()
refs_after = {name: sys.getrefcount(obj) for name, obj in watched.items()}
print(json.dumps({
    "calls": ROUNDS * len(calls) + 3 * 2, "seconds": round(seconds, 1), "outcomes": outcomes,
    "rss": [rss_before, rss_after], "heap": [heap_before, heap_after], "blocks": [blocks_before, blocks_half, blocks_after],
    "refs": [refs_before, refs_after],
}))
"""

EXPECTED_OUTCOMES = {
    "simulate": "result",
    "simulate keywords": "result",
    "simulate ValueError": "ValueError",
    "simulate MemoryError": "MemoryError",
    "simulate OverflowError": "OverflowError with note",
    "simulate TypeError note": "TypeError with note",
    "simulate hook error": "ZeroDivisionError with note",
    "simulate matching": "TypeError",
    "fit_ez": "result",
    "fit_ez VentrolaError": "VentrolaError",
    "fit_ez lengths": "ValueError",
    "fit_ez layout": "ValueError",
    "fit_ez TypeError note": "TypeError with note",
    "fit_ez matching": "TypeError",
    "fit_sim penalised": "result",
    "fit_sim NoTarget": "VentrolaError",
    "fit_sim missing key": "ValueError",
    "fit_sim not a dict": "TypeError with note",
    "fit_sim text value": "TypeError with note",
    "fit_sim int key": "TypeError with note",
    "fit_sim surrogate key": "UnicodeEncodeError with note",
    "fit_sim max_iters": "OverflowError with note",
    "fit_sim panic": "PanicException",
}

MiB = 2**20


def address_sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.skipif(sys.version_info < (3, 11), reason="the expected notes arrived in 3.11")
@pytest.mark.skipif(address_sanitizer_loaded(), reason="AddressSanitizer keeps freed memory in quarantine")
def test_a_hundred_thousand_mixed_calls_leak_nothing(python_subprocess):
    figures = json.loads(python_subprocess(LEAKS, timeout=240))
    # Every kind of call did what it is meant to do, so each path was measured.
    assert figures["outcomes"] == EXPECTED_OUTCOMES
    assert figures["calls"] >= 100_000
    rss_before, rss_after = figures["rss"]
    heap_before, heap_after = figures["heap"]
    blocks_before, blocks_half, blocks_after = figures["blocks"]
    assert rss_after - rss_before < 2 * MiB, figures
    assert abs(heap_after - heap_before) < 64 * 1024, figures
    assert abs(blocks_after - blocks_half) < 500, figures
    refs_before, refs_after = figures["refs"]
    assert refs_after == refs_before
