"""What the optimizer minimises: minus the mean log-likelihood per trial of the model with lapses,
and its gradient in the optimizer's coordinates.

With weight p a trial is a lapse: either response with probability 1/2 at a time uniform on
[0, T], T the slowest response time of the trials. So each trial's likelihood is

    (1 - p) f(rt, choice) + p / (2 T)

and, with r = (1 - p) f / that total (the share the model itself explains),
d log / d theta = r * d log f / d theta; d log / d p comes from :func:`ventrola.likelihood.mixture`.
Trials without a time, without a response by a deadline, or trimmed to a window contribute the
terms of :mod:`ventrola.censoring` instead.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import Optional, Union

import numpy as np
import numpy.typing as npt

from ventrola import censoring
from ventrola.censoring import Observation
from ventrola.likelihood import mixture, mixture_logpdf, wiener_logpdf, wiener_logpdf_grad

from .coordinates import Layout
from .trial_summary import TrialSummary

FloatArray = npt.NDArray[np.float64]
Value = Union[float, FloatArray]


class TrialLikelihood:
    """The trials of one fit, with the log-density of a lapse at any of them."""

    def __init__(self, trials: TrialSummary, observed: Optional[Observation] = None) -> None:
        self.choices = trials.choices
        self.rts = trials.rts
        self.longest = trials.slowest
        # None when every trial is timed and untrimmed: the plain density then suffices.
        self.observed = None if observed is None or observed.complete else observed

    def log_likelihood(self, values: Mapping[str, Value], contamination: float) -> float:
        if self.observed is not None:
            terms = censoring.trial_terms(self.choices, self.rts, values, self.observed, contamination, self.longest)
            return float(terms.log_p.sum())
        log_f = wiener_logpdf(self.choices, self.rts, **values)
        if contamination != 0.0:
            log_f = mixture_logpdf(log_f, self.rts, contamination, self.longest)
        return float(log_f.sum())

    def with_gradient(
        self, values: Mapping[str, Value], contamination: float, names: Sequence[str]
    ) -> tuple[float, dict[str, FloatArray], Optional[FloatArray]]:
        """The total log-likelihood, d log / d parameter per trial for ``names``, and d log / d p
        per trial (None without lapses)."""
        if self.observed is not None:
            terms = censoring.trial_terms(self.choices, self.rts, values, self.observed, contamination, self.longest,
                                          wrt=names, lapse_partials=contamination != 0.0)
            return float(terms.log_p.sum()), terms.partials, terms.d_contamination
        log_f, partials = wiener_logpdf_grad(self.choices, self.rts, **values)
        if contamination == 0.0:
            return float(log_f.sum()), {name: partials[name] for name in names}, None
        mixed = mixture(log_f, self.rts, contamination, self.longest)
        # Where the model gives the trial no density, its partials are NaN and carry no weight.
        weighted = {
            name: np.where(mixed.model_share > 0.0, mixed.model_share * partials[name], 0.0) for name in names
        }
        return float(mixed.log_p.sum()), weighted, mixed.d_contamination


class Objective:
    """Minus the mean log-likelihood per trial as the optimizer sees it."""

    def __init__(self, layout: Layout, likelihood: TrialLikelihood, n: int) -> None:
        self.layout = layout
        self.likelihood = likelihood
        self.n = n
        self.model_names = [slot.name for slot in layout.slots if slot.name != "contamination"]

    def value(self, x: FloatArray) -> float:
        values, weight = self.layout.values(self.layout.theta(x))
        loglik = self.likelihood.log_likelihood(values, weight)
        return -loglik / self.n if math.isfinite(loglik) else math.inf

    def value_and_gradient(self, x: FloatArray) -> tuple[float, FloatArray]:
        theta = self.layout.theta(x)
        loglik, theta_gradient = self.theta_gradient(theta)
        if not math.isfinite(loglik):
            return math.inf, np.zeros_like(x)
        gradient = self.layout.x_gradient(x, theta, theta_gradient)
        return -loglik / self.n, -gradient / self.n

    def theta_gradient(self, theta: FloatArray) -> tuple[float, FloatArray]:
        """The total log-likelihood and its gradient in the model's units."""
        values, weight = self.layout.values(theta)
        loglik, partials, d_weight = self.likelihood.with_gradient(values, weight, self.model_names)
        gradient = np.empty(self.layout.size)
        for slot in self.layout.slots:
            per_trial = d_weight if slot.name == "contamination" else partials[slot.name]
            assert per_trial is not None
            gradient[slot.entries] = slot.total(per_trial, theta[slot.entries])
        return loglik, gradient
