"""Speed of the hierarchical model of a collapsing bound (ventrola.bayes with model=).

1. Log-probability and gradient of the experiment's 4,500 trials (15 participants x 2
   conditions x 150 trials: 30 distinct parameter sets, drift rate per condition, boundary and
   non-decision time per participant, as the hierarchical model has them) through the PyTensor
   Op, as a sampler calls them, on one thread.
2. The hierarchical fit of that experiment with an exponential collapse: drift rate per
   condition, boundary and non-decision time per participant, one collapse time for all;
   2 chains x 1,000 draws after 1,000 tuning steps, one chain per core, by ventrola.bayes.sample
   (its mass matrix adapting from the first draws). Participants' drift rates and boundaries are
   sampled centred and their non-decision times half-way (as in bench_bayes.py's full model:
   300 trials each pin them down; all non-centred took 41.5 leapfrog steps per draw, centred
   15). Wall time, R-hat, divergences, effective sample sizes, leapfrog steps per draw and in
   tuning.

    python bench/bench_bayes_generalized.py                 # the full run
    python bench/bench_bayes_generalized.py --draws 200 --tune 200

Each gradient evaluation solves every participant once (15 solves: a participant's two
conditions differ only in the drift rate, which a change of measure carries, so they share
the solve), which is what the sampling costs; the figures depend on the load of the machine,
printed beside them.
"""
import argparse
import os
import pathlib
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
from ventrola.bayes import hierarchical_model, model_log_probability, signed_rts

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from bayes_example import SEED, simulated_experiment  # noqa: E402

MODEL = ventrola.DDM(bound="exponential")
COLLAPSE_TIME = 0.8
TARGET_WALL = 300.0
CENTRED = {"drift_rate": 1.0, "boundary_separation": 1.0, "non_decision_time": 0.5}


def load():
    return "/".join(f"{x:.1f}" for x in os.getloadavg())


def collapsing_experiment():
    """The example's participants and conditions, each cell's trials drawn from the collapsing model."""
    trials, drawn = simulated_experiment()
    rng = np.random.default_rng(SEED + 1)
    for (subject, condition), rows in trials.groupby(["subject", "condition"]).groups.items():
        values = drawn.loc[subject]
        choices, rts, _ = MODEL.simulate(len(rows), int(rng.integers(2**63)), drift_rate=values[f"drift_{condition}"],
                                         boundary_separation=values["boundary"] * 1.4,
                                         non_decision_time=values["non_decision_time"], collapse_time=COLLAPSE_TIME)
        trials.loc[rows, "choice"] = choices
        trials.loc[rows, "rt"] = rts
    return trials


def evaluation_speed(trials):
    observed = signed_rts(trials["choice"].to_numpy(bool), trials["rt"].to_numpy())
    cells = trials.groupby(["subject", "condition"]).ngroup().to_numpy()
    participants = trials.groupby("subject").ngroup().to_numpy()
    drift, boundary, t0 = pt.dvector("drift"), pt.dvector("boundary"), pt.dvector("t0")
    tau = pt.dscalar("tau")
    log_p = model_log_probability(MODEL, observed, drift_rate=drift[cells], boundary_separation=boundary[participants],
                                  non_decision_time=t0[participants], collapse_time=tau).sum()
    function = pytensor.function([drift, boundary, t0, tau], [log_p, *pytensor.grad(log_p, [drift, boundary, t0, tau])])
    values = (np.linspace(0.6, 1.8, cells.max() + 1), np.linspace(1.6, 2.4, participants.max() + 1),
              np.full(participants.max() + 1, 0.2), 0.8)
    function(*values)
    wall, cpu = [], []
    for _ in range(7):
        started, started_cpu = time.perf_counter(), time.process_time()
        function(*values)
        wall.append(time.perf_counter() - started)
        cpu.append(time.process_time() - started_cpu)
    print(f"log-probability + gradient of {len(observed)} trials in {cells.max() + 1} parameter sets through the Op: "
          f"median {statistics.median(wall) * 1e3:.1f} ms wall, {statistics.median(cpu) * 1e3:.1f} ms processor "
          f"(load {load()})")


def hierarchical_fit(trials, draws, tune):
    model = hierarchical_model(trials, model=MODEL, depends_on={"drift_rate": "condition"}, centred=CENTRED)
    print(f"hierarchical fit of {MODEL!r}, {len(trials)} trials, {draws} draws after {tune} tuning steps, "
          f"2 chains in 2 processes (load {load()} at the start):")
    started = time.perf_counter()
    idata = bayes.sample(model, draws, tune=tune, chains=2, cores=2, random_seed=SEED, progressbar=False,
                         compute_convergence_checks=False, idata_kwargs={"log_likelihood": False},
                         discard_tuned_samples=False)
    wall = time.perf_counter() - started
    sampling = float(idata.posterior.attrs["sampling_time"])
    ess = az.ess(idata.posterior).to_array()
    rhat = az.rhat(idata.posterior).to_array()
    divergences = int(idata.sample_stats["diverging"].sum())
    steps = float(idata.sample_stats["n_steps"].mean())
    tuning_steps = float(idata.warmup_sample_stats["n_steps"].sum(axis=1).mean())
    verdict = "met" if wall <= TARGET_WALL and float(rhat.max()) <= 1.01 and divergences == 0 else "NOT MET"
    print(f"  wall time {wall:.1f} s (sampling {sampling:.1f} s); target {TARGET_WALL:.0f} s with R-hat <= 1.01 and "
          f"no divergences: {verdict}")
    print(f"  R-hat max {float(rhat.max()):.4f}; {divergences} divergences; bulk ESS min {float(ess.min()):.0f}, "
          f"median {float(ess.median()):.0f}; {steps:.1f} leapfrog steps per draw, {tuning_steps:.0f} per chain "
          "in tuning")
    collapse = idata.posterior["collapse_time"]
    print(f"  collapse_time {float(collapse.mean()):.3f} ± {float(collapse.std()):.3f} (true {COLLAPSE_TIME}); "
          f"load {load()} at the end")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--draws", type=int, default=1000)
    parser.add_argument("--tune", type=int, default=1000)
    parser.add_argument("--evaluation-only", action="store_true")
    args = parser.parse_args()
    print(f"{os.cpu_count()} logical processors; pymc {pm.__version__}, pytensor {pytensor.__version__}")
    trials = collapsing_experiment()
    evaluation_speed(trials)
    if not args.evaluation_only:
        hierarchical_fit(trials, args.draws, args.tune)


if __name__ == "__main__":
    main()
