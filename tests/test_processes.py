"""The public functions across processes: children of fork() (also when another
thread of the parent was inside a call), and multiprocessing with the fork,
spawn and forkserver start methods, all giving the parent's results."""
import os
import signal
import sys

import pytest
from conftest import run_python


def run_script(tmp_path, code, env_extra=None, timeout=120):
    """Runs `code` from a file, so that spawned children can re-import it."""
    return run_python(code, env_extra, timeout, script_dir=tmp_path).decode()


# Shared by the scripts: every call's answer as comparable text.
COMMON = """
import os, signal, sys, threading, _ventrola as v

def digest(result):
    if isinstance(result, tuple):
        choices, rts, excluded = result
        return (choices.tobytes().hex(), rts.tobytes().hex(), excluded)
    return [(k, x.hex() if isinstance(x, float) else x) for k, x in result.items()]

OBSERVED = v.simulate(1.0, 1.5, 0.5, 0.3, 300, 21)[:2]

def calls():
    return [
        digest(v.simulate(1.0, 1.5, 0.5, 0.3, 5000, 4)),
        digest(v.simulate(-0.3, 2.0, 0.4, 0.1, 700, 2**64 - 1, 0.9)),
        digest(v.fit_ez(*OBSERVED)),
        digest(v.fit_sim(*OBSERVED, max_iters=2)),
    ]

def wait_for_child(pid, seconds):
    # The child also has an alarm; this bounds the parent's wait as well.
    for _ in range(int(seconds * 100)):
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        threading.Event().wait(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return "hung"
"""

FORK_AFTER_USE = COMMON + """
expected = calls()  # the pool exists before the fork
pid = os.fork()
if pid == 0:
    signal.alarm(60)  # a hung child dies and shows as a failure
    # Normal interpreter shutdown through SystemExit, not os._exit.
    sys.exit(0 if calls() == expected else 3)
print(wait_for_child(pid, 90), calls() == expected)
"""


@pytest.mark.parametrize("pool_threads", [None, "1", "4"])
def test_child_of_a_fork_after_use_calls_and_exits_normally(tmp_path, pool_threads):
    env = {"RAYON_NUM_THREADS": pool_threads} if pool_threads else {}
    assert run_script(tmp_path, FORK_AFTER_USE, env).split() == ["0", "True"]


FORK_DURING_A_CALL = COMMON + """
expected = calls()
inside = threading.Event()
finished = threading.Event()

def long_call(which):
    inside.set()
    if which == "simulate":
        v.simulate(0.0, 3.0, 0.5, 0.2, 60_000, 9)  # long trials: the call lasts a while
    else:
        v.fit_sim(*OBSERVED, max_iters=12)
    finished.set()

codes = []
for which in ("simulate", "fit_sim"):
    inside.clear()
    finished.clear()
    busy = threading.Thread(target=long_call, args=(which,), daemon=True)
    busy.start()
    inside.wait(30)
    during = 0
    while not finished.is_set() and during < 4:
        pid = os.fork()
        if pid == 0:
            signal.alarm(60)
            sys.exit(0 if calls() == expected else 3)
        still_inside = not finished.is_set()
        codes.append(wait_for_child(pid, 90))
        during += still_inside
    busy.join(120)
    codes.append(("forks during the call", which, during > 0, busy.is_alive()))
print(codes)
"""


def test_fork_while_another_thread_is_inside_a_long_call(tmp_path):
    codes = run_script(tmp_path, FORK_DURING_A_CALL, timeout=240).strip()
    children = [c for c in eval(codes) if not isinstance(c, tuple)]  # noqa: S307 - our own printout
    summaries = [c for c in eval(codes) if isinstance(c, tuple)]  # noqa: S307
    assert children and set(children) == {0}, codes
    assert summaries == [("forks during the call", "simulate", True, False),
                         ("forks during the call", "fit_sim", True, False)], codes


MULTIPROCESSING = COMMON + """
import multiprocessing

JOBS = [("simulate", 1.0, 1.5, 0.5, 0.3, 3000, seed) for seed in range(4)] + [("fit_ez",), ("fit_sim", 1), ("fit_sim", 3)]

def run(job):
    if job[0] == "simulate":
        return digest(v.simulate(*job[1:]))
    if job[0] == "fit_ez":
        return digest(v.fit_ez(*OBSERVED))
    return digest(v.fit_sim(*OBSERVED, max_iters=job[1]))

if __name__ == "__main__":
    here = [run(job) for job in JOBS]  # the parent's pool exists before the children start
    context = multiprocessing.get_context(os.environ["START_METHOD"])
    with context.Pool(2) as pool:
        there = pool.map_async(run, JOBS, chunksize=1).get(timeout=120)
    print(here == there, len(there))
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_multiprocessing_gives_the_parents_results(tmp_path, method):
    out = run_script(tmp_path, MULTIPROCESSING, {"START_METHOD": method, "RAYON_NUM_THREADS": "2"}, timeout=180)
    assert out.split() == ["True", "7"]
