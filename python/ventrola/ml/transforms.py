"""How the optimizer's coordinates map to parameter values, one class per kind of parameter.

The parameter table (:mod:`ventrola.parameters`) names each free parameter's kind and its limits;
here each kind says how a coordinate ``x`` becomes a value ``theta`` in the model's units and
back, the derivative d theta / d x, the box that keeps every value valid, and where a start
lands inside it. Coordinates are on a scale of about 1, so that one step size suits them all.

A kind sees its parameter's :class:`Surroundings`: the noise scale that sets the units, and
what the data and the other parameters fix about its room.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np
import numpy.typing as npt

from ventrola.parameters import Fit

FloatArray = npt.NDArray[np.float64]

TENTH = 0.1  # the coordinate unit of weights and of seconds of range
START_MARGIN = 1e-3  # a start keeps this share of its room from either end
T0_SHARE_CAP = 0.9  # a start keeps the non-decision time below 90 % of the fastest response


@dataclass(frozen=True)
class Surroundings:
    """What a parameter's coordinates depend on besides its own value, per level of the parameter."""

    noise: float
    n_levels: int
    slowest: float  # the trials' slowest response
    fastest: FloatArray  # each level's fastest response
    reference: FloatArray  # each level's time the non-decision time stays below
    room: tuple[float, float]  # the starting point's range of values, narrowed by a fixed starting-point range


