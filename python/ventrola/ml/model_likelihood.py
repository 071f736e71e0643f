"""The likelihood of a generalized model's trials (:class:`ventrola.DDM`) as the objective needs
it: the summed log-likelihood with lapses, and its per-trial partial derivatives.

The densities and their gradients come from the model (the compiled first-passage solver, which
solves each distinct parameter set once for every trial that shares it), so a design with a few
levels costs a few solves per evaluation, whatever the number of trials. The lapse mixture is the
seven-parameter fit's (:mod:`ventrola.ml.objective`): with weight p each trial's likelihood is
``(1 - p) f + p / (2 T)``. Trials without a time, past a deadline or trimmed to a window are
refused before a fit gets here (:func:`check_observation`).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Optional, Union

import numpy as np
import numpy.typing as npt

from ventrola.censoring import Observation
from ventrola.likelihood import mixture, mixture_logpdf
from ventrola.models import DDM

from .trial_summary import TrialSummary

FloatArray = npt.NDArray[np.float64]
Value = Union[float, FloatArray]


def check_observation(model: DDM, observed: Optional[Observation]) -> None:
    """Refuses trials observed in part for a generalized model, whose censored terms (the
    distribution function's partial derivatives) the fit does not have."""
    if observed is not None and not observed.complete:
        raise ValueError(f"missing, deadline and rt_range fit the seven-parameter model only; {model!r} is "
                         "fitted to timed trials (leave those options out, or drop the trials without a time)")


class ModelLikelihood:
    """The trials of one fit under a generalized model, with the log-density of a lapse at any of them."""

    def __init__(self, trials: TrialSummary, model: DDM) -> None:
        self.choices = trials.choices
        self.rts = trials.rts
        self.longest = trials.slowest
        self.model = model

    def _model_values(self, values: Mapping[str, Value]) -> dict[str, Value]:
        return {name: values[name] for name in self.model.parameter_names if name in values}

    def log_likelihood(self, values: Mapping[str, Value], contamination: float) -> float:
        log_f = self.model.logpdf(self.choices, self.rts, **self._model_values(values))
        if contamination != 0.0:
            log_f = mixture_logpdf(log_f, self.rts, contamination, self.longest)
        return float(np.sum(log_f))

    def with_gradient(
        self, values: Mapping[str, Value], contamination: float, names: Sequence[str]
    ) -> tuple[float, dict[str, FloatArray], Optional[FloatArray]]:
        """The total log-likelihood, d log / d parameter per trial for ``names``, and d log / d p
        per trial (None without lapses)."""
        log_f, partials = self.model.logpdf_grad(self.choices, self.rts, wrt=names, **self._model_values(values))
        if contamination == 0.0:
            return float(np.sum(log_f)), {name: partials[name] for name in names}, None
        mixed = mixture(log_f, self.rts, contamination, self.longest)
        # Where the model gives the trial no density, its partials are NaN and carry no weight.
        weighted = {
            name: np.where(mixed.model_share > 0.0, mixed.model_share * partials[name], 0.0) for name in names
        }
        return float(mixed.log_p.sum()), weighted, mixed.d_contamination
