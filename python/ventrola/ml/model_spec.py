"""Which parameters a maximum-likelihood fit estimates and the values of the others.

The names are the dictionary keys every fit returns, as the parameter table
(:mod:`ventrola.parameters`) declares them. ``noise_sd`` sets the units of the drift rate, the
boundary separation and the drift-rate variability, so it is only ever fixed; ``contamination``
is the weight of the lapse component of the mixture. A generalized model (:class:`ventrola.DDM`)
adds its families' parameters (and its own functions'), free by default.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any, Optional, Union

from ventrola import parameters
from ventrola.models import DDM, as_model
from ventrola.parameters import DEFAULT_FREE, Fit


def result_parameters(model: Optional[DDM] = None) -> tuple[str, ...]:
    """The model's parameters every fit reports: the density's, the noise scale, then those of a
    generalized model's families and functions."""
    if model is None or model.is_standard:
        return (*parameters.table().density_names(), "noise_sd")
    return model.parameter_names


def estimable_names(model: DDM) -> tuple[str, ...]:
    """What a fit of the model can estimate: the table's (with the model's families') in table
    order, then the parameters of the user's functions."""
    return (*parameters.table().estimable(families=model.families), *model.custom_names)


def fit_of(name: str, model: DDM) -> Fit:
    """How a fit moves the parameter: its table entry's way, or for a parameter of a user's
    function the identity, starting at the function's default (0 without one)."""
    entry = parameters.table().by_name.get(name)
    if entry is not None and entry.fit is not None:
        return entry.fit
    return Fit("identity", start=model.defaults.get(name, 0.0))


@dataclass(frozen=True)
class ModelSpec:
    """The free parameters (in table order) and a value for every other one."""

    free: tuple[str, ...]
    fixed: Mapping[str, float]
    contamination: float  # the fixed weight, or where its estimate starts when free
    model: DDM = field(default_factory=DDM)

    @property
    def names(self) -> tuple[str, ...]:
        """The model's parameters a fit reports."""
        return result_parameters(self.model)

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
    model: Optional[DDM] = None,
) -> ModelSpec:
    """Checks the names and values a user gave; ValueError says what is wrong. Parameters with a
    formula (``with_formulas``) are estimated whether ``free`` names them or not."""
    try:
        model = as_model(model)
    except TypeError as error:
        raise ValueError(str(error)) from None
    names = _free_names(free, model)
    names += [name for name in with_formulas if name not in names and isinstance(name, str)]
    values = _fixed_values(fixed, model)
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
    known = result_parameters(model)
    defaults = parameters.table().defaults() if model.is_standard else model.defaults
    settled = {name: value for name, value in defaults.items() if name not in names and name in known}
    settled.update(values)
    for name in known:
        if name not in names and name not in settled:
            raise ValueError(f"{name!r} has no default: make it free or give it in fixed")
    parameters.check_values({name: value for name, value in settled.items() if name in parameters.table()},
                            prefix="fixed ")
    ordered = tuple(name for name in estimable_names(model) if name in names)
    return ModelSpec(ordered, settled, weight, model)


def _free_names(free: Union[str, Iterable[str], None], model: DDM) -> list[str]:
    if free is None:
        # The standard three and everything the model's families and functions add.
        return [*DEFAULT_FREE, *(name for name in model.parameter_names if name not in result_parameters())]
    names = [free] if isinstance(free, str) else list(free)
    estimable = estimable_names(model)
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
            raise ValueError(_not_of_model(name, model, "free", estimable))
        if name in seen:
            raise ValueError(f"free names {name!r} more than once")
        seen.add(name)
    if not names:
        raise ValueError("free names no parameter: there is nothing to estimate")
    return names


def _not_of_model(name: str, model: DDM, where: str, known: Iterable[str]) -> str:
    """Refuses a name: a family parameter of another model says which families have it."""
    entry = parameters.table().by_name.get(name)
    if entry is not None and entry.families is not None:
        return (f"{name!r} in {where} is a parameter of the {' and '.join(entry.families)} families, which "
                f"{model!r} does not use (choose from {', '.join(known)}; pass model=ventrola.DDM(...) with one "
                "of those families)")
    return f"unknown parameter {name!r} in {where} (choose from {', '.join(known)})"


def _fixed_values(fixed: Optional[Mapping[str, Any]], model: DDM) -> dict[str, float]:
    if fixed is None:
        return {}
    if not isinstance(fixed, Mapping):
        raise ValueError(f"fixed must be a dict of parameter values, not {type(fixed).__name__}")
    known = result_parameters(model)
    values = {}
    for name, value in fixed.items():
        if name == "contamination":
            raise ValueError("give the contamination weight as contamination=..., not in fixed")
        if name not in known:
            raise ValueError(_not_of_model(name, model, "fixed", known))
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
