"""A hierarchical regression: drift rate linear in stimulus strength, with random slopes.

Each simulated participant's drift rate on a trial is their intercept plus their slope times
the trial's coherence; both vary around the group's, as does the boundary separation. The model

    drift_rate:          1 + coherence + (1 + coherence | subject)
    boundary_separation: 1 + (1 | subject)

estimates the group's intercept and slope, their spreads and every participant's offsets, and a
second model without the slope is compared with it by leave-one-out cross-validation (PSIS-LOO).
The first model's posterior predictive replicates are drawn against the data per coherence level
in build/regression-predictive.png. Prints the sampling time, R-hat, divergences, the group
estimates beside the truth, and the LOO comparison.

    python examples/regression_example.py              # the demo's size (a minute or two)
    python examples/regression_example.py --full       # 15 participants x 300 trials, 2 x 1,000 draws

Needs `pip install "ventrola[all]"`.
"""
import argparse
import pathlib
import time
import warnings

import numpy as np
import pandas as pd

import ventrola

FIGURE = pathlib.Path("build") / "regression-predictive.png"
SEED = 20261207
COHERENCES = (0.0, 0.1, 0.2, 0.4)

# The group (drift in units of the noise per unit of coherence; seconds).
INTERCEPT = (0.3, 0.3)  # mean, sd across participants
SLOPE = (2.5, 0.8)
LOG_BOUNDARY = (np.log(1.4), 0.15)
NON_DECISION_TIME = (0.25, 0.35)  # uniform

WITH_SLOPE = {"drift_rate": "1 + coherence + (1 + coherence | subject)", "boundary_separation": "1 + (1 | subject)"}
WITHOUT_SLOPE = {"drift_rate": "1 + (1 | subject)", "boundary_separation": "1 + (1 | subject)"}


def simulated_experiment(participants, trials, seed=SEED):
    """One row per trial (subject, coherence, rt, choice) and one per participant with the truth."""
    rng = np.random.default_rng(seed)
    per_level = trials // len(COHERENCES)
    tables, drawn = [], []
    for j in range(participants):
        subject = f"s{j + 1:02d}"
        truth = {"subject": subject, "intercept": rng.normal(*INTERCEPT), "slope": rng.normal(*SLOPE),
                 "boundary": np.exp(rng.normal(*LOG_BOUNDARY)), "t0": rng.uniform(*NON_DECISION_TIME)}
        for coherence in COHERENCES:
            drift = truth["intercept"] + truth["slope"] * coherence
            choices, rts, _ = ventrola.simulate_ddm(drift, truth["boundary"], 0.5, truth["t0"], per_level,
                                                    int(rng.integers(2**63)))
            tables.append(pd.DataFrame({"subject": subject, "coherence": coherence, "rt": rts, "choice": choices}))
        drawn.append(truth)
    return pd.concat(tables, ignore_index=True), pd.DataFrame(drawn).set_index("subject")


def fit(trials, formulas, draws, tune, label):
    from ventrola import bayes

    model = bayes.hierarchical_model(trials, by="subject", formulas=formulas)
    started, started_cpu = time.perf_counter(), time.process_time()
    idata = bayes.sample(model, draws=draws, tune=tune, chains=2, cores=2, random_seed=SEED, progressbar=False)
    seconds = time.perf_counter() - started
    divergences = int(idata.sample_stats["diverging"].sum())
    print(f"{label}: sampled 2 chains x {draws} draws (+{tune} tuning) in {seconds:.0f} s "
          f"(this process {time.process_time() - started_cpu:.0f} s of processor time), {divergences} divergences")
    return model, idata, seconds


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--full", action="store_true", help="15 participants x 300 trials, 2 chains x 1,000 draws")
    args = parser.parse_args(argv)
    participants, trials_each, draws, tune = (15, 300, 1000, 1000) if args.full else (8, 200, 300, 300)

    import arviz as az

    from ventrola import bayes

    trials, truth = simulated_experiment(participants, trials_each)
    print(f"{participants} participants x {trials_each} trials, drift = intercept + slope x coherence "
          f"({', '.join(map(str, COHERENCES))})")
    if not args.full:
        print(f"(modest draws for the demo: 2 chains x {draws} draws after {tune} tuning; --full runs the "
              "benchmark's 15 x 300 trials and 2 x 1,000 draws)")
    model, idata, _ = fit(trials, WITH_SLOPE, draws, tune, "with the slope")
    summary = az.summary(idata, var_names=["drift_rate_coef", "drift_rate[1|subject]_sigma",
                                           "drift_rate[coherence|subject]_sigma", "boundary_separation_coef"])
    print(f"largest R-hat {summary['r_hat'].max():.3f}, smallest bulk ESS {summary['ess_bulk'].min():.0f}")
    if summary["r_hat"].max() > 1.01 and not args.full:
        print("(R-hat above 1.01: these few draws cannot show that the chains agree; --full draws 1,000 per chain)")
    print()
    print(f"{'group parameter':<40} {'these participants':>18}   posterior mean [94% HDI]")
    rows = [("drift_rate_coef", {"drift_rate_term": "Intercept"}, truth["intercept"].mean()),
            ("drift_rate_coef", {"drift_rate_term": "coherence"}, truth["slope"].mean()),
            ("drift_rate[1|subject]_sigma", {}, truth["intercept"].std()),
            ("drift_rate[coherence|subject]_sigma", {}, truth["slope"].std()),
            ("boundary_separation_coef", {"boundary_separation_term": "Intercept"}, np.log(truth["boundary"]).mean())]
    hdi = az.hdi(idata, var_names=[name for name, _, _ in rows])
    for name, where, value in rows:
        draws_of = idata.posterior[name].sel(**where)
        low, high = hdi[name].sel(**where).values
        label = f"{name}[{next(iter(where.values()))}]" if where else name
        print(f"{label:<40} {value:18.3f}   {float(draws_of.mean()):.3f} [{low:.3f}, {high:.3f}]")

    replicated = bayes.posterior_predictive(idata, model, draws=100, random_seed=SEED)
    figure = bayes.plot_posterior_predictive(replicated, trials, by="coherence")
    FIGURE.parent.mkdir(exist_ok=True)
    figure.savefig(FIGURE, dpi=90)
    print(f"\nposterior predictive check (100 replicated data sets) per coherence level: {FIGURE}")

    _, without, _ = fit(trials, WITHOUT_SLOPE, draws, tune, "\nwithout the slope")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # ArviZ's notes on influential trials and pandas' deprecations
        comparison = az.compare({"with slope": idata, "without slope": without})
    print("\nleave-one-out comparison (elpd: expected log predictive density, higher is better):")
    print(comparison[["rank", "elpd_loo", "p_loo", "elpd_diff", "dse", "weight"]].to_string(float_format="%.1f"))


if __name__ == "__main__":
    main()
