"""Speed of simulate_ddm: trials per second of the exact and the Euler method,
and of simulate for comparison, for the base model and with all three
across-trial variabilities, on one and on two threads. Each figure is the
median of several calls through the public functions (the output arrays
included), in a fresh process whose pool size is set by RAYON_NUM_THREADS.

Trials per second of wall-clock time are what a user sees; on a machine
shared with other work they fall with the load, and two threads gain nothing
when the other processes hold the cores. Trials per second of the process's
processor time (summed over its threads) hold up under load: on one thread
they are the speed of one core, and their ratio for two threads over one
shows how much work the second thread adds (1.0: none).
"""
import json
import os
import statistics
import subprocess
import sys

RUNS = 7
BASE = (1.0, 1.5, 0.5, 0.3)  # drift_rate, boundary_separation, starting_point, non_decision_time
MODELS = {
    "base model": {},
    "all three variabilities": {"drift_rate_sd": 1.0, "starting_point_range": 0.3, "non_decision_time_range": 0.2},
}
# (label, function, keywords, trials per call); Euler trials take about 500 steps each.
METHODS = [
    ("exact", "simulate_ddm", {"method": "exact"}, 2_000_000),
    ("euler (dt 1 ms)", "simulate_ddm", {"method": "euler"}, 100_000),
    ("simulate", "simulate", None, 100_000),
]
TARGETS = {("exact", "base model"): 5e6, ("exact", "all three variabilities"): 5e6}  # one thread
SCALING_TARGET = 1.85  # two threads over one, exact method

MEASURE = """
import json, sys, time
import ventrola
function, base, n, runs, keywords = sys.argv[1], json.loads(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), \
    json.loads(sys.argv[5])
call = getattr(ventrola, function)
def run(seed):
    if function == "simulate":
        return call(*base, n, seed)
    return call(*base, n, seed, **keywords)
run(1)
wall, cpu = [], []
for seed in range(runs):
    start, start_cpu = time.perf_counter(), time.process_time()
    run(seed)
    wall.append(n / (time.perf_counter() - start))
    cpu.append(n / (time.process_time() - start_cpu))
print(json.dumps([wall, cpu]))
"""


def measure(threads, function, keywords, n):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run(
        [sys.executable, "-c", MEASURE, function, json.dumps(BASE), str(n), str(RUNS), json.dumps(keywords or {})],
        env=env, check=True, capture_output=True, text=True,
    ).stdout
    wall, cpu = json.loads(out)
    return statistics.median(wall), statistics.median(cpu)


def main():
    print(f"{os.cpu_count()} logical processors; median of {RUNS} calls; "
          f"drift {BASE[0]}, separation {BASE[1]}, start {BASE[2]}, t0 {BASE[3]}")
    for model, ranges in MODELS.items():
        print(f"{model}:")
        for label, function, keywords, n in METHODS:
            if function == "simulate" and ranges:
                continue  # simulate has no across-trial variability
            arguments = None if keywords is None else {**keywords, **ranges}
            one, one_cpu = measure(1, function, arguments, n)
            two, two_cpu = measure(2, function, arguments, n)
            print(f"  {label:<16} wall clock: 1 thread {one / 1e6:7.2f} M trials/s, 2 threads {two / 1e6:7.2f}"
                  f" ({two / one:.2f}x); processor time: 1 thread {one_cpu / 1e6:7.2f} M/s,"
                  f" 2 threads {two_cpu / 1e6:7.2f} ({two_cpu / one_cpu:.2f})")
            target = TARGETS.get((label, model))
            if target is not None:
                print(f"  {'':<16} targets: 1 thread {target / 1e6:.0f} M/s {'met' if one >= target else 'NOT MET'};"
                      f" 2 threads {SCALING_TARGET}x {'met' if two / one >= SCALING_TARGET else 'NOT MET'}"
                      " (wall clock)")


if __name__ == "__main__":
    main()
