"""The likelihood of any :class:`ventrola.DDM`: log-density, density, distribution function
and gradients, broadcasting as the ``wiener_*`` functions do.

The seven-parameter model (``DDM()``) goes to the exact series of :mod:`ventrola.likelihood`;
every other model to the compiled first-passage solver (``ventrola._engine.general_likelihood``),
which solves each distinct parameter set once for all the trials that share it. A user's bound
or drift function is tabulated on the solver's time grid per distinct set of its parameters.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import Any, Optional, Protocol

import numpy as np
import numpy.typing as npt

from ventrola import _engine
from ventrola._trial_arrays import choice_flags
from ventrola.likelihood import (
    PARAMETER_NAMES,
    as_reals,
    flat_columns,
    longest_response,
    mixture_logpdf,
    wiener_cdf,
    wiener_logpdf,
    wiener_logpdf_grad,
    wiener_pdf,
)



class ModelStructure(Protocol):
    """What this module reads of a :class:`ventrola.DDM`."""

    parameter_names: tuple[str, ...]

    @property
    def leak(self) -> bool: ...

    @property
    def is_standard(self) -> bool: ...

    @property
    def custom_functions(self) -> list[Any]: ...

    def engine_families(self) -> tuple[str, str]: ...

    def parameters_with_defaults(self, given: Mapping[str, Any], what: str = ...) -> dict[str, Any]: ...

FloatArray = npt.NDArray[np.float64]

# The compiled solver's parameter order.
ENGINE_ORDER = (
    "drift_rate", "boundary_separation", "starting_point", "non_decision_time", "drift_rate_sd",
    "starting_point_range", "non_decision_time_range", "noise_sd", "collapse_time", "collapse_shape",
    "collapse_floor", "automatic_amplitude", "automatic_time", "automatic_shape", "leak",
)
# What an unused family parameter is sent as (the solver ignores it).
PLACEHOLDERS = {"collapse_time": 1.0, "collapse_shape": 1.0, "collapse_floor": 0.0, "automatic_amplitude": 0.0,
                "automatic_time": 0.1, "automatic_shape": 2.0, "leak": 0.0}
TABLE_STEP = 1e-3  # seconds between the values of a user's function
TABLE_MARGIN = 1.0  # seconds tabulated past the longest decision time asked about
MAX_TABLE_TIME = 200.0
STANDARD = {"logpdf": wiener_logpdf, "pdf": wiener_pdf, "cdf": wiener_cdf}


def _columns(model: ModelStructure, choices: Any, rts: Any, params: Mapping[str, Any]) -> tuple[tuple[int, ...], dict[str, FloatArray], FloatArray, FloatArray]:
    values = model.parameters_with_defaults(params)
    flags = choice_flags(choices)
    times = as_reals(rts, "rts")
    names = list(model.parameter_names)
    arrays = [flags, times] + [as_reals(values[name], name) for name in names]
    shape, columns = flat_columns(arrays)
    return shape, dict(zip(names, columns[2:])), columns[0], columns[1]


def _engine_columns(model: ModelStructure, columns: Mapping[str, FloatArray]) -> tuple[FloatArray, ...]:
    return tuple(np.ascontiguousarray(columns[name]) if name in columns
                 else np.array([PLACEHOLDERS[name]]) for name in ENGINE_ORDER)


def _tables(model: ModelStructure, own: Mapping[str, float], latest: float) -> tuple[Any, float, Any, float]:
    """The user's functions on the solver's time grid, for one set of their parameters."""
    horizon = min(max(latest, 0.0) + TABLE_MARGIN, MAX_TABLE_TIME)
    times = np.arange(0.0, horizon + TABLE_STEP, TABLE_STEP)
    bound_table = drift_table = None
    for custom in model.custom_functions:
        table = np.ascontiguousarray(custom.tabulate(times, own))
        if custom.role == "bound":
            bound_table = table
        else:
            drift_table = table
    return bound_table, TABLE_STEP, drift_table, TABLE_STEP


def _custom_names(model: ModelStructure) -> list[str]:
    return [name for custom in model.custom_functions for name in custom.names]


def _differenced_names(model: ModelStructure) -> list[str]:
    """The parameters whose partial derivatives come from differences: a user's functions' own,
    and for a user's drift (a table in user units) the noise and the leak as well."""
    names = _custom_names(model)
    if any(custom.role == "drift" for custom in model.custom_functions):
        names += ["noise_sd"] + (["leak"] if model.leak else [])
    return names


def _groups(columns: Mapping[str, FloatArray], names: list[str], n: int) -> list[tuple[dict[str, float], Any]]:
    """Trials grouped by the values of the user's functions' parameters: (values, rows or slice)."""
    if not names or all(columns[name].size == 1 for name in names):
        return [({name: float(columns[name][0]) for name in names}, slice(None))]
    stacked = np.stack([np.broadcast_to(columns[name], (n,)) for name in names], axis=1)
    keys, inverse = np.unique(stacked, axis=0, return_inverse=True)
    return [({name: float(key[i]) for i, name in enumerate(names)}, np.flatnonzero(inverse.reshape(-1) == g))
            for g, key in enumerate(keys)]


