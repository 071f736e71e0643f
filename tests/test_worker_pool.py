"""The worker pool: its size, how batches are cut, concurrent submitters, fork."""
import os
import signal
import struct
import sys
import threading

import pytest
from conftest import run_python

import _ventrola_testing as testing

# (drift, boundary, start, t0, noise_sd)
TYPICAL = (1.0, 1.5, 0.5, 0.3, 1.0)
# Weak noise and no drift: some trials reach a boundary within 10 s, some do not.
SOME_TIME_OUT = (0.0, 1.5, 0.5, 0.2, 0.2)

U64_MAX = 2**64 - 1


# ---------------------------------------------------------------- sizing rules


@pytest.mark.parametrize(
    ("text", "count"),
    [
        ("4", 4),
        ("+4", 4),
        ("0", 0),
        ("+0", 0),
        ("007", 7),
        ("18446744073709551615", U64_MAX),
        ("+18446744073709551615", U64_MAX),
    ],
)
def test_values_that_parse(text, count):
    assert testing.parse_thread_count(text) == count


@pytest.mark.parametrize(
    "text",
    [
        "",
        "+",
        "-1",
        "-0",
        "++4",
        "+-4",
        " 4",
        "4 ",
        "4\n",
        "four",
        "4a",
        "0x10",
        "4.0",
        "1e3",
        "4_000",
        "18446744073709551616",  # one past 64 bits
        "99999999999999999999999999",
        "\u0664",  # ARABIC-INDIC DIGIT FOUR: a digit to Python's int(), not here
        "\uff14",  # FULLWIDTH DIGIT FOUR
        "4\x005",
    ],
)
def test_values_that_count_as_unset(text):
    assert testing.parse_thread_count(text) is None


@pytest.mark.parametrize(
    ("num_threads", "rs_num_cpus", "available", "size"),
    [
        (None, None, 6, 6),
        ("3", None, 6, 3),
        ("3", "5", 6, 3),
        ("+4", "5", 6, 4),
        ("0", "5", 6, 6),  # zero asks for the default; RAYON_RS_NUM_CPUS is not consulted
        ("0", None, 6, 6),
        ("letters", "5", 6, 5),
        ("-2", "5", 6, 5),
        ("+", "5", 6, 5),
        (" 2", "5", 6, 5),
        ("18446744073709551616", "5", 6, 5),
        ("letters", None, 6, 6),
        (None, "5", 6, 5),
        (None, "+5", 6, 5),
        (None, "0", 6, 6),  # RAYON_RS_NUM_CPUS must be at least 1
        (None, "-5", 6, 6),
        ("0", "0", 6, 6),
        ("1000000", None, 6, 1000000),
        ("18446744073709551615", None, 6, U64_MAX),
        (None, None, 0, 1),  # the system cannot tell: one thread
        ("0", "5", 0, 1),
    ],
)
def test_pool_size_rules(num_threads, rs_num_cpus, available, size):
    assert testing.pool_size_from(num_threads, rs_num_cpus, available) == size


LIVE_POOL = """
import os, _ventrola_testing as t
before = len(os.listdir("/proc/self/task"))
size = t.pool_thread_count()
after = len(os.listdir("/proc/self/task"))
os.environ["RAYON_NUM_THREADS"] = "7"  # too late: the size is settled
print(size, t.pool_thread_count(), t.pool_running_count(), after - before, len(os.sched_getaffinity(0)))
"""


@pytest.mark.parametrize(
    ("env", "size"),
    [
        ({}, "affinity"),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "+4"}, 4),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, "affinity"),
        ({"RAYON_NUM_THREADS": "many", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "-4", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_RS_NUM_CPUS": "5"}, 5),
    ],
)
def test_live_pool_is_sized_once_from_the_environment(python_subprocess, env, size):
    settled, later, running, new_threads, affinity = map(int, python_subprocess(LIVE_POOL, env).split())
    expected = affinity if size == "affinity" else size
    assert settled == later == running == expected
    assert new_threads == expected - 1  # the caller is the remaining participant


def test_default_size_follows_the_affinity_mask_not_the_machine(python_subprocess):
    code = """
import os, _ventrola_testing as t
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
print(t.available_processors(), t.pool_thread_count())
"""
    assert python_subprocess(code).split() == [b"1", b"1"]


def test_available_processors_counts_the_affinity_mask():
    assert testing.available_processors() == len(os.sched_getaffinity(0))


