"""Densities, distribution functions and gradients of the diffusion model.

The seven-parameter model: drift rate ``v``, boundary separation ``a``,
starting point ``w`` (a fraction of ``a``), non-decision time ``t0``
(seconds), and across-trial variability of the drift (``drift_rate_sd``,
normal), of the starting point (``starting_point_range``, uniform, in units
of ``a``) and of the non-decision time (``non_decision_time_range``, uniform
on ``[t0, t0 + st0]``); ``noise_sd`` sets the units of ``v``, ``a`` and the
drift variability. ``choices`` are True for the upper boundary.

Every argument is a scalar or an array; all broadcast together as NumPy
arrays do, and the result has the broadcast shape. The work runs in compiled
code without the interpreter lock, split over ventrola's worker pool for
large inputs; the result does not depend on the number of threads.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from ventrola import _engine
from ventrola._trial_arrays import choice_flags

PARAMETER_NAMES = (
    "drift_rate",
    "boundary_separation",
    "starting_point",
    "non_decision_time",
    "drift_rate_sd",
    "starting_point_range",
    "non_decision_time_range",
)
"""The seven parameters that the gradients are taken with respect to, in order."""

DEFAULTS = {
    "starting_point": 0.5,
    "non_decision_time": 0.0,
    "drift_rate_sd": 0.0,
    "starting_point_range": 0.0,
    "non_decision_time_range": 0.0,
    "noise_sd": 1.0,
}

ArrayLike = Any


def as_reals(value: ArrayLike, name: str) -> npt.NDArray[np.float64]:
    try:
        return np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be a real number or an array of real numbers") from error


def flat_columns(arrays: list[np.ndarray]) -> tuple[tuple[int, ...], list[np.ndarray]]:
    """The broadcast shape, and each array as a contiguous 1-D column of one
    element (the same for every trial) or of one element per trial."""
    shape = np.broadcast_shapes(*(array.shape for array in arrays))
    columns = []
    for array in arrays:
        if array.size == 1 and math.prod(shape) != 0:
            columns.append(np.ascontiguousarray(array.reshape(1)))
        else:
            columns.append(np.ascontiguousarray(np.broadcast_to(array, shape)).reshape(-1))
    return shape, columns


def engine_arguments(
    choices: ArrayLike, rts: ArrayLike, parameters: Mapping[str, ArrayLike]
) -> tuple[tuple[int, ...], list[np.ndarray]]:
    arrays = [choice_flags(choices), as_reals(rts, "rts")]
    arrays += [as_reals(parameters[name], name) for name in (*PARAMETER_NAMES, "noise_sd")]
    return flat_columns(arrays)


def wiener_logpdf(
    choices: ArrayLike,
    rts: ArrayLike,
    drift_rate: ArrayLike,
    boundary_separation: ArrayLike,
    starting_point: ArrayLike = 0.5,
    non_decision_time: ArrayLike = 0.0,
    drift_rate_sd: ArrayLike = 0.0,
    starting_point_range: ArrayLike = 0.0,
    non_decision_time_range: ArrayLike = 0.0,
    noise_sd: ArrayLike = 1.0,
) -> npt.NDArray[np.float64]:
    """Log-density of each (choice, response time) pair.

    A response time at or below the smallest possible non-decision time has
    log-density ``-inf``; a NaN time gives NaN. Where the density underflows a
    double the log-density is still finite and accurate. Raises
    ``ValueError`` naming a parameter outside its range.
    """
    shape, columns = engine_arguments(choices, rts, locals())
    return _engine.wiener_logpdf(*columns).reshape(shape)


def wiener_pdf(
    choices: ArrayLike,
    rts: ArrayLike,
    drift_rate: ArrayLike,
    boundary_separation: ArrayLike,
    starting_point: ArrayLike = 0.5,
    non_decision_time: ArrayLike = 0.0,
    drift_rate_sd: ArrayLike = 0.0,
    starting_point_range: ArrayLike = 0.0,
    non_decision_time_range: ArrayLike = 0.0,
    noise_sd: ArrayLike = 1.0,
) -> npt.NDArray[np.float64]:
    """Density of each (choice, response time) pair (``exp`` of :func:`wiener_logpdf`)."""
    shape, columns = engine_arguments(choices, rts, locals())
    return _engine.wiener_pdf(*columns).reshape(shape)


def wiener_cdf(
    choices: ArrayLike,
    rts: ArrayLike,
    drift_rate: ArrayLike,
    boundary_separation: ArrayLike,
    starting_point: ArrayLike = 0.5,
    non_decision_time: ArrayLike = 0.0,
    drift_rate_sd: ArrayLike = 0.0,
    starting_point_range: ArrayLike = 0.0,
    non_decision_time_range: ArrayLike = 0.0,
    noise_sd: ArrayLike = 1.0,
) -> npt.NDArray[np.float64]:
    """P(response = choice and RT <= rt); at ``rt = inf`` the probability of the choice."""
    shape, columns = engine_arguments(choices, rts, locals())
    return _engine.wiener_cdf(*columns).reshape(shape)


def wiener_logpdf_grad(
    choices: ArrayLike,
    rts: ArrayLike,
    drift_rate: ArrayLike,
    boundary_separation: ArrayLike,
    starting_point: ArrayLike = 0.5,
    non_decision_time: ArrayLike = 0.0,
    drift_rate_sd: ArrayLike = 0.0,
    starting_point_range: ArrayLike = 0.0,
    non_decision_time_range: ArrayLike = 0.0,
    noise_sd: ArrayLike = 1.0,
) -> tuple[npt.NDArray[np.float64], dict[str, npt.NDArray[np.float64]]]:
    """Log-densities and their partial derivatives.

    Returns ``(logpdf, gradients)``: ``gradients`` maps each of the seven
    parameter names (:data:`PARAMETER_NAMES`) to the array of
    ``d logpdf / d parameter``, per trial (NaN where the log-density is not
    finite). Sum over trials where a parameter is shared.
    """
    shape, columns = engine_arguments(choices, rts, locals())
    values, partials = _engine.wiener_logpdf_grad(*columns)
    gradients = {name: partial.reshape(shape) for name, partial in zip(PARAMETER_NAMES, partials)}
    return values.reshape(shape), gradients


def parameters_from(params: Mapping[str, Any]) -> dict[str, Any]:
    """The model's parameters from a result dict, with defaults; other keys ignored."""
    missing = [name for name in ("drift_rate", "boundary_separation") if name not in params]
    if missing:
        raise ValueError(f"params lacks {', '.join(repr(name) for name in missing)}")
    chosen = {name: params.get(name, DEFAULTS.get(name)) for name in (*PARAMETER_NAMES, "noise_sd")}
    return chosen


