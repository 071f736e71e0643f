"""Maximum-likelihood fits of the diffusion model with analytic gradients.

:func:`fit_ml` fits one set of trials, under the seven-parameter model or any generalized one
(:class:`ventrola.DDM`: the likelihood and its gradients then come from the first-passage
solver, :mod:`ventrola.ml.model_likelihood`). :func:`fit_design` is the same fit over a design: a free
parameter may take one value per level of a factor (``levels``) while the others are shared;
:func:`ventrola.fit_frame` builds the levels from table columns.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
import dataclasses
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt
from scipy.optimize import minimize

from _ventrola import VentrolaError

from ventrola import censoring
from ventrola._trial_arrays import checked_trials, refuse_t0_not_below_fastest, trials_digest
from ventrola.censoring import Observation
from ventrola.formulas import formula_names
from ventrola.models import DDM

from .blas_threads import single_blas_thread
from .coordinates import Layout, Levels, Regressions
from .formula_design import is_regression, ml_formulas
from .information import standard_errors
from .model_likelihood import ModelLikelihood, check_observation
from .model_spec import ModelSpec, model_spec, result_parameters
from .objective import Objective, TrialLikelihood
from .starts import candidate_starts
from .trial_summary import TrialSummary

FloatArray = npt.NDArray[np.float64]

__all__ = ["fit_ml", "fit_design", "DesignFit"]

MIN_TRIALS = 10
MAX_ITERATIONS = 400
# Stop tests on the mean log-likelihood per trial and its gradient in the scaled coordinates;
# both end far inside one standard error of every parameter.
FTOL = 1e-11
GTOL = 1e-6
# When the line search can make no more progress (the likelihood's own rounding), a point whose
# projected gradient is below this is the optimum for every practical purpose: for 2,000 trials
# it is within a few hundredths of a standard error.
ACCEPTED_GTOL = 1e-4


@dataclass
class DesignFit:
    """Per parameter one value per level (one value when shared or fixed); for a parameter with
    a formula its coefficients by term, their standard errors, and its value on every trial."""

    values: dict[str, FloatArray]
    standard_errors: dict[str, FloatArray]
    coefficients: dict[str, dict[str, float]]
    coefficient_errors: dict[str, dict[str, float]]
    per_trial: dict[str, FloatArray]
    loglik: float
    n_trials: int
    n_free: int
    iterations: int
    converged: bool
    message: str
    note: Optional[str]
    model: DDM = dataclasses.field(default_factory=DDM)
    trials_digest: Optional[str] = None

    @property
    def aic(self) -> float:
        return 2.0 * self.n_free - 2.0 * self.loglik

    @property
    def bic(self) -> float:
        return self.n_free * math.log(self.n_trials) - 2.0 * self.loglik

    def summary(self) -> dict[str, Any]:
        """The fit as fit_ml returns it (every parameter shared, or following a formula)."""
        result: dict[str, Any] = {}
        for name in (*self.model_names(), "contamination"):
            result[name] = self.per_trial[name].copy() if name in self.per_trial else float(self.values[name][0])
        errors: dict[str, Any] = {name: float(se[0]) for name, se in self.standard_errors.items()}
        errors.update({name: dict(terms) for name, terms in self.coefficient_errors.items()})
        result.update(
            loglik=self.loglik, aic=self.aic, bic=self.bic, n_trials=self.n_trials, n_free=self.n_free,
            iterations=self.iterations, converged=self.converged, message=self.message,
            standard_errors=errors, note=self.note,
        )
        if self.coefficients:
            result["coefficients"] = {name: dict(terms) for name, terms in self.coefficients.items()}
        result["model"] = self.model
        result["trials_digest"] = self.trials_digest
        return result

    def model_names(self) -> tuple[str, ...]:
        return result_parameters(self.model)


def fit_ml(
    choices: Any,
    rts: Any,
    free: Union[str, Iterable[str], None] = None,
    fixed: Optional[Mapping[str, float]] = None,
    initial_guess: Optional[Mapping[str, float]] = None,
    contamination: float = 0.02,
    *,
    formulas: Optional[Mapping[str, str]] = None,
    data: Any = None,
    missing: Optional[str] = None,
    deadline: Any = None,
    rt_range: Any = None,
    model: Optional[DDM] = None,
) -> dict[str, Any]:
    """Maximum-likelihood fit of the diffusion model to one set of trials.

    The likelihood is the exact density (:func:`ventrola.wiener_logpdf`, or a generalized
    ``model``'s) mixed with lapses; L-BFGS-B maximises it with analytic gradients, in
    coordinates that keep every parameter valid, from the EZ estimate and a few fixed spreads
    (and, for a collapsing bound, a few time scales of the collapse), and keeps the best start.

    Parameters
    ----------
    choices : array_like of bool or {0, 1}
        One value per trial, True or 1 for the upper boundary.
    rts : array_like of float
        Response times in seconds, positive and finite, one per trial (any real dtype).
    free : str or iterable of str, optional
        The parameters to estimate, any of ``drift_rate``, ``boundary_separation``,
        ``starting_point``, ``non_decision_time``, ``drift_rate_sd``, ``starting_point_range``,
        ``non_decision_time_range`` and ``contamination``, and those of ``model``'s families
        and functions. Default: ``drift_rate``, ``boundary_separation`` and
        ``non_decision_time``, and all of ``model``'s own (``collapse_time`` for an
        exponential bound, say).
    fixed : mapping of str to float, optional
        Values of parameters not estimated. Defaults: starting point 0.5, variabilities 0,
        ``noise_sd`` 1 (which sets the units of the drift rate, the boundary separation and
        the drift-rate variability).
    initial_guess : mapping of str to float, optional
        Starting values of free parameters (a previous fit's result will do; other keys are
        ignored). Without it the fit starts from the EZ estimate and a few fixed spreads.
    contamination : float, optional
        Weight of lapses, in [0, 1): trials with either response at a time uniform up to the
        slowest one. 0 fits the model alone. It stays fixed unless ``"contamination"`` is in
        ``free``; then it is where the estimate starts (0 starts it at 0.02). Default 0.02.
    formulas : dict of str to str, optional
        A formula per parameter on the trials' covariates in ``data``, e.g. ``{"drift_rate":
        "1 + coherence"}``: the parameter on each trial is its link (the parameter table's:
        identity for the drift rate, log for positive parameters, logit for the starting point)
        of ``X beta``. Common terms only (``C(x)`` for a categorical column, ``a * b`` for an
        interaction); a parameter with a formula is estimated. Needs the ``[formulas]`` extra.
    data : pandas.DataFrame, optional
        The covariates, one row per trial in the order of ``choices``.
    missing : {None, "choice"}, optional
        ``"choice"``: a trial whose time is NaN is known by its choice only and contributes the
        probability of that choice (go/no-go, a withheld response at the lower boundary).
    deadline : float or array_like of float, optional
        Seconds, one for all trials or one per trial: a trial whose time is NaN had no response
        by then and contributes the probability of no decision by its deadline.
    rt_range : (float, float), optional
        ``(low, high)``: only responses inside this window were kept; each density is
        renormalised to it.
    model : ventrola.DDM, optional
        The model (default ``DDM()``, the seven-parameter model). A generalized one is fitted to
        timed trials (``missing``, ``deadline`` and ``rt_range`` are refused); a formula on it
        costs one solve per distinct parameter set among the trials, so factors are cheap and
        continuous covariates slow.

    Returns
    -------
    dict
        The eight parameters (``drift_rate`` ... ``noise_sd``) and ``contamination``;
        ``loglik``, ``aic``, ``bic``, ``n_trials``, ``n_free``, ``iterations``,
        ``converged`` (bool), ``message`` (the optimizer's reason for stopping),
        ``standard_errors`` (a dict per free parameter, from the observed information: forward
        differences of the analytic gradient), ``note`` (None, or why a standard error is
        NaN, or why the fit did not converge), ``model`` and ``trials_digest`` (a hash of the
        trials, by which :func:`ventrola.compare` refuses fits of different data). A fit that does
        not converge is returned with ``converged`` False: also one that stopped at its start
        without finding anything better or where nothing depends on the parameters, and one whose
        log-likelihood is not finite. With
        ``formulas``: ``coefficients`` (per parameter a dict of term to coefficient, on the link
        scale), its standard errors as such a dict under ``standard_errors``, and the
        parameter's value on every trial (an array) in place of one number. ``model`` is the
        model fitted, so that :func:`ventrola.loglik`, :func:`ventrola.plot_fit` and
        :func:`ventrola.compare` read the result under it; a generalized model's own parameters
        follow ``noise_sd``.

    Raises
    ------
    ValueError
        For unusable arrays (choices other than 0/1/True/False, NaN, infinite or non-positive
        times, different lengths), unknown or conflicting parameter names, and values out of
        range; for a formula that names an unknown parameter or column, does not parse, or has
        group-specific terms; for NaN times without ``missing`` or ``deadline``, times after
        their deadline or outside ``rt_range``; for a parameter ``model`` does not have (a family
        parameter of another family says which), and for ``missing``, ``deadline`` or
        ``rt_range`` with a generalized model.
    ventrola.VentrolaError
        When there are too few trials.

    Warns
    -----
    UserWarning
        When more than half the times exceed 20 s, which suggests milliseconds.

    Examples
    --------
    >>> import ventrola
    >>> choices, rts, _ = ventrola.simulate_ddm(1.0, 1.5, 0.5, 0.3, 2000, 7)
    >>> fit = ventrola.fit_ml(choices, rts, contamination=0.0)
    >>> fit["converged"], round(fit["drift_rate"], 1), round(fit["boundary_separation"], 1)
    (True, 1.0, 1.5)

    Drift growing with a trial's stimulus strength:

    >>> import numpy as np, pandas as pd
    >>> levels = [0.0, 0.5, 1.0, 1.5]
    >>> trials = [ventrola.simulate_ddm(0.2 + 1.2 * c, 1.5, 0.5, 0.3, 500, 11 + k) for k, c in enumerate(levels)]
    >>> choices = np.concatenate([c for c, _, _ in trials]); rts = np.concatenate([r for _, r, _ in trials])
    >>> data = pd.DataFrame({"coherence": np.repeat(levels, 500)})
    >>> fit = ventrola.fit_ml(choices, rts, formulas={"drift_rate": "1 + coherence"}, data=data)
    >>> slope, error = fit["coefficients"]["drift_rate"]["coherence"], fit["standard_errors"]["drift_rate"]["coherence"]
    >>> sorted(fit["coefficients"]["drift_rate"]), abs(slope - 1.2) < 3 * error
    (['Intercept', 'coherence'], True)

    A collapsing bound, whose time scale is estimated with the standard three:

    >>> model = ventrola.DDM(bound="exponential")
    >>> choices, rts, _ = model.simulate(1000, 3, drift_rate=1.0, boundary_separation=2.0,
    ...                                  non_decision_time=0.3, collapse_time=0.8)
    >>> fit = ventrola.fit_ml(choices, rts, model=model)
    >>> fit["n_free"], fit["model"] == model, abs(fit["collapse_time"] - 0.8) < 3 * fit["standard_errors"]["collapse_time"]
    (4, True, True)
    """
    censored = missing is not None or deadline is not None
    choices, rts = checked_trials(choices, rts, stacklevel=3, allow_missing=censored)
    observed = censoring.observation(rts, missing, deadline, rt_range)
    spec = model_spec(free, fixed, contamination, formula_names(formulas), model)
    regressions = ml_formulas(formulas, data, len(rts), spec)
    return fit_design(choices, rts, spec, {}, initial_guess, regressions=regressions, observed=observed).summary()


def fit_design(
    choices: npt.NDArray[np.bool_],
    rts: FloatArray,
    spec: ModelSpec,
    levels: Levels,
    initial_guess: Optional[Mapping[str, Any]] = None,
    level_labels: Optional[Mapping[str, Sequence[str]]] = None,
    regressions: Optional[Regressions] = None,
    observed: Optional[Observation] = None,
) -> DesignFit:
    """The joint fit of checked trials where ``levels[name] = (codes, n_levels)`` gives a free
    parameter one value per level (``codes[i]`` the level of trial ``i``) and ``regressions[name]``
    a formula; ``observed`` says which trials lack a time (all are timed by default)."""
    if initial_guess is not None and not isinstance(initial_guess, Mapping):
        raise ValueError(f"initial_guess must be a dict of parameter values, not {type(initial_guess).__name__}")
    regressions = regressions or {}
    for name in levels:
        if name not in spec.free:
            raise ValueError(f"{name!r} can only depend on a factor when it is free")
        if name in regressions:
            raise ValueError(f"{name!r} has both a formula and depends_on: give its factor in the formula "
                             f"(e.g. '0 + C(condition)')")
    if not spec.model.is_standard:
        check_observation(spec.model, observed)
    if observed is None:
        observed = censoring.complete(len(rts))
    # Counted before the trials are summarised, which needs at least one; the layout may need more.
    if len(rts) < MIN_TRIALS:
        raise VentrolaError(f"too few trials: {len(rts)}, need at least {MIN_TRIALS}")
    trials = TrialSummary(choices, rts)
    n = trials.n
    if not observed.timed.any():
        raise VentrolaError("no trial has a response time: the times carry the model's scale")
    layout = Layout(spec, trials, levels, regressions)
    if n < max(MIN_TRIALS, layout.size + 1):
        raise VentrolaError(f"too few trials: {n}, need at least {max(MIN_TRIALS, layout.size + 1)}")
    _check_fixed_against_data(spec, trials)
    likelihood: Any = TrialLikelihood(trials, observed) if spec.model.is_standard else ModelLikelihood(trials, spec.model)
    objective = Objective(layout, likelihood, n)

    starts = candidate_starts(layout, choices, rts, initial_guess)
    x0 = min(starts, key=objective.value)
    with single_blas_thread():
        run = minimize(
            objective.value_and_gradient, x0, jac=True, method="L-BFGS-B", bounds=layout.bounds(),
            options={"maxiter": MAX_ITERATIONS, "ftol": FTOL, "gtol": GTOL},
        )

    x = np.asarray(run.x, dtype=np.float64)
    theta = layout.theta(x)
    values, weight = layout.values(theta)
    loglik = likelihood.log_likelihood(values, weight)
    converged, message = verdict(run, layout)
    why_not = no_optimum(run, layout, x0, loglik)
    errors, note = standard_errors(objective, x, theta, level_labels or {})
    coefficients, coefficient_errors = {}, {}
    for slot in layout.regression_slots():
        terms = slot.formula.names
        coefficients[slot.name] = dict(zip(terms, theta[slot.entries].tolist()))
        coefficient_errors[slot.name] = dict(zip(terms, errors.pop(slot.name).tolist()))
    return DesignFit(
        values=_all_values(layout, theta),
        standard_errors=errors,
        coefficients=coefficients,
        coefficient_errors=coefficient_errors,
        per_trial={slot.name: np.asarray(values[slot.name], dtype=np.float64) for slot in layout.regression_slots()},
        loglik=loglik,
        n_trials=n,
        n_free=layout.size,
        iterations=int(run.nit),
        converged=converged and why_not is None,
        message=message,
        note="; ".join(text for text in (why_not, note) if text) or None,
        model=spec.model,
        trials_digest=trials_digest(choices, rts, observed.timed, observed.deadlines,
                                    np.asarray(observed.window or (0.0, np.inf))),
    )


def verdict(run: Any, layout: Layout) -> tuple[bool, str]:
    """Whether the run converged, and why it stopped."""
    message = str(run.message).strip()
    if run.success or run.status != 2:
        return bool(run.success), message
    largest = _projected_gradient(run.x, np.asarray(run.jac, dtype=np.float64), layout)
    if largest <= ACCEPTED_GTOL:
        return True, (f"{message} the line search could not improve on a point whose projected gradient is "
                      f"{largest:.1e}, below {ACCEPTED_GTOL:g}: accepted")
    return False, message


def no_optimum(run: Any, layout: Layout, x0: FloatArray, loglik: float) -> Optional[str]:
    """Why the end point is no optimum whatever the optimizer says (None when nothing speaks against it):
    a log-likelihood or gradient that is not finite, or a stop at the start that found nothing."""
    gradient = np.asarray(run.jac, dtype=np.float64)
    if not math.isfinite(loglik):
        return f"the log-likelihood at the end point is {loglik!r}, so it is no optimum"
    if not np.all(np.isfinite(gradient)):
        return "the gradient of the log-likelihood is not finite at the end point"
    if not np.array_equal(run.x, x0):
        return None
    if not np.any(gradient):
        # Exactly zero: no trial's likelihood depends on the parameters there (every trial explained
        # by lapses alone, say), which L-BFGS-B takes for an optimum.
        return "the optimizer stopped at its start, where the log-likelihood does not change with any free parameter"
    largest = _projected_gradient(run.x, gradient, layout)
    if not largest <= ACCEPTED_GTOL:
        # L-BFGS-B also stops on a small relative change of the objective, which a first step that
        # found nothing better meets at once.
        return (f"the optimizer stopped at its start without improving on it, where the projected gradient "
                f"is {largest:.1e}")
    return None


def _projected_gradient(x: FloatArray, gradient: FloatArray, layout: Layout) -> float:
    """The largest component of the gradient that the bounds do not block."""
    lower, upper = np.array(layout.bounds()).T
    blocked = ((x <= lower) & (gradient > 0.0)) | ((x >= upper) & (gradient < 0.0))
    return float(np.max(np.abs(np.where(blocked, 0.0, gradient)), initial=0.0))


def _check_fixed_against_data(spec: ModelSpec, trials: TrialSummary) -> None:
    t0 = spec.fixed.get("non_decision_time")
    if t0 is not None and not spec.mixture:
        refuse_t0_not_below_fastest(t0, trials.fastest)


def _all_values(layout: Layout, theta: FloatArray) -> dict[str, FloatArray]:
    values = {name: np.array([float(value)]) for name, value in layout.spec.fixed.items()}
    values["contamination"] = np.array([layout.spec.contamination])
    for slot in layout.slots:
        if not is_regression(slot):
            values[slot.name] = theta[slot.entries].copy()
    return values
