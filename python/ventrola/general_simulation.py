"""Trials of any :class:`ventrola.DDM` by steps of ``dt`` seconds.

The compiled stepper tabulates the bound and the drift once per call and steps each trial with the
free process's exact one-step law (the drift's mean shift and the leak's decay over the step, the
noise's spread), checking the bounds at each step's end as Euler's method does and between the
ends by the Brownian bridge, which removes the first-order bias of a path slipping past a bound
within a step. Trial i reads only its own random stream of ``seed`` (the streams of
:func:`ventrola.simulate_ddm`), so results do not depend on the number of threads and a run is
the prefix of any longer run.
"""

from __future__ import annotations

import operator
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from ventrola import _engine
from ventrola.general_likelihood import ENGINE_ORDER, PLACEHOLDERS, TABLE_STEP, ModelStructure



def _scalar(name: str, value: Any) -> float:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a number, not {value!r}")
    try:
        return float(operator.index(value)) if isinstance(value, (int, np.integer)) else float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}") from None


def simulate_model(model: ModelStructure, n: int, seed: int, *, dt: float, max_time: float,
                   params: Mapping[str, Any]) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64], int]:
    values = model.parameters_with_defaults(params)
    numbers = {name: _scalar(name, value) for name, value in values.items()}
    bound, drift = model.engine_families()
    tables: list[Any] = [None, 0.0, None, 0.0]
    if model.custom_functions:
        times = np.arange(0.0, float(max_time) + dt, max(float(dt), TABLE_STEP))
        for custom in model.custom_functions:
            table = np.ascontiguousarray(custom.tabulate(times, numbers))
            position = 0 if custom.role == "bound" else 2
            tables[position] = table
            tables[position + 1] = float(times[1] - times[0])
    spec = (bound, drift, model.leak, *tables)
    engine_values = tuple(numbers.get(name, PLACEHOLDERS.get(name, 0.0)) for name in ENGINE_ORDER)
    return _engine.general_simulate(spec, n, seed, engine_values, float(dt), float(max_time))
