"""Where the optimizer may start: a given guess, the EZ estimate, and a few fixed spreads.

All are deterministic functions of the data. Each is a full vector of parameter values; the
fit evaluates the likelihood at every one and optimizes from the best.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from _ventrola import VentrolaError, fit_ez

from ._ml_layout import Layout, Slot

FloatArray = npt.NDArray[np.float64]

# (drift rate, boundary separation, non-decision time as a fraction of the fastest response),
# in units of the noise; the drift's sign follows the accuracy. They bracket the usual range.
SPREAD = ((1.0, 1.5, 0.7), (2.5, 1.0, 0.85), (0.5, 2.5, 0.4))
DRIFT_SD_START = 0.5  # in units of the noise: at 0 its partial derivative vanishes
RANGE_FRACTION_START = 0.3  # of the starting point's room
NON_DECISION_RANGE_START = 0.05  # seconds
CONTAMINATION_START = 0.02
T0_SHARE_CAP = 0.9  # a start keeps the non-decision time below 90 % of the fastest response


def candidate_starts(
    layout: Layout,
    choices: npt.NDArray[np.bool_],
    rts: FloatArray,
    guess: Optional[Mapping[str, Any]],
) -> list[FloatArray]:
    """Parameter vectors (model units) to try, in order: the guess, EZ, the spreads."""
    levels = {slot.name: _level_trials(slot, len(rts)) for slot in layout.slots}
    fastest = {name: np.array([rts[rows].min() for rows in trials]) for name, trials in levels.items()}
    upper_share = {name: np.array([choices[rows].mean() for rows in trials]) for name, trials in levels.items()}
    common = _common_values(layout)
    ez = _ez_values(layout, choices, rts, levels)
    starts = []
    if guess is not None:
        base = ez if ez is not None else _spread_values(layout, SPREAD[0], upper_share, fastest)
        starts.append(_vector(layout, {**base, **common, **_guess_values(layout, guess)}, fastest))
    if ez is not None:
        starts.append(_vector(layout, {**ez, **common}, fastest))
    for spread in SPREAD:
        starts.append(_vector(layout, {**_spread_values(layout, spread, upper_share, fastest), **common}, fastest))
    return starts


def _level_trials(slot: Slot, n: int) -> list[Any]:
    if slot.codes is None:
        return [slice(0, n)]
    return [slot.codes == level for level in range(slot.n_levels)]


def _ez_values(
    layout: Layout, choices: npt.NDArray[np.bool_], rts: FloatArray, levels: Mapping[str, list[Any]]
) -> Optional[dict[str, FloatArray]]:
    """EZ estimates of the drift rate, boundary and non-decision time, per level of each; None
    when the data as a whole have none (chance accuracy, too few responses...)."""
    overall = _ez(choices, rts)
    if overall is None:
        return None
    values: dict[str, FloatArray] = {}
    for name in ("drift_rate", "boundary_separation", "non_decision_time"):
        if name not in layout.by_name:
            continue
        estimates = []
        for rows in levels[name]:
            level = _ez(choices[rows], rts[rows]) if layout.by_name[name].codes is not None else overall
            estimates.append((level or overall)[name])
        values[name] = np.array(estimates)
    noise = layout.noise
    for name in ("drift_rate", "boundary_separation"):
        if name in values:
            values[name] = values[name] * noise
    return values


def _ez(choices: npt.NDArray[np.bool_], rts: FloatArray) -> Optional[dict[str, float]]:
    try:
        estimate = fit_ez(np.ascontiguousarray(choices), np.ascontiguousarray(rts))
    except (VentrolaError, ValueError):
        return None
    if not all(np.isfinite(list(estimate.values()))):
        return None
    return estimate


def _spread_values(
    layout: Layout,
    spread: tuple[float, float, float],
    upper_share: Mapping[str, FloatArray],
    fastest: Mapping[str, FloatArray],
) -> dict[str, FloatArray]:
    drift, boundary, t0_share = spread
    values = {}
    if "drift_rate" in layout.by_name:
        values["drift_rate"] = np.where(upper_share["drift_rate"] >= 0.5, drift, -drift) * layout.noise
    if "boundary_separation" in layout.by_name:
        values["boundary_separation"] = np.full(layout.by_name["boundary_separation"].n_levels, boundary * layout.noise)
    if "non_decision_time" in layout.by_name:
        values["non_decision_time"] = t0_share * fastest["non_decision_time"]
    return values


def _common_values(layout: Layout) -> dict[str, FloatArray]:
    """Starts of the parameters the spreads leave alone."""
    values = {}
    for slot in layout.slots:
        if slot.name == "starting_point":
            values[slot.name] = np.full(slot.n_levels, 0.5)
        elif slot.name == "drift_rate_sd":
            values[slot.name] = np.full(slot.n_levels, DRIFT_SD_START * layout.noise)
        elif slot.name == "non_decision_time_range":
            values[slot.name] = np.full(slot.n_levels, NON_DECISION_RANGE_START)
        elif slot.name == "contamination":
            weight = layout.spec.contamination if layout.spec.contamination > 0.0 else CONTAMINATION_START
            values[slot.name] = np.array([weight])
    return values


def _guess_values(layout: Layout, guess: Mapping[str, Any]) -> dict[str, FloatArray]:
    """The guess's values of the free parameters (other keys, such as a fit's loglik, are ignored)."""
    values = {}
    for slot in layout.slots:
        if slot.name in guess:
            try:
                value = float(guess[slot.name])
            except (TypeError, ValueError):
                raise ValueError(f"initial_guess[{slot.name!r}] must be a number, not {guess[slot.name]!r}") from None
            if not np.isfinite(value):
                raise ValueError(f"initial_guess[{slot.name!r}] must be finite, not {value!r}")
            values[slot.name] = np.full(slot.n_levels, value)
    return values


def _vector(layout: Layout, values: Mapping[str, FloatArray], fastest: Mapping[str, FloatArray]) -> FloatArray:
    """The optimizer's coordinates of a start, moved inside the bounds where needed."""
    theta = np.zeros(layout.size)
    for slot in layout.slots:
        if slot.name in values:
            theta[slot.entries] = values[slot.name]
    if "non_decision_time" in layout.by_name:
        entries = layout.by_name["non_decision_time"].entries
        theta[entries] = np.clip(theta[entries], 0.0, T0_SHARE_CAP * fastest["non_decision_time"])
    if "starting_point" in layout.by_name:
        low, high = layout.start_room
        entries = layout.by_name["starting_point"].entries
        margin = 1e-3 * (high - low)
        theta[entries] = np.clip(theta[entries], low + margin, high - margin)
    if "boundary_separation" in layout.by_name:
        entries = layout.by_name["boundary_separation"].entries
        theta[entries] = np.maximum(theta[entries], 1e-3 * layout.noise)
    for name in ("drift_rate_sd", "non_decision_time_range", "contamination"):
        if name in layout.by_name:
            entries = layout.by_name[name].entries
            theta[entries] = np.maximum(theta[entries], 0.0)
    if "starting_point_range" in layout.by_name:
        # Relative to the room the starting point leaves it, which the clipping below keeps valid.
        entries = layout.by_name["starting_point_range"].entries
        room = 2.0 * layout.range_room(theta)[0]
        theta[entries] = values.get("starting_point_range", RANGE_FRACTION_START * room)
    return layout.clip(layout.x(theta))