def test_absurd_sizes_run_on_a_bounded_number_of_threads(python_subprocess):
    code = """
import os, _ventrola_testing as t
print(t.pool_thread_count(), t.pool_running_count(), len(os.listdir("/proc/self/task")), len(os.sched_getaffinity(0)))
print(t.simulate_outcomes(1.0, 1.5, 0.5, 0.3, 1.0, 3000, 11)[0].hex())
"""
    alone = testing.simulate_outcomes(*TYPICAL, 3000, 11)[0]
    for requested in ("1000000", "18446744073709551615"):
        first, second = python_subprocess(code, {"RAYON_NUM_THREADS": requested}).splitlines()
        size, running, tasks, affinity = map(int, first.split())
        assert size == int(requested)
        assert 1 < running <= max(256, affinity)
        assert tasks == running  # the workers and the calling thread, nothing more
        assert bytes.fromhex(second.decode()) == alone


# ------------------------------------------------------------ cutting a batch


@pytest.mark.parametrize(
    ("n", "participants"),
    [(n, k) for n in (0, 1, 2, 3, 5, 8, 9, 100, 1023, 12345) for k in (1, 2, 3, 8, 255, U64_MAX)]
    + [(2**40 + 3, 2), (2**40 + 3, 255), (U64_MAX, 3)],
)
def test_pieces_are_contiguous_balanced_and_cover_the_range(n, participants):
    pieces = testing.split_range(n, participants)
    count = len(pieces)
    assert count & (count - 1) == 0  # halvings only
    assert pieces[0][0] == 0 and pieces[-1][1] == n
    assert all(a[1] == b[0] for a, b in zip(pieces, pieces[1:]))
    lengths = [last - first for first, last in pieces]
    assert max(lengths) - min(lengths) <= 1
    if n < 2 or participants == 1:
        assert pieces == [(0, n)]  # not divided: the caller runs it alone
    else:
        assert min(lengths) >= 1
        largest_power_of_two_in_n = 1 << (n.bit_length() - 1)
        assert count >= min(participants, largest_power_of_two_in_n)  # every thread can find work
        assert count <= min(32 * participants, n)


def test_split_of_a_small_range_worked_by_hand():
    assert testing.split_range(10, 2) == [(0, 1), (1, 2), (2, 3), (3, 5), (5, 6), (6, 7), (7, 8), (8, 10)]


# ------------------------------------------------------------ batch contents


def outcomes(params, n, seed):
    return testing.simulate_outcomes(*params, n, seed)


def test_a_batch_is_a_prefix_of_any_longer_batch():
    long_rts, long_choices, long_timed_out = outcomes(TYPICAL, 5000, 3)
    assert len(long_rts) == 8 * 5000 and len(long_choices) == len(long_timed_out) == 5000
    for n in (0, 1, 2, 7, 64, 1000, 4999):
        rts, choices, timed_out = outcomes(TYPICAL, n, 3)
        assert rts == long_rts[: 8 * n]
        assert choices == long_choices[:n] and timed_out == long_timed_out[:n]


@pytest.mark.parametrize(
    ("params", "n", "seed"),
    [(TYPICAL, 3001, 12), ((-0.4, 2.0, 0.3, 0.1, 1.3), 1000, U64_MAX), (SOME_TIME_OUT, 150, 5), (TYPICAL, 1, 3)],
)
def test_outcome_i_is_trial_i_run_alone(params, n, seed):
    rts, choices, timed_out = outcomes(params, n, seed)
    for i in range(n):
        rt, choice, out_of_time, _ = testing.simulate_trial(*params, seed, i)
        assert rts[8 * i : 8 * i + 8] == struct.pack("=d", rt), i
        assert (choices[i], timed_out[i]) == (choice, out_of_time), i


def test_batch_keeps_exactly_the_trials_that_did_not_time_out():
    n = 300
    rts, choices, timed_out = outcomes(SOME_TIME_OUT, n, 5)
    kept = [i for i in range(n) if not timed_out[i]]
    assert 0 < len(kept) < n  # both kinds occur, so the filter is exercised
    batch_choices, batch_rts, excluded = testing.simulate_batch(*SOME_TIME_OUT, n, 5)
    assert excluded == n - len(kept)
    assert batch_choices == bytes(choices[i] for i in kept)
    assert batch_rts == b"".join(rts[8 * i : 8 * i + 8] for i in kept)
    assert set(batch_choices) <= {0, 1}


def test_batch_validation_comes_before_any_memory_check():
    with pytest.raises(ValueError, match="^boundary must be > 0$"):
        testing.simulate_batch(1.0, float("nan"), 0.5, 0.3, 1.0, U64_MAX, 1)
    assert testing.simulate_batch(*TYPICAL, 0, 1) == (b"", b"", 0)


