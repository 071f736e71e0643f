"""
A design over conditions
========================

An experiment with participants and two conditions that differ in difficulty. The drift rate
depends on the condition; the boundary separation and the non-decision time are each
participant's own, shared across conditions. ``fit_frame`` fits every participant's trials
jointly and returns one row per participant and condition.
"""

# %%
import matplotlib.pyplot as plt
import pandas as pd

import ventrola

rows = []
for k, (boundary, t0) in enumerate([(1.3, 0.28), (1.6, 0.32), (1.9, 0.25), (1.5, 0.35)]):
    for condition, drift in (("easy", 1.8), ("hard", 0.7)):
        rows.append({"subject": f"s{k + 1}", "condition": condition, "drift": drift + 0.1 * k,
                     "boundary": boundary, "start": 0.5, "t0": t0})
conditions = pd.DataFrame(rows)
trials = ventrola.simulate_conditions(conditions, n=400, seed=5)
trials.head()

# %%
# One fit per participant, the drift rate per condition, lapses fixed at the default weight:
fits = ventrola.fit_frame(trials, by="subject", method="ml", depends_on={"drift_rate": "condition"})
fits[["subject", "condition", "drift_rate", "drift_rate_se", "boundary_separation", "non_decision_time",
      "converged"]].round(3)

# %%
# Estimated drift rates with their standard errors beside the true ones:
merged = fits.merge(conditions, on=["subject", "condition"])
figure, axis = plt.subplots(figsize=(5, 3.2), layout="constrained")
for condition, marker in (("easy", "o"), ("hard", "s")):
    part = merged[merged["condition"] == condition]
    axis.errorbar(part["drift"], part["drift_rate"], yerr=part["drift_rate_se"], fmt=marker, label=condition)
axis.plot([0.6, 2.2], [0.6, 2.2], color="grey", linewidth=1)
axis.set(xlabel="true drift rate", ylabel="estimated drift rate")
axis.legend()
