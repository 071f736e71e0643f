"""What a fit predicts, for the pictures: per boundary its share of trials, its density curve
(scaled by that share) and its response-time quantiles.

A result with all seven parameters of the full model (a maximum-likelihood fit) is drawn from
the exact density and distribution function, lapses included; so is a result of a generalized
model (one with a :class:`ventrola.DDM` under ``"model"``, or drawn with ``model=``), from that
model's density and distribution function. Any other result dict by simulating trials from it,
as before.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple, Optional

import numpy as np

from _ventrola import simulate

from .parameters import PARAMETER_NAMES

SIDES = {"upper": True, "lower": False}
CURVE_POINTS = 400
BISECTION_STEPS = 60


class SimulatedPrediction(NamedTuple):
    """Response times simulated from the parameters, by boundary."""

    upper: np.ndarray
    lower: np.ndarray
    n: int

    @property
    def legend(self) -> str:
        return f"predicted ({self.n} simulated trials)"

    def samples(self) -> tuple[np.ndarray, ...]:
        return self.upper, self.lower

    def share(self, side: str) -> float:
        return len(getattr(self, side)) / self.n if self.n else math.nan

    def curve(self, side: str, edges: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        counts, _ = np.histogram(getattr(self, side), bins=edges)
        widths = np.diff(edges)
        return edges[:-1] + widths / 2, counts / (max(self.n, 1) * widths)

    def quantiles(self, side: str, levels: Sequence[float]) -> Optional[np.ndarray]:
        rts = getattr(self, side)
        return np.quantile(rts, levels) if len(rts) else None


class ExactPrediction:
    """The model's own density and distribution function, mixed with lapses of weight
    ``contamination`` spread uniformly up to ``longest`` seconds."""

    legend = "predicted (exact density)"

    def __init__(self, params: Mapping[str, float], longest: float) -> None:
        from . import likelihood

        self._engine = likelihood
        self.params = {name: float(params[name]) for name in (*PARAMETER_NAMES, "noise_sd") if name in params}
        self._setup(params, longest)

    def _setup(self, params: Mapping[str, float], longest: float) -> None:
        self.contamination = float(params.get("contamination", 0.0) or 0.0)
        self.longest = float(longest)
        # Invalid parameters fail here, once, with the engine's message.
        self._shares = {side: self._distribution(side, np.array([np.inf]))[0] for side in SIDES}

    def samples(self) -> tuple[np.ndarray, ...]:
        return ()

    def share(self, side: str) -> float:
        return float(self._shares[side])

    def curve(self, side: str, edges: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        times = np.linspace(edges[0], edges[-1], CURVE_POINTS)
        density = self._model_density(side, times)
        lapses = np.where((times >= 0.0) & (times <= self.longest), 0.5 / self.longest, 0.0)
        return times, (1.0 - self.contamination) * density + self.contamination * lapses

    def quantiles(self, side: str, levels: Sequence[float]) -> Optional[np.ndarray]:
        """Times where the boundary's distribution reaches each level of its share, by bisection."""
        share = self.share(side)
        if not share > 1e-12:
            return None
        targets = np.asarray(levels, dtype=np.float64) * share
        low = np.zeros(len(targets))
        high = np.full(len(targets), max(self.longest, 1.0))
        for _ in range(64):
            short = self._distribution(side, high) < targets
            if not short.any():
                break
            high = np.where(short, 2.0 * high, high)
        for _ in range(BISECTION_STEPS):
            middle = 0.5 * (low + high)
            below = self._distribution(side, middle) < targets
            low, high = np.where(below, middle, low), np.where(below, high, middle)
        return 0.5 * (low + high)

    def _model_density(self, side: str, times: np.ndarray) -> np.ndarray:
        return np.asarray(self._engine.wiener_pdf(SIDES[side], times, **self.params))

    def _model_distribution(self, side: str, times: np.ndarray) -> np.ndarray:
        return np.asarray(self._engine.wiener_cdf(SIDES[side], times, **self.params))

    def _distribution(self, side: str, times: np.ndarray) -> np.ndarray:
        model = self._model_distribution(side, times)
        lapses = 0.5 * np.clip(times, 0.0, self.longest) / self.longest
        return np.asarray((1.0 - self.contamination) * model + self.contamination * lapses)


class ModelPrediction(ExactPrediction):
    """A generalized model's density and distribution function (:class:`ventrola.DDM`), lapses
    as for :class:`ExactPrediction`. Each call of the model is a solve, so the quantiles invert
    the distribution function tabulated once on a fine grid rather than bisecting it."""

    legend = "predicted (model density)"
    GRID = 4000

    def __init__(self, params: Mapping[str, Any], longest: float, model: Any) -> None:
        self.model = model
        self.params = {name: float(params[name]) for name in model.parameter_names if name in params}
        self._setup(params, longest)
        self._grid: Optional[np.ndarray] = None

    def _model_density(self, side: str, times: np.ndarray) -> np.ndarray:
        return np.asarray(self.model.pdf(SIDES[side], times, **self.params))

    def _model_distribution(self, side: str, times: np.ndarray) -> np.ndarray:
        return np.asarray(self.model.cdf(SIDES[side], times, **self.params))

    def quantiles(self, side: str, levels: Sequence[float]) -> Optional[np.ndarray]:
        share = self.share(side)
        if not share > 1e-12:
            return None
        if self._grid is None:
            # Far enough that all but a millionth of the mass has arrived, at most 100 s.
            end = max(self.longest, 1.0)
            while end < 100.0 and sum(self._distribution(s, np.array([end]))[0] for s in SIDES) < 1.0 - 1e-6:
                end *= 2.0
            self._grid = np.linspace(0.0, end, self.GRID)
        levels_share = np.asarray(levels, dtype=np.float64) * share
        reached = np.maximum.accumulate(self._distribution(side, self._grid))
        return np.asarray(np.interp(levels_share, reached, self._grid))


def has_full_model(params: Mapping[str, Any]) -> bool:
    return all(name in params for name in PARAMETER_NAMES)


def generalized_model(params: Mapping[str, Any], model: Any = None) -> Any:
    """The generalized model a prediction follows: ``model``, else the result's own; None for the
    seven-parameter one."""
    chosen = model if model is not None else params.get("model")
    return None if chosen is None or chosen.is_standard else chosen


def predict(params: Mapping[str, Any], n_sim: int, seed: int, longest: float, model: Any = None) -> Any:
    """The exact prediction of a full-model result (or of a generalized model's), else trials
    simulated with a fixed seed."""
    general = generalized_model(params, model)
    if general is not None:
        return ModelPrediction(params, longest, general)
    if has_full_model(params):
        return ExactPrediction(params, longest)
    try:
        drift = float(params["drift_rate"])
        boundary = float(params["boundary_separation"])
        t0 = float(params["non_decision_time"])
    except KeyError as exc:
        raise ValueError(f"params lacks {exc.args[0]!r}") from None
    start = float(params.get("starting_point", 0.5))
    noise_sd = float(params.get("noise_sd", 1.0))
    choices, rts, _n_excluded = simulate(drift, boundary, start, t0, int(n_sim), int(seed), noise_sd)
    return SimulatedPrediction(rts[choices], rts[~choices], len(rts))
