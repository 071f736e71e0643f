"""The log-likelihood of a set of trials under the model with lapses, and its per-trial gradient.

With weight p a trial is a lapse: either response with probability 1/2 at a time uniform on
[0, T], T the slowest response time of the trials. So each trial's likelihood is

    (1 - p) f(rt, choice) + p / (2 T)

and, with r = (1 - p) f / that total (the share the model itself explains),

    d log / d theta = r * d log f / d theta,       d log / d p = (1 / (2 T) - f) / total.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Optional, Union

import numpy as np
import numpy.typing as npt

from .likelihood import mixture_logpdf, wiener_logpdf, wiener_logpdf_grad

FloatArray = npt.NDArray[np.float64]
Value = Union[float, FloatArray]


class TrialLikelihood:
    """The trials of one fit, with the log-density of a lapse at any of them."""

    def __init__(self, choices: npt.NDArray[np.bool_], rts: FloatArray) -> None:
        self.choices = choices
        self.rts = rts
        self.longest = float(rts.max())
        self.log_lapse = float(np.log(0.5 / self.longest))

    def log_likelihood(self, values: Mapping[str, Value], contamination: float) -> float:
        log_f = wiener_logpdf(self.choices, self.rts, **values)
        return float(self._log_mixture(log_f, contamination).sum())

    def with_gradient(
        self, values: Mapping[str, Value], contamination: float, names: Sequence[str]
    ) -> tuple[float, dict[str, FloatArray], Optional[FloatArray]]:
        """The total log-likelihood, d log / d parameter per trial for ``names``, and d log / d p
        per trial (None without lapses)."""
        log_f, partials = wiener_logpdf_grad(self.choices, self.rts, **values)
        if contamination == 0.0:
            return float(log_f.sum()), {name: partials[name] for name in names}, None
        log_total = self._log_mixture(log_f, contamination)
        model_share = np.exp(np.log1p(-contamination) + log_f - log_total)
        # Where the model gives the trial no density, its partials are NaN and carry no weight.
        weighted = {name: np.where(model_share > 0.0, model_share * partials[name], 0.0) for name in names}
        d_contamination = np.exp(self.log_lapse - log_total) - model_share / (1.0 - contamination)
        return float(log_total.sum()), weighted, d_contamination

    def _log_mixture(self, log_f: FloatArray, contamination: float) -> FloatArray:
        if contamination == 0.0:
            return log_f
        return mixture_logpdf(log_f, self.rts, contamination, self.longest)
