"""The log-probability of each trial under the seven-parameter model with the
contaminant mixture, and its partial derivatives, in NumPy around the compiled
likelihood.

Trials are signed response times: ``rt`` for the upper boundary, ``-rt`` for
the lower one. The mixture with weight ``p`` and window ``T`` is

    p(rt, choice) = (1 - p) f(rt, choice) + p / (2 T)    for 0 <= rt <= T

and the lapse term is 0 outside the window.

Trials observed in part are signed response times too: ``+inf`` or ``-inf`` for
a trial whose choice (upper or lower) is known but not its time, ``0`` for a
trial without any response by its ``deadline``; with ``rt_low > 0`` or
``rt_high < inf`` every timed trial's density is renormalised to that window.
Their terms, lapses included, are those of :mod:`ventrola.censoring`.

Parameters outside their ranges give log-probability -inf and zero partials
instead of an error: a sampler proposing them must see a rejected point, as
PyMC's own distributions give it.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Optional

import numpy as np
import numpy.typing as npt

from ventrola import censoring, parameters
from ventrola.likelihood import PARAMETER_NAMES, mixture, wiener_logpdf, wiener_logpdf_grad

Array = npt.NDArray[np.float64]

# The seven parameters of the compiled likelihood, in model order.
MODEL_PARAMETERS = PARAMETER_NAMES
# Every input with a derivative: the model's seven, the noise scale and the
# two of the mixture.
DIFFERENTIABLE = (*MODEL_PARAMETERS, "noise_sd", "contamination", "max_rt")
# Inputs that describe how trials were observed, with their defaults (every trial timed).
OBSERVATION_DEFAULTS = {"deadline": np.inf, "rt_low": 0.0, "rt_high": np.inf}


def valid_parameters(params: Mapping[str, Array]) -> npt.NDArray[np.bool_]:
    """True where every parameter lies in its range (those of :mod:`ventrola.parameters`; the
    mixture weight in [0, 1], the window above 0)."""
    with np.errstate(invalid="ignore"):
        return (
            parameters.valid(params, (*MODEL_PARAMETERS, "noise_sd"))
            & (params["contamination"] >= 0)
            & (params["contamination"] <= 1)
            & (params["max_rt"] > 0)
        )


def model_log_density(
    upper: npt.NDArray[np.bool_], rt: Array, params: Mapping[str, Array], wrt: Sequence[str]
) -> tuple[Array, dict[str, Array]]:
    """log f and the partials named in ``wrt`` (model parameters and noise_sd) for valid parameters."""
    keywords = {name: params[name] for name in (*MODEL_PARAMETERS, "noise_sd")}
    needed = [name for name in wrt if name in MODEL_PARAMETERS or name == "noise_sd"]
    if not needed:
        return np.asarray(wiener_logpdf(upper, rt, **keywords), dtype=np.float64), {}
    log_f, partials = wiener_logpdf_grad(upper, rt, **keywords)
    log_f = np.asarray(log_f, dtype=np.float64)
    out = {name: np.asarray(partials[name], dtype=np.float64) for name in needed if name in partials}
    if "noise_sd" in needed:
        # f depends on v, a, sv only through v/s, a/s, sv/s.
        s = params["noise_sd"]
        out["noise_sd"] = -(
            params["drift_rate"] * partials["drift_rate"]
            + params["boundary_separation"] * partials["boundary_separation"]
            + params["drift_rate_sd"] * partials["drift_rate_sd"]
        ) / s
    return log_f, out


def trial_log_probability(
    signed_rt: Array, params: Mapping[str, Array], wrt: Sequence[str] = ()
) -> tuple[Array, dict[str, Array]]:
    """Log-probability of each trial and its partials with respect to the inputs named in ``wrt``.

    ``params`` holds every name of DIFFERENTIABLE; all arrays broadcast with
    ``signed_rt``. Returns arrays of the broadcast shape.
    """
    value = np.asarray(signed_rt, dtype=np.float64)
    arrays = {name: np.asarray(params[name], dtype=np.float64) for name in DIFFERENTIABLE}
    for name, default in OBSERVATION_DEFAULTS.items():
        arrays[name] = np.asarray(params.get(name, default), dtype=np.float64)
    shape = np.broadcast_shapes(value.shape, *(array.shape for array in arrays.values()))
    try:
        # Parameters are nearly always valid: the compiled code checks them
        # on its way, and only a refusal costs a second pass.
        return evaluate(value, arrays, wrt, shape)
    except ValueError:
        valid = np.broadcast_to(valid_parameters(arrays), shape)
        if valid.all():
            raise
    log_p = np.full(shape, -np.inf)
    partials = {name: np.zeros(shape) for name in wrt}
    if valid.any():
        rows = {name: np.broadcast_to(array, shape)[valid] for name, array in arrays.items()}
        kept_log_p, kept_partials = evaluate(np.broadcast_to(value, shape)[valid], rows, wrt, log_p[valid].shape)
        log_p[valid] = kept_log_p
        for name, partial in kept_partials.items():
            partials[name][valid] = partial
    return log_p, partials


def evaluate(
    value: Array, arrays: Mapping[str, Array], wrt: Sequence[str], shape: tuple[int, ...]
) -> tuple[Array, dict[str, Array]]:
    p, window = arrays["contamination"], arrays["max_rt"]
    if not (np.all((p >= 0) & (p <= 1)) and np.all(window > 0)):
        raise ValueError("contamination must lie in [0, 1] and max_rt above 0")
    if observed_in_part(value, arrays):
        return evaluate_in_part(value, arrays, wrt, shape)
    rt = np.abs(value)
    log_f, model_partials = model_log_density(value > 0, rt, arrays, wrt)
    model_share: Optional[Array] = None
    partials: dict[str, Array] = {}
    if "contamination" in wrt or "max_rt" in wrt or np.any(p):
        log_p, model_share, partials = mixture_partials(rt, log_f, p, window, wrt)
    else:
        log_p = log_f
    # A trial the model cannot produce (rt at or below t0) carries no gradient
    # through the model; the engine's NaN partials there must not leak.
    reachable = np.isfinite(log_f)
    everywhere = bool(reachable.all())
    for name, partial in model_partials.items():
        if model_share is not None:
            partial = model_share * partial
        partials[name] = partial if everywhere else np.where(reachable, partial, 0.0)
    return full_shape(log_p, shape), {name: full_shape(partial, shape) for name, partial in partials.items()}


def full_shape(array: Array, shape: tuple[int, ...]) -> Array:
    return array if array.shape == shape else np.array(np.broadcast_to(array, shape))


def mixture_partials(
    rt: Array, log_f: Array, p: Array, max_rt: Array, wrt: Sequence[str]
) -> tuple[Array, Array, dict[str, Array]]:
    """log of the mixture, the model's share of it (which scales the model's partials), and the
    partials with respect to the mixture weight and window."""
    mixed = mixture(log_f, rt, p, max_rt)
    partials = {}
    if "contamination" in wrt:
        partials["contamination"] = mixed.d_contamination
    if "max_rt" in wrt:
        partials["max_rt"] = -mixed.lapse_share / max_rt
    return mixed.log_p, mixed.model_share, partials


def observed_in_part(value: Array, arrays: Mapping[str, Array]) -> bool:
    return bool(np.any(np.isinf(value)) or np.any(value == 0) or np.any(arrays["rt_low"] > 0)
                or np.any(np.isfinite(arrays["rt_high"])))


def evaluate_in_part(
    value: Array, arrays: Mapping[str, Array], wrt: Sequence[str], shape: tuple[int, ...]
) -> tuple[Array, dict[str, Array]]:
    """The terms of :mod:`ventrola.censoring` for trials of every kind, flattened and back."""
    n = int(np.prod(shape))
    flat = {name: np.broadcast_to(array, shape).reshape(n) for name, array in arrays.items()}
    signed = np.broadcast_to(value, shape).reshape(n)
    low, high = np.unique(flat["rt_low"]), np.unique(flat["rt_high"])
    if len(low) != 1 or len(high) != 1:
        raise ValueError("rt_low and rt_high must be one window for all trials")
    window = None if low[0] <= 0 and np.isinf(high[0]) else (float(low[0]), float(high[0]))
    omitted = signed == 0
    choice_only = np.isinf(signed)
    observed = censoring.Observation(~(omitted | choice_only), choice_only, omitted, flat["deadline"], window)
    rts = np.where(observed.timed, np.abs(signed), np.nan)
    model = {name: flat[name] for name in (*MODEL_PARAMETERS, "noise_sd")}
    lapse_names = ("contamination", "max_rt")
    terms = censoring.trial_terms(
        signed > 0, rts, model, observed, flat["contamination"], flat["max_rt"],
        wrt=[name for name in wrt if name not in lapse_names],
        lapse_partials=any(name in wrt for name in lapse_names),
    )
    partials = {name: terms.partials[name].reshape(shape) for name in wrt if name not in lapse_names}
    if "contamination" in wrt:
        assert terms.d_contamination is not None
        partials["contamination"] = terms.d_contamination.reshape(shape)
    if "max_rt" in wrt:
        assert terms.d_longest is not None
        partials["max_rt"] = terms.d_longest.reshape(shape)
    return terms.log_p.reshape(shape), partials
