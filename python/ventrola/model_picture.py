"""A picture of a fitted model itself: its bounds ``+-b(t)`` and its drift ``v(t)`` over decision
time, with a few sample paths, so that a collapse or an early automatic activation is seen rather
than read off a table of numbers.

Drawn on the Agg canvas as :mod:`ventrola.plotting` draws (matplotlib is the ``[plot]`` extra).
The paths are illustrations (NumPy's generator, Euler steps of 1 ms), not the engine's trials.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Optional

import numpy as np

from . import model_functions
from .models import DDM, as_model

_PATH_COLOURS = ("#2f6cb0", "#c8463d", "#3d8c40", "#8e5bb5", "#d08a1c", "#4a9fb0", "#b05b83", "#6b6b6b")
# The picture runs to the time by which this share of decisions is made (at most 10 s).
_HORIZON_SHARE = 0.99


def _horizon(model: DDM, params: Mapping[str, Any]) -> float:
    """Decision time by which ``_HORIZON_SHARE`` of the trials have ended."""
    values = {name: float(params[name]) for name in model.parameter_names if name in params}
    values["non_decision_time"] = 0.0
    grid = np.linspace(0.0, 10.0, 2001)
    finished = model.cdf(True, grid, **values) + model.cdf(False, grid, **values)
    reached = np.flatnonzero(finished >= _HORIZON_SHARE * finished[-1])
    return float(max(grid[reached[0]] if reached.size else 10.0, 0.2))


def plot_model(
    fit: Mapping[str, Any],
    *,
    model: Optional[DDM] = None,
    n_paths: int = 6,
    seed: int = 0,
    horizon: Optional[float] = None,
    title: Optional[str] = None,
) -> Any:
    """Draw a fitted model: its bounds and drift over decision time, with sample paths.

    Parameters
    ----------
    fit : mapping
        The model's parameters, as :func:`ventrola.fit_ml` returns them (its ``"model"`` is
        drawn unless ``model`` is given); missing optional parameters take their defaults.
    model : ventrola.DDM, optional
        The model, for parameters that do not carry one (a row of a ``fit_frame`` table).
    n_paths : int, optional
        Sample paths drawn over the bounds (6), each ending where it leaves them.
    seed : int, optional
        Seeds the paths (0).
    horizon : float, optional
        The last decision time shown, in seconds; by default the time by which 99 % of the
        model's decisions are made (at least 0.2 s, at most 10 s).
    title : str, optional
        The figure's title (default: the model).

    Returns
    -------
    matplotlib.figure.Figure
        Top: the upper and lower bound ``+-b(t)`` around the midpoint, the starting point and the
        paths. Bottom: the drift ``v(t)`` (with a leak, the drift before the leak's pull of
        ``-leak * y``).

    Raises
    ------
    ImportError
        When matplotlib is not installed.
    ValueError
        For parameters out of range, or an ``n_paths`` or ``horizon`` that is not positive.
    TypeError
        For a model that is not a :class:`ventrola.DDM`.

    Examples
    --------
    >>> import ventrola
    >>> fit = {"drift_rate": 1.0, "boundary_separation": 2.0, "non_decision_time": 0.3,
    ...        "collapse_time": 0.8, "model": ventrola.DDM(bound="exponential")}
    >>> figure = ventrola.plot_model(fit, n_paths=3)
    >>> [ax.get_ylabel() for ax in figure.axes]
    ['evidence (from the midpoint)', 'drift rate']
    """
    from .plotting import _matplotlib

    Figure, FigureCanvasAgg, _formatter = _matplotlib()
    chosen = as_model(model if model is not None else fit.get("model"))
    if isinstance(n_paths, bool) or not isinstance(n_paths, (int, np.integer)) or n_paths < 0:
        raise ValueError(f"n_paths must be a non-negative integer, not {n_paths!r}")
    params = chosen.parameters_with_defaults({name: fit[name] for name in chosen.parameter_names if name in fit})
    chosen.logpdf(True, 1.0, **params)  # refuses parameters out of range, in the engine's words
    end = _horizon(chosen, params) if horizon is None else float(horizon)
    if not end > 0.0:
        raise ValueError(f"horizon must be a positive number of seconds, not {horizon!r}")
    times = np.linspace(0.0, end, 600)
    bound = model_functions.half_width(chosen, times, params)
    drift = model_functions.drift(chosen, times, params)

    figure = Figure(figsize=(8.0, 6.2), layout="constrained")
    FigureCanvasAgg(figure)
    top, bottom = figure.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": (2.2, 1.0)})
    for k, path in enumerate(model_functions.paths(chosen, params, n_paths, seed, 0.001, end)):
        colour = _PATH_COLOURS[k % len(_PATH_COLOURS)]
        top.plot(path[:, 0], path[:, 1], color=colour, linewidth=0.8, alpha=0.8, gid="path")
        if path[-1, 0] < end:
            top.plot(path[-1, 0], path[-1, 1], marker="o", markersize=4, color=colour, gid="path-end")
    top.plot(times, bound, color="#1b1b1b", linewidth=2.0, label="upper bound  +b(t)", gid="upper-bound")
    top.plot(times, -bound, color="#1b1b1b", linewidth=2.0, linestyle="--", label="lower bound  -b(t)",
             gid="lower-bound")
    start = (float(params["starting_point"]) - 0.5) * float(params["boundary_separation"])
    top.axhline(start, color="0.6", linewidth=0.8, linestyle=":", label="start")
    top.set_ylabel("evidence (from the midpoint)")
    top.legend(loc="upper right", fontsize=8, frameon=False)
    top.spines[["top", "right"]].set_visible(False)

    bottom.plot(times, drift, color="#2f6cb0", linewidth=1.8, gid="drift")
    bottom.axhline(0.0, color="0.6", linewidth=0.8)
    bottom.set_ylabel("drift rate")
    bottom.set_xlabel("decision time (s)")
    bottom.set_xlim(0.0, end)
    bottom.spines[["top", "right"]].set_visible(False)
    if chosen.leak:
        bottom.text(0.99, 0.92, f"leak {float(params['leak']):.3g} /s pulls towards the midpoint",
                    transform=bottom.transAxes, ha="right", va="top", fontsize=8, color="0.3")
    figure.suptitle(repr(chosen) if title is None else title, fontsize=11)
    return figure
