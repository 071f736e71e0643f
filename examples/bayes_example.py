"""A hierarchical Bayesian fit of a simulated experiment.

Fifteen participants, two conditions that differ in drift rate, 150 trials per
participant and condition. Participants' drift rates (per condition),
boundary separations and non-decision times are drawn from group
distributions; ventrola.bayes.hierarchical_model estimates the group and every
participant, with the drift rate depending on the condition. Prints the group
estimates beside the truth and draws their posteriors, with the truth
marked, in build/bayes-posterior.png. Needs `pip install "ventrola[bayes]"`.
"""
import pathlib
import time

import numpy as np
import pandas as pd

import ventrola

FIGURE = pathlib.Path("build") / "bayes-posterior.png"
SEED = 20261207
PARTICIPANTS = 15
TRIALS = 150  # per participant and condition

# The group: drift rate per condition (mean, sd), log boundary (mean, sd),
# non-decision time uniform between two values (seconds).
DRIFT = {"easy": (1.8, 0.5), "hard": (0.8, 0.5)}
LOG_BOUNDARY = (np.log(1.4), 0.2)
NON_DECISION_TIME = (0.25, 0.4)


def simulated_experiment(seed=SEED, participants=PARTICIPANTS, trials=TRIALS):
    """The trials, one row each: subject, condition, rt (seconds), choice (True
    for the upper boundary); and each participant's true non-decision time."""
    rng = np.random.default_rng(seed)
    tables, t0s = [], {}
    for j in range(participants):
        subject = f"s{j + 1:02d}"
        boundary = np.exp(rng.normal(*LOG_BOUNDARY))
        t0s[subject] = rng.uniform(*NON_DECISION_TIME)
        for condition, (mean, sd) in DRIFT.items():
            choices, rts, _ = ventrola.simulate_ddm(rng.normal(mean, sd), boundary, 0.5, t0s[subject], trials,
                                                    int(rng.integers(2**63)))
            tables.append(pd.DataFrame({"subject": subject, "condition": condition, "rt": rts, "choice": choices}))
    return pd.concat(tables, ignore_index=True), t0s


def main():
    import arviz as az
    import pymc as pm

    from ventrola.bayes import hierarchical_model

    trials, t0s = simulated_experiment()
    model = hierarchical_model(trials, by="subject", depends_on={"drift_rate": "condition"})
    started = time.perf_counter()
    with model:
        idata = pm.sample(1000, tune=1000, chains=2, random_seed=SEED)
    print(f"sampled in {time.perf_counter() - started:.0f} s")

    group = ["drift_rate_mu", "drift_rate_sigma", "boundary_separation_mu", "boundary_separation_sigma",
             "non_decision_time_mu", "non_decision_time_sigma"]
    print(az.summary(idata, var_names=group))
    print()
    print("truth: drift_rate_mu", {c: m for c, (m, _) in DRIFT.items()},
          f"drift_rate_sigma {DRIFT['easy'][1]}",
          f"boundary_separation_mu {LOG_BOUNDARY[0]:.3f} (log scale), sigma {LOG_BOUNDARY[1]}",
          f"non_decision_time uniform on {NON_DECISION_TIME} s", sep="\n  ")
    print()
    t0 = idata.posterior["non_decision_time_subject"]
    low, median, high = t0.quantile([0.03, 0.5, 0.97], dim=("chain", "draw"))
    print("non-decision time (s)   true   posterior median [94% interval]")
    for subject, true_t0 in t0s.items():
        print(f"  {subject:<20} {true_t0:6.3f}   {float(median.sel(subject=subject)):.3f} "
              f"[{float(low.sel(subject=subject)):.3f}, {float(high.sel(subject=subject)):.3f}]")

    FIGURE.parent.mkdir(exist_ok=True)
    truth = {
        "drift_rate_mu": [{"condition": c, "ref_val": mean} for c, (mean, _) in DRIFT.items()],
        "drift_rate_sigma": [{"condition": c, "ref_val": sd} for c, (_, sd) in DRIFT.items()],
        "boundary_separation_mu": [{"ref_val": LOG_BOUNDARY[0]}],
        "boundary_separation_sigma": [{"ref_val": LOG_BOUNDARY[1]}],
    }
    axes = az.plot_posterior(idata, var_names=group, ref_val=truth, figsize=(12, 8))
    figure = np.ravel(axes)[0].get_figure()
    figure.tight_layout()
    figure.savefig(FIGURE, dpi=100)
    print(f"posteriors of the group parameters: {FIGURE}")


if __name__ == "__main__":
    main()
