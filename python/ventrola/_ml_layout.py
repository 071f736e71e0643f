"""The vector an optimizer moves: one entry per free parameter and level, on a scale of about 1.

A free parameter has one value for all trials, or one value per level of a design factor
(``codes`` gives each trial's level). The optimizer sees transformed coordinates ``x`` with box
bounds that keep every value valid; ``theta`` holds the same entries in the model's own units.

- drift rate and drift-rate variability in units of the noise;
- boundary separation as the log of its ratio to the noise;
- starting point as a logit over its room (narrowed by a fixed starting-point range);
- non-decision time as the log of its distance below a reference time: the fastest response
  of its trials when the model alone must explain every trial (the likelihood is zero beyond
  it), their median when lapses can explain the fastest ones;
- starting-point range as a fraction of its room, 2 min(w, 1 - w), over the starting points of
  its trials, so that no combination the optimizer tries is invalid;
- non-decision-time range and contamination in units of 0.1.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Optional, Union

import numpy as np
import numpy.typing as npt

from ._ml_model import ModelSpec

FloatArray = npt.NDArray[np.float64]
Value = Union[float, FloatArray]

DRIFT_LIMIT = 20.0  # |v| / s
LOG_BOUNDARY = (np.log(0.05), np.log(20.0))  # log(a / s)
LOGIT_LIMIT = 7.0  # starting point within 0.1 % of its room's ends
GAP_DECADES = 14.0  # t0 may come within exp(-14) of its reference
DRIFT_SD_LIMIT = 10.0  # sv / s
RANGE_FRACTION_LIMIT = 0.99  # of the starting point's room
TENTH = 0.1  # seconds per unit of st0, and the unit of the contamination weight
CONTAMINATION_LIMIT = 0.5
# A free contamination weight stays just above 0: with it, a trial faster than the
# non-decision time keeps a finite likelihood while the optimizer explores.
CONTAMINATION_FLOOR = 1e-6


@dataclass(frozen=True)
class Slot:
    """One free parameter: its entries start at ``start`` in the vector, one per level."""

    name: str
    start: int
    n_levels: int
    codes: Optional[npt.NDArray[np.intp]]

    @property
    def entries(self) -> slice:
        return slice(self.start, self.start + self.n_levels)

    def per_trial(self, values: FloatArray) -> Value:
        return float(values[0]) if self.codes is None else values[self.codes]

    def total(self, per_trial: FloatArray) -> FloatArray:
        """Sums a per-trial quantity over the trials of each level."""
        if self.codes is None:
            return np.array([per_trial.sum()])
        return np.asarray(np.bincount(self.codes, weights=per_trial, minlength=self.n_levels), dtype=np.float64)


Levels = Mapping[str, tuple[npt.NDArray[np.intp], int]]


class Layout:
    """Maps between the optimizer's coordinates and the parameter values of every trial."""

    def __init__(self, spec: ModelSpec, rts: FloatArray, levels: Levels) -> None:
        self.spec = spec
        self.noise = float(spec.fixed["noise_sd"])
        slots, start = [], 0
        for name in spec.free:
            codes, n_levels = levels.get(name, (None, 1))
            slots.append(Slot(name, start, n_levels, codes))
            start += n_levels
        self.slots = tuple(slots)
        self.size = start
        self.by_name = {slot.name: slot for slot in self.slots}
        self.max_rt = float(rts.max())
        self._gap_reference = self._reference_times(rts)
        self.start_room = self._starting_point_room()
        self._range_pairs = self._range_start_pairs()

    # -- the parameter values -------------------------------------------------------------

    def theta(self, x: FloatArray) -> FloatArray:
        theta = np.empty_like(x)
        for slot in self.slots:
            if slot.name != "starting_point_range":
                theta[slot.entries] = self._to_model(slot.name, x[slot.entries])
        if "starting_point_range" in self.by_name:
            entries = self.by_name["starting_point_range"].entries
            theta[entries] = x[entries] * 2.0 * self.range_room(theta)[0]
        return theta

    def x(self, theta: FloatArray) -> FloatArray:
        x = np.empty_like(theta)
        for slot in self.slots:
            if slot.name != "starting_point_range":
                x[slot.entries] = self._from_model(slot.name, theta[slot.entries])
        if "starting_point_range" in self.by_name:
            entries = self.by_name["starting_point_range"].entries
            x[entries] = theta[entries] / (2.0 * self.range_room(theta)[0])
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
            lower[slot.entries], upper[slot.entries] = self._bounds(slot.name, slot.n_levels)
        return list(zip(lower.tolist(), upper.tolist()))

    def clip(self, x: FloatArray) -> FloatArray:
        lower, upper = np.array(self.bounds()).T
        return np.clip(x, lower, upper)

    def x_gradient(self, x: FloatArray, theta: FloatArray, theta_gradient: FloatArray) -> FloatArray:
        """The chain rule from d/dtheta to d/dx."""
        gradient = theta_gradient * self.diagonal_jacobian(x, theta)
        if "starting_point_range" in self.by_name and "starting_point" in self.by_name:
            ranges = self.by_name["starting_point_range"].entries
            starts = self.by_name["starting_point"]
            _room, nearest_end = self.range_room(theta)
            w = theta[starts.entries]
            slope_room = np.where(w < 0.5, 1.0, -1.0)  # d min(w, 1 - w) / dw
            dw_dx = self._start_jacobian(w)
            for j, k in enumerate(nearest_end):
                gradient[starts.start + k] += (
                    theta_gradient[ranges][j] * 2.0 * x[ranges][j] * slope_room[k] * dw_dx[k]
                )
        return gradient

    def diagonal_jacobian(self, x: FloatArray, theta: FloatArray) -> FloatArray:
        """d theta_i / d x_i for every entry."""
        jacobian = np.empty_like(x)
        for slot in self.slots:
            part, values = x[slot.entries], theta[slot.entries]
            if slot.name in ("drift_rate", "drift_rate_sd"):
                jacobian[slot.entries] = self.noise
            elif slot.name == "boundary_separation":
                jacobian[slot.entries] = values
            elif slot.name == "starting_point":
                jacobian[slot.entries] = self._start_jacobian(values)
            elif slot.name == "non_decision_time":
                jacobian[slot.entries] = -np.exp(part)
            elif slot.name == "starting_point_range":
                jacobian[slot.entries] = 2.0 * self.range_room(theta)[0]
            else:
                jacobian[slot.entries] = TENTH
        return jacobian

    def gap_reference(self) -> FloatArray:
        return self._gap_reference

    # -- per parameter ---------------------------------------------------------------------

    def _to_model(self, name: str, x: FloatArray) -> FloatArray:
        if name in ("drift_rate", "drift_rate_sd"):
            return x * self.noise
        if name == "boundary_separation":
            return np.exp(x) * self.noise
        if name == "starting_point":
            low, high = self.start_room
            return low + (high - low) / (1.0 + np.exp(-x))
        if name == "non_decision_time":
            # At the bound x = log(reference) rounding could leave a time just below 0.
            return np.maximum(self._gap_reference - np.exp(x), 0.0)
        return x * TENTH

    def _from_model(self, name: str, theta: FloatArray) -> FloatArray:
        if name in ("drift_rate", "drift_rate_sd"):
            return theta / self.noise
        if name == "boundary_separation":
            return np.log(theta / self.noise)
        if name == "starting_point":
            low, high = self.start_room
            share = (theta - low) / (high - low)
            return np.log(share / (1.0 - share))
        if name == "non_decision_time":
            return np.log(self._gap_reference - theta)
        return theta / TENTH

    def _bounds(self, name: str, n: int) -> tuple[FloatArray, FloatArray]:
        def both(low: float, high: float) -> tuple[FloatArray, FloatArray]:
            return np.full(n, low), np.full(n, high)

        if name == "drift_rate":
            return both(-DRIFT_LIMIT, DRIFT_LIMIT)
        if name == "boundary_separation":
            return both(*LOG_BOUNDARY)
        if name == "starting_point":
            return both(-LOGIT_LIMIT, LOGIT_LIMIT)
        if name == "non_decision_time":
            top = np.log(self._gap_reference)
            return top - GAP_DECADES, top
        if name == "drift_rate_sd":
            return both(0.0, DRIFT_SD_LIMIT)
        if name == "starting_point_range":
            return both(0.0, RANGE_FRACTION_LIMIT)
        if name == "non_decision_time_range":
            return both(0.0, self.max_rt / TENTH)
        return both(CONTAMINATION_FLOOR / TENTH, CONTAMINATION_LIMIT / TENTH)

    def _start_jacobian(self, w: FloatArray) -> FloatArray:
        low, high = self.start_room
        return (w - low) * (high - w) / (high - low)

    # -- set-up ----------------------------------------------------------------------------

    def _reference_times(self, rts: FloatArray) -> FloatArray:
        slot = self.by_name.get("non_decision_time")
        if slot is None:
            return np.empty(0)
        reduce = np.median if self.spec.mixture else np.min
        if slot.codes is None:
            return np.array([float(reduce(rts))])
        return np.array([float(reduce(rts[slot.codes == level])) for level in range(slot.n_levels)])

    def _starting_point_room(self) -> tuple[float, float]:
        if "starting_point_range" in self.spec.fixed:
            half = float(self.spec.fixed["starting_point_range"]) / 2.0
            return half, 1.0 - half
        return 0.0, 1.0

    def _range_start_pairs(self) -> Optional[npt.NDArray[np.bool_]]:
        """Which starting-point levels share trials with each starting-point-range level."""
        ranges = self.by_name.get("starting_point_range")
        if ranges is None:
            return None
        starts = self.by_name.get("starting_point")
        n_starts = starts.n_levels if starts is not None else 1
        pairs = np.zeros((ranges.n_levels, n_starts), dtype=bool)
        range_codes = ranges.codes if ranges.codes is not None else 0
        start_codes = starts.codes if starts is not None and starts.codes is not None else 0
        pairs[range_codes, start_codes] = True
        return pairs

    def range_room(self, theta: FloatArray) -> tuple[FloatArray, npt.NDArray[np.intp]]:
        """Half the largest valid starting-point range of each level, and which start level limits it."""
        assert self._range_pairs is not None
        starts = self.by_name.get("starting_point")
        if starts is not None:
            w = theta[starts.entries]
        else:
            w = np.array([float(self.spec.fixed["starting_point"])])
        room = np.where(self._range_pairs, np.minimum(w, 1.0 - w)[None, :], np.inf)
        nearest_end = np.argmin(room, axis=1)
        return room[np.arange(len(room)), nearest_end], nearest_end
