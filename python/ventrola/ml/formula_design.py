"""A free parameter described by a formula: its entries in the optimizer's vector are the
coefficients of its linear predictor.

Each trial's value is the inverse link of ``X beta`` (:mod:`ventrola.formulas`), so the
gradient with respect to the coefficients is the chain rule through the design matrix:
``X^T (d log L / d value * d value / d eta)``. The coefficients are the optimizer's coordinates
as they are (unbounded: every value of the linear predictor is valid on its link scale); a start
is the parameter's usual start put on the link scale and spread over the coefficients by least
squares, so that every trial starts from the same value.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from ventrola.formulas import Link, ParameterFormula, coefficient_label, link_of, parse_formulas

from .model_spec import ModelSpec
from .transforms import Surroundings, Transform
from .trial_summary import LevelSummary

FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True)
class RegressionSlot:
    """One free parameter with a formula: its coefficients start at ``start`` in the vector."""

    name: str
    start: int
    formula: ParameterFormula
    transform: Transform  # the parameter's own: where its starts lie and how they are clipped
    around: Surroundings
    trials: LevelSummary
    codes: None = None

    @property
    def n_levels(self) -> int:
        """The number of entries (coefficients), as a factor's slot counts its levels."""
        return self.formula.n_coefficients

    @property
    def entries(self) -> slice:
        return slice(self.start, self.start + self.n_levels)

    def per_trial(self, coefficients: FloatArray) -> FloatArray:
        return self.formula.values(coefficients)[0]

    def total(self, per_trial: FloatArray, coefficients: Any = None) -> FloatArray:
        """d log L / d coefficients from d log L / d value of each trial."""
        _values, slope = self.formula.values(coefficients)
        return np.asarray(self.formula.common.T @ (per_trial * slope), dtype=np.float64)

    def coefficients_from(self, value: FloatArray) -> FloatArray:
        """Coefficients that give every trial ``value`` (its first entry), clipped as a start is."""
        clipped = self.transform.clip_start(np.asarray(value, dtype=np.float64).reshape(-1)[:1], self.around)
        return self.formula.start(clipped)

    def entry_names(self) -> list[str]:
        return [coefficient_label(self.name, term) for term in self.formula.names]


def is_regression(slot: Any) -> bool:
    return isinstance(slot, RegressionSlot)


def ml_formulas(formulas: Optional[Mapping[str, str]], data: Any, n_trials: int, spec: ModelSpec) -> dict[str, ParameterFormula]:
    """The formulas of a maximum-likelihood fit read against the trials' covariates: common
    terms only, the starting point's logit onto the room a fixed starting-point range leaves it."""
    if not formulas:
        return {}
    links: dict[str, Link] = {}
    if "starting_point" in formulas:
        if "starting_point_range" in spec.free:
            raise ValueError("starting_point cannot have a formula while starting_point_range is free (the range "
                             "must fit around every trial's starting point): fix starting_point_range")
        half = float(spec.fixed.get("starting_point_range", 0.0)) / 2.0
        links["starting_point"] = link_of("starting_point", half, 1.0 - half)
    return parse_formulas(formulas, data, n_trials, allow_groups=False, links=links)
