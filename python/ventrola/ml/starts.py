"""Where the optimizer may start: a given guess, the EZ estimate, and a few fixed spreads.

All are deterministic functions of the data. Each is a full vector of parameter values; the
fit evaluates the likelihood at every one and optimizes from the best. The drift rate, the
boundary separation and the non-decision time start from the data; every other parameter from
the start its table entry gives (the contamination weight from the one the caller gave).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from _ventrola import VentrolaError, fit_ez

from .coordinates import RANGE, Layout
from .formula_design import is_regression

FloatArray = npt.NDArray[np.float64]

# (drift rate, boundary separation, non-decision time as a fraction of the fastest response),
# in units of the noise; the drift's sign follows the accuracy. They bracket the usual range.
SPREAD = ((1.0, 1.5, 0.7), (2.5, 1.0, 0.85), (0.5, 2.5, 0.4))
FROM_DATA = ("drift_rate", "boundary_separation", "non_decision_time")
# A generalized model's EZ start is also tried with the non-decision time at this share of the fastest response.
GENERAL_T0_SHARE = 0.85


def candidate_starts(
    layout: Layout,
    choices: npt.NDArray[np.bool_],
    rts: FloatArray,
    guess: Optional[Mapping[str, Any]],
) -> list[FloatArray]:
    """Parameter vectors (the optimizer's coordinates) to try, in order: the guess, EZ, the spreads."""
    common = _common_values(layout)
    ez = _ez_values(layout, choices, rts)
    bases: list[dict[str, FloatArray]] = []
    guessed: dict[str, FloatArray] = {}
    if guess is not None:
        base = ez if ez is not None else _spread_values(layout, SPREAD[0])
        guessed = _guess_values(layout, guess)
        bases.append({**base, **common, **guessed})
    if ez is not None:
        bases.append({**ez, **common})
        if not layout.spec.model.is_standard and "non_decision_time" in layout.by_name:
            # A collapse or an early activation shapes the fastest responses, which EZ's constant
            # bound reads as a short non-decision time: try it just below the fastest as well.
            slot = layout.by_name["non_decision_time"]
            bases.append({**ez, **common, "non_decision_time": GENERAL_T0_SHARE * slot.trials.fastest})
    for spread in SPREAD:
        bases.append({**_spread_values(layout, spread), **common})
    starts = [_vector(layout, values) for values in bases]
    for slot in layout.slots:
        if slot.name in guessed or is_regression(slot):
            continue
        for candidate in slot.transform.candidates(slot.around):
            starts.extend(_vector(layout, {**values, slot.name: candidate}) for values in bases)
    return starts


def _ez_values(
    layout: Layout, choices: npt.NDArray[np.bool_], rts: FloatArray
) -> Optional[dict[str, FloatArray]]:
    """EZ estimates of the drift rate, boundary and non-decision time, per level of each; None
    when the data as a whole have none (chance accuracy, too few responses...)."""
    overall = _ez(choices, rts)
    if overall is None:
        return None
    values: dict[str, FloatArray] = {}
    for name in FROM_DATA:
        slot = layout.by_name.get(name)
        if slot is None:
            continue
        estimates = []
        for rows in slot.trials.rows:
            level = _ez(choices[rows], rts[rows]) if slot.codes is not None else overall
            estimates.append((level or overall)[name])
        values[name] = np.array(estimates)
    for name in ("drift_rate", "boundary_separation"):
        if name in values:
            values[name] = values[name] * layout.noise
    return values


def _ez(choices: npt.NDArray[np.bool_], rts: FloatArray) -> Optional[dict[str, float]]:
    timed = ~np.isnan(rts)
    choices, rts = choices[timed], rts[timed]
    try:
        estimate = fit_ez(np.ascontiguousarray(choices), np.ascontiguousarray(rts))
    except (VentrolaError, ValueError):
        return None
    if not all(np.isfinite(list(estimate.values()))):
        return None
    return estimate


def _spread_values(layout: Layout, spread: tuple[float, float, float]) -> dict[str, FloatArray]:
    drift, boundary, t0_share = spread
    values = {}
    if "drift_rate" in layout.by_name:
        upper_share = layout.by_name["drift_rate"].trials.upper_share
        values["drift_rate"] = np.where(upper_share >= 0.5, drift, -drift) * layout.noise
    if "boundary_separation" in layout.by_name:
        values["boundary_separation"] = np.full(layout.by_name["boundary_separation"].n_levels, boundary * layout.noise)
    if "non_decision_time" in layout.by_name:
        values["non_decision_time"] = t0_share * layout.by_name["non_decision_time"].trials.fastest
    return values


def _common_values(layout: Layout) -> dict[str, FloatArray]:
    """Starts of the parameters the data do not suggest, from their table entries."""
    values = {}
    for slot in layout.slots:
        if slot.name == RANGE:
            continue  # a share of a room that depends on the starting point: see _vector
        if slot.name == "contamination" and layout.spec.contamination > 0.0:
            values[slot.name] = np.array([layout.spec.contamination])
            continue
        start = slot.transform.start(slot.around)
        if start is not None:
            values[slot.name] = start
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


def _vector(layout: Layout, values: Mapping[str, FloatArray]) -> FloatArray:
    """The optimizer's coordinates of a start, moved inside the bounds where needed."""
    theta = np.zeros(layout.size)
    for slot in layout.slots:
        if slot.name in values and not is_regression(slot):
            theta[slot.entries] = values[slot.name]
    for slot in layout.slots:
        if slot.name != RANGE and not is_regression(slot):
            theta[slot.entries] = slot.transform.clip_start(theta[slot.entries], slot.around)
    for regression in layout.regression_slots():
        theta[regression.entries] = regression.coefficients_from(values[regression.name])
    if RANGE in layout.by_name:
        # Relative to the room the starting point leaves it, which the clipping above keeps valid.
        slot = layout.by_name[RANGE]
        room = 2.0 * layout.range_room(theta)[0]
        fraction = slot.transform.fit.start
        assert fraction is not None
        theta[slot.entries] = values.get(RANGE, fraction * room)
    return layout.clip(layout.x(theta))
