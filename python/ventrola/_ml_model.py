"""Which parameters a maximum-likelihood fit estimates and the values of the others.

The names are the dictionary keys every fit returns. ``noise_sd`` sets the units of the drift
rate, the boundary separation and the drift-rate variability, so it is only ever fixed;
``contamination`` is the weight of the lapse component of the mixture.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Optional, Union

from .likelihood import DEFAULTS, PARAMETER_NAMES

MODEL_PARAMETERS = PARAMETER_NAMES
RESULT_PARAMETERS = (*MODEL_PARAMETERS, "noise_sd")
ESTIMABLE = (*MODEL_PARAMETERS, "contamination")
DEFAULT_FREE = ("drift_rate", "boundary_separation", "non_decision_time")

_RANGE_TEXT = {
    "drift_rate": "finite",
    "boundary_separation": "> 0",
    "starting_point": "strictly between 0 and 1",
    "non_decision_time": ">= 0",
    "drift_rate_sd": ">= 0",
    "starting_point_range": ">= 0 with starting_point_range/2 < min(starting_point, 1 - starting_point)",
    "non_decision_time_range": ">= 0",
    "noise_sd": "> 0",
}


@dataclass(frozen=True)
class ModelSpec:
    """The free parameters (in ``ESTIMABLE`` order) and a value for every other one."""

    free: tuple[str, ...]
    fixed: Mapping[str, float]
    contamination: float  # the fixed weight, or where its estimate starts when free

    @property
    def contamination_free(self) -> bool:
        return "contamination" in self.free

    @property
    def mixture(self) -> bool:
        """Whether the lapse component can carry any weight."""
        return self.contamination_free or self.contamination > 0.0


def model_spec(
    free: Union[str, Iterable[str], None],
    fixed: Optional[Mapping[str, Any]],
    contamination: Any,
) -> ModelSpec:
    """Checks the names and values a user gave; ValueError says what is wrong."""
    names = _free_names(free)
    values = _fixed_values(fixed)
    both = [name for name in names if name in values]
    if both:
        raise ValueError(f"{both[0]!r} is both free and fixed; name it in one of them")
    weight = _number("contamination", contamination)
    if not 0.0 <= weight < 1.0:
        raise ValueError(f"contamination must be >= 0 and < 1, not {weight!r}")
    settled = {name: value for name, value in DEFAULTS.items() if name not in names}
    settled.update(values)
    for name in ("drift_rate", "boundary_separation"):
        if name not in names and name not in settled:
            raise ValueError(f"{name!r} has no default: make it free or give it in fixed")
    _check_fixed_ranges(settled)
    ordered = tuple(name for name in ESTIMABLE if name in names)
    return ModelSpec(ordered, settled, weight)


def _free_names(free: Union[str, Iterable[str], None]) -> list[str]:
    if free is None:
        return list(DEFAULT_FREE)
    names = [free] if isinstance(free, str) else list(free)
    seen: set[str] = set()
    for name in names:
        if not isinstance(name, str):
            raise ValueError(f"free must hold parameter names, found {name!r}")
        if name == "noise_sd":
            raise ValueError(
                "noise_sd cannot be free: it sets the units of drift_rate, boundary_separation and "
                "drift_rate_sd; give it in fixed instead"
            )
        if name not in ESTIMABLE:
            raise ValueError(f"unknown parameter {name!r} in free (choose from {', '.join(ESTIMABLE)})")
        if name in seen:
            raise ValueError(f"free names {name!r} more than once")
        seen.add(name)
    if not names:
        raise ValueError("free names no parameter: there is nothing to estimate")
    return names


def _fixed_values(fixed: Optional[Mapping[str, Any]]) -> dict[str, float]:
    if fixed is None:
        return {}
    if not isinstance(fixed, Mapping):
        raise ValueError(f"fixed must be a dict of parameter values, not {type(fixed).__name__}")
    values = {}
    for name, value in fixed.items():
        if name == "contamination":
            raise ValueError("give the contamination weight as contamination=..., not in fixed")
        if name not in RESULT_PARAMETERS:
            raise ValueError(f"unknown parameter {name!r} in fixed (choose from {', '.join(RESULT_PARAMETERS)})")
        values[name] = _number(name, value)
    return values


def _number(name: str, value: Any) -> float:
    if isinstance(value, bool):
        raise ValueError(f"{name} must be a number, not {value!r}")
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, not {value!r}") from None
    if math.isnan(number):
        raise ValueError(f"{name} must be a number, not NaN")
    return number


def _check_fixed_ranges(values: Mapping[str, float]) -> None:
    checks = {
        "drift_rate": lambda v: math.isfinite(v),
        "boundary_separation": lambda a: 0.0 < a < math.inf,
        "starting_point": lambda w: 0.0 < w < 1.0,
        "non_decision_time": lambda t0: 0.0 <= t0 < math.inf,
        "drift_rate_sd": lambda sv: 0.0 <= sv < math.inf,
        "starting_point_range": lambda sz: 0.0 <= sz < 1.0,
        "non_decision_time_range": lambda st0: 0.0 <= st0 < math.inf,
        "noise_sd": lambda s: 0.0 < s < math.inf,
    }
    for name, value in values.items():
        if not checks[name](value):
            raise ValueError(f"fixed {name} must be {_RANGE_TEXT[name]}, not {value!r}")
    if "starting_point" in values and "starting_point_range" in values:
        w, sz = values["starting_point"], values["starting_point_range"]
        if not sz / 2.0 < min(w, 1.0 - w):
            raise ValueError(
                f"fixed starting_point_range must be {_RANGE_TEXT['starting_point_range']}, "
                f"not {sz!r} with starting_point {w!r}"
            )
