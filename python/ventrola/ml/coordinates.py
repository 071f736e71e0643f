"""The vector an optimizer moves: one entry per free parameter and level, on a scale of about 1.

A free parameter has one value for all trials, or one value per level of a design factor
(``codes`` gives each trial's level). The optimizer sees transformed coordinates ``x`` with box
bounds that keep every value valid; ``theta`` holds the same entries in the model's own units.
Each parameter's map is the transform its table entry names (:mod:`ventrola.ml.transforms`).

A free parameter with a formula has one entry per coefficient of its linear predictor
(:mod:`ventrola.ml.formula_design`); its coordinates are the coefficients themselves.

The starting-point range is the one parameter whose room depends on another: it is a fraction
of 2 min(w, 1 - w) over the starting points of its trials, so that no combination the optimizer
tries is invalid, and its map couples the two.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

from ventrola.formulas import ParameterFormula

from .formula_design import RegressionSlot, is_regression
from .model_spec import ModelSpec, fit_of
from .transforms import FractionOfRoom, Surroundings, Transform, transform_of
from .trial_summary import LevelSummary, TrialSummary

FloatArray = npt.NDArray[np.float64]
Value = Union[float, FloatArray]

RANGE = "starting_point_range"
START = "starting_point"


@dataclass(frozen=True)
class Slot:
    """One free parameter: its entries start at ``start`` in the vector, one per level."""

    name: str
    start: int
    n_levels: int
    codes: Optional[npt.NDArray[np.intp]]
    transform: Transform
    around: Surroundings
    trials: LevelSummary

    @property
    def entries(self) -> slice:
        return slice(self.start, self.start + self.n_levels)

    def per_trial(self, values: FloatArray) -> Value:
        return float(values[0]) if self.codes is None else values[self.codes]

    def total(self, per_trial: FloatArray, entries: Any = None) -> FloatArray:
        """Sums a per-trial quantity over the trials of each level."""
        if self.codes is None:
            return np.array([per_trial.sum()])
        return np.asarray(np.bincount(self.codes, weights=per_trial, minlength=self.n_levels), dtype=np.float64)


Levels = Mapping[str, tuple[npt.NDArray[np.intp], int]]
Regressions = Mapping[str, ParameterFormula]
AnySlot = Union[Slot, RegressionSlot]


class Layout:
    """Maps between the optimizer's coordinates and the parameter values of every trial."""

    def __init__(self, spec: ModelSpec, trials: TrialSummary, levels: Levels, regressions: Optional[Regressions] = None) -> None:
        self.spec = spec
        self.noise = float(spec.fixed["noise_sd"])
        self.start_room = self._starting_point_room()
        regressions = regressions or {}
        slots: list[AnySlot] = []
        start = 0
        for name in spec.free:
            codes, n_levels = levels.get(name, (None, 1))
            summary = trials.levels(codes, n_levels)
            reference = summary.median if spec.mixture else summary.fastest
            around = Surroundings(self.noise, n_levels, trials.slowest, summary.fastest, reference, self.start_room)
            fit = fit_of(name, spec.model)
            if name in regressions:
                slot: AnySlot = RegressionSlot(name, start, regressions[name], transform_of(fit), around, summary)
            else:
                slot = Slot(name, start, n_levels, codes, transform_of(fit), around, summary)
            slots.append(slot)
            start += slot.n_levels
        self.slots = tuple(slots)
        self.size = start
        self.by_name = {slot.name: slot for slot in self.slots}
        self._range_pairs = self._range_start_pairs()

    # -- the parameter values -------------------------------------------------------------

    def theta(self, x: FloatArray) -> FloatArray:
        theta = x.copy()
        for slot in self._direct_slots():
            theta[slot.entries] = slot.transform.to_model(x[slot.entries], slot.around)
        if RANGE in self.by_name:
            entries = self.by_name[RANGE].entries
            theta[entries] = self._range_transform().to_room(x[entries], 2.0 * self.range_room(theta)[0])
        return theta

    def x(self, theta: FloatArray) -> FloatArray:
        x = theta.copy()
        for slot in self._direct_slots():
            x[slot.entries] = slot.transform.from_model(theta[slot.entries], slot.around)
        if RANGE in self.by_name:
            entries = self.by_name[RANGE].entries
            x[entries] = self._range_transform().from_room(theta[entries], 2.0 * self.range_room(theta)[0])
        return x

    def values(self, theta: FloatArray) -> tuple[dict[str, Value], float]:
        """Every model parameter (a number, or one value per trial) and the contamination weight."""
        values: dict[str, Value] = dict(self.spec.fixed)
        contamination = self.spec.contamination
        for slot in self.slots:
            if slot.name == "contamination":
                contamination = float(theta[slot.start])
            else:
                values[slot.name] = slot.per_trial(theta[slot.entries])
        return values, contamination

    def bounds(self) -> list[tuple[float, float]]:
        lower, upper = np.empty(self.size), np.empty(self.size)
        for slot in self.slots:
            if is_regression(slot):
                lower[slot.entries], upper[slot.entries] = -np.inf, np.inf
                continue
            lower[slot.entries], upper[slot.entries] = slot.transform.bounds(slot.around)
        return list(zip(lower.tolist(), upper.tolist()))

    def clip(self, x: FloatArray) -> FloatArray:
        lower, upper = np.array(self.bounds()).T
        return np.clip(x, lower, upper)

    def x_gradient(self, x: FloatArray, theta: FloatArray, theta_gradient: FloatArray) -> FloatArray:
        """The chain rule from d/dtheta to d/dx."""
        gradient = theta_gradient * self.diagonal_jacobian(x, theta)
        if RANGE in self.by_name and START in self.by_name:
            ranges = self.by_name[RANGE].entries
            starts = self.by_name[START]
            _room, nearest_end = self.range_room(theta)
            w = theta[starts.entries]
            slope_room = np.where(w < 0.5, 1.0, -1.0)  # d min(w, 1 - w) / dw
            dw_dx = starts.transform.jacobian(x[starts.entries], w, starts.around)
            for j, k in enumerate(nearest_end):
                gradient[starts.start + k] += (
                    theta_gradient[ranges][j] * 2.0 * x[ranges][j] * slope_room[k] * dw_dx[k]
                )
        return gradient

    def diagonal_jacobian(self, x: FloatArray, theta: FloatArray) -> FloatArray:
        """d theta_i / d x_i for every entry."""
        jacobian = np.ones_like(x)
        for slot in self._direct_slots():
            jacobian[slot.entries] = slot.transform.jacobian(x[slot.entries], theta[slot.entries], slot.around)
        if RANGE in self.by_name:
            jacobian[self.by_name[RANGE].entries] = 2.0 * self.range_room(theta)[0]
        return jacobian

    # -- set-up ----------------------------------------------------------------------------

    def _direct_slots(self) -> list[Slot]:
        """The slots whose entries map one by one through their transform."""
        return [slot for slot in self.slots if slot.name != RANGE and isinstance(slot, Slot)]

    def regression_slots(self) -> list[RegressionSlot]:
        return [slot for slot in self.slots if isinstance(slot, RegressionSlot)]

    def _range_transform(self) -> FractionOfRoom:
        transform = self.by_name[RANGE].transform
        assert isinstance(transform, FractionOfRoom)
        return transform

    def _starting_point_room(self) -> tuple[float, float]:
        if RANGE in self.spec.fixed:
            half = float(self.spec.fixed[RANGE]) / 2.0
            return half, 1.0 - half
        return 0.0, 1.0

    def _range_start_pairs(self) -> Optional[npt.NDArray[np.bool_]]:
        """Which starting-point levels share trials with each starting-point-range level."""
        ranges = self.by_name.get(RANGE)
        if ranges is None:
            return None
        starts = self.by_name.get(START)
        n_starts = starts.n_levels if starts is not None else 1
        pairs = np.zeros((ranges.n_levels, n_starts), dtype=bool)
        range_codes = ranges.codes if ranges.codes is not None else 0
        start_codes = starts.codes if starts is not None and starts.codes is not None else 0
        pairs[range_codes, start_codes] = True
        return pairs

    def range_room(self, theta: FloatArray) -> tuple[FloatArray, npt.NDArray[np.intp]]:
        """Half the largest valid starting-point range of each level, and which start level limits it."""
        assert self._range_pairs is not None
        starts = self.by_name.get(START)
        if starts is not None:
            w = theta[starts.entries]
        else:
            w = np.array([float(self.spec.fixed[START])])
        room = np.where(self._range_pairs, np.minimum(w, 1.0 - w)[None, :], np.inf)
        nearest_end = np.argmin(room, axis=1)
        return room[np.arange(len(room)), nearest_end], nearest_end
