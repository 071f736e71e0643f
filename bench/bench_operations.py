"""Speed and memory of the three public operations, as a user calls them.

Prints medians of several runs. Thread counts are set per subprocess with
RAYON_NUM_THREADS, since the pool is sized once per process.
"""
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

RUNS = 5
TYPICAL = (1.0, 1.5, 0.5, 0.3)  # drift, boundary, start, t0
N_SIMULATE = 1_000_000


def in_subprocess(code, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


SIMULATE_TIMING = f"""
import json, time, numpy as np, _ventrola
args = {TYPICAL}
_ventrola.simulate(*args, 1000, 0)
times = []
for run in range({RUNS}):
    started = time.perf_counter()
    choices, rts, excluded = _ventrola.simulate(*args, {N_SIMULATE}, run)
    times.append(time.perf_counter() - started)
steps = int(np.rint((rts - args[3]) / 0.001).sum()) + excluded * 10001
print(json.dumps({{"times": times, "steps": steps}}))
"""

SIMULATE_MEMORY = f"""
import json, resource, numpy as np, _ventrola
_ventrola.simulate(*{TYPICAL}, 1000, 0)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
result = _ventrola.simulate(*{TYPICAL}, {N_SIMULATE}, 1)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({{"peak_bytes": (after - before) * 1024}}))
"""


def numpy_euler(drift, boundary, start, t0, n, seed, dt=0.001, cap=10.0):
    """A straightforward vectorised Euler simulator of the same model."""
    rng = np.random.default_rng(seed)
    x = np.full(n, start * boundary)
    t = np.zeros(n)
    active = np.arange(n)
    sd = np.sqrt(dt)
    steps = 0
    while active.size:
        x[active] += drift * dt + sd * rng.standard_normal(active.size)
        t[active] += dt
        steps += active.size
        inside = (x[active] > 0) & (x[active] < boundary) & (t[active] < cap)
        active = active[inside]
    return x >= boundary * 0.5, t + t0, steps


def bench_simulate():
    print(f"simulate: {N_SIMULATE:,} trials, drift 1.0, boundary 1.5, start 0.5, t0 0.3")
    rates = {}
    for threads in (1, 2):
        result = in_subprocess(SIMULATE_TIMING, threads)
        median = statistics.median(result["times"])
        rates[threads] = result["steps"] / median
        print(f"  {threads} thread(s): {median * 1000:8.1f} ms  {N_SIMULATE / median / 1e6:6.2f} M trials/s  "
              f"{rates[threads] / 1e6:7.1f} M steps/s")
    print(f"  speed-up of 2 threads over 1: {rates[2] / rates[1]:.2f}")
    peak = in_subprocess(SIMULATE_MEMORY, 2)["peak_bytes"]
    print(f"  peak memory beyond the interpreter and NumPy: {peak / N_SIMULATE:.1f} bytes per trial")
    times = []
    for run in range(3):
        started = time.perf_counter()
        _, _, steps = numpy_euler(*TYPICAL, N_SIMULATE, run)
        times.append(time.perf_counter() - started)
    median = statistics.median(times)
    print(f"  vectorised NumPy Euler, same model: {median * 1000:8.1f} ms  {steps / median / 1e6:7.1f} M steps/s")


FIT_EZ_TIMING = f"""
import json, time, numpy, _ventrola, ventrola
choices, rts, _ = _ventrola.simulate(*{TYPICAL}, 1_000_000, 3)
# The compiled fit; the package's with its conversion and checks, on the same arrays and on
# 0/1 integers with float32 times (converted, then checked).
calls = {{
    "compiled": (_ventrola.fit_ez, choices, rts),
    "package": (ventrola.fit_ez, choices, rts),
    "package, int64 and float32": (ventrola.fit_ez, choices.astype(numpy.int64), rts.astype(numpy.float32)),
}}
times = {{}}
for name, (fit, c, r) in calls.items():
    fit(c, r)
    times[name] = []
    for run in range(15):
        started = time.perf_counter()
        fit(c, r)
        times[name].append(time.perf_counter() - started)
print(json.dumps(times))
"""


def bench_fit_ez():
    result = in_subprocess(FIT_EZ_TIMING, 2)
    print("fit_ez: 1,000,000 trials (median of 15)")
    for name, times in result.items():
        print(f"  {name + ':':28s} {statistics.median(times) * 1000:6.2f} ms")


FIT_SIM_SETS = [(1.0, 1.5, 0.3), (2.0, 1.2, 0.3), (0.6, 2.2, 0.25)]

FIT_SIM_TIMING = """
import json, time, _ventrola, _ventrola_testing as testing
out = []
for drift, boundary, t0 in {sets}:
    choices, rts, _ = _ventrola.simulate(drift, boundary, 0.5, t0, 2000, 42)
    started = time.perf_counter()
    fit = testing.fit_by_simulation(choices.tolist(), rts.tolist(), tuple(_ventrola.fit_ez(choices, rts).values()), 200)
    elapsed = time.perf_counter() - started
    public = _ventrola.fit_sim(choices, rts)
    assert public["final_cost"] == fit["final_cost"]
    out.append(dict(seconds=elapsed, iterations=fit["iterations"], evaluations=fit.get("evaluations"),
                    values=[public["drift_rate"], public["boundary_separation"], public["non_decision_time"]]))
print(json.dumps(out))
"""


def bench_fit_sim():
    print("fit_sim: 2,000 observed trials, default max_iters (200), EZ warm start")
    for threads in (1, 2):
        results = in_subprocess(FIT_SIM_TIMING.format(sets=FIT_SIM_SETS), threads)
        for truth, result in zip(FIT_SIM_SETS, results):
            evaluations = result["evaluations"]
            rate = f"{evaluations / result['seconds']:6.1f} evals/s" if evaluations else ""
            recovered = ", ".join(f"{v:.3f}" for v in result["values"])
            print(f"  {threads} thread(s) truth {truth}: {result['seconds']:6.2f} s  "
                  f"{result['iterations']:3d} iterations  {evaluations or '?'} evaluations  {rate}  "
                  f"recovered ({recovered})")


if __name__ == "__main__":
    print(f"machine: {os.cpu_count()} logical processors, {len(os.sched_getaffinity(0))} available")
    bench_simulate()
    bench_fit_ez()
    bench_fit_sim()
