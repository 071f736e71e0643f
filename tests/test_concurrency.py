"""Python threads calling simulate, fit_ez and fit_sim at once: the same answers
as alone, no deadlock, and other threads keep running during the long calls.

Both checks run in a fresh interpreter with a timeout, so that a deadlock
fails the test instead of hanging the suite.
"""
import pytest

STRESS = """
import sys, threading, _ventrola as v

def outcome(call):
    # Everything a call gives back, as comparable bytes and text; failures by
    # class and message.
    try:
        result = call()
    except Exception as error:
        return ("raised", type(error).__name__, str(error))
    if isinstance(result, tuple):
        choices, rts, excluded = result
        return ("simulated", choices.dtype.str, choices.tobytes(), rts.dtype.str, rts.tobytes(), excluded)
    return ("fitted", [(key, value.hex() if isinstance(value, float) else value) for key, value in result.items()])

data = [v.simulate(1.0, 1.5, 0.5, 0.3, 300, 1)[:2], v.simulate(-0.5, 2.0, 0.4, 0.2, 150, 2)[:2],
        v.simulate(0.0, 1.5, 0.5, 0.2, 200, 3)[:2]]
guess = {"drift_rate": 0.8, "boundary_separation": 1.2, "non_decision_time": 0.25}
jobs = [
    lambda: v.simulate(1.0, 1.5, 0.5, 0.3, 2000, 11),
    lambda: v.simulate(-0.4, 2.0, 0.3, 0.1, 1500, 2**64 - 1, 1.3),
    lambda: v.simulate(0.0, 1.5, 0.5, 0.2, 40, 5, 0.2),  # some trials time out
    lambda: v.simulate(2.0, 1.0, 0.5, 0.0, 0, 1),
    lambda: v.simulate(1.0, 1.5, 0.5, 0.3, 1, 7),
    lambda: v.fit_ez(*data[0]),
    lambda: v.fit_ez(*data[1]),
    lambda: v.fit_sim(*data[0], max_iters=3),
    lambda: v.fit_sim(*data[1], guess, 2),
    lambda: v.fit_sim(*data[2], max_iters=0),
    # failures of every kind
    lambda: v.simulate(1.0, -1.0, 0.5, 0.3, 10, 1),
    lambda: v.simulate(1.0, 1.5, 0.5, 0.3, 2**62, 1),
    lambda: v.simulate(1.0, 1.5, 0.5, 0.3, -1, 1),
    lambda: v.fit_ez(data[0][0][:1], data[0][1][:1]),
    lambda: v.fit_ez(data[0][0], data[0][1][:5]),
    lambda: v.fit_sim(data[0][0][:0], data[0][1][:0], max_iters=1),
    lambda: v.fit_sim(*data[0], {"drift_rate": 1.0}, 1),
]
alone = [outcome(job) for job in jobs]
assert len({a[0] for a in alone}) == 3, alone  # results and failures both occur

THREADS, CALLS = 8, 25
start = threading.Barrier(THREADS)
wrong, made = [], []

def caller(index):
    start.wait()
    for call in range(CALLS):
        j = (index * 7 + call * 3) % len(jobs)
        if outcome(jobs[j]) != alone[j]:
            wrong.append((index, call, j))
        made.append(j)

threads = [threading.Thread(target=caller, args=(i,), daemon=True) for i in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join(timeout=150)
print(sum(thread.is_alive() for thread in threads), len(made), len(set(made)), wrong)
"""


@pytest.mark.parametrize("pool_threads", [None, "3"])
def test_eight_threads_get_what_each_call_gives_alone(python_subprocess, pool_threads):
    env = {"RAYON_NUM_THREADS": pool_threads} if pool_threads else {}
    stuck, made, distinct, wrong = python_subprocess(STRESS, env, timeout=200).decode().split(maxsplit=3)
    assert stuck == "0", "a calling thread did not finish: deadlock?"
    assert (int(made), int(distinct)) == (8 * 25, 17)  # every job ran, mixed across threads
    assert wrong.strip() == "[]"


# With a switch interval far longer than any call, a thread that holds the
# interpreter lock keeps it until it blocks or releases it: the ticker can only
# count while the main thread's call has released the lock. fit_ez holds it
# throughout, which shows that the ticker cannot count otherwise.
TICKER = """
import sys, threading, time, _ventrola as v
choices, rts, _ = v.simulate(1.0, 1.5, 0.5, 0.3, 400, 1)
big_choices, big_rts, _ = v.simulate(1.0, 1.5, 0.5, 0.3, 300_000, 2)
calls = {
    "simulate": lambda: v.simulate(0.0, 2.5, 0.5, 0.2, 30_000, 1),
    "fit_sim": lambda: v.fit_sim(choices, rts, max_iters=4),
    "fit_ez": lambda: v.fit_ez(big_choices, big_rts),
}
count = 0
running = threading.Event()
stop = False

def ticker():
    global count
    running.set()
    while not stop:
        count += 1
        if count % 1000 == 0:
            time.sleep(0)  # lets a thread that waits for the lock take it back

sys.setswitchinterval(60.0)
thread = threading.Thread(target=ticker, daemon=True)
thread.start()
running.wait()
counts = []
for name, call in calls.items():
    for _ in range(2):
        before = count
        call()
        counts.append((name, count - before))
stop = True
thread.join(30)
print(counts, thread.is_alive())
"""


def test_a_thread_holding_the_lock_runs_during_long_calls(python_subprocess):
    out = python_subprocess(TICKER, timeout=180).decode()
    counts, alive = out.rsplit(" ", 1)
    assert alive.strip() == "False"
    counts = eval(counts)  # noqa: S307 - our own subprocess's printout of a list of tuples
    for name, ticks in counts:
        if name == "fit_ez":
            assert ticks == 0, counts  # the lock is held: nothing else ran
        else:
            assert ticks >= 1000, counts
