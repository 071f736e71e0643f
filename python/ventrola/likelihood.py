"""Densities, distribution functions and gradients of the diffusion model.

The seven-parameter model: drift rate ``v``, boundary separation ``a``,
starting point ``w`` (a fraction of ``a``), non-decision time ``t0``
(seconds), and across-trial variability of the drift (``drift_rate_sd``,
normal), of the starting point (``starting_point_range``, uniform, in units
of ``a``) and of the non-decision time (``non_decision_time_range``, uniform
on ``[t0, t0 + st0]``); ``noise_sd`` sets the units of ``v``, ``a`` and the
drift variability. ``choices`` are True for the upper boundary. The names,
defaults and ranges are those of :mod:`ventrola.parameters`.

Every argument is a scalar or an array; all broadcast together as NumPy
arrays do, and the result has the broadcast shape. The work runs in compiled
code without the interpreter lock, split over ventrola's worker pool for
large inputs; the result does not depend on the number of threads.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from typing import Any, NamedTuple, TypeVar, Union

import numpy as np
import numpy.typing as npt

from ventrola import _engine
from ventrola._trial_arrays import choice_flags, is_real_number, pandas_numbers, plain
from ventrola.parameters import DEFAULTS, PARAMETER_NAMES

__all__ = [
    "DEFAULTS",
    "PARAMETER_NAMES",
    "wiener_cdf",
    "wiener_logpdf",
    "wiener_logpdf_grad",
    "wiener_pdf",
]

ArrayLike = Any
FloatArray = npt.NDArray[np.float64]


def as_reals(value: ArrayLike, name: str) -> FloatArray:
    """``value`` as float64. What is no real number is refused with TypeError naming ``name``, rather
    than read as one: booleans, text, None, dates, and durations, whose unit a bare number loses."""
    converted = pandas_numbers(value)
    if converted is not None:
        return converted
    refusal = f"{name} must be a real number or an array of real numbers"
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise TypeError(refusal) from error
    kind = array.dtype.kind
    if kind in "iuf":
        return array.astype(np.float64, copy=False)
    if kind == "O":
        for element in array.flat:
            if not is_real_number(element):
                raise TypeError(f"{refusal}: found {plain(element)!r}")
        try:
            return array.astype(np.float64)
        except OverflowError:
            raise ValueError(f"{name} holds an integer too large for a double") from None
    if kind == "m":
        raise TypeError(f"{refusal}, not {array.dtype} durations; divide them by numpy.timedelta64(1, 's') for seconds")
    described = {"b": "booleans", "M": f"{array.dtype} dates", "U": "text", "S": "bytes", "c": "complex numbers"}
    raise TypeError(f"{refusal}, not {described.get(kind, f'{array.dtype} values')}")


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


_PARAMETERS_DOC = """
    Parameters
    ----------
    choices : array_like of bool or {0, 1}
        True (or 1) for a response at the upper boundary, False (or 0) for the lower one.
    rts : array_like of float
        Response times in seconds.
    drift_rate : array_like of float
        Mean drift rate ``v``, towards the upper boundary when positive; finite, ``|v| < 1e100 s``.
    boundary_separation : array_like of float
        Distance ``a`` between the boundaries; > 0, ``a < 1e100 s``.
    starting_point : array_like of float, optional
        Start ``w`` as a fraction of ``a``, strictly between 0 and 1 (default 0.5).
    non_decision_time : array_like of float, optional
        Lower end ``t0`` of the non-decision time in seconds, >= 0 (default 0).
    drift_rate_sd : array_like of float, optional
        Across-trial standard deviation ``sv`` of the drift rate, >= 0, ``sv < 1e100 s`` (default 0).
    starting_point_range : array_like of float, optional
        Across-trial range ``sz`` of the start, uniform on ``w +- sz/2``; >= 0 with
        ``sz/2 < min(w, 1 - w)`` (default 0).
    non_decision_time_range : array_like of float, optional
        Across-trial range ``st0`` of the non-decision time, uniform on ``[t0, t0 + st0]``
        seconds, >= 0 (default 0).
    noise_sd : array_like of float, optional
        Noise ``s`` per unit time, > 0 (default 1); it sets the units of ``v``, ``a`` and ``sv``.
        All arguments broadcast together as NumPy arrays do.
"""

_RAISES_DOC = """
    Raises
    ------
    ValueError
        For a parameter outside its range (naming it and the range), for choices other than
        True/False/1/0, or for arguments whose shapes do not broadcast.
    TypeError
        For arguments that are not real numbers.
"""

F = TypeVar("F", bound=Callable[..., Any])


def _documented(summary: str, returns: str, notes: str = "", examples: str = "") -> Callable[[F], F]:
    """Gives one of the four likelihood functions its numpydoc docstring around their shared parameters."""

    def attach(function: F) -> F:
        function.__doc__ = f"{summary}\n{_PARAMETERS_DOC}\n    Returns\n    -------\n{returns}\n{_RAISES_DOC}{notes}{examples}"
        return function

    return attach


@_documented(
    "Log-density of each (choice, response time) pair.",
    "    ndarray of float\n"
    "        ``log f(rt, choice)`` in the broadcast shape: ``-inf`` for a time at or below the\n"
    "        smallest possible non-decision time, NaN for a NaN time. Where the density\n"
    "        underflows a double the log-density is still finite and accurate.",
    examples="""
    Examples
    --------
    >>> import ventrola
    >>> round(float(ventrola.wiener_logpdf(True, 0.6, 1.0, 1.5, non_decision_time=0.3)), 6)
    0.260178