def _call(model: ModelStructure, quantity: str, flags: FloatArray, times: FloatArray, columns: Mapping[str, FloatArray],
          wanted: Optional[tuple[bool, ...]] = None) -> Any:
    """The engine over every group of trials that shares the user's functions' parameters (with
    'logpdf_grad', the partials ``wanted`` marks in ENGINE_ORDER, or all)."""
    n = max(flags.size, times.size, *(c.size for c in columns.values()))
    bound, drift = model.engine_families()
    custom = _custom_names(model)
    engine_columns = _engine_columns(model, columns)
    if not model.custom_functions:
        spec = (bound, drift, model.leak, None, 0.0, None, 0.0)
        return _engine.general_likelihood(quantity, spec, flags, times, engine_columns, wanted)
    t0 = np.broadcast_to(columns["non_decision_time"], (n,))
    decision = np.broadcast_to(times, (n,)) - t0
    finite = decision[np.isfinite(decision)]
    outputs: Any = None
    for own, rows in _groups(columns, custom, n):
        latest = float(finite.max()) if finite.size else 1.0
        tables = _tables(model, own, latest)
        spec = (bound, drift, model.leak, *tables)

        def part(array: FloatArray) -> FloatArray:
            return np.ascontiguousarray(array if array.size == 1 or isinstance(rows, slice) else array[rows])

        result = _engine.general_likelihood(quantity, spec, part(flags), part(times),
                                            tuple(part(c) for c in engine_columns), wanted)
        if isinstance(rows, slice):
            return result
        if outputs is None:
            outputs = (np.empty(n), tuple(np.empty(n) for _ in ENGINE_ORDER)) if quantity == "logpdf_grad" else np.empty(n)
        if quantity == "logpdf_grad":
            outputs[0][rows] = result[0]
            for target, source in zip(outputs[1], result[1]):
                target[rows] = source
        else:
            outputs[rows] = result
    return outputs


def evaluate(model: ModelStructure, quantity: str, choices: Any, rts: Any, params: Mapping[str, Any]) -> FloatArray:
    if model.is_standard:
        values = model.parameters_with_defaults(params, "DDM()")
        return STANDARD[quantity](choices, rts, **values)
    shape, columns, flags, times = _columns(model, choices, rts, params)
    if math.prod(shape) == 0:
        return np.empty(shape)
    return np.asarray(_call(model, quantity, flags, times, columns)).reshape(shape)


def evaluate_gradient(model: ModelStructure, choices: Any, rts: Any, params: Mapping[str, Any],
                      wrt: Optional[Sequence[str]] = None) -> tuple[FloatArray, dict[str, FloatArray]]:
    names = _gradient_names(model, wrt)
    if model.is_standard:
        values = model.parameters_with_defaults(params, "DDM()")
        log_f, partials = wiener_logpdf_grad(choices, rts, **values)
        out = dict(partials)
        # f depends on v, a and sv only through their ratios to the noise.
        out["noise_sd"] = -(np.asarray(values["drift_rate"]) * partials["drift_rate"]
                            + np.asarray(values["boundary_separation"]) * partials["boundary_separation"]
                            + np.asarray(values["drift_rate_sd"]) * partials["drift_rate_sd"]) / np.asarray(values["noise_sd"])
        return log_f, {name: np.asarray(out[name]) for name in names}
    shape, columns, flags, times = _columns(model, choices, rts, params)
    if math.prod(shape) == 0:
        return np.empty(shape), {name: np.empty(shape) for name in names}
    differenced = [name for name in _differenced_names(model) if name in names]
    wanted = tuple(name in names and name not in differenced for name in ENGINE_ORDER)
    log_f, partials = _call(model, "logpdf_grad", flags, times, columns, wanted)
    by_name = dict(zip(ENGINE_ORDER, partials))
    gradients = {name: np.asarray(by_name[name]).reshape(shape) for name in names if name in by_name}
    for name in differenced:
        # Central differences: the user's function is a black box to the solver.
        value = columns[name]
        step = 1e-4 * np.maximum(1.0, np.abs(value))  # wide enough to step over the grid's rounding
        up = dict(columns, **{name: value + step})
        down = dict(columns, **{name: value - step})
        plus = np.asarray(_call(model, "logpdf", flags, times, up))
        minus = np.asarray(_call(model, "logpdf", flags, times, down))
        with np.errstate(invalid="ignore"):
            gradients[name] = ((plus - minus) / (2.0 * step)).reshape(shape)
    return np.asarray(log_f).reshape(shape), {name: gradients[name] for name in names}


def _gradient_names(model: ModelStructure, wrt: Optional[Sequence[str]]) -> list[str]:
    """The parameters whose partials are asked for, in the model's order (all by default)."""
    if wrt is None:
        return list(model.parameter_names)
    if isinstance(wrt, str):
        wrt = [wrt]
    unknown = [name for name in wrt if name not in model.parameter_names]
    if unknown:
        raise ValueError(f"{model!r} has no parameter {unknown[0]!r} to differentiate; its parameters are "
                         f"{', '.join(model.parameter_names)}")
    return [name for name in model.parameter_names if name in wrt]


def loglik(model: ModelStructure, choices: Any, rts: Any, params: Mapping[str, Any], contamination: float = 0.0) -> float:
    contamination = float(contamination)
    if not 0.0 <= contamination <= 1.0:
        raise ValueError(f"contamination must be in [0, 1], got {contamination!r}")
    chosen = {name: params[name] for name in model.parameter_names if name in params}
    rt_array = as_reals(rts, "rts")
    values = evaluate(model, "logpdf", choices, rt_array, chosen)
    if contamination > 0.0:
        longest = longest_response(rt_array)
        values = mixture_logpdf(values, np.broadcast_to(rt_array, values.shape), contamination, longest)
    return float(np.sum(values))


__all__ = ["evaluate", "evaluate_gradient", "loglik", "PARAMETER_NAMES"]
