"""
Parameter recovery
==================

Simulate trials whose parameters we know, fit them three ways, and see how close each fit
comes. The trials come from the exact sampler (no discretisation bias), so a maximum-likelihood
fit of the exact density should recover the parameters up to sampling error.
"""

# %%
# One data set, three fits
# ------------------------
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import ventrola

true = {"drift_rate": 1.2, "boundary_separation": 1.6, "non_decision_time": 0.3}
choices, rts, n_excluded = ventrola.simulate_ddm(1.2, 1.6, 0.5, 0.3, 2000, seed=11)

fits = {
    "EZ": ventrola.fit_ez(choices, rts),
    "simulation": ventrola.fit_sim(choices, rts),
    "maximum likelihood": ventrola.fit_ml(choices, rts, contamination=0.0),
}
table = pd.DataFrame({label: {name: fit[name] for name in true} for label, fit in fits.items()})
table["true"] = pd.Series(true)
print(table.round(3))

# %%
# The maximum-likelihood fit also reports standard errors from the observed information:
ml = fits["maximum likelihood"]
for name in true:
    print(f"{name:20s} {ml[name]:.3f} ± {ml['standard_errors'][name]:.3f} (true {true[name]})")

# %%
# The fit against the data: response-time distributions of both boundaries (the lower one
# mirrored below the axis) and the quantile-probability plot.
figure = ventrola.plot_fit((choices, rts), ml, title="2,000 exact trials, maximum-likelihood fit")

# %%
# Recovery over several data sets
# -------------------------------
# Twelve data sets of 500 trials each, drawn with different parameters; each is fitted by maximum
# likelihood. The points should scatter around the diagonal.
rng = np.random.default_rng(3)
truths, estimates = [], []
for k in range(12):
    drift, boundary, t0 = rng.uniform(0.5, 2.5), rng.uniform(1.0, 2.2), rng.uniform(0.2, 0.45)
    c, t, _ = ventrola.simulate_ddm(drift, boundary, 0.5, t0, 500, seed=100 + k)
    fit = ventrola.fit_ml(c, t, contamination=0.0)
    truths.append((drift, boundary, t0))
    estimates.append((fit["drift_rate"], fit["boundary_separation"], fit["non_decision_time"]))
truths, estimates = np.array(truths), np.array(estimates)

figure, axes = plt.subplots(1, 3, figsize=(9, 3), layout="constrained")
for axis, column, label in zip(axes, range(3), ["drift rate", "boundary separation", "non-decision time"]):
    axis.scatter(truths[:, column], estimates[:, column], s=18)
    low, high = truths[:, column].min(), truths[:, column].max()
    axis.plot([low, high], [low, high], color="grey", linewidth=1)
    axis.set(title=label, xlabel="true", ylabel="estimated")
