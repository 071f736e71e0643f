"""Speed of the PyMC layer (ventrola.bayes).

1. Log-probability and gradient of 10,000 trials through the PyTensor Op, as a
   sampler calls them, beside the compiled likelihood alone; the gradient of
   the full model's example trials (below) at several start ranges.
2. The hierarchical fit of examples/bayes_example.py (15 participants x 2
   conditions x 150 trials, drift rate depending on the condition): wall
   time, effective sample size per second and R-hat for 2 chains x 1,000
   draws after 1,000 tuning steps, one chain per core.
3. The same fit of the full model: trials simulated with across-trial
   drift_rate_sd, starting_point_range and non_decision_time_range, all three
   free at the group level beside the participants' drift (by condition),
   boundary and non-decision time, sampled by ventrola.bayes.sample (its mass
   matrix adapting from the first draws) with drift and boundary centred; wall
   and processor time, R-hat, divergences and leapfrog steps.

Prints medians of several runs for (1). The figures depend on the load of the
machine; runs on a shared machine are noisy.
"""
import os
import pathlib
import resource
import statistics
import sys
import time
import warnings

import numpy as np

with warnings.catch_warnings():
    warnings.simplefilter("ignore", FutureWarning)  # ArviZ's notice of its coming refactor
    import arviz as az
    import pymc as pm
    import pytensor
    import pytensor.tensor as pt

import ventrola
from ventrola import bayes
from ventrola.bayes import hierarchical_model, signed_rts, wiener_log_probability

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from bayes_example import SEED, simulated_experiment  # noqa: E402

RUNS = 7
CALLS = 50
TRIALS = 10_000
TARGET_EVALUATION = 1e-3  # seconds per log-probability and gradient of 10,000 trials
TARGET_WALL = 120.0  # seconds for the hierarchical fit
TARGET_FULL_WALL = 300.0  # seconds for the full model's hierarchical fit
# The across-trial variabilities the full model's trials are simulated with.
VARIABILITY = {"drift_rate_sd": 0.8, "starting_point_range": 0.3, "non_decision_time_range": 0.15}


def per_call(function, *args):
    function(*args)
    times = []
    for _ in range(RUNS):
        started = time.perf_counter()
        for _ in range(CALLS):
            function(*args)
        times.append((time.perf_counter() - started) / CALLS)
    return statistics.median(times), min(times)


def evaluation_speed():
    choices, rts, _ = ventrola.simulate_ddm(1.0, 1.5, 0.5, 0.3, TRIALS, 7)
    observed = signed_rts(choices, rts)
    drift, boundary, t0 = pt.dvector("drift"), pt.dscalar("boundary"), pt.dscalar("t0")
    log_p = wiener_log_probability(observed, drift_rate=drift, boundary_separation=boundary,
                                   non_decision_time=t0).sum()
    function = pytensor.function([drift, boundary, t0], [log_p, *pytensor.grad(log_p, [drift, boundary, t0])])
    drifts = np.full(TRIALS, 1.0)
    op_time, op_best = per_call(function, drifts, 1.5, 0.25)
    engine_time, engine_best = per_call(ventrola.wiener_logpdf_grad, choices, rts, drifts, 1.5, 0.5, 0.25)
    verdict = "met" if op_time <= TARGET_EVALUATION else "NOT MET"
    print(f"log-probability + gradient, {TRIALS} trials (per-trial drift, shared boundary and t0):")
    print(f"  through the Op         median {op_time * 1e3:6.2f} ms   best {op_best * 1e3:6.2f} ms"
          f"   ({1 / op_time:6.0f} evaluations/s)   target 1 ms: {verdict}")
    print(f"  wiener_logpdf_grad     median {engine_time * 1e3:6.2f} ms   best {engine_best * 1e3:6.2f} ms")


def shared_sets_gradient():
    """wiener_logpdf_grad of the full model's example (4,500 trials in 30 parameter sets, each
    set's trials tabulated) at the simulated variabilities and at start ranges a sampler's
    trajectories visit near zero."""
    trials, drawn = simulated_experiment(variability=VARIABILITY)
    per_trial = drawn.loc[trials["subject"]]
    drift = np.where(trials["condition"] == "easy", per_trial["drift_easy"], per_trial["drift_hard"])
    arguments = (trials["choice"].to_numpy(), trials["rt"].to_numpy(), drift, per_trial["boundary"].to_numpy(), 0.5,
                 per_trial["non_decision_time"].to_numpy() - 0.02)
    print(f"gradient of {len(trials)} trials in 30 parameter sets (wall; processor time, all threads):")
    for start_range in (VARIABILITY["starting_point_range"], 1e-4, 1e-9):
        keywords = {**VARIABILITY, "starting_point_range": start_range}
        keywords = {name: np.full(len(trials), value) for name, value in keywords.items()}
        ventrola.wiener_logpdf_grad(*arguments, **keywords)
        walls, processors = [], []
        for _ in range(RUNS):
            wall, processor = time.perf_counter(), time.process_time()
            for _ in range(10):
                ventrola.wiener_logpdf_grad(*arguments, **keywords)
            walls.append((time.perf_counter() - wall) / 10)
            processors.append((time.process_time() - processor) / 10)
        print(f"  starting_point_range {start_range:<6g} median {statistics.median(walls) * 1e3:6.2f} ms; "
              f"{statistics.median(processors) * 1e3:6.2f} ms")


