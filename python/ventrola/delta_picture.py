"""The delta plot of a design over a congruency-like factor: at each quantile of the response
times, the difference between two levels (the second minus the first) against their mean,
observed and as the fitted model predicts it.

Conflict-task researchers read it first: an effect that shrinks or turns negative over the slow
quantiles is the signature of an early, fading automatic activation (``drift="dmc"``), which a
constant drift cannot produce. Predictions come from the model's distribution function
(:mod:`ventrola._plot_predictions`), lapses included.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Optional

import numpy as np

from . import frames
from ._plot_predictions import predict

DEFAULT_QUANTILES = (0.1, 0.3, 0.5, 0.7, 0.9)
_OBSERVED_COLOUR = "#c8463d"
_PREDICTED_COLOUR = "#1b1b1b"


def _level_fits(fits: Any, factor: str, levels: Sequence[Any]) -> dict[Any, Mapping[str, Any]]:
    """Each level's parameters: from a mapping of level to fit, or from a fit_frame table's rows."""
    if isinstance(fits, Mapping):
        missing = [level for level in levels if level not in fits]
        if missing:
            raise ValueError(f"fits has no fit for level {missing[0]!r} of {factor!r}")
        return {level: fits[level] for level in levels}
    if not hasattr(fits, "columns") or factor not in fits.columns:
        raise ValueError(f"fits must map each level to a fit, or be a fit_frame table with a {factor!r} column")
    chosen = {}
    for level in levels:
        rows = fits[fits[factor] == level]
        if len(rows) != 1:
            raise ValueError(f"fits has {len(rows)} rows for {factor}={level!r}: pass the rows of one group "
                             "(one row per level)")
        chosen[level] = rows.iloc[0].to_dict()
    return chosen


def plot_delta(
    trials: Any,
    fits: Any,
    *,
    factor: str,
    levels: Optional[Sequence[Any]] = None,
    rt: str = "rt",
    choice: str = "choice",
    rt_unit: str = "s",
    upper: Any = None,
    model: Any = None,
    side: str = "upper",
    quantiles: Sequence[float] = DEFAULT_QUANTILES,
    ax: Any = None,
) -> Any:
    """Draw the delta plot of two levels of a factor, observed and predicted.

    Parameters
    ----------
    trials : pandas.DataFrame
        The trials of one participant (or group), with columns ``rt``, ``choice`` and ``factor``.
    fits : pandas.DataFrame or mapping
        The fit of those trials: the rows of a :func:`ventrola.fit_frame` table with one row per
        level of ``factor`` (``depends_on={"automatic_amplitude": factor}``, say), or a mapping
        of each level to its parameters (results of :func:`ventrola.fit_ml` will do).
    factor : str
        The column whose levels are compared (``"congruency"``).
    levels : sequence of two labels, optional
        The reference level, then the other: the delta is other minus reference. By default
        the factor's two levels in sorted order.
    rt, choice, rt_unit, upper : optional
        Read the table as :func:`ventrola.fit_frame` does.
    model : ventrola.DDM, optional
        The fitted model, when the fits do not carry it (table rows do not).
    side : {"upper", "lower"}, optional
        Which responses' times are compared ("upper", the correct ones by convention).
    quantiles : sequence of float, optional
        The quantiles compared (0.1, 0.3, 0.5, 0.7, 0.9).
    ax : matplotlib Axes, optional
        Axes to draw into.

    Returns
    -------
    matplotlib.figure.Figure
        Observed deltas as points joined by a line, predicted ones as a black line with crosses,
        x the mean of the two levels' quantiles and y their difference, in seconds.

    Raises
    ------
    ValueError
        For a missing column, a factor without exactly two levels (or given levels it lacks), a
        level without responses on ``side``, fits without one row per level, or an unknown
        ``side``.
    ImportError
        When matplotlib is not installed.

    Examples
    --------
    >>> import pandas as pd, ventrola
    >>> model = ventrola.DDM(drift="dmc")
    >>> base = dict(drift_rate=1.5, boundary_separation=1.6, non_decision_time=0.3)
    >>> parts = []
    >>> for level, amplitude in (("congruent", 0.6), ("incongruent", -0.6)):
    ...     c, r, _ = model.simulate(400, 1, automatic_amplitude=amplitude, **base)
    ...     parts.append(pd.DataFrame({"choice": c, "rt": r, "congruency": level}))
    >>> trials = pd.concat(parts, ignore_index=True)
    >>> fits = {"congruent": {**base, "automatic_amplitude": 0.6, "model": model},
    ...         "incongruent": {**base, "automatic_amplitude": -0.6, "model": model}}
    >>> figure = ventrola.plot_delta(trials, fits, factor="congruency")
    >>> figure.axes[0].get_xlabel()
    'mean of the two levels’ quantiles (s)'
    """
    from .plotting import _matplotlib, _table_arrays

    Figure, FigureCanvasAgg, _formatter = _matplotlib()
    if side not in ("upper", "lower"):
        raise ValueError(f"side must be 'upper' or 'lower', not {side!r}")
    frames.check_table(trials, [rt, choice, factor])
    chosen_levels = list(levels) if levels is not None else sorted(trials[factor].unique().tolist())
    if len(chosen_levels) != 2:
        raise ValueError(f"a delta plot compares two levels of {factor!r}, found {len(chosen_levels)}: "
                         f"{chosen_levels!r}; pass levels=(reference, other)")
    choices, rts = _table_arrays(trials, rt, choice, rt_unit, upper)
    wanted = choices if side == "upper" else ~choices
    probabilities = np.asarray(quantiles, dtype=np.float64)
    parameters = _level_fits(fits, factor, chosen_levels)
    observed, predicted = [], []
    for level in chosen_levels:
        rows = (trials[factor] == level).to_numpy() & wanted
        if not rows.any():
            raise ValueError(f"no {side}-boundary responses at {factor}={level!r}")
        observed.append(np.quantile(rts[rows], probabilities))
        level_rows = (trials[factor] == level).to_numpy()
        prediction = predict(parameters[level], 20000, 0, float(rts[level_rows].max()), model)
        predicted.append(prediction.quantiles(side, probabilities))

    if ax is None:
        figure = Figure(figsize=(6.0, 4.6), layout="constrained")
        FigureCanvasAgg(figure)
        ax = figure.subplots()
    else:
        figure = ax.figure
    reference, other = chosen_levels
    ax.plot((observed[0] + observed[1]) / 2, observed[1] - observed[0], color=_OBSERVED_COLOUR, marker="o",
            linewidth=1.2, label="observed", gid="observed-delta")
    if predicted[0] is not None and predicted[1] is not None:
        ax.plot((predicted[0] + predicted[1]) / 2, predicted[1] - predicted[0], color=_PREDICTED_COLOUR,
                marker="x", linewidth=1.6, label="predicted", gid="predicted-delta")
    ax.axhline(0.0, color="0.6", linewidth=0.8)
    ax.set_xlabel("mean of the two levels’ quantiles (s)")
    ax.set_ylabel(f"{other} − {reference} (s)")
    ax.set_title(f"Delta plot of {factor}, {side}-boundary responses\n(quantiles "
                 f"{', '.join(f'{q:g}' for q in probabilities)})", fontsize=10)
    ax.spines[["top", "right"]].set_visible(False)
    ax.legend(fontsize=8, frameon=False)
    return figure
