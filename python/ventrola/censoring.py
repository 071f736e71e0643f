"""Trials observed only in part: without a response time, without any response before a
deadline, or with their times trimmed to a window; their likelihood and its partial derivatives.

With ``f(rt, c)`` the density of a response ``c`` at time ``rt``, ``F(t, c)`` the probability of
response ``c`` by time ``t`` and ``P(c) = F(inf, c)``, a trial contributes

- timed: ``f(rt, c)``; when only times in ``rt_range = (low, high)`` were kept, ``f(rt, c) / W``
  with ``W = sum over c of F(high, c) - F(low, c)``, the density renormalised to the window;
- its choice only (``missing="choice"``: go/no-go, where withholding is the lower boundary):
  ``P(c)``;
- no response by its deadline ``D``: ``1 - F(D, upper) - F(D, lower)``.

With lapses of weight ``p`` (either response with probability 1/2 at a time uniform on
``[0, T]``, ``T`` the slowest observed response) the same trials contribute

- timed: ``((1 - p) f + p / (2T)) / ((1 - p) W + p L)``, ``L`` the share of ``[0, T]`` inside the
  window (1 without one; the lapse term is 0 for ``rt > T``);
- choice only: ``(1 - p) P(c) + p / 2``;
- no response by ``D``: ``(1 - p) S + p max(0, 1 - D / T)``, ``S`` the model's probability above.
  A lapse responds within ``[0, T]``, so it explains an omission only when its deadline comes
  before ``T``; with one deadline for all trials (every timed response before it) its share is 0.

The partial derivatives of ``F`` with respect to the parameters come from central differences
of the compiled distribution function (a relative step of 1e-5: its rounding, about 1e-15
without the start and non-decision ranges and 1e-9 with them, over the step, plus the step
squared, keeps them to about 1e-10, and 1e-4 with the ranges), except the non-decision time's,
which is exactly ``-f(t, c)``: the time only shifts the distribution. Both the drift's and the
start's variability enter ``F`` through their squares, so ``F`` is flat in them at 0.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

from ventrola import parameters
from ventrola._trial_arrays import impossible_times_message
from ventrola.likelihood import mixture, wiener_cdf, wiener_logpdf, wiener_logpdf_grad, wiener_pdf

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]
Value = Union[float, FloatArray]

__all__ = ["Observation", "observation", "trial_terms", "distribution_partials"]

MISSING_KINDS = ("choice",)
STEP = 1e-5
# Parameters whose distribution function is even in them at 0.
_EVEN_AT_ZERO = ("drift_rate_sd", "starting_point_range")
# The density's parameters the scaling by noise_sd runs through: f depends on v/s, a/s and sv/s.
_NOISE_SCALED = ("drift_rate", "boundary_separation", "drift_rate_sd")


@dataclass(frozen=True)
class Observation:
    """Which trials were timed, which have only their choice and which had no response by their
    deadline; the deadlines (inf where there is none) and the window times were kept in."""

    timed: BoolArray
    choice_only: BoolArray
    omitted: BoolArray
    deadlines: FloatArray
    window: Optional[tuple[float, float]]

    @property
    def complete(self) -> bool:
        """Every trial timed and nothing trimmed: the plain likelihood applies."""
        return self.window is None and bool(self.timed.all())

    def subset(self, rows: Any) -> Observation:
        return Observation(self.timed[rows], self.choice_only[rows], self.omitted[rows], self.deadlines[rows],
                           self.window)


def complete(n: int) -> Observation:
    return Observation(np.ones(n, bool), np.zeros(n, bool), np.zeros(n, bool), np.full(n, np.inf), None)


def observation(
    rts: FloatArray,
    missing: Optional[str] = None,
    deadline: Any = None,
    rt_range: Any = None,
    name: str = "rts",
) -> Observation:
    """How the trials were observed, from the caller's statements; ValueError for times that do
    not fit them. A missing time (NaN) needs a reason: ``missing="choice"`` or a deadline."""
    n = len(rts)
    if missing is not None and missing not in MISSING_KINDS:
        raise ValueError(f"missing must be None or 'choice' (the choice of a trial without a time is known), "
                         f"not {missing!r}")
    if missing is not None and deadline is not None:
        raise ValueError("give either missing='choice' (trials without a time have a known choice) or a deadline "
                         "(trials without a time had no response by then), not both")
    deadlines = _deadlines(deadline, n)
    window = _window(rt_range)
    nan = np.isnan(rts)
    timed = ~nan
    count = int(np.count_nonzero(timed & ~((rts > 0) & (rts < np.inf))))
    if count or (nan.any() and missing is None and deadline is None):
        bad = ~((rts > 0) & (rts < np.inf))
        first = int(np.flatnonzero(bad)[0])
        message = impossible_times_message(name, int(bad.sum()), float(rts[first]), f"at position {first}")
        if not count:
            message += ("; a trial without a time needs a reason: missing='choice' (its choice is known) or a "
                        "deadline (no response by then)")
        raise ValueError(message)
    late = timed & (rts > deadlines)
    if late.any():
        first = int(np.flatnonzero(late)[0])
        raise ValueError(f"{name}[{first}] is {float(rts[first])!r} s, after its deadline of "
                         f"{float(deadlines[first])!r} s: a response after the deadline is not recorded")
    if window is not None:
        if nan.any():
            raise ValueError("rt_range describes trimmed response times: it cannot go with trials without a time")
        outside = (rts < window[0]) | (rts > window[1])
        if outside.any():
            first = int(np.flatnonzero(outside)[0])
            raise ValueError(f"{name}[{first}] is {float(rts[first])!r} s, outside rt_range {window}: trimmed data "
                             "hold no such trial")
    choice_only = nan if missing == "choice" else np.zeros(n, bool)
    omitted = nan if deadline is not None else np.zeros(n, bool)
    return Observation(timed, choice_only, omitted, deadlines, window)


def _deadlines(deadline: Any, n: int) -> FloatArray:
    if deadline is None:
        return np.full(n, np.inf)
    if isinstance(deadline, (bool, np.bool_)):
        raise ValueError(f"deadline must be a number of seconds or one per trial, not {deadline!r}")
    try:
        values = np.asarray(deadline, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"deadline must be a number of seconds or one per trial, not {deadline!r}") from None
    if values.ndim == 0:
        values = np.full(n, float(values))
    elif values.shape != (n,):
        raise ValueError(f"deadline must be one number or one per trial: {values.size} values for {n} trials")
    bad = ~((values > 0) & (values < np.inf))
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        raise ValueError(f"deadlines must be positive and finite seconds: the deadline of trial {first} is "
                         f"{float(values[first])!r}")
    return values


def _window(rt_range: Any) -> Optional[tuple[float, float]]:
    if rt_range is None:
        return None
    try:
        low, high = (float(x) for x in rt_range)
    except (TypeError, ValueError):
        raise ValueError(f"rt_range must be (low, high) in seconds, not {rt_range!r}") from None
    if not (0.0 <= low < high) or math.isnan(high):
        raise ValueError(f"rt_range must be (low, high) with 0 <= low < high, not {rt_range!r}")
    return low, high


# ---------------------------------------------------------------------------
# Distribution functions with partial derivatives


def _model(params: Mapping[str, Any]) -> dict[str, Any]:
    return {name: params[name] for name in (*parameters.PARAMETER_NAMES, "noise_sd")}


def distribution_partials(
    upper: Any, t: Any, params: Mapping[str, Any], wrt: Sequence[str]
) -> tuple[FloatArray, dict[str, FloatArray]]:
    """``F(t, upper)`` and its partial derivatives with respect to the parameters in ``wrt``
    (the density's and ``noise_sd``), in the broadcast shape."""
    model = _model(params)
    values = np.asarray(wiener_cdf(upper, t, **model), dtype=np.float64)
    partials: dict[str, FloatArray] = {}
    needed = list(wrt)
    if "noise_sd" in needed:
        needed += [name for name in _NOISE_SCALED if name not in needed]
    for name in needed:
        if name == "noise_sd":
            continue
        if name == "non_decision_time":
            density = np.asarray(wiener_pdf(upper, t, **model), dtype=np.float64)
            partials[name] = np.where(np.isfinite(t), -density, 0.0) * np.ones_like(values)
            continue
        partials[name] = _central_difference(upper, t, model, name, values.shape)
    if "noise_sd" in wrt:
        s = np.asarray(model["noise_sd"], dtype=np.float64)
        partials["noise_sd"] = -sum(np.asarray(model[n], dtype=np.float64) * partials[n] for n in _NOISE_SCALED) / s
    return values, {name: partials[name] for name in wrt}


def _central_difference(upper: Any, t: Any, model: dict[str, Any], name: str, shape: tuple[int, ...]) -> FloatArray:
    theta = np.asarray(model[name], dtype=np.float64)
    h = STEP * np.maximum(1.0, np.abs(theta))
    related = [name, "starting_point", "starting_point_range"]

    def inside(shifted: FloatArray) -> npt.NDArray[np.bool_]:
        return np.asarray(parameters.valid({**model, name: shifted}, related), dtype=bool)

    ok_up, ok_down = inside(theta + h), inside(theta - h)
    above = np.asarray(wiener_cdf(upper, t, **{**model, name: np.where(ok_up, theta + h, theta)}), dtype=np.float64)
    below = np.asarray(wiener_cdf(upper, t, **{**model, name: np.where(ok_down, theta - h, theta)}), dtype=np.float64)
    width = np.where(ok_up, h, 0.0) + np.where(ok_down, h, 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        slope = np.where(width > 0, (above - below) / np.where(width > 0, width, 1.0), 0.0)
    if name in _EVEN_AT_ZERO:
        slope = np.where(theta == 0.0, 0.0, slope)
    return np.asarray(np.broadcast_to(slope, shape), dtype=np.float64)


# ---------------------------------------------------------------------------
# Trial terms


@dataclass
class TrialTerms:
    """Each trial's log-likelihood, its partials for the parameters asked for, and with lapses
    its partials with respect to the weight and the window T (None without lapses)."""

    log_p: FloatArray
    partials: dict[str, FloatArray]
    d_contamination: Optional[FloatArray]
    d_longest: Optional[FloatArray]


def _rows(params: Mapping[str, Any], rows: BoolArray, n: int) -> dict[str, Any]:
    """The parameters of the trials in ``rows``: per-trial arrays cut, single values kept."""
    picked = {}
    for name, value in params.items():
        array = np.asarray(value, dtype=np.float64)
        picked[name] = array[rows] if array.ndim and array.shape[0] == n else array
    return picked


def trial_terms(
    choices: BoolArray,
    rts: FloatArray,
    params: Mapping[str, Any],
    observed: Observation,
    contamination: Value = 0.0,
    longest: Value = math.inf,
    wrt: Sequence[str] = (),
    lapse_partials: bool = False,
) -> TrialTerms:
    """Each trial's log-likelihood under ``params`` (the density's parameters and ``noise_sd``;
    each one value or one per trial) with lapses of weight ``contamination`` over ``[0, longest]``
    (each one value or one per trial), and the partials: with respect to the parameters in
    ``wrt`` and, with ``lapse_partials``, the weight and the window."""
    n = len(rts)
    p = np.broadcast_to(np.asarray(contamination, dtype=np.float64), (n,))
    window_t = np.broadcast_to(np.asarray(longest, dtype=np.float64), (n,))
    lapses = lapse_partials or bool(np.any(p))
    log_p = np.empty(n)
    partials = {name: np.zeros(n) for name in wrt}
    d_p = np.zeros(n) if lapses else None
    d_t = np.zeros(n) if lapses else None

    for rows, terms_of in (
        (observed.timed, _timed),
        (observed.choice_only, _choice_only),
        (observed.omitted, _omitted),
    ):
        if not rows.any():
            continue
        part = _Part(choices[rows], rts[rows], _rows(params, rows, n), observed.window, p[rows], window_t[rows],
                     observed.deadlines[rows], tuple(wrt), lapses)
        values, grads, dp, dt = terms_of(part)
        log_p[rows] = values
        for name in wrt:
            partials[name][rows] = grads[name]
        if d_p is not None and d_t is not None:
            d_p[rows] = dp
            d_t[rows] = dt
    return TrialTerms(log_p, partials, d_p, d_t)


@dataclass(frozen=True)
class _Part:
    """The trials of one kind, with what their terms need."""

    choices: BoolArray
    rts: FloatArray
    params: Mapping[str, Any]
    window: Optional[tuple[float, float]]
    p: FloatArray  # the lapse weight of each trial
    window_t: FloatArray  # the lapse window T of each trial
    deadlines: FloatArray
    wrt: tuple[str, ...]
    lapses: bool


# Per trial: the log-likelihood, its partials by name, and d/dp and d/dT (zeros without lapses).
PartTerms = tuple[FloatArray, dict[str, FloatArray], FloatArray, FloatArray]


def _timed(part: _Part) -> PartTerms:
    choices, rts, params, p, window_t, wrt, lapses = (part.choices, part.rts, part.params, part.p, part.window_t,
                                                      part.wrt, part.lapses)
    model = _model(params)
    needed = [name for name in wrt if name != "noise_sd"]
    if "noise_sd" in wrt:
        needed += [name for name in _NOISE_SCALED if name not in needed]
    if needed:
        log_f, engine_partials = wiener_logpdf_grad(choices, rts, **model)
    else:
        log_f, engine_partials = wiener_logpdf(choices, rts, **model), {}
    log_f = np.asarray(log_f, dtype=np.float64)
    reachable = np.isfinite(log_f)
    density_partials = {name: np.where(reachable, engine_partials[name], 0.0) for name in needed}
    if "noise_sd" in wrt:
        s = np.asarray(model["noise_sd"], dtype=np.float64)
        density_partials["noise_sd"] = -sum(
            np.asarray(model[n], dtype=np.float64) * density_partials[n] for n in _NOISE_SCALED) / s

    if lapses:
        mixed = mixture(log_f, rts, p, window_t)
        log_num, share = mixed.log_p, mixed.model_share
        d_p = mixed.d_contamination
        d_t = -mixed.lapse_share / window_t
    else:
        log_num, share = log_f, np.ones_like(log_f)
        d_p = d_t = np.zeros_like(log_f)
    grads = {name: share * density_partials[name] for name in wrt}
    if part.window is None:
        return log_num, grads, d_p, d_t

    low, high = part.window
    mass, mass_partials = _window_mass(low, high, params, wrt)
    if lapses:
        covered = np.clip(np.minimum(high, window_t) - low, 0.0, None) / window_t
        denominator = (1 - p) * mass + p * covered
        d_p = d_p - (covered - mass) / denominator
        # d covered / dT: (min(high, T) - low) / T falls as T grows beyond high, else rises.
        d_covered = np.where(window_t <= high, low / window_t**2, -(high - low) / window_t**2)
        d_covered = np.where(window_t > low, d_covered, 0.0)
        d_t = d_t - p * d_covered / denominator
        scale = (1 - p) / denominator
    else:
        denominator = mass * np.ones_like(log_num)
        scale = 1.0 / denominator
    for name in wrt:
        grads[name] = grads[name] - scale * mass_partials[name]
    with np.errstate(divide="ignore"):
        return log_num - np.log(denominator), grads, d_p, d_t


def _window_mass(low: float, high: float, params: Mapping[str, Any], wrt: Sequence[str]) -> tuple[Any, dict[str, Any]]:
    """W = P(the response comes within [low, high]) and its partials."""
    mass: Any = 0.0
    partials: dict[str, Any] = {name: 0.0 for name in wrt}
    for upper in (True, False):
        for end, sign in ((high, 1.0), (low, -1.0)):
            if end == 0.0:
                continue
            value, grads = distribution_partials(upper, end, params, wrt)
            mass = mass + sign * value
            for name in wrt:
                partials[name] = partials[name] + sign * grads[name]
    return mass, partials


def _choice_only(part: _Part) -> PartTerms:
    choices, p, wrt, lapses = part.choices, part.p, part.wrt, part.lapses
    probability, grads = distribution_partials(choices, math.inf, part.params, wrt)
    probability = probability * np.ones(len(choices))
    if lapses:
        total = (1 - p) * probability + p / 2
        d_p = (0.5 - probability) / total
        d_t = np.zeros(len(choices))
        scale = (1 - p) / total
    else:
        total = probability
        d_p = d_t = np.zeros(len(choices))
        scale = 1.0 / total
    with np.errstate(divide="ignore"):
        return np.log(total), {name: scale * grads[name] for name in wrt}, d_p, d_t


def _omitted(part: _Part) -> PartTerms:
    params, p, window_t, deadlines, wrt, lapses = (part.params, part.p, part.window_t, part.deadlines, part.wrt,
                                                   part.lapses)
    upper_value, upper_grads = distribution_partials(True, deadlines, params, wrt)
    lower_value, lower_grads = distribution_partials(False, deadlines, params, wrt)
    # 1 - F(D, upper) - F(D, lower) cancels badly once nearly every trial has responded; the
    # remaining probability is never below 0.
    survival = np.maximum(1.0 - upper_value - lower_value, 0.0)
    grads = {name: -(upper_grads[name] + lower_grads[name]) for name in wrt}
    if lapses:
        late_lapse = np.clip(1.0 - deadlines / window_t, 0.0, None)
        total = (1 - p) * survival + p * late_lapse
        d_p = (late_lapse - survival) / total
        d_t = np.where(deadlines < window_t, p * deadlines / window_t**2, 0.0) / total
        scale = (1 - p) / total
    else:
        total = survival
        d_p = d_t = np.zeros(len(deadlines))
        scale = 1.0 / total
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.log(total), {name: scale * grads[name] for name in wrt}, d_p, d_t


def slowest_timed(rts: FloatArray, observed: Observation) -> float:
    """T of the lapse distribution: the slowest timed response."""
    timed = rts[observed.timed]
    if not timed.size:
        raise ValueError("lapses (contamination above 0) need at least one trial with a response time")
    return float(timed.max())