def physical_memory():
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("n", [U64_MAX, 2**62, "just_over_physical_memory"])
def test_counts_that_cannot_be_reserved_are_memory_errors(n):
    # 25 bytes per trial: 16 for the outcome, 1 for the choice, 8 for the rt.
    if n == "just_over_physical_memory":
        n = physical_memory() // 25 + 1
    for call in (testing.simulate_outcomes, testing.simulate_batch):
        with pytest.raises(MemoryError) as caught:
            call(*TYPICAL, n, 1)
        assert str(caught.value) == f"cannot reserve memory for {n} trials"
    assert len(outcomes(TYPICAL, 10, 1)[1]) == 10  # the pool is still usable


# ------------------------------------------------------------- thread counts

DIGEST = """
import hashlib, _ventrola_testing as t
for params, n, seed in [((1.0, 1.5, 0.5, 0.3, 1.0), 30000, 1), ((-0.4, 2.0, 0.3, 0.1, 1.3), 4097, 2**64 - 1),
                        ((0.0, 1.5, 0.5, 0.2, 0.2), 200, 5), ((1.0, 1.5, 0.5, 0.3, 1.0), 1, 77), ((1.0, 1.5, 0.5, 0.3, 1.0), 0, 77)]:
    print(hashlib.sha256(b"|".join(t.simulate_outcomes(*params, n, seed))).hexdigest())
"""


def test_outcomes_are_identical_for_every_thread_count(python_subprocess):
    runs = {
        threads: python_subprocess(DIGEST, {"RAYON_NUM_THREADS": threads} if threads else {})
        for threads in ("1", "2", "3", "8", None)
    }
    assert len(set(runs.values())) == 1, runs
    assert len(runs["1"].split()) == 5


CONCURRENT = """
import hashlib, threading, _ventrola_testing as t
jobs = [((1.0, 1.5, 0.5, 0.3, 1.0), 5000 + 37 * k, k) for k in range(6)] + [((0.0, 1.5, 0.5, 0.2, 0.2), 60, 9)]
alone = [t.simulate_outcomes(*p, n, s) for p, n, s in jobs]
failures = []
def submitter(offset):
    for round in range(4):
        for k in range(len(jobs)):
            j = (k + offset + round) % len(jobs)
            params, n, seed = jobs[j]
            if t.simulate_outcomes(*params, n, seed) != alone[j]:
                failures.append((offset, round, j))
threads = [threading.Thread(target=submitter, args=(i,), daemon=True) for i in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join(timeout=100)
print(sum(thread.is_alive() for thread in threads), len(failures))
"""


@pytest.mark.parametrize("threads", ["1", "2", "8"])
def test_concurrent_submitters_get_what_they_would_get_alone(python_subprocess, threads):
    stuck, wrong = python_subprocess(CONCURRENT, {"RAYON_NUM_THREADS": threads}, timeout=240).split()
    assert (stuck, wrong) == (b"0", b"0")


def test_concurrent_submitters_in_this_process():
    jobs = [(TYPICAL, 2000 + k, 100 + k) for k in range(4)]
    alone = [outcomes(*job) for job in jobs]
    results = {}

    def submitter(i):
        results[i] = [outcomes(*jobs[(i + r) % len(jobs)]) for r in range(len(jobs))]

    threads = [threading.Thread(target=submitter, args=(i,), daemon=True) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads), "a submitter is stuck"
    for i in range(6):
        assert results[i] == [alone[(i + r) % len(jobs)] for r in range(len(jobs))]


# --------------------------------------------------------------------- fork


def run_forking(code, env_extra, timeout):
    """For code that forks: a deadlocked child fails the test, not the suite."""
    return run_python(code, env_extra, timeout)


FORK_AFTER_USE = """
import os, sys, _ventrola_testing as t
before = t.simulate_outcomes(1.0, 1.5, 0.5, 0.3, 1.0, 20000, 4)
pid = os.fork()
if pid == 0:
    # A fresh pool of the same size, and normal interpreter shutdown.
    same = t.simulate_outcomes(1.0, 1.5, 0.5, 0.3, 1.0, 20000, 4) == before
    sys.exit(0 if same and t.pool_running_count() == int(os.environ["RAYON_NUM_THREADS"]) else 3)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status), t.simulate_outcomes(1.0, 1.5, 0.5, 0.3, 1.0, 20000, 4) == before)
"""


@pytest.mark.parametrize("threads", ["1", "4"])
def test_child_of_fork_simulates_and_exits_normally(threads):
    out = run_forking(FORK_AFTER_USE, {"RAYON_NUM_THREADS": threads}, timeout=120)
    assert out.split() == [b"0", b"True"]