""",
)
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
) -> FloatArray:
    shape, columns = engine_arguments(choices, rts, locals())
    return _engine.wiener_logpdf(*columns).reshape(shape)


@_documented(
    "Density of each (choice, response time) pair (``exp`` of :func:`wiener_logpdf`).",
    "    ndarray of float\n"
    "        ``f(rt, choice)`` in the broadcast shape: 0 for a time at or below the smallest\n"
    "        possible non-decision time, NaN for a NaN time.",
)
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
) -> FloatArray:
    shape, columns = engine_arguments(choices, rts, locals())
    return _engine.wiener_pdf(*columns).reshape(shape)


@_documented(
    "Distribution function: P(response = choice and RT <= rt).",
    "    ndarray of float\n"
    "        The probability in the broadcast shape; at ``rt = inf`` the probability of the choice.",
    examples="""
    Examples
    --------
    >>> import math, ventrola
    >>> p_upper = float(ventrola.wiener_cdf(True, math.inf, 1.0, 1.5))
    >>> round(p_upper, 6)
    0.817574
""",
)
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
) -> FloatArray:
    shape, columns = engine_arguments(choices, rts, locals())
    return _engine.wiener_cdf(*columns).reshape(shape)


@_documented(
    "Log-densities and their partial derivatives with respect to the seven parameters.",
    "    logpdf : ndarray of float\n"
    "        As :func:`wiener_logpdf` returns it.\n"
    "    gradients : dict of str to ndarray of float\n"
    "        For each of the seven parameter names (``ventrola.parameters.PARAMETER_NAMES``), ``d logpdf / d\n"
    "        parameter`` per trial in the broadcast shape (NaN where the log-density is not\n"
    "        finite). Sum over trials where a parameter is shared.",
)
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
) -> tuple[FloatArray, dict[str, FloatArray]]:
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


def longest_response(rts: FloatArray) -> float:
    """T of the lapse distribution: the largest finite response time, which must be positive."""
    finite = rts[np.isfinite(rts)]
    longest = float(finite.max()) if finite.size else math.nan
    if not longest > 0:
        raise ValueError("contamination needs a positive finite largest response time")
    return longest


Mixable = Union[float, FloatArray]


def mixture_terms(log_densities: FloatArray, rts: FloatArray, contamination: Mixable, longest: Mixable) -> tuple[FloatArray, FloatArray]:
    """The lapse mixture's two terms in log space: log((1 - p) f), and log(p / (2 T)) for
    0 <= rt <= T, -inf elsewhere. The weight and window may be arrays that broadcast."""
    # The lapse density in log space: p / (2 T) overflows for a tiny window T.
    with np.errstate(divide="ignore"):
        lapse = np.where((rts >= 0) & (rts <= longest), np.log(contamination) - np.log(2.0 * longest), -np.inf)
        return np.log1p(-contamination) + log_densities, lapse


def mixture_logpdf(log_densities: FloatArray, rts: FloatArray, contamination: Mixable, longest: Mixable) -> FloatArray:
    """Log of (1 - p) f + p / (2 T) for 0 <= rt <= T (the lapse density is 0 elsewhere)."""
    return np.logaddexp(*mixture_terms(log_densities, rts, contamination, longest))


class Mixture(NamedTuple):
    """Each trial's log-likelihood under the lapse mixture, the shares of it that the model and the
    lapses explain (which scale their partial derivatives), and its derivative with respect to the
    weight p: d/dp log((1 - p) f + p c) = (c - f) / mixture. Trials no component can produce have
    log-likelihood -inf and zero shares and derivative."""

    log_p: FloatArray
    model_share: FloatArray
    lapse_share: FloatArray
    d_contamination: FloatArray


def mixture(log_densities: FloatArray, rts: FloatArray, contamination: Mixable, longest: Mixable) -> Mixture:
    inside = (rts >= 0) & (rts <= longest)
    # Exponentials may overflow where the model's density underflows: the
    # derivative with respect to p is then that large.
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        log_model, log_lapse = mixture_terms(log_densities, rts, contamination, longest)
        log_p = np.logaddexp(log_model, log_lapse)
        possible = np.isfinite(log_p)
        model_share = np.where(possible, np.exp(log_model - log_p), 0.0)
        lapse_share = np.where(possible, np.exp(log_lapse - log_p), 0.0)
        lapse_per_p = np.where(possible & inside, np.exp(-np.log(2 * longest) - log_p), 0.0)
        model_per_p = np.where(possible, np.exp(log_densities - log_p), 0.0)
    return Mixture(log_p, model_share, lapse_share, lapse_per_p - model_per_p)
