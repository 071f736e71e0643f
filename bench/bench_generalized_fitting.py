"""Speed and accuracy of maximum-likelihood fits of generalized models.

1. One fit of the exponential-bound model (4 free parameters: drift rate, boundary,
   non-decision time, collapse time) to 2,000 trials, on one thread: the median over repeated
   fits of several data sets, wall-clock and processor time, with the recovery error of each
   parameter in units of its standard error.
2. The conflict-task design: congruent and incongruent trials of drift="dmc" (1,500 each),
   the activation's amplitude per condition and the other five parameters shared (7 free).
3. The command line on 50 participants x 2 conditions x 300 trials with an exponential collapse
   and the drift rate per condition, with one worker process and with two.

Timings run in subprocesses with RAYON_NUM_THREADS set. Wall-clock figures vary with whatever
else the machine is doing, so the processor time of the fitting process (and its workers) is
printed beside them, with the load average at the start and the end.
"""
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

REPEATS = 3
SEEDS = (11, 22, 33)
TARGET_FIT_SECONDS = 0.3
TARGET_CLI_SECONDS = 30.0

SINGLE_FITS = f"""
import json, statistics, time
import numpy as np
import pandas as pd
import ventrola

TRUTH = dict(drift_rate=1.0, boundary_separation=2.0, non_decision_time=0.3, collapse_time=0.8)
model = ventrola.DDM(bound="exponential")
out = {{"exponential": [], "dmc": None}}
for seed in {SEEDS}:
    choices, rts, _ = model.simulate(2000, seed, **TRUTH)
    ventrola.fit_ml(choices, rts, model=model)  # warm: imports and first-call costs
    wall, cpu = [], []
    for _ in range({REPEATS}):
        started, started_cpu = time.perf_counter(), time.process_time()
        fit = ventrola.fit_ml(choices, rts, model=model)
        wall.append(time.perf_counter() - started)
        cpu.append(time.process_time() - started_cpu)
    z = {{name: (fit[name] - value) / fit["standard_errors"][name] for name, value in TRUTH.items()}}
    out["exponential"].append(dict(seed=seed, wall=statistics.median(wall), cpu=statistics.median(cpu),
                                   iterations=fit["iterations"], converged=fit["converged"], z=z))

dmc = ventrola.DDM(drift="dmc")
SHARED = dict(drift_rate=1.4, boundary_separation=1.7, non_decision_time=0.3, automatic_time=0.05, automatic_shape=2.0)
parts = []
for k, (level, amplitude) in enumerate((("congruent", 0.6), ("incongruent", -0.6))):
    choices, rts, _ = dmc.simulate(1500, 70 + k, automatic_amplitude=amplitude, **SHARED)
    parts.append(pd.DataFrame({{"congruency": level, "choice": choices, "rt": rts}}))
trials = pd.concat(parts, ignore_index=True)
started, started_cpu = time.perf_counter(), time.process_time()
fits = ventrola.fit_frame(trials, method="ml", model=dmc, depends_on={{"automatic_amplitude": "congruency"}})
out["dmc"] = dict(wall=time.perf_counter() - started, cpu=time.process_time() - started_cpu,
                  iterations=int(fits["iterations"].iloc[0]), converged=bool(fits["converged"].all()),
                  amplitude=fits["automatic_amplitude"].tolist(), se=fits["automatic_amplitude_se"].tolist())
print(json.dumps(out))
"""

TABLE = """
import sys
import pandas as pd
import ventrola

model = ventrola.DDM(bound="exponential")
parts = []
for subject in range(50):
    for k, (condition, drift) in enumerate((("hard", 0.7), ("easy", 1.5))):
        choices, rts, _ = model.simulate(300, 1000 * subject + k, drift_rate=drift, boundary_separation=2.0,
                                         non_decision_time=0.3, collapse_time=0.8)
        parts.append(pd.DataFrame({"subject": f"p{subject:02d}", "condition": condition, "choice": choices,
                                   "rt": rts}))
pd.concat(parts, ignore_index=True).to_csv(sys.argv[1], index=False)
"""


def load() -> str:
    return "/".join(f"{x:.1f}" for x in os.getloadavg())


def run_python(code, *args, threads=1):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    done = subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True, text=True, check=True)
    return done.stdout


def single_fits():
    print(f"load average at the start: {load()}")
    results = json.loads(run_python(SINGLE_FITS))
    print("fit_ml, DDM(bound='exponential'), 4 free, 2,000 trials, 1 thread "
          f"(median of {REPEATS} fits per data set):")
    for record in results["exponential"]:
        z = "  ".join(f"{name} {value:+.2f}" for name, value in record["z"].items())
        print(f"  seed {record['seed']}: {record['wall']:.3f} s wall, {record['cpu']:.3f} s processor, "
              f"{record['iterations']} iterations, converged {record['converged']}; (fit - truth)/SE: {z}")
    wall = statistics.median(r["wall"] for r in results["exponential"])
    cpu = statistics.median(r["cpu"] for r in results["exponential"])
    verdict = "met" if cpu <= TARGET_FIT_SECONDS else "not met"
    print(f"  median {wall:.3f} s wall, {cpu:.3f} s processor (target {TARGET_FIT_SECONDS} s on one core: {verdict})")
    dmc = results["dmc"]
    print(f"fit_frame, DDM(drift='dmc'), amplitude per congruency (7 free), 2 x 1,500 trials, 1 thread: "
          f"{dmc['wall']:.2f} s wall, {dmc['cpu']:.2f} s processor, {dmc['iterations']} iterations, converged "
          f"{dmc['converged']}; amplitudes {dmc['amplitude'][0]:+.3f} ± {dmc['se'][0]:.3f} and "
          f"{dmc['amplitude'][1]:+.3f} ± {dmc['se'][1]:.3f} (true +0.6 and -0.6)")
    print(f"load average at the end: {load()}")


def command_line():
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "trials.csv")
        run_python(TABLE, data)
        print(f"ventrola fit, 50 participants x 2 conditions x 300 trials, --bound exponential, "
              f"--depends-on drift_rate=condition (load average {load()} at the start):")
        for jobs in (1, 2):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            started = time.perf_counter()
            subprocess.run([sys.executable, "-m", "ventrola", "fit", data, "--by", "subject", "--method", "ml",
                            "--bound", "exponential", "--depends-on", "drift_rate=condition", "--jobs", str(jobs),
                            "--quiet", "-o", os.path.join(folder, "fits.csv")],
                           env=dict(os.environ, RAYON_NUM_THREADS="1"), check=True)
            wall = time.perf_counter() - started
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            verdict = "" if jobs == 1 else f" (target {TARGET_CLI_SECONDS:g} s on 2 cores: " \
                                           f"{'met' if wall <= TARGET_CLI_SECONDS else 'not met'})"
            print(f"  --jobs {jobs}: {wall:.1f} s wall, {cpu:.1f} s processor, interpreter start included{verdict}")
        import pandas as pd

        fits = pd.read_csv(os.path.join(folder, "fits.csv"))
        shared = fits.drop_duplicates("subject")
        print(f"  {int(fits['converged'].sum())} of {len(fits)} rows converged; collapse time across participants: "
              f"median {shared['collapse_time'].median():.3f} (true 0.8), drift hard/easy medians "
              f"{fits[fits.condition == 'hard']['drift_rate'].median():.3f}/"
              f"{fits[fits.condition == 'easy']['drift_rate'].median():.3f} (true 0.7/1.5)")
        print(f"load average at the end: {load()}")


if __name__ == "__main__":
    single_fits()
    command_line()
