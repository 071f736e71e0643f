"""Maximum-likelihood fits of the diffusion model with analytic gradients.

:func:`fit_ml` fits one set of trials. :func:`fit_design` is the same fit over a design: a free
parameter may take one value per level of a factor (``levels``) while the others are shared;
:func:`ventrola.fit_frame` builds the levels from table columns.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt
from scipy.optimize import minimize

from _ventrola import VentrolaError

from ._ml_information import observed_information, standard_errors
from ._ml_layout import Layout, Levels
from ._ml_likelihood import TrialLikelihood
from ._ml_model import RESULT_PARAMETERS, ModelSpec, model_spec
from ._ml_starts import candidate_starts
from ._ml_threads import single_blas_thread
from ._trial_arrays import milliseconds_warning, trial_arrays

FloatArray = npt.NDArray[np.float64]

__all__ = ["fit_ml", "fit_design", "DesignFit", "checked_trials"]

MIN_TRIALS = 10
# Optimizations run from this many of the best starts; the best optimum is kept.
RUNS = 1
MAX_ITERATIONS = 400
# Stop tests on the mean log-likelihood per trial and its gradient in the scaled coordinates;
# both end far inside one standard error of every parameter.
FTOL = 1e-11
GTOL = 1e-6
# When the line search can make no more progress (the likelihood's own rounding), a point whose
# projected gradient is below this is the optimum for every practical purpose: for 2,000 trials
# it is within a few hundredths of a standard error.
ACCEPTED_GTOL = 1e-4
# Entries this close to a bound (scaled coordinates) are at the edge of their range.
EDGE = 1e-4
# Finite-difference step of the observed information, in the scaled coordinates.
HESSIAN_STEP = 1e-4


@dataclass
class DesignFit:
    """Per parameter one value per level (one value when shared or fixed)."""

    values: dict[str, FloatArray]
    standard_errors: dict[str, FloatArray]
    loglik: float
    n_trials: int
    n_free: int
    iterations: int
    converged: bool
    message: str
    note: Optional[str]

    @property
    def aic(self) -> float:
        return 2.0 * self.n_free - 2.0 * self.loglik

    @property
    def bic(self) -> float:
        return self.n_free * math.log(self.n_trials) - 2.0 * self.loglik

    def summary(self) -> dict[str, Any]:
        """The fit as fit_ml returns it (every parameter shared)."""
        result: dict[str, Any] = {name: float(self.values[name][0]) for name in (*RESULT_PARAMETERS, "contamination")}
        result.update(
            loglik=self.loglik, aic=self.aic, bic=self.bic, n_trials=self.n_trials, n_free=self.n_free,
            iterations=self.iterations, converged=self.converged, message=self.message,
            standard_errors={name: float(se[0]) for name, se in self.standard_errors.items()},
            note=self.note,
        )
        return result


def fit_ml(
    choices: Any,
    rts: Any,
    free: Union[str, Iterable[str], None] = None,
    fixed: Optional[Mapping[str, float]] = None,
    initial_guess: Optional[Mapping[str, float]] = None,
    contamination: float = 0.02,
) -> dict[str, Any]:
    """Maximum-likelihood fit of the diffusion model to one set of trials.

    ``choices`` holds one value per trial, True or 1 for the upper boundary (any array-like),
    ``rts`` the response times in seconds, positive and finite (any real dtype). ``free`` names the parameters to estimate, any of
    ``drift_rate``, ``boundary_separation``, ``starting_point``, ``non_decision_time``,
    ``drift_rate_sd``, ``starting_point_range``, ``non_decision_time_range`` and
    ``contamination``; by default the drift rate, boundary separation and non-decision time.
    ``fixed`` gives values for parameters not estimated (defaults: starting point 0.5,
    variabilities 0, ``noise_sd`` 1, which sets the units). ``contamination`` is the weight of
    lapses, trials with either response at a time uniform up to the slowest one; 0 fits the
    model alone. Unless "contamination" is free it stays fixed; when free it is where the
    estimate starts (0 starts it at 0.02). ``initial_guess`` optionally gives starting values of
    free parameters (a previous fit's result will do); otherwise the fit starts from the EZ
    estimate and a few fixed spreads, keeping the best.

    Returns a dict with the eight parameters, ``contamination``, ``loglik``, ``aic``, ``bic``,
    ``n_trials``, ``n_free``, ``iterations``, ``converged``, ``message`` (the optimizer's reason
    for stopping), ``standard_errors`` (per free parameter, from the observed information) and
    ``note`` (None, or why a standard error is NaN). A fit that does not converge is returned
    with ``converged`` False.

    Raises ``ValueError`` for unusable arrays (choices other than 0/1/True/False, NaN, infinite
    or non-positive times, different lengths), unknown or conflicting parameter names and values
    out of range, and :class:`ventrola.VentrolaError` when there are too few trials. Warns
    (``UserWarning``) when more than half the times exceed 20 s, which suggests milliseconds.
    """
    choices, rts = checked_trials(choices, rts)
    spec = model_spec(free, fixed, contamination)
    return fit_design(choices, rts, spec, {}, initial_guess).summary()


def checked_trials(choices: Any, rts: Any) -> tuple[npt.NDArray[np.bool_], FloatArray]:
    """The trials as contiguous arrays; warns, for the caller's caller, when the times look like milliseconds."""
    flags, times = trial_arrays(choices, rts)
    message = milliseconds_warning(times)
    if message is not None:
        warnings.warn(message, UserWarning, stacklevel=3)
    return flags, times


def fit_design(
    choices: npt.NDArray[np.bool_],
    rts: FloatArray,
    spec: ModelSpec,
    levels: Levels,
    initial_guess: Optional[Mapping[str, Any]] = None,
    level_labels: Optional[Mapping[str, Sequence[str]]] = None,
) -> DesignFit:
    """The joint fit of checked trials where ``levels[name] = (codes, n_levels)`` gives a free
    parameter one value per level (``codes[i]`` the level of trial ``i``)."""
    if initial_guess is not None and not isinstance(initial_guess, Mapping):
        raise ValueError(f"initial_guess must be a dict of parameter values, not {type(initial_guess).__name__}")
    for name in levels:
        if name not in spec.free:
            raise ValueError(f"{name!r} can only depend on a factor when it is free")
    layout = Layout(spec, rts, levels)
    n = len(rts)
    if n < max(MIN_TRIALS, layout.size + 1):
        raise VentrolaError(f"too few trials: {n}, need at least {max(MIN_TRIALS, layout.size + 1)}")
    _check_fixed_against_data(spec, rts)
    likelihood = TrialLikelihood(choices, rts)
    problem = _Problem(layout, likelihood, n)

    starts = candidate_starts(layout, choices, rts, initial_guess)
    ranked = sorted(starts, key=problem.value)
    best = None
    with single_blas_thread():
        for x0 in ranked[:RUNS]:
            run = minimize(
                problem.value_and_gradient, x0, jac=True, method="L-BFGS-B", bounds=layout.bounds(),
                options={"maxiter": MAX_ITERATIONS, "ftol": FTOL, "gtol": GTOL},
            )
            if best is None or (np.isfinite(run.fun) and not run.fun >= best.fun):
                best = run
    assert best is not None

    x = np.asarray(best.x, dtype=np.float64)
    theta = layout.theta(x)
    values, weight = layout.values(theta)
    loglik = likelihood.log_likelihood(values, weight)
    converged, message = _verdict(best, layout)
    errors, note = _standard_errors(problem, x, theta, level_labels or {})
    return DesignFit(
        values=_all_values(layout, theta),
        standard_errors=errors,
        loglik=loglik,
        n_trials=n,
        n_free=layout.size,
        iterations=int(best.nit),
        converged=converged and math.isfinite(loglik),
        message=message,
        note=note,
    )


class _Problem:
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
            gradient[slot.entries] = slot.total(per_trial)
        return loglik, gradient


def _verdict(run: Any, layout: Layout) -> tuple[bool, str]:
    """Whether the run converged, and why it stopped."""
    message = str(run.message).strip()
    if run.success or run.status != 2:
        return bool(run.success), message
    lower, upper = np.array(layout.bounds()).T
    gradient = np.asarray(run.jac, dtype=np.float64)
    blocked = ((run.x <= lower) & (gradient > 0.0)) | ((run.x >= upper) & (gradient < 0.0))
    largest = float(np.max(np.abs(np.where(blocked, 0.0, gradient)), initial=0.0))
    if largest <= ACCEPTED_GTOL:
        return True, (f"{message} the line search could not improve on a point whose projected gradient is "
                      f"{largest:.1e}, below {ACCEPTED_GTOL:g}: accepted")
    return False, message


def _check_fixed_against_data(spec: ModelSpec, rts: FloatArray) -> None:
    t0 = spec.fixed.get("non_decision_time")
    if t0 is not None and not spec.mixture and t0 >= rts.min():
        raise ValueError(
            f"non_decision_time is fixed at {t0!r} s, not below the fastest response time {rts.min()!r} s: "
            "without contamination that trial has likelihood 0"
        )


def _all_values(layout: Layout, theta: FloatArray) -> dict[str, FloatArray]:
    values = {name: np.array([float(value)]) for name, value in layout.spec.fixed.items()}
    values["contamination"] = np.array([layout.spec.contamination])
    for slot in layout.slots:
        values[slot.name] = theta[slot.entries].copy()
    return values


def _entry_names(layout: Layout, labels: Mapping[str, Sequence[str]]) -> list[str]:
    names = []
    for slot in layout.slots:
        if slot.codes is None:
            names.append(slot.name)
        else:
            level_names = labels.get(slot.name) or [f"level {level}" for level in range(slot.n_levels)]
            names.extend(f"{slot.name} ({level})" for level in level_names)
    return names


def _standard_errors(
    problem: _Problem, x: FloatArray, theta: FloatArray, labels: Mapping[str, Sequence[str]]
) -> tuple[dict[str, FloatArray], Optional[str]]:
    """Per free parameter, the standard error of each level's value; NaN at the edge of a range
    (the normal approximation does not hold there) and where the information is singular or not
    positive definite."""
    layout = problem.layout
    lower, upper = np.array(layout.bounds()).T
    at_edge = (x - lower <= EDGE) | (upper - x <= EDGE)
    inside = np.flatnonzero(~at_edge)
    steps = HESSIAN_STEP * np.abs(layout.diagonal_jacobian(x, theta))[inside]
    # Forward differences (one gradient per entry, plus the one at the optimum) are accurate to
    # about the step, 1e-4 of a standard error's size; the way back from an upper bound is inward.
    sides = np.where(x[inside] + HESSIAN_STEP > upper[inside], -1, 1)

    def minus_gradient(sub: FloatArray) -> FloatArray:
        full = theta.copy()
        full[inside] = sub
        loglik, gradient = problem.theta_gradient(full)
        return -gradient[inside]

    notes = []
    errors = np.full(layout.size, np.nan)
    try:
        information = observed_information(minus_gradient, theta[inside], steps, sides)
        inner = standard_errors(information)
    except ValueError:
        inner = None
    if inner is None:
        if len(inside):
            notes.append(
                "the observed information is singular or not positive definite at the end point: "
                "standard errors are NaN"
            )
    else:
        errors[inside] = inner
    names = _entry_names(layout, labels)
    edge_names = [names[i] for i in np.flatnonzero(at_edge)]
    if edge_names:
        notes.append(f"at the edge of its range, so without a standard error: {', '.join(edge_names)}")
    by_slot = {slot.name: errors[slot.entries] for slot in layout.slots}
    return by_slot, "; ".join(notes) if notes else None