def hierarchical_fit(centred=()):
    trials, _ = simulated_experiment()
    model = hierarchical_model(trials, depends_on={"drift_rate": "condition"}, centred=centred)
    started = time.perf_counter()
    with model:
        idata = pm.sample(1000, tune=1000, chains=2, cores=2, random_seed=SEED, progressbar=False,
                          compute_convergence_checks=False)
    wall = time.perf_counter() - started
    sampling = float(idata.posterior.attrs["sampling_time"])
    ess = az.ess(idata.posterior).to_array()
    rhat = az.rhat(idata.posterior).to_array()
    divergences = int(idata.sample_stats["diverging"].sum())
    steps = float(idata.sample_stats["n_steps"].mean())
    label = f"centred {', '.join(centred)}" if centred else "all non-centred"
    print(f"hierarchical fit, {len(trials)} trials, {label}:")
    print(f"  wall time {wall:6.1f} s (sampling {sampling:.1f} s)   target {TARGET_WALL:.0f} s: "
          f"{'met' if wall < TARGET_WALL else 'NOT MET'}")
    print(f"  bulk ESS min {float(ess.min()):.0f}, median {float(ess.median()):.0f}; "
          f"min ESS per second of wall time {float(ess.min()) / wall:.1f}")
    print(f"  R-hat max {float(rhat.max()):.4f} (target 1.01: {'met' if float(rhat.max()) <= 1.01 else 'NOT MET'}); "
          f"{divergences} divergences; {steps:.1f} leapfrog steps per draw")


def full_model_fit():
    trials, _ = simulated_experiment(variability=VARIABILITY)
    free = ("drift_rate", "boundary_separation", "non_decision_time", *VARIABILITY)
    # 300 trials per participant pin the boundary and the drift rates down: centred. The
    # non-decision times are pinned about as tightly as the group spreads them: centred ones
    # funnel into divergences, non-centred ones mix slowly in their spread; half-way does neither.
    model = hierarchical_model(trials, free=free, depends_on={"drift_rate": "condition"},
                               centred={"drift_rate": 1.0, "boundary_separation": 1.0, "non_decision_time": 0.5})
    load = os.getloadavg()[0]
    started, children = time.perf_counter(), resource.getrusage(resource.RUSAGE_CHILDREN)
    idata = bayes.sample(model, 1000, tune=1000, chains=2, cores=2, random_seed=SEED, progressbar=False,
                         target_accept=0.9, compute_convergence_checks=False,
                         idata_kwargs={"log_likelihood": False}, discard_tuned_samples=False)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    # The chains run in worker processes, whose time counts once they end.
    processor = (after.ru_utime + after.ru_stime) - (children.ru_utime + children.ru_stime)
    rhat = float(az.rhat(idata.posterior).to_array().max())
    ess = az.ess(idata.posterior).to_array()
    divergences = int(idata.sample_stats["diverging"].sum())
    steps = float(idata.sample_stats["n_steps"].mean())
    tuning_steps = float(idata.warmup_sample_stats["n_steps"].sum(axis=1).mean())
    print(f"hierarchical fit of the full model, {len(trials)} trials, {', '.join(VARIABILITY)} free "
          f"(load average {load:.1f} at the start):")
    print(f"  wall time {wall:6.1f} s   processor time of both chains {processor:6.1f} s   "
          f"target {TARGET_FULL_WALL:.0f} s (wall): {'met' if wall <= TARGET_FULL_WALL else 'NOT MET'}")
    for name in VARIABILITY:
        print(f"  {name}: posterior mean {float(idata.posterior[name].mean()):.3f} (simulated {VARIABILITY[name]})")
    print(f"  bulk ESS min {float(ess.min()):.0f}; R-hat max {rhat:.4f} (target 1.01: "
          f"{'met' if rhat <= 1.01 else 'NOT MET'}); {divergences} divergences; {steps:.1f} leapfrog steps per draw, "
          f"{tuning_steps:.0f} per chain in tuning")


def main():
    print(f"{os.cpu_count()} logical processors; pymc {pm.__version__}, pytensor {pytensor.__version__}")
    evaluation_speed()
    shared_sets_gradient()
    hierarchical_fit()
    hierarchical_fit(centred=("boundary_separation", "non_decision_time"))
    full_model_fit()


if __name__ == "__main__":
    main()
