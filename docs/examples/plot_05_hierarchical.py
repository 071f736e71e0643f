"""
A hierarchical model, its posterior and a posterior predictive check
====================================================================

Eight participants, two conditions that differ in drift rate, 100 trials per participant and
condition. ``ventrola.bayes.hierarchical_model`` estimates the group's and every participant's
parameters, with the drift rate per condition, by NUTS with the likelihood's analytic
gradients.

.. note::

   So that the site builds in a few minutes, this page samples two chains of 300 draws after 300
   tuning steps, in one process. That is enough to show the workflow, not for a published
   analysis: there, use at least the defaults of :func:`ventrola.bayes.sample` (1,000 draws
   after 1,000 tuning steps per chain, several chains) and check R-hat and the effective sample
   sizes before reading the posterior.
"""

# %%
# The data
# --------
import arviz as az
import numpy as np
import pandas as pd

import ventrola
from ventrola import bayes

rng = np.random.default_rng(8)
rows = []
for j in range(8):
    boundary, t0 = np.exp(rng.normal(np.log(1.4), 0.15)), rng.uniform(0.25, 0.4)
    for condition, mean in (("easy", 1.8), ("hard", 0.8)):
        rows.append({"subject": f"s{j + 1}", "condition": condition, "drift": rng.normal(mean, 0.3),
                     "boundary": boundary, "start": 0.5, "t0": t0})
truth = pd.DataFrame(rows)
trials = ventrola.simulate_conditions(truth, n=100, seed=9)

# %%
# The model and its posterior
# ---------------------------
model = bayes.hierarchical_model(trials, by="subject", depends_on={"drift_rate": "condition"})
idata = bayes.sample(model, draws=300, tune=300, chains=2, cores=1, random_seed=10, progressbar=False)
az.summary(idata, var_names=["drift_rate_mu", "boundary_separation_mu", "non_decision_time_mu"]).round(3)

# %%
# The group's mean drift rate per condition (the true values were 1.8 and 0.8):
axes = az.plot_posterior(idata, var_names=["drift_rate_mu"], figsize=(8, 3))

# %%
# Each participant's drift rate: posterior means against the values the data were drawn with.
import matplotlib.pyplot as plt

posterior = idata.posterior["drift_rate_subject"].mean(dim=("chain", "draw")).to_dataframe().reset_index()
merged = posterior.merge(truth, on=["subject", "condition"])
figure, axis = plt.subplots(figsize=(4.5, 3.2), layout="constrained")
for condition, marker in (("easy", "o"), ("hard", "s")):
    part = merged[merged["condition"] == condition]
    axis.scatter(part["drift"], part["drift_rate_subject"], marker=marker, label=condition)
axis.plot([0, 2.6], [0, 2.6], color="grey", linewidth=1)
axis.set(xlabel="true drift rate", ylabel="posterior mean")
axis.legend()

# %%
# Posterior predictive check
# --------------------------
# Fifty posterior draws, each replicating every trial with its own parameters. The observed
# quantiles of each condition should fall inside the boxes of the replicates.
replicated = bayes.posterior_predictive(idata, model, draws=50, random_seed=11)
figure = bayes.plot_posterior_predictive(replicated, trials, by="condition")
