"""Go/no-go and response deadlines: fitting trials that have no response time.

In a go/no-go task the participant responds to "go" stimuli and withholds on "no-go" ones, so a
lower-boundary decision leaves no response time: the trial is known by its choice only. A
maximum-likelihood fit with missing="choice" gives each such trial the probability of the lower
boundary, and the drift rate per stimulus type (a formula with one factor) is recovered from
the go responses' times and the share of withheld responses. Dropping the withheld trials instead
leaves nothing to tell the no-go drift from.

Then a two-choice task with a 0.9 s response window: trials without a response by then are
omissions, each contributing the probability of no decision by the deadline. Dropping them
instead distorts the boundary and the drift rate.

    python examples/go_nogo_example.py

Needs `pip install "ventrola[formulas]"`.
"""
import numpy as np
import pandas as pd

import ventrola

SEED = 20261207
TRUE = {"go": 1.6, "nogo": -1.2, "boundary_separation": 1.4, "non_decision_time": 0.3}


def go_nogo_trials(n_per_stimulus=1500, seed=SEED):
    pieces = []
    for k, stimulus in enumerate(("go", "nogo")):
        choices, rts, _ = ventrola.simulate_ddm(TRUE[stimulus], TRUE["boundary_separation"], 0.5,
                                                TRUE["non_decision_time"], n_per_stimulus, seed + k)
        # Withholding is the lower boundary: those trials have no response time.
        pieces.append(pd.DataFrame({"stimulus": stimulus, "choice": choices, "rt": np.where(choices, rts, np.nan)}))
    return pd.concat(pieces, ignore_index=True)


def main():
    trials = go_nogo_trials()
    withheld = trials["rt"].isna()
    print(f"go/no-go: {len(trials)} trials, {withheld.mean():.0%} withheld (no response time)")
    fit = ventrola.fit_ml(trials["choice"], trials["rt"], missing="choice", data=trials, contamination=0.0,
                          formulas={"drift_rate": "0 + stimulus"})
    coefficients, errors = fit["coefficients"]["drift_rate"], fit["standard_errors"]
    print(f"{'parameter':<28} {'true':>7} {'estimate':>9} {'s.e.':>7}")
    for term, stimulus in (("stimulus[go]", "go"), ("stimulus[nogo]", "nogo")):
        print(f"{'drift_rate, ' + stimulus:<28} {TRUE[stimulus]:7.3f} {coefficients[term]:9.3f} "
              f"{errors['drift_rate'][term]:7.3f}")
    for name in ("boundary_separation", "non_decision_time"):
        print(f"{name:<28} {TRUE[name]:7.3f} {fit[name]:9.3f} {errors[name]:7.3f}")
    go_only = trials[~withheld]
    dropped = ventrola.fit_ml(go_only["choice"], go_only["rt"], data=go_only, contamination=0.0,
                              formulas={"drift_rate": "0 + stimulus"})
    print(f"dropping the withheld trials instead: go drift {dropped['coefficients']['drift_rate']['stimulus[go]']:.3f}"
          f", no-go drift {dropped['coefficients']['drift_rate']['stimulus[nogo]']:.3f} (every remaining trial "
          "is a go response, so nothing bounds the drift from above)")

    print("\nresponse deadline of 0.9 s: drift 0.6, boundary 1.8, t0 0.3")
    choices, rts, _ = ventrola.simulate_ddm(0.6, 1.8, 0.5, 0.3, 3000, SEED + 2)
    late = rts > 0.9
    observed = np.where(late, np.nan, rts)
    censored = ventrola.fit_ml(choices, observed, deadline=0.9, contamination=0.0)
    kept = ventrola.fit_ml(choices[~late], rts[~late], contamination=0.0)
    print(f"{late.mean():.0%} of the trials had no response by the deadline")
    print(f"{'':<28} {'drift':>7} {'boundary':>9} {'t0':>7}")
    print(f"{'true':<28} {0.6:7.3f} {1.8:9.3f} {0.3:7.3f}")
    for label, result in (("omissions as censored", censored), ("omissions dropped", kept)):
        print(f"{label:<28} {result['drift_rate']:7.3f} {result['boundary_separation']:9.3f} "
              f"{result['non_decision_time']:7.3f}")


if __name__ == "__main__":
    main()