class Transform:
    """The identity on a box; subclasses change the map."""

    def __init__(self, fit: Fit) -> None:
        self.fit = fit

    def to_model(self, x: FloatArray, around: Surroundings) -> FloatArray:
        return x

    def from_model(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        return theta

    def jacobian(self, x: FloatArray, theta: FloatArray, around: Surroundings) -> FloatArray:
        """d theta / d x, entry by entry."""
        return np.ones_like(x)

    def bounds(self, around: Surroundings) -> tuple[FloatArray, FloatArray]:
        return self._both(self.fit.low, self.fit.high, around)

    def start(self, around: Surroundings) -> Optional[FloatArray]:
        """The value a fit starts from when the data suggest none (None: it needs an estimate)."""
        return None if self.fit.start is None else np.full(around.n_levels, self.fit.start)

    def candidates(self, around: Surroundings) -> list[FloatArray]:
        """Further values a fit tries besides :meth:`start`."""
        return [np.full(around.n_levels, value) for value in self.fit.candidates]

    def clip_start(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        """A start moved where its coordinate is defined; the box does the rest."""
        return theta

    @staticmethod
    def _both(low: float, high: float, around: Surroundings) -> tuple[FloatArray, FloatArray]:
        return np.full(around.n_levels, low), np.full(around.n_levels, high)


class NoiseScaled(Transform):
    """Drift rates: the value in units of the noise."""

    def to_model(self, x: FloatArray, around: Surroundings) -> FloatArray:
        return x * around.noise

    def from_model(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        return theta / around.noise

    def jacobian(self, x: FloatArray, theta: FloatArray, around: Surroundings) -> FloatArray:
        return np.full_like(x, around.noise)

    def start(self, around: Surroundings) -> Optional[FloatArray]:
        start = super().start(around)
        return None if start is None else start * around.noise

    def candidates(self, around: Surroundings) -> list[FloatArray]:
        return [value * around.noise for value in super().candidates(around)]


class LogNoiseScaled(Transform):
    """Positive scales: the log of the value's ratio to the noise."""

    def to_model(self, x: FloatArray, around: Surroundings) -> FloatArray:
        return np.exp(x) * around.noise

    def from_model(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        return np.log(theta / around.noise)

    def jacobian(self, x: FloatArray, theta: FloatArray, around: Surroundings) -> FloatArray:
        return theta.copy()

    def bounds(self, around: Surroundings) -> tuple[FloatArray, FloatArray]:
        return self._both(np.log(self.fit.low), np.log(self.fit.high), around)

    def clip_start(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        return np.maximum(theta, START_MARGIN * around.noise)


class Log(Transform):
    """Positive times and shapes: the log of the value; ``low`` and ``high`` bound the value."""

    def to_model(self, x: FloatArray, around: Surroundings) -> FloatArray:
        return np.exp(x)

    def from_model(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        return np.log(theta)

    def jacobian(self, x: FloatArray, theta: FloatArray, around: Surroundings) -> FloatArray:
        return theta.copy()

    def bounds(self, around: Surroundings) -> tuple[FloatArray, FloatArray]:
        return self._both(np.log(self.fit.low), np.log(self.fit.high), around)

    def clip_start(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        return np.clip(theta, self.fit.low, self.fit.high)


class LogAboveOne(Transform):
    """Shapes above 1: the log of the excess over 1; ``low`` and ``high`` bound the excess."""

    def to_model(self, x: FloatArray, around: Surroundings) -> FloatArray:
        return 1.0 + np.exp(x)

    def from_model(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        return np.log(theta - 1.0)

    def jacobian(self, x: FloatArray, theta: FloatArray, around: Surroundings) -> FloatArray:
        return theta - 1.0

    def bounds(self, around: Surroundings) -> tuple[FloatArray, FloatArray]:
        return self._both(np.log(self.fit.low), np.log(self.fit.high), around)

    def clip_start(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        return 1.0 + np.clip(theta - 1.0, self.fit.low, self.fit.high)


class LogitRoom(Transform):
    """A fraction: the logit of its place in its room."""

    def to_model(self, x: FloatArray, around: Surroundings) -> FloatArray:
        low, high = around.room
        return low + (high - low) / (1.0 + np.exp(-x))

    def from_model(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        low, high = around.room
        share = (theta - low) / (high - low)
        return np.log(share / (1.0 - share))

    def jacobian(self, x: FloatArray, theta: FloatArray, around: Surroundings) -> FloatArray:
        low, high = around.room
        return (theta - low) * (high - theta) / (high - low)

    def clip_start(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        low, high = around.room
        margin = START_MARGIN * (high - low)
        return np.clip(theta, low + margin, high - margin)


class LogGapBelowReference(Transform):
    """The non-decision time: the log of its distance below a reference time (the fastest
    response where the model alone must explain every trial, whose likelihood is zero beyond it;
    the median one where lapses can explain the fastest). ``low`` and ``high`` are the
    coordinate's limits relative to the log of the reference."""

    def to_model(self, x: FloatArray, around: Surroundings) -> FloatArray:
        # At the bound x = log(reference) rounding could leave a time just below 0.
        return np.maximum(around.reference - np.exp(x), 0.0)

    def from_model(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        return np.log(around.reference - theta)

    def jacobian(self, x: FloatArray, theta: FloatArray, around: Surroundings) -> FloatArray:
        return -np.exp(x)

    def bounds(self, around: Surroundings) -> tuple[FloatArray, FloatArray]:
        top = np.log(around.reference)
        return top + self.fit.low, top + self.fit.high

    def clip_start(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        return np.clip(theta, 0.0, T0_SHARE_CAP * around.fastest)


class Tenths(Transform):
    """Weights and seconds of range: the value in units of 0.1."""

    def to_model(self, x: FloatArray, around: Surroundings) -> FloatArray:
        return x * TENTH

    def from_model(self, theta: FloatArray, around: Surroundings) -> FloatArray:
        return theta / TENTH

    def jacobian(self, x: FloatArray, theta: FloatArray, around: Surroundings) -> FloatArray:
        return np.full_like(x, TENTH)

    def bounds(self, around: Surroundings) -> tuple[FloatArray, FloatArray]:
        return self._both(self.fit.low / TENTH, self.fit.high / TENTH, around)


class TenthsBelowSlowest(Tenths):
    """Seconds of range up to the slowest response: a wider range adds nothing the data can show."""

    def bounds(self, around: Surroundings) -> tuple[FloatArray, FloatArray]:
        return self._both(self.fit.low / TENTH, around.slowest / TENTH, around)


class FractionOfRoom(Transform):
    """The starting-point range as a fraction of the room its starting point leaves,
    2 min(w, 1 - w), so that no combination the optimizer tries is invalid. The room depends on
    another parameter, so :class:`ventrola.ml.coordinates.Layout` supplies it."""

    def to_room(self, x: FloatArray, room: FloatArray) -> FloatArray:
        return x * room

    def from_room(self, theta: FloatArray, room: FloatArray) -> FloatArray:
        return theta / room


KINDS: dict[str, type[Transform]] = {
    "identity": Transform,
    "noise_scaled": NoiseScaled,
    "log": Log,
    "log_above_one": LogAboveOne,
    "log_noise_scaled": LogNoiseScaled,
    "logit_room": LogitRoom,
    "log_gap_below_reference": LogGapBelowReference,
    "tenths": Tenths,
    "tenths_below_slowest": TenthsBelowSlowest,
    "fraction_of_room": FractionOfRoom,
}


def transform_of(fit: Fit) -> Transform:
    try:
        kind = KINDS[fit.kind]
    except KeyError:
        raise ValueError(f"no transform of kind {fit.kind!r} (known: {', '.join(KINDS)})") from None
    return kind(fit)
