"""Speed and accuracy of the maximum-likelihood fits.

- fit_ml on 2,000 trials, one thread: fits per second with 3 free parameters (drift rate,
  boundary, non-decision time) and with 6 (plus starting point, drift-rate and
  non-decision-time variability); medians of several fits of each data set;
- recovery: the mean over nine fits (three typical parameter sets by three seeds) of the summed
  relative errors of drift rate, boundary and non-decision time against the truth;
- the command line on 50 participants by 2 conditions by 300 trials with the drift rate
  depending on the condition, with one worker process and with two.

Data come from simulate_ddm's exact sampler, so the recovery is measured against the simulated
values themselves. Timings run in subprocesses with RAYON_NUM_THREADS set; their wall-clock
figures vary with whatever else the machine is doing, so the processor time of the fitting
process is given beside them.
"""
import json
import os
import resource
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

def trials(drift, boundary, t0, seed):
    choices, rts, _ = ventrola.simulate_ddm(drift, boundary, 0.5, t0, {TRIALS}, seed, method="exact",
                                            max_time=math.inf)
    return choices, rts

def timed(choices, rts, **options):
    ventrola.fit_ml(choices, rts, **options)
    times, cpu = [], []
    for _ in range({REPEATS}):
        started, started_cpu = time.perf_counter(), time.process_time()
        fit = ventrola.fit_ml(choices, rts, **options)
        times.append(time.perf_counter() - started)
        cpu.append(time.process_time() - started_cpu)
    return statistics.median(times), statistics.median(cpu), fit

out = {{"fits": []}}
for drift, boundary, t0 in {SETS}:
    for seed in {SEEDS}:
        choices, rts = trials(drift, boundary, t0, seed)
        record = {{"truth": [drift, boundary, t0], "seed": seed}}
        for label, options in (("three", {{}}), ("three_clean", {{"contamination": 0.0}}),
                               ("three_lapses", {{"free": (*THREE, "contamination")}}), ("six", {{"free": SIX}})):
            seconds, cpu, fit = timed(choices, rts, **options)
            record[label] = {{"seconds": seconds, "cpu": cpu, "values": [fit["drift_rate"], fit["boundary_separation"],
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


def bench_fits():
    result = in_subprocess(FITS, 1)
    print(f"fit_ml: {TRIALS} trials from simulate_ddm (exact), one thread, median of {REPEATS} fits per data set;"
          " wall clock (processor time)")
    for label, title in (("three", "3 free, contamination 0.02 (default)"), ("three_clean", "3 free, contamination 0"),
                         ("three_lapses", "3 free + contamination"), ("six", "6 free (+ w, sv, st0), contamination 0.02")):
        times = [fit[label]["seconds"] for fit in result["fits"]]
        cpu = [fit[label]["cpu"] for fit in result["fits"]]
        iterations = [fit[label]["iterations"] for fit in result["fits"]]
        converged = sum(fit[label]["converged"] for fit in result["fits"])
        median, median_cpu = statistics.median(times), statistics.median(cpu)
        line = (f"  {title:<44} median {median * 1000:6.1f} ms ({median_cpu * 1000:6.1f} ms), "
                f"range {min(times) * 1000:.1f} to {max(times) * 1000:.1f} ms "
                f"({min(cpu) * 1000:.1f} to {max(cpu) * 1000:.1f} ms), "
                f"{min(iterations)} to {max(iterations)} iterations, {converged}/{len(times)} converged")
        if label == "three":
            line += (f"   target {TARGET_MS:.0f} ms: wall clock {'met' if median * 1000 <= TARGET_MS else 'NOT MET'},"
                     f" processor time {'met' if median_cpu * 1000 <= TARGET_MS else 'NOT MET'}")
        print(line)
    print("  recovery, mean over 9 fits of |dv|/v + |da|/a + |dt0|/t0:")
    for label in ("three", "three_clean", "three_lapses", "six"):
        errors = [summed_relative_error(fit[label]["values"], fit["truth"]) for fit in result["fits"]]
        mean = statistics.mean(errors)
        line = f"    {label:<12} vs truth {mean:.4f}"
        if label == "three":
            line += f"   target {TARGET_ERROR}: {'met' if mean <= TARGET_ERROR else 'NOT MET'}"
        print(line)


def bench_command_line():
    import numpy as np
    import pandas as pd

    import ventrola

    rng = np.random.default_rng(5)
    cells = [
        (f"p{p:02d}", condition, drift * scale, boundary, t0)
        for p, (scale, boundary, t0) in enumerate(zip(rng.uniform(0.7, 1.3, 50), rng.uniform(1.0, 2.0, 50),
                                                     rng.uniform(0.2, 0.4, 50)))
        for condition, drift in (("hard", 0.8), ("easy", 2.0))
    ]
    table = pd.concat(
        [ventrola.simulate_frame(drift, boundary, 0.5, t0, 300, seed, method="exact").assign(
            participant=participant, condition=condition)
         for seed, (participant, condition, drift, boundary, t0) in enumerate(cells, start=9)],
        ignore_index=True,
    )
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
            # The children's usage covers the worker processes too, which the command waits for.
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            started = time.perf_counter()
            subprocess.run(command, env=env, check=True)
            seconds = time.perf_counter() - started
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
            fits = pd.read_csv(os.path.join(folder, "fits.csv"))
            verdict = f"target {TARGET_CLI_SECONDS:.0f} s: {'met' if seconds <= TARGET_CLI_SECONDS else 'NOT MET'}"
            print(f"  --jobs {jobs}: {seconds:5.2f} s end to end, {cpu:5.2f} s processor time over all its processes "
                  f"({len(fits)} rows, {int(fits['converged'].sum())} converged)   {verdict if jobs == 2 else ''}")


if __name__ == "__main__":
    print(f"machine: {os.cpu_count()} logical processors, {len(os.sched_getaffinity(0))} available")
    bench_fits()
    bench_command_line()
