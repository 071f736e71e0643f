"""A hierarchical Bayesian fit of a simulated experiment.

Fifteen participants, two conditions that differ in drift rate, 150 trials per
participant and condition. Participants' drift rates (per condition),
boundary separations and non-decision times are drawn from group
distributions; ventrola.bayes.hierarchical_model estimates the group and every
participant, with the drift rate depending on the condition. Prints the group
estimates beside the population's values and those of the sample of
participants drawn from it, each participant's non-decision time beside the
truth, and draws the group posteriors, the sample's values marked, in
build/bayes-posterior.png. Needs `pip install "ventrola[bayes]"`.
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


def simulated_experiment(seed=SEED, participants=PARTICIPANTS, trials=TRIALS, variability=None):
    """The trials, one row each: subject, condition, rt (seconds), choice (True
    for the upper boundary); and one row per participant with the values drawn
    for them (drift_easy, drift_hard, boundary, non_decision_time).
    ``variability``: across-trial drift_rate_sd, starting_point_range and
    non_decision_time_range shared by everyone (none by default)."""
    rng = np.random.default_rng(seed)
    tables, drawn = [], []
    for j in range(participants):
        subject = f"s{j + 1:02d}"
        values = {"subject": subject, "boundary": np.exp(rng.normal(*LOG_BOUNDARY)),
                  "non_decision_time": rng.uniform(*NON_DECISION_TIME)}
        for condition, (mean, sd) in DRIFT.items():
            values[f"drift_{condition}"] = rng.normal(mean, sd)
            choices, rts, _ = ventrola.simulate_ddm(values[f"drift_{condition}"], values["boundary"], 0.5,
                                                    values["non_decision_time"], trials, int(rng.integers(2**63)),
                                                    **(variability or {}))
            tables.append(pd.DataFrame({"subject": subject, "condition": condition, "rt": rts, "choice": choices}))
        drawn.append(values)
    return pd.concat(tables, ignore_index=True), pd.DataFrame(drawn).set_index("subject")


def group_truth(drawn):
    """(variable, condition, the population's value, the sample of participants' value) on the link scales."""
    rows = []
    for condition, (mean, sd) in DRIFT.items():
        rows.append(("drift_rate_mu", condition, mean, drawn[f"drift_{condition}"].mean()))
        rows.append(("drift_rate_sigma", condition, sd, drawn[f"drift_{condition}"].std()))
    rows.append(("boundary_separation_mu", None, LOG_BOUNDARY[0], np.log(drawn["boundary"]).mean()))
    rows.append(("boundary_separation_sigma", None, LOG_BOUNDARY[1], np.log(drawn["boundary"]).std()))
    return rows


def main():
    import arviz as az
    import pymc as pm

    from ventrola.bayes import hierarchical_model

    trials, drawn = simulated_experiment()
    model = hierarchical_model(trials, by="subject", depends_on={"drift_rate": "condition"})
    started = time.perf_counter()
    with model:
        idata = pm.sample(1000, tune=1000, chains=2, random_seed=SEED)
    print(f"sampled in {time.perf_counter() - started:.0f} s")

    group = ["drift_rate_mu", "drift_rate_sigma", "boundary_separation_mu", "boundary_separation_sigma",
             "non_decision_time_mu", "non_decision_time_sigma"]
    print(az.summary(idata, var_names=group, kind="diagnostics"))
    print()
    hdi = az.hdi(idata, var_names=group)
    posterior_mean = idata.posterior[group].mean(dim=("chain", "draw"))
    print(f"{'group parameter (link scale)':<36} {'population':>10} {'these 15':>9}   posterior mean [94% HDI]")
    for name, condition, population, sample in group_truth(drawn):
        where = {"condition": condition} if condition else {}
        low, high = hdi[name].sel(**where).values
        label = f"{name}[{condition}]" if condition else name
        print(f"{label:<36} {population:10.3f} {sample:9.3f}   {float(posterior_mean[name].sel(**where)):.3f} "
              f"[{low:.3f}, {high:.3f}]")
    print()
    t0 = idata.posterior["non_decision_time_subject"]
    low, median, high = t0.quantile([0.03, 0.5, 0.97], dim=("chain", "draw"))
    print("non-decision time (s)   true   posterior median [94% interval]")
    for subject, true_t0 in drawn["non_decision_time"].items():
        print(f"  {subject:<20} {true_t0:6.3f}   {float(median.sel(subject=subject)):.3f} "
              f"[{float(low.sel(subject=subject)):.3f}, {float(high.sel(subject=subject)):.3f}]")

    FIGURE.parent.mkdir(exist_ok=True)
    truth = {}
    for name, condition, _, sample in group_truth(drawn):
        where = {"condition": condition} if condition else {}
        truth.setdefault(name, []).append({**where, "ref_val": round(float(sample), 3)})
    axes = az.plot_posterior(idata, var_names=group, ref_val=truth, figsize=(14, 8), textsize=10)
    figure = np.ravel(axes)[0].get_figure()
    figure.tight_layout()
    figure.savefig(FIGURE, dpi=100)
    print(f"posteriors of the group parameters, against the sample of participants: {FIGURE}")


if __name__ == "__main__":
    main()
