"""Random trials of the seven-parameter model with the contaminant mixture, as
signed response times, for PyMC's prior and posterior predictive sampling.

Trials are observed as the data were: a response after its trial's deadline is
no response (0), and with a window only responses inside it are kept (a trial
outside is drawn again)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from ventrola import simulate_ddm


def draw_signed_rts(
    drift_rate: Any,
    boundary_separation: Any,
    starting_point: Any,
    non_decision_time: Any,
    drift_rate_sd: Any,
    starting_point_range: Any,
    non_decision_time_range: Any,
    noise_sd: Any,
    contamination: Any,
    max_rt: Any,
    deadline: Any = np.inf,
    rt_low: Any = 0.0,
    rt_high: Any = np.inf,
    rng: Optional[np.random.Generator] = None,
    size: Optional[tuple[int, ...]] = None,
) -> npt.NDArray[np.float64]:
    """One trial per element of ``size`` (default: the parameters' broadcast
    shape), each with its own parameters. Trials that share all parameters are
    simulated in one call, seeded from ``rng``. A trial still undecided at
    simulate_ddm's time cap (10 s of decision time), which only extreme
    parameters make likely, is NaN; so is one still outside the window after
    ``REDRAWS`` draws."""
    rng = np.random.default_rng() if rng is None else rng
    parameters = (drift_rate, boundary_separation, starting_point, non_decision_time, drift_rate_sd,
                  starting_point_range, non_decision_time_range, noise_sd, contamination, max_rt)
    shape = tuple(size) if size is not None else np.broadcast_shapes(
        *(np.shape(x) for x in (*parameters, deadline, rt_low, rt_high)))
    signed = _draw(parameters, rng=rng, shape=shape)
    low = np.broadcast_to(np.asarray(rt_low, dtype=np.float64), shape)
    high = np.broadcast_to(np.asarray(rt_high, dtype=np.float64), shape)
    if np.any(low > 0) or np.any(np.isfinite(high)):
        arrays = [np.broadcast_to(np.asarray(x, dtype=np.float64), shape) for x in parameters]
        for _ in range(REDRAWS):
            outside = ~((np.abs(signed) >= low) & (np.abs(signed) <= high))
            if not outside.any():
                break
            signed[outside] = _draw([x[outside] for x in arrays], rng=rng, shape=(int(outside.sum()),))
        else:
            signed[~((np.abs(signed) >= low) & (np.abs(signed) <= high))] = np.nan
    late = np.abs(signed) > np.broadcast_to(np.asarray(deadline, dtype=np.float64), shape)
    signed[late] = 0.0
    return signed


# A window that holds less than a thousandth of the model's responses is no description of data.
REDRAWS = 1000


def _draw(
    parameters: Sequence[Any],
    *,
    rng: np.random.Generator,
    shape: tuple[int, ...],
) -> npt.NDArray[np.float64]:
    """Trials of the shape from the model's eight parameters, the lapse weight and window, in
    draw_signed_rts' order."""
    *model, contamination, max_rt = parameters
    columns = [np.asarray(x, dtype=np.float64) for x in model]
    p = np.asarray(contamination, dtype=np.float64)
    window = np.asarray(max_rt, dtype=np.float64)
    table = np.stack([np.broadcast_to(c, shape).ravel() for c in columns], axis=1)
    signed = np.empty(table.shape[0])
    if table.shape[0] == 0:
        return signed.reshape(shape)

    settings, which = np.unique(table, axis=0, return_inverse=True)
    which = which.ravel()
    for row, setting in enumerate(settings):
        trials = np.flatnonzero(which == row)
        choices, rts = simulate_cell(setting, len(trials), rng)
        signed[trials] = np.where(choices, rts, -rts)

    add_lapses(signed, np.broadcast_to(p, shape).ravel(), np.broadcast_to(window, shape).ravel(), rng)
    return signed.reshape(shape)


def add_lapses(signed: npt.NDArray[np.float64], p: npt.NDArray[np.float64], window: npt.NDArray[np.float64],
               rng: np.random.Generator) -> None:
    """Replaces each trial, with its probability ``p``, by a lapse: either response with probability
    1/2 at a time uniform on [0, window] (flat arrays of one length, in place)."""
    lapses = rng.random(signed.size) < p
    if lapses.any():
        if not np.all(np.isfinite(window[lapses]) & (window[lapses] > 0)):
            raise ValueError("max_rt must be a positive finite time when contamination is above 0")
        lapse_rts = rng.random(signed.size) * window
        lapse_upper = rng.random(signed.size) < 0.5
        signed[lapses] = np.where(lapse_upper, lapse_rts, -lapse_rts)[lapses]


def simulate_cell(
    parameters: npt.NDArray[np.float64], n: int, rng: np.random.Generator
) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]:
    """n trials with one parameter set; those still undecided at simulate_ddm's
    time cap get a NaN response time (their order carries no meaning)."""
    v, a, w, t0, sv, sz, st0, s = (float(x) for x in parameters)
    choices, rts, _ = simulate_ddm(
        v, a, w, t0, n, int(rng.integers(0, 2**63)),
        drift_rate_sd=sv, starting_point_range=sz, non_decision_time_range=st0, noise_sd=s,
    )
    decided = len(rts)
    all_choices = np.zeros(n, dtype=np.bool_)
    all_rts = np.full(n, np.nan)
    all_choices[:decided] = choices
    all_rts[:decided] = rts
    return all_choices, all_rts
