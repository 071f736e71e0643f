"""Speed and accuracy of the maximum-likelihood fits.

- fit_ml on 2,000 trials, one thread: fits per second with 3 free parameters (drift rate,
  boundary, non-decision time) and with 6 (plus starting point, drift-rate and
  non-decision-time variability); medians of several fits of each data set;
- recovery: the mean over nine fits (three typical parameter sets by three seeds) of the summed
  relative errors of drift rate, boundary and non-decision time against the truth;
- the command line on 50 participants by 2 conditions by 300 trials with the drift rate
  depending on the condition, with one worker process and with two.

Data come from simulate_ddm's exact sampler where the package has it, else from simulate's
Euler steps (whose boundaries sit on average 0.5826 sqrt(dt) further out; the recovery is then
also given against those equivalent values). Timings run in subprocesses with
RAYON_NUM_THREADS set; they vary with whatever else the machine is doing.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

SETS = [(2.0, 1.2, 0.30), (1.0, 1.5, 0.30), (0.6, 2.2, 0.25)]  # drift, boundary, t0
SEEDS = (101, 202, 303)
TRIALS = 2000
REPEATS = 5
TARGET_MS = 35.0
TARGET_ERROR = 0.070
TARGET_CLI_SECONDS = 10.0

FITS = f"""
import json, math, statistics, time
import numpy as np
import ventrola

THREE = ("drift_rate", "boundary_separation", "non_decision_time")
SIX = (*THREE, "starting_point", "drift_rate_sd", "non_decision_time_range")
exact = hasattr(ventrola, "simulate_ddm")

def trials(drift, boundary, t0, seed):
    if exact:
        choices, rts, _ = ventrola.simulate_ddm(drift, boundary, 0.5, t0, {TRIALS}, seed)
    else:
        choices, rts, _ = ventrola.simulate(drift, boundary, 0.5, t0, {TRIALS}, seed)
    return choices, rts

def timed(choices, rts, **options):
    ventrola.fit_ml(choices, rts, **options)
    times = []
    for _ in range({REPEATS}):
        started = time.perf_counter()
        fit = ventrola.fit_ml(choices, rts, **options)
        times.append(time.perf_counter() - started)
    return statistics.median(times), fit

out = {{"exact": exact, "fits": []}}
for drift, boundary, t0 in {SETS}:
    for seed in {SEEDS}:
        choices, rts = trials(drift, boundary, t0, seed)
        record = {{"truth": [drift, boundary, t0], "seed": seed}}
        for label, options in (("three", {{}}), ("three_clean", {{"contamination": 0.0}}),
                               ("three_lapses", {{"free": (*THREE, "contamination")}}), ("six", {{"free": SIX}})):
            seconds, fit = timed(choices, rts, **options)
            record[label] = {{"seconds": seconds, "values": [fit["drift_rate"], fit["boundary_separation"],
                             fit["non_decision_time"]], "iterations": fit["iterations"],
                             "converged": fit["converged"]}}
        out["fits"].append(record)
print(json.dumps(out))
"""


def in_subprocess(code, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def summed_relative_error(values, truth):
    return sum(abs(value - true) / true for value, true in zip(values, truth))


def euler_equivalent(truth):
    drift, boundary, t0 = truth
    return [drift, boundary + 2 * 0.5826 * 0.001**0.5, t0]


def bench_fits():
    result = in_subprocess(FITS, 1)
    source = "simulate_ddm (exact)" if result["exact"] else "simulate (Euler, 1 ms)"
    print(f"fit_ml: {TRIALS} trials from {source}, one thread, median of {REPEATS} fits per data set")
    for label, title in (("three", "3 free, contamination 0.02 (default)"), ("three_clean", "3 free, contamination 0"),
                         ("three_lapses", "3 free + contamination"), ("six", "6 free (+ w, sv, st0), contamination 0.02")):
        times = [fit[label]["seconds"] for fit in result["fits"]]
        iterations = [fit[label]["iterations"] for fit in result["fits"]]
        converged = sum(fit[label]["converged"] for fit in result["fits"])
        median = statistics.median(times)
        line = (f"  {title:<44} median {median * 1000:6.1f} ms ({1 / median:6.1f} fits/s), "
                f"range {min(times) * 1000:.1f} to {max(times) * 1000:.1f} ms, "
                f"{min(iterations)} to {max(iterations)} iterations, {converged}/{len(times)} converged")
        if label == "three":
            line += f"   target {TARGET_MS:.0f} ms: {'met' if median * 1000 <= TARGET_MS else 'NOT MET'}"
        print(line)
    print("  recovery, mean over 9 fits of |dv|/v + |da|/a + |dt0|/t0:")
    for label in ("three", "three_clean", "three_lapses", "six"):
        errors = [summed_relative_error(fit[label]["values"], fit["truth"]) for fit in result["fits"]]
        mean = statistics.mean(errors)
        line = f"    {label:<12} vs truth {mean:.4f}"
        if not result["exact"]:
            equivalent = [summed_relative_error(f[label]["values"], euler_equivalent(f["truth"])) for f in result["fits"]]
            line += f"   vs the Euler-equivalent boundary {statistics.mean(equivalent):.4f}"
        if label == "three":
            line += f"   target {TARGET_ERROR}: {'met' if mean <= TARGET_ERROR else 'NOT MET'}"
        print(line)


def bench_command_line():
    import numpy as np
    import pandas as pd

    import ventrola

    rng = np.random.default_rng(5)
    conditions = [
        {"participant": f"p{p:02d}", "condition": condition, "drift": drift * scale, "boundary": boundary,
         "start": 0.5, "t0": t0}
        for p, (scale, boundary, t0) in enumerate(zip(rng.uniform(0.7, 1.3, 50), rng.uniform(1.0, 2.0, 50),
                                                     rng.uniform(0.2, 0.4, 50)))
        for condition, drift in (("hard", 0.8), ("easy", 2.0))
    ]
    table = ventrola.simulate_conditions(pd.DataFrame(conditions), 300, 9)
    print(f"ventrola fit --method ml: 50 participants x 2 conditions x 300 trials ({len(table)} rows), "
          "--by participant --depends-on drift_rate=condition")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "trials.csv")
        table.to_csv(path, index=False)
        for jobs in (1, 2):
            command = [sys.executable, "-m", "ventrola", "fit", path, "--by", "participant", "--method", "ml",
                       "--depends-on", "drift_rate=condition", "--jobs", str(jobs), "--quiet",
                       "-o", os.path.join(folder, "fits.csv")]
            env = dict(os.environ, RAYON_NUM_THREADS="1")
            started = time.perf_counter()
            subprocess.run(command, env=env, check=True)
            seconds = time.perf_counter() - started
            fits = pd.read_csv(os.path.join(folder, "fits.csv"))
            verdict = f"target {TARGET_CLI_SECONDS:.0f} s: {'met' if seconds <= TARGET_CLI_SECONDS else 'NOT MET'}"
            print(f"  --jobs {jobs}: {seconds:5.2f} s end to end ({len(fits)} rows, "
                  f"{int(fits['converged'].sum())} converged)   {verdict if jobs == 2 else ''}")


if __name__ == "__main__":
    print(f"machine: {os.cpu_count()} logical processors, {len(os.sched_getaffinity(0))} available")
    bench_fits()
    bench_command_line()
