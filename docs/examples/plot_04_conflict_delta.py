"""
A conflict task and its delta plot
==================================

In conflict tasks (Simon, flanker, Stroop) an irrelevant feature of the stimulus drives a fast,
fading automatic activation on top of the controlled drift: towards the correct response on
congruent trials, towards the error on incongruent ones. The ``dmc`` drift family models it.
Here the activation's amplitude depends on congruency; the other parameters are shared. The
delta plot shows how the congruency effect on response times changes from fast to slow
responses, observed and as the fitted model predicts.
"""

# %%
import pandas as pd

import ventrola
from ventrola import DDM

model = DDM(drift="dmc")
shared = {"drift_rate": 1.4, "boundary_separation": 1.7, "non_decision_time": 0.3, "automatic_time": 0.05,
          "automatic_shape": 2.0}
parts = []
for k, (condition, amplitude) in enumerate((("congruent", 0.6), ("incongruent", -0.6))):
    choices, rts, _ = model.simulate(800, 31 + k, automatic_amplitude=amplitude, **shared)
    parts.append(pd.DataFrame({"congruency": condition, "choice": choices, "rt": rts}))
trials = pd.concat(parts, ignore_index=True)

fits = ventrola.fit_frame(trials, method="ml", model=model, depends_on={"automatic_amplitude": "congruency"})
fits[["congruency", "automatic_amplitude", "automatic_amplitude_se", "drift_rate", "boundary_separation",
      "non_decision_time", "converged"]].round(3)

# %%
# The delta plot: for each response-time quantile, the incongruent minus congruent difference
# against the two conditions' mean.
figure = ventrola.plot_delta(trials, fits, factor="congruency", model=model)

# %%
# The incongruent condition's fitted model: the activation first pulls towards the error.
figure = ventrola.plot_model(fits.iloc[1].to_dict(), model=model, seed=2)
