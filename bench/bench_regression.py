"""Speed of formulas: the regression maximum-likelihood fit and the hierarchical regression.

1. fit_ml on 2,000 trials with 4 coefficients (drift rate 1 + coherence, boundary separation
   1 + condition) and the non-decision time, one thread: medians of several fits of each of
   three data sets, wall clock and processor time, formula reading included.
2. The hierarchical regression of examples/regression_example.py: 15 participants x 300 trials,
   random intercept and slope on the drift rate (and a random intercept on the boundary),
   2 chains x 1,000 draws after 1,000 tuning steps, one chain per core: wall time, processor
   time of the sampling processes, R-hat, divergences, effective sample size.

Each part runs in its own process (RAYON_NUM_THREADS=1 for the first). The load average is
printed beside the figures: on a shared machine the wall clock carries the others' work, the
processor time only this one's.
"""
import json
import os
import subprocess
import sys
import textwrap

TARGET_ML_MS = 50.0
TARGET_HIERARCHICAL_S = 180.0

ML = textwrap.dedent("""
    import json, statistics, time
    import numpy as np, pandas as pd
    import ventrola

    COHERENCES = (0.0, 0.1, 0.2, 0.4)

    def trials(seed):
        pieces = []
        for k, (coherence, condition, boundary) in enumerate(
                (c, d, b) for c in COHERENCES for d, b in (("a", 1.2), ("b", 1.6))):
            choices, rts, _ = ventrola.simulate_ddm(0.3 + 2.5 * coherence, boundary, 0.5, 0.3, 250, seed * 100 + k)
            pieces.append(pd.DataFrame({"coherence": coherence, "condition": condition, "rt": rts,
                                        "choice": choices}))
        return pd.concat(pieces, ignore_index=True)

    formulas = {"drift_rate": "1 + coherence", "boundary_separation": "1 + condition"}
    out = []
    for seed in (1, 2, 3):
        table = trials(seed)
        fit = ventrola.fit_ml(table["choice"], table["rt"], formulas=formulas, data=table)
        walls, cpus = [], []
        for _ in range(7):
            started, started_cpu = time.perf_counter(), time.process_time()
            fit = ventrola.fit_ml(table["choice"], table["rt"], formulas=formulas, data=table)
            walls.append(time.perf_counter() - started)
            cpus.append(time.process_time() - started_cpu)
        out.append({"wall": statistics.median(walls), "cpu": statistics.median(cpus),
                    "iterations": fit["iterations"], "converged": fit["converged"],
                    "slope": fit["coefficients"]["drift_rate"]["coherence"],
                    "slope_se": fit["standard_errors"]["drift_rate"]["coherence"]})
    print(json.dumps(out))
""")

HIERARCHICAL = textwrap.dedent("""
    import json, resource, sys, time, warnings
    warnings.simplefilter("ignore")
    import arviz as az
    from ventrola import bayes
    sys.path.insert(0, "examples")
    from regression_example import SEED, WITH_SLOPE, simulated_experiment

    trials, _ = simulated_experiment(15, 300)
    model = bayes.hierarchical_model(trials, by="subject", formulas=WITH_SLOPE)
    started = time.perf_counter()
    idata = bayes.sample(model, draws=1000, tune=1000, chains=2, cores=2, random_seed=SEED, progressbar=False,
                         compute_convergence_checks=False)
    wall = time.perf_counter() - started
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    ess = az.ess(idata.posterior).to_array()
    rhat = az.rhat(idata.posterior).to_array()
    print(json.dumps({
        "trials": len(trials), "wall": wall, "sampling": float(idata.posterior.attrs["sampling_time"]),
        "cpu_children": children.ru_utime + children.ru_stime,
        "rhat": float(rhat.max()), "ess_min": float(ess.min()),
        "divergences": int(idata.sample_stats["diverging"].sum()),
        "steps": float(idata.sample_stats["n_steps"].mean()),
    }))
""")


def run(code, threads=None):
    env = dict(os.environ)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def load():
    return ", ".join(f"{value:.1f}" for value in os.getloadavg())


def main():
    print(f"{os.cpu_count()} logical processors; load average before: {load()}")
    fits = run(ML, threads=1)
    print("fit_ml, 2,000 trials, drift 1 + coherence, boundary 1 + condition, t0 (5 free), 1 thread:")
    for k, fit in enumerate(fits, start=1):
        print(f"  data set {k}: median {fit['wall'] * 1e3:5.1f} ms wall, {fit['cpu'] * 1e3:5.1f} ms processor; "
              f"{fit['iterations']} iterations, converged {fit['converged']}; slope {fit['slope']:.2f} "
              f"± {fit['slope_se']:.2f} (true 2.5)")
    worst = max(fit["cpu"] for fit in fits) * 1e3
    print(f"  target {TARGET_ML_MS:.0f} ms of processor time: {'met' if worst <= TARGET_ML_MS else 'NOT MET'} "
          f"(load average after: {load()})")

    result = run(HIERARCHICAL)
    print(f"hierarchical regression, {result['trials']} trials (15 x 300), random intercept and slope on the drift "
          "rate, 2 chains x 1,000 draws (+1,000 tuning) in 2 processes:")
    print(f"  wall {result['wall']:.0f} s (sampling {result['sampling']:.0f} s), processor time of the chains "
          f"{result['cpu_children']:.0f} s; target {TARGET_HIERARCHICAL_S:.0f} s: "
          f"{'met' if result['wall'] <= TARGET_HIERARCHICAL_S else 'NOT MET'}")
    print(f"  R-hat max {result['rhat']:.4f} ({'met' if result['rhat'] <= 1.01 else 'NOT MET'}), "
          f"{result['divergences']} divergences, min bulk ESS {result['ess_min']:.0f}, "
          f"{result['steps']:.1f} leapfrog steps per draw (load average after: {load()})")


if __name__ == "__main__":
    main()