FORK_DURING_BATCHES = """
import os, signal, threading, _ventrola_testing as t
expected = t.simulate_outcomes(1.0, 1.5, 0.5, 0.3, 1.0, 3000, 6)
stop = threading.Event()
busy = threading.Event()
def keep_submitting():
    # Tiny batches: the pool's lock changes hands all the time, so some forks
    # happen while a worker or this thread holds it.
    while not stop.is_set():
        t.simulate_outcomes(1.0, 1.5, 0.5, 0.3, 1.0, 64, 1)
        busy.set()
submitters = [threading.Thread(target=keep_submitting, daemon=True) for _ in range(2)]
for s in submitters:
    s.start()
busy.wait(60)
codes = []
for _ in range(25):
    pid = os.fork()
    if pid == 0:
        signal.alarm(30)  # a deadlocked child dies and shows up as a failure
        ok = t.simulate_outcomes(1.0, 1.5, 0.5, 0.3, 1.0, 3000, 6) == expected
        os._exit(0 if ok else 3)
    codes.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
stop.set()
for s in submitters:
    s.join(60)
print(codes.count(0), len(codes), sum(s.is_alive() for s in submitters))
"""


def test_fork_while_other_threads_are_inside_batches():
    out = run_forking(FORK_DURING_BATCHES, {"RAYON_NUM_THREADS": "4"}, timeout=120)
    assert out.split() == [b"25", b"25", b"0"]


MULTIPROCESSING_FORK = """
import hashlib, multiprocessing, _ventrola_testing as t
def digest(seed):
    return hashlib.sha256(b"".join(t.simulate_outcomes(1.0, 1.5, 0.5, 0.3, 1.0, 5000, seed))).hexdigest()
if __name__ == "__main__":
    here = [digest(seed) for seed in range(6)]  # the parent's pool exists before the fork
    with multiprocessing.get_context("fork").Pool(3) as pool:
        there = pool.map(digest, range(6))
    print(here == there)
"""


def test_multiprocessing_fork_gives_the_same_results():
    assert run_forking(MULTIPROCESSING_FORK, {"RAYON_NUM_THREADS": "2"}, timeout=120).strip() == b"True"


# ------------------------------------------------------------------ signals


def test_workers_leave_asynchronous_signals_to_the_applications_threads(python_subprocess):
    code = """
import os, signal, time, _ventrola_testing as t
t.simulate_outcomes(1.0, 1.5, 0.5, 0.3, 1.0, 20000, 1)
main = str(os.getpid())
def blocked(task):
    with open(f"/proc/self/task/{task}/status") as status:
        mask = int(next(line for line in status if line.startswith("SigBlk")).split()[1], 16)
    return {s for s in signal.Signals if mask >> (s - 1) & 1}
# A thread that is still starting has everything blocked for a moment.
for _ in range(100):
    workers = [blocked(task) for task in os.listdir("/proc/self/task") if task != main]
    if all(signal.SIGSEGV not in w for w in workers):
        break
    time.sleep(0.05)
print(len(workers), blocked(main) == set(),
      all({signal.SIGINT, signal.SIGTERM, signal.SIGCHLD, signal.SIGALRM} <= w for w in workers),
      all(not ({signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL, signal.SIGABRT} & w) for w in workers))
"""
    assert python_subprocess(code, {"RAYON_NUM_THREADS": "3"}).split() == [b"2", b"True", b"True", b"True"]


# --------------------------------------------------------------- first use


def test_pool_is_created_by_an_empty_batch(python_subprocess):
    code = """
import os, _ventrola_testing as t
before = len(os.listdir("/proc/self/task"))
empty = t.simulate_outcomes(1.0, 1.5, 0.5, 0.3, 1.0, 0, 1)
print(empty == (b"", b"", b""), len(os.listdir("/proc/self/task")) - before)
"""
    assert python_subprocess(code, {"RAYON_NUM_THREADS": "3"}).split() == [b"True", b"2"]


def test_many_threads_creating_the_pool_at_once_share_one(python_subprocess):
    code = """
import os, threading, time, _ventrola_testing as t
go = threading.Event()
sizes = []
def first_use():
    go.wait()
    t.simulate_outcomes(1.0, 1.5, 0.5, 0.3, 1.0, 500, 1)
    sizes.append(t.pool_running_count())
threads = [threading.Thread(target=first_use) for _ in range(12)]
for thread in threads:
    thread.start()
go.set()
for thread in threads:
    thread.join(60)
# A finished Python thread may take a moment to leave the task list.
for _ in range(200):
    tasks = len(os.listdir("/proc/self/task"))
    if tasks <= 3:
        break
    time.sleep(0.05)
print(sorted(set(sizes)), tasks)
"""
    sizes, tasks = python_subprocess(code, {"RAYON_NUM_THREADS": "3"}).decode().rsplit(" ", 1)
    assert sizes == "[3]"
    assert int(tasks) == 3  # the main thread and a single pool's two workers

