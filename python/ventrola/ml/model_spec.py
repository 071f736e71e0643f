"""Which parameters a maximum-likelihood fit estimates and the values of the others.

The names are the dictionary keys every fit returns, as the parameter table
(:mod:`ventrola.parameters`) declares them. ``noise_sd`` sets the units of the drift rate, the
boundary separation and the drift-rate variability, so it is only ever fixed; ``contamination``
is the weight of the lapse component of the mixture.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Optional, Union

from ventrola import parameters
from ventrola.parameters import DEFAULT_FREE


def result_parameters() -> tuple[str, ...]:
    """The model's parameters every fit reports: the density's and the noise scale."""
    return (*parameters.table().density_names(), "noise_sd")


@dataclass(frozen=True)
class ModelSpec:
    """The free parameters (in table order) and a value for every other one."""

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
    with_formulas: Iterable[str] = (),
) -> ModelSpec:
    """Checks the names and values a user gave; ValueError says what is wrong. Parameters with a
    formula (``with_formulas``) are estimated whether ``free`` names them or not."""
    names = _free_names(free)
    names += [name for name in with_formulas if name not in names and isinstance(name, str)]
    values = _fixed_values(fixed)
    for name in with_formulas:
        if name in values:
            raise ValueError(f"{name!r} has a formula, so it is estimated: leave it out of fixed")
    both = [name for name in names if name in values]
    if both:
        raise ValueError(f"{both[0]!r} is both free and fixed; name it in one of them")
    weight = _number("contamination", contamination)
    lapse = parameters.table()["contamination"]
    if not lapse.domain.contains(weight):
        raise ValueError(f"contamination must {lapse.requirement}, not {weight!r}")
    settled = {name: value for name, value in parameters.table().defaults().items() if name not in names}
    settled.update(values)
    for name in result_parameters():
        if name not in names and name not in settled:
            raise ValueError(f"{name!r} has no default: make it free or give it in fixed")
    parameters.check_values(settled, prefix="fixed ")
    ordered = tuple(name for name in parameters.table().estimable() if name in names)
    return ModelSpec(ordered, settled, weight)


def _free_names(free: Union[str, Iterable[str], None]) -> list[str]:
    if free is None:
        return list(DEFAULT_FREE)
    names = [free] if isinstance(free, str) else list(free)
    estimable = parameters.table().estimable()
    seen: set[str] = set()
    for name in names:
        if not isinstance(name, str):
            raise ValueError(f"free must hold parameter names, found {name!r}")
        if name == "noise_sd":
            raise ValueError(
                "noise_sd cannot be free: it sets the units of drift_rate, boundary_separation and "
                "drift_rate_sd; give it in fixed instead"
            )
        if name not in estimable:
            raise ValueError(f"unknown parameter {name!r} in free (choose from {', '.join(estimable)})")
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
    known = result_parameters()
    values = {}
    for name, value in fixed.items():
        if name == "contamination":
            raise ValueError("give the contamination weight as contamination=..., not in fixed")
        if name not in known:
            raise ValueError(f"unknown parameter {name!r} in fixed (choose from {', '.join(known)})")
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
