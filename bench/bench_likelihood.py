"""Speed of the likelihood engine: log-densities per second on one thread for
the base model, with drift variability and with all seven parameters, with
and without the gradients; on one thread for a million trials of each
across-trial range alone and of the full model (one parameter set, as in a
fit or a sampler); and on two threads for a million trials. Each
figure is the median of several timed calls on 200,000 trials (one million
for the two-thread line), through the public functions, so NumPy's argument
handling is included. One thread or two is set per run in a fresh process.
"""
import json
import os
import statistics
import subprocess
import sys

RUNS = 7

MODELS = {
    "base model": {},
    "drift_rate_sd": {"drift_rate_sd": 1.0},
    "all seven": {"drift_rate_sd": 1.0, "starting_point_range": 0.3, "non_decision_time_range": 0.2},
}
# A million trials on one thread, every trial of a call sharing its parameters.
FULL_MODEL_PARTS = {
    "starting_point_range only": {"starting_point_range": 0.3},
    "non_decision_time_range only": {"non_decision_time_range": 0.2},
    "sv + sz + st0": {"drift_rate_sd": 1.0, "starting_point_range": 0.3, "non_decision_time_range": 0.2},
}
FULL_MODEL_TARGETS = {"logpdf": 2e6, "logpdf_grad": 1e6}  # sv + sz + st0, one thread
TARGETS = {  # one thread, log-densities per second
    ("base model", "logpdf"): 20e6,
    ("drift_rate_sd", "logpdf"): 20e6,
    ("base model", "logpdf_grad"): 10e6,
    ("drift_rate_sd", "logpdf_grad"): 10e6,
    ("all seven", "logpdf"): 2e6,
}

MEASURE = """
import json, statistics, sys, time
import numpy as np
import ventrola
n, runs, extra, kind = int(sys.argv[1]), int(sys.argv[2]), json.loads(sys.argv[3]), sys.argv[4]
rng = np.random.default_rng(1)
choices, rts, _ = ventrola.simulate(1.0, 1.5, 0.4, 0.3, n, 11)
rts = rts + 0.1 * rng.random(rts.size)  # past every non-decision time below
function = getattr(ventrola, "wiener_" + kind)
arguments = dict(drift_rate=1.0, boundary_separation=1.5, starting_point=0.4, non_decision_time=0.3, **extra)
function(choices[:1000], rts[:1000], **arguments)
wall, processor = [], []
for _ in range(runs):
    start, start_processor = time.perf_counter(), time.process_time()
    function(choices, rts, **arguments)
    wall.append(rts.size / (time.perf_counter() - start))
    processor.append(rts.size / (time.process_time() - start_processor))
print(json.dumps([wall, processor]))
"""


def measure(threads, n, extra, kind, runs=RUNS):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run(
        [sys.executable, "-c", MEASURE, str(n), str(runs), json.dumps(extra), kind],
        env=env, check=True, capture_output=True, text=True,
    ).stdout
    return json.loads(out)


def line(label, rates, target=None):
    """Wall clock, and processor time: on one thread the second is what the
    code costs even when other processes share the cores."""
    wall, processor = (statistics.median(values) for values in rates)
    verdict = ""
    if target is not None:
        verdict = f"   target {target / 1e6:.0f} M (processor): {'met' if processor >= target else 'NOT MET'}"
    print(f"{label:<46} wall {wall / 1e6:7.2f} M/s   processor {processor / 1e6:7.2f} M/s{verdict}")


def main():
    print(f"{os.cpu_count()} logical processors; medians of {RUNS} calls, by the wall clock and by processor time")
    print("one thread, 200,000 trials (drift 1.0, separation 1.5, start 0.4, t0 0.3):")
    for model, extra in MODELS.items():
        for kind in ("logpdf", "logpdf_grad", "cdf"):
            line(f"  {model}: {kind}", measure(1, 200_000, extra, kind), TARGETS.get((model, kind)))
    print(f"one thread, 1,000,000 trials, medians of 3 calls (load average {os.getloadavg()[0]:.1f}):")
    for model, extra in FULL_MODEL_PARTS.items():
        for kind in ("logpdf", "logpdf_grad"):
            target = FULL_MODEL_TARGETS[kind] if model == "sv + sz + st0" else None
            line(f"  {model}: {kind}", measure(1, 1_000_000, extra, kind, runs=3), target)
    print("two threads, 1,000,000 trials (100,000 for all seven; processor time is of both threads):")
    for model, extra in MODELS.items():
        for kind in ("logpdf", "logpdf_grad"):
            n = 1_000_000 if model != "all seven" else 100_000
            line(f"  {model}: {kind}", measure(2, n, extra, kind))


if __name__ == "__main__":
    main()