def longest_response(rts: npt.NDArray[np.float64]) -> float:
    """T of the lapse distribution: the largest finite response time, which must be positive."""
    finite = rts[np.isfinite(rts)]
    longest = float(finite.max()) if finite.size else math.nan
    if not longest > 0:
        raise ValueError("contamination needs a positive finite largest response time")
    return longest


Mixable = Union[float, npt.NDArray[np.float64]]


def mixture_terms(
    log_densities: npt.NDArray[np.float64], rts: npt.NDArray[np.float64], contamination: Mixable, longest: Mixable
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The lapse mixture's two terms in log space: log((1 - p) f), and log(p / (2 T)) for
    0 <= rt <= T, -inf elsewhere. The weight and window may be arrays that broadcast."""
    with np.errstate(divide="ignore"):
        lapse = np.where((rts >= 0) & (rts <= longest), np.log(contamination / (2.0 * longest)), -np.inf)
        return np.log1p(-contamination) + log_densities, lapse


def mixture_logpdf(
    log_densities: npt.NDArray[np.float64], rts: npt.NDArray[np.float64], contamination: Mixable, longest: Mixable
) -> npt.NDArray[np.float64]:
    """Log of (1 - p) f + p / (2 T) for 0 <= rt <= T (the lapse density is 0 elsewhere)."""
    return np.logaddexp(*mixture_terms(log_densities, rts, contamination, longest))


def loglik(choices: ArrayLike, rts: ArrayLike, params: Mapping[str, Any], contamination: float = 0.0) -> float:
    """Summed log-likelihood of the trials under a parameter dict.

    ``params`` is any dict with the model's parameter names (as :func:`fit_ez`,
    :func:`fit_sim` and :func:`fit_ml` return; other keys are ignored;
    missing optional parameters take their defaults). With ``contamination``
    ``p > 0`` each trial is a lapse with probability ``p``: either response
    with probability 1/2 at a time uniform on ``[0, T]``, ``T`` the largest
    response time given.
    """
    contamination = float(contamination)
    if not 0.0 <= contamination <= 1.0:
        raise ValueError(f"contamination must be in [0, 1], got {contamination!r}")
    parameters = parameters_from(params)
    rt_array = as_reals(rts, "rts")
    values = wiener_logpdf(choices, rt_array, **parameters)
    if contamination > 0.0:
        longest = longest_response(rt_array)
        values = mixture_logpdf(values, np.broadcast_to(rt_array, values.shape), contamination, longest)
    return float(np.sum(values))
