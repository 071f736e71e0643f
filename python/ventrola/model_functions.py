"""A model's bounds and drift as functions of decision time, in NumPy, for pictures.

The likelihood and the simulation never use these: they run in the compiled engine, whose
definitions the families' descriptions in :mod:`ventrola.models` state. These follow the same
definitions so that a picture can draw ``+-b(t)`` and ``v(t)``; a test holds the two together
(a path without noise must leave where the engine says it does). A user's function is called as
it is.

Units: t in seconds of decision time; b(t) = (a/2) c(t), the half-width measured from the
midpoint between the bounds at t = 0; v(t) in the drift's units.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from ventrola.models import DDM

FloatArray = npt.NDArray[np.float64]


def bound_fraction(model: DDM, t: FloatArray, params: Mapping[str, Any]) -> FloatArray:
    """c(t): the bound as a fraction of its initial half-width (1 at t = 0)."""
    t = np.asarray(t, dtype=np.float64)
    params = {**model.defaults, **params}
    for custom in model.custom_functions:
        if custom.role == "bound":
            return np.asarray(custom.function(t, **{name: params[name] for name in custom.names}), dtype=np.float64)
    family = model.bound
    if family == "constant":
        return np.ones_like(t)
    tau = float(params["collapse_time"])
    if family == "linear":
        return np.maximum(0.0, 1.0 - t / tau)
    if family == "exponential":
        return np.exp(-t / tau)
    if family == "hyperbolic":
        return tau / (t + tau)
    if family == "weibull":
        shape, floor = float(params["collapse_shape"]), float(params["collapse_floor"])
        return 1.0 - (1.0 - floor) * (1.0 - np.exp(-((t / tau) ** shape)))
    raise ValueError(f"no bound family {family!r}")


def half_width(model: DDM, t: FloatArray, params: Mapping[str, Any]) -> FloatArray:
    """b(t) = (a/2) c(t)."""
    return 0.5 * float(params["boundary_separation"]) * bound_fraction(model, t, params)


def drift(model: DDM, t: FloatArray, params: Mapping[str, Any]) -> FloatArray:
    """v(t), the drift before the leak acts."""
    t = np.asarray(t, dtype=np.float64)
    params = {**model.defaults, **params}
    v = float(params.get("drift_rate", model.defaults.get("drift_rate", 0.0)))
    for custom in model.custom_functions:
        if custom.role == "drift":
            own = {name: params[name] for name in custom.names}
            return v + np.asarray(custom.function(t, **own), dtype=np.float64)
    if model.drift == "constant":
        return np.full_like(t, v)
    # The time derivative of the activation A exp(-t/tau) (e t / ((alpha - 1) tau))^(alpha - 1),
    # which peaks at A when t = (alpha - 1) tau.
    amplitude, tau = float(params["automatic_amplitude"]), float(params["automatic_time"])
    alpha = float(params["automatic_shape"])
    with np.errstate(divide="ignore", invalid="ignore"):
        activation = amplitude * np.exp(-t / tau) * (math.e * t / ((alpha - 1.0) * tau)) ** (alpha - 1.0)
        slope = activation * ((alpha - 1.0) / t - 1.0 / tau)
    if alpha < 2.0:
        # The slope starts infinite when alpha < 2; the picture shows its first finite value.
        slope = np.where(t > 0, slope, np.nan)
    else:
        slope = np.where(t > 0, slope, amplitude * math.e / tau if alpha == 2.0 else 0.0)
    return v + slope


def paths(model: DDM, params: Mapping[str, Any], n: int, seed: int, dt: float, horizon: float) -> list[FloatArray]:
    """A few sample paths y(t) (from the midpoint) on a grid of ``dt``, each ending where it
    first leaves its bounds; for pictures only (NumPy's generator, Euler steps)."""
    rng = np.random.default_rng(seed)
    times = np.arange(0.0, horizon + dt, dt)
    b = half_width(model, times, params)
    v = drift(model, times, params)
    v = np.where(np.isfinite(v), v, 0.0)
    noise = float(params.get("noise_sd", 1.0))
    leak = float(params.get("leak", 0.0)) if model.leak else 0.0
    start = (float(params.get("starting_point", 0.5)) - 0.5) * float(params["boundary_separation"])
    result = []
    for _ in range(n):
        steps = rng.standard_normal(len(times) - 1) * noise * math.sqrt(dt)
        y = np.empty(len(times))
        y[0] = start
        end = len(times)
        for k in range(1, len(times)):
            y[k] = y[k - 1] + (v[k - 1] - leak * y[k - 1]) * dt + steps[k - 1]
            if abs(y[k]) >= b[k]:
                end = k + 1
                break
        result.append(np.column_stack([times[:end], y[:end]]))
    return result
