"""Pictures of a fit: observed response times against those the fitted parameters predict.

matplotlib is an optional extra, imported only when a picture is drawn. Figures are built on
the Agg canvas directly, so nothing here changes the global backend or opens a window; a
returned figure is saved with ``fig.savefig(...)`` and shows inline in a notebook.
"""

from __future__ import annotations

import io
import math
import os
import textwrap
from typing import Any, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import frames
from .parameters import PARAMETER_NAMES
from ._plot_predictions import generalized_model, predict

#: The response-time quantiles of the quantile-probability plot.
QUANTILES = (0.1, 0.3, 0.5, 0.7, 0.9)
#: At most this many groups get a panel in the grid that `save_fit_plots` writes.
MAX_PANELS = 48

_SECONDS_PER_UNIT = {"s": 1.0, "ms": 1e-3}
_UPPER_COLOUR = "#2f6cb0"
_LOWER_COLOUR = "#c8463d"
_PREDICTED_COLOUR = "#1b1b1b"
_INSTALL_HINT = 'pip install "ventrola[plot]"'


def _matplotlib() -> Tuple[Any, Any, Any]:
    """The three matplotlib pieces this module draws with, or an ImportError saying how to get them."""
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
        from matplotlib.ticker import FuncFormatter
    except ImportError as exc:
        raise ImportError(f"ventrola's plots need matplotlib; install it with: {_INSTALL_HINT}") from exc
    return Figure, FigureCanvasAgg, FuncFormatter


# --- trials ---------------------------------------------------------------------------------


class _Outcomes(NamedTuple):
    """Response times in seconds split by boundary; `n` counts the trials of both."""

    upper: np.ndarray
    lower: np.ndarray
    n: int

    @classmethod
    def of(cls, choices: np.ndarray, rts: np.ndarray) -> "_Outcomes":
        return cls(rts[choices], rts[~choices], len(rts))

    def share(self, side: str) -> float:
        return len(getattr(self, side)) / self.n if self.n else math.nan


def _seconds_per_unit(rt_unit: str) -> float:
    try:
        return _SECONDS_PER_UNIT[rt_unit]
    except KeyError:
        raise ValueError(f"rt_unit must be 's' or 'ms', not {rt_unit!r}") from None


def _finite(rts: np.ndarray, name: str) -> np.ndarray:
    if not np.isfinite(rts).all():
        raise ValueError(f"{name} must be finite response times (missing or infinite values found)")
    return rts


def _pair_arrays(choices: Any, rts: Any, rt_unit: str, upper: Any) -> Tuple[np.ndarray, np.ndarray]:
    """A (choices, rts) pair of arrays: choices True/1 for the upper boundary, or labels `upper` names."""
    scale = _seconds_per_unit(rt_unit)
    try:
        seconds = np.asarray(rts, dtype=np.float64) * scale
    except (TypeError, ValueError):
        raise ValueError("rts must hold numeric response times") from None
    labels = np.asarray(choices)
    if upper is not None:
        flags = np.asarray(labels == upper, dtype=bool)
    elif labels.dtype.kind in "biufO" and np.isin(labels, (0, 1)).all():
        flags = np.asarray(labels == 1, dtype=bool)
    else:
        raise ValueError(
            "choices must hold booleans or 0/1 choices; pass upper=LABEL to map labels to the upper boundary"
        )
    if seconds.ndim != 1 or flags.shape != seconds.shape:
        raise ValueError(
            f"choices and rts must be one-dimensional of one length, not {flags.shape} and {seconds.shape}"
        )
    return flags, _finite(seconds, "rts")


def _table_arrays(table: Any, rt: str, choice: str, rt_unit: str, upper: Any) -> Tuple[np.ndarray, np.ndarray]:
    """The choice and time columns of a trial table, read exactly as `fit_frame` reads them."""
    _seconds_per_unit(rt_unit)
    frames.check_table(table, [rt, choice])
    rts = frames.response_times(table[rt], rt, rt_unit)
    return frames.upper_boundary_flags(table[choice], choice, upper), _finite(rts, f"column {rt!r}")


def _outcomes(data: Any, rt: str, choice: str, rt_unit: str, upper: Any) -> _Outcomes:
    """Reads a table with columns `rt` and `choice`, or a `(choices, rts)` pair of arrays."""
    if hasattr(data, "columns"):
        return _Outcomes.of(*_table_arrays(data, rt, choice, rt_unit, upper))
    if isinstance(data, (tuple, list)) and len(data) == 2:
        return _Outcomes.of(*_pair_arrays(data[0], data[1], rt_unit, upper))
    raise TypeError("data must be a DataFrame or a (choices, rts) pair of arrays")


def _bin_count(n_trials: float) -> int:
    """About 1.5 bins per square root of the trials, within 12 to 40: small samples get coarser bins."""
    return int(min(40, max(12, round(1.5 * math.sqrt(n_trials)))))


def _bin_edges(bins: Union[int, Sequence[float]], *samples: np.ndarray) -> np.ndarray:
    """Bin edges in seconds: given ones, or `bins` equal bins over all but the slowest 0.5 %."""
    if not isinstance(bins, (int, np.integer)):
        edges = np.asarray(bins, dtype=np.float64)
        if edges.ndim != 1 or len(edges) < 2 or not (np.diff(edges) > 0).all():
            raise ValueError("bins must be a positive count or increasing bin edges in seconds")
        return edges
    if bins < 1:
        raise ValueError("bins must be a positive count or increasing bin edges in seconds")
    pooled = np.concatenate([s for s in samples if len(s)] or [np.zeros(1)])
    low, high = float(pooled.min()), float(np.quantile(pooled, 0.995))
    if not high > low:
        high = low + 0.1
    return np.linspace(low, high, int(bins) + 1)


def _defective_density(rts: np.ndarray, n_all: int, edges: np.ndarray) -> np.ndarray:
    """Histogram density of one boundary's times, scaled by its share of all trials (area = share)."""
    counts, _ = np.histogram(rts, bins=edges)
    density: np.ndarray = counts / (max(n_all, 1) * np.diff(edges))
    return density


# --- drawing --------------------------------------------------------------------------------


def _draw_distributions(
    ax: Any,
    observed: _Outcomes,
    predicted: Any,
    edges: np.ndarray,
    formatter: Any,
    *,
    small: bool = False,
) -> None:
    """Upper-boundary times above the axis, lower ones mirrored below; bars observed, lines predicted."""
    top = bottom = 0.0
    for side, sign, colour in (("upper", 1.0, _UPPER_COLOUR), ("lower", -1.0, _LOWER_COLOUR)):
        density = _defective_density(getattr(observed, side), observed.n, edges)
        ax.stairs(
            sign * density, edges, fill=True, color=colour, alpha=0.45, linewidth=0,
            label=f"observed, {side} boundary", gid=f"observed-{side}",
        )
        peak = float(density.max(initial=0.0))
        if predicted is not None:
            times, expected = predicted.curve(side, edges)
            ax.plot(
                times, sign * expected, color=_PREDICTED_COLOUR, linewidth=1.3 if small else 1.8,
                label="predicted" if side == "upper" else "_predicted lower", gid=f"predicted-{side}",
            )
            peak = max(peak, float(expected.max(initial=0.0)))
        if sign > 0:
            top = peak
        else:
            bottom = peak
        share = observed.share(side)
        text = f"{side}  p = {share:.2f}" if not small else f"p = {share:.2f}"
        ax.text(
            0.98, 0.95 if sign > 0 else 0.05, text, transform=ax.transAxes, color=colour,
            ha="right", va="top" if sign > 0 else "bottom", fontsize=7 if small else 10,
        )
    # Room for the smaller half as well, so a rare response still shows as a visible shape.
    span = max(top, bottom, 1e-9)
    ax.set_ylim(-max(bottom, 0.3 * span) * 1.15, max(top, 0.3 * span) * 1.15)
    ax.set_xlim(edges[0], edges[-1])
    ax.axhline(0.0, color="0.35", linewidth=0.8)
    ax.yaxis.set_major_formatter(formatter(lambda value, _pos: f"{abs(value):g}"))
    ax.spines[["top", "right"]].set_visible(False)
    ax.tick_params(labelsize=7 if small else 9)


def _draw_quantile_probability(ax: Any, observed: _Outcomes, predicted: Any) -> None:
    """Each boundary's time quantiles at x = its share of trials; markers observed, lines predicted."""
    for side, colour in (("upper", _UPPER_COLOUR), ("lower", _LOWER_COLOUR)):
        rts = getattr(observed, side)
        if len(rts):
            ax.plot(
                np.full(len(QUANTILES), observed.share(side)), np.quantile(rts, QUANTILES),
                linestyle="none", marker="o", markersize=8, color=colour, markeredgecolor="white",
                zorder=3, label=f"observed {side}", gid=f"observed-quantiles-{side}",
            )
    if predicted is not None:
        by_side = {side: predicted.quantiles(side, QUANTILES) for side in ("lower", "upper")}
        sides = [side for side in ("lower", "upper") if by_side[side] is not None]
        xs = [predicted.share(side) for side in sides]
        quantiles = [by_side[side] for side in sides]
        for i, level in enumerate(QUANTILES):
            ax.plot(
                xs, [q[i] for q in quantiles], color=_PREDICTED_COLOUR, linewidth=1.1, marker="x",
                markersize=6, label="predicted" if i == 0 else "_predicted", gid="predicted-quantiles",
            )
            ax.annotate(
                f"{level:g}".lstrip("0"), (xs[-1], quantiles[-1][i]), xytext=(8, 0),
                textcoords="offset points", va="center", fontsize=8, color="0.35",
            )
    # Headroom above the slowest quantile for the legend, which would otherwise sit on the lines.
    low, high = ax.get_ylim()
    ax.set_ylim(low, high + 0.22 * (high - low))
    ax.set_xlim(0.0, 1.0)
    ax.set_xticks([0.0, 0.25, 0.5, 0.75, 1.0])
    ax.set_xlabel("response proportion")
    ax.set_ylabel("response-time quantile (s)")
    ax.set_title(f"Quantile-probability plot ({', '.join(f'{q:g}' for q in QUANTILES)})", fontsize=11)
    ax.spines[["top", "right"]].set_visible(False)
    ax.grid(axis="y", color="0.9", linewidth=0.8)
    ax.legend(loc="upper center", ncol=3, fontsize=8, frameon=False, handletextpad=0.3, columnspacing=1.2)


_STANDARD_NAMES = (*PARAMETER_NAMES, "noise_sd")


def _parameter_summary(params: Mapping[str, Any]) -> str:
    summary = (
        f"fitted:   drift {params['drift_rate']:.3g}   boundary {params['boundary_separation']:.3g}   "
        f"start {params.get('starting_point', 0.5):.3g}   t0 {params['non_decision_time']:.3g} s   "
        f"noise sd {params.get('noise_sd', 1.0):.3g}"
    )
    # The variabilities and the lapse weight, where a fit has them and they are not zero.
    extra = [
        (label, params.get(name, 0.0))
        for label, name in (("sv", "drift_rate_sd"), ("sz", "starting_point_range"), ("st0", "non_decision_time_range"),
                            ("lapses", "contamination"))
    ]
    shown = "   ".join(f"{label} {value:.3g}" for label, value in extra if value and not math.isnan(value))
    # A generalized model's own parameters, all of them: a collapse time of 0 would be news too.
    model = params.get("model")
    own = [name for name in getattr(model, "parameter_names", ()) if name not in _STANDARD_NAMES]
    shown += "".join(f"   {name.replace('_', ' ')} {float(params[name]):.3g}" for name in own if name in params)
    return f"{summary}   {shown}" if shown else summary


def _draw_fit(
    rt_ax: Any,
    qp_ax: Any,
    observed: _Outcomes,
    predicted: Any,
    edges: np.ndarray,
    formatter: Any,
) -> None:
    _draw_distributions(rt_ax, observed, predicted, edges, formatter)
    rt_ax.set_xlabel("response time (s)")
    rt_ax.set_ylabel("density × proportion (1/s)\nlower boundary below the axis")
    rt_ax.set_title(f"Response-time distributions ({observed.n} trials)", fontsize=11)
    # Observed entries first, the prediction last.
    entries = sorted(zip(*rt_ax.get_legend_handles_labels()), key=lambda entry: entry[1] == "predicted")
    rt_ax.legend(
        [handle for handle, _ in entries],
        [predicted.legend if label == "predicted" else label for _, label in entries],
        loc="center right", fontsize=8, frameon=False,
    )
    _draw_quantile_probability(qp_ax, observed, predicted)


def plot_fit(
    data: Any,
    params: Mapping[str, float],
    *,
    rt: str = "rt",
    choice: str = "choice",
    rt_unit: str = "s",
    upper: Any = None,
    n_sim: int = 20000,
    seed: int = 0,
    bins: Union[int, Sequence[float], None] = None,
    ax: Optional[Tuple[Any, Any]] = None,
    title: Optional[str] = None,
    model: Any = None,
) -> Any:
    """Draw observed response times against those predicted by fitted parameters.

    Left: the response-time densities of the upper boundary above the axis and of the lower
    boundary mirrored below it, each scaled by its proportion of trials (bars observed, lines
    predicted). Right: a quantile-probability plot, the 0.1, 0.3, 0.5, 0.7 and 0.9 quantiles of
    each boundary's times at x = that boundary's proportion of responses.

    Parameters
    ----------
    data : pandas.DataFrame or tuple of array_like
        A table with columns ``rt`` and ``choice``, or a ``(choices, rts)`` pair of arrays.
        Choices are booleans or 0/1 (True/1: upper boundary), or labels of which ``upper``
        names the upper-boundary one.
    params : mapping
        Parameters like the result of a fit. With all seven parameters of the full model (as
        :func:`ventrola.fit_ml` results have), or a generalized model (the result's ``"model"``
        or ``model``), the prediction is exact: the model's density and distribution function,
        with the lapses of its ``contamination`` spread up to the slowest observed time;
        otherwise ``n_sim`` trials simulated from it with ``seed``.
    rt, choice : str, optional
        The table's columns (default ``"rt"`` and ``"choice"``).
    rt_unit : {"s", "ms"}, optional
        The unit of the response times; the figure shows seconds.
    upper : object, optional
        The label of upper-boundary responses.
    n_sim, seed : int, optional
        Simulated trials and their seed, where the prediction is simulated (20,000 and 0).
    bins : int or sequence of float, optional
        A count of equal bins (by default 12 to 40, more for more trials) or the bin edges in
        seconds.
    ax : tuple of two matplotlib Axes, optional
        Axes to draw into (distributions, quantile-probability plot).
    title : str, optional
        The figure's title (default: the parameters).
    model : ventrola.DDM, optional
        The model the parameters belong to, when they do not say it themselves (a row of a
        :func:`ventrola.fit_frame` table, say).

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ImportError
        When matplotlib is not installed.
    ValueError
        For a missing column, non-numeric or missing times, unmapped choice labels or
        parameters that cannot be simulated.
    """
    Figure, FigureCanvasAgg, FuncFormatter = _matplotlib()
    observed = _outcomes(data, rt, choice, rt_unit, upper)
    if observed.n == 0:
        raise ValueError("no trials to plot")
    predicted = predict(params, n_sim, seed, _longest(observed), model)
    if model is not None and "model" not in params:
        params = {**params, "model": model}
    edges = _bin_edges(
        _bin_count(observed.n) if bins is None else bins,
        observed.upper, observed.lower, *predicted.samples(),
    )
    if ax is None:
        fig = Figure(figsize=(11.5, 4.6), layout="constrained")
        FigureCanvasAgg(fig)
        rt_ax, qp_ax = fig.subplots(1, 2, gridspec_kw={"width_ratios": (1.6, 1.0)})
    else:
        rt_ax, qp_ax = ax
        fig = rt_ax.figure
    _draw_fit(rt_ax, qp_ax, observed, predicted, edges, FuncFormatter)
    fig.suptitle(_parameter_summary(params) if title is None else title, fontsize=11)
    return fig


# --- the CLI's picture of a whole table -----------------------------------------------------

_PARAMETERS = ("drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd")
# Columns of a maximum-likelihood fit, which are drawn exactly.
_FULL_MODEL = (*PARAMETER_NAMES, "noise_sd", "contamination")


def _longest(observed: _Outcomes) -> float:
    """The slowest observed time: lapses of a fit spread up to it."""
    return float(max(observed.upper.max(initial=0.0), observed.lower.max(initial=0.0)))


class _Panel(NamedTuple):
    label: str
    observed: Optional[_Outcomes]
    params: Optional[Mapping[str, float]]
    note: Optional[str]


def _group_label(by: Sequence[str], key: Tuple[Any, ...]) -> str:
    return ", ".join(f"{name}={value}" for name, value in zip(by, key)) if by else "all trials"


def _panels(
    trials_df: Any, fits_df: Any, rt: str, choice: str, by: List[str], rt_unit: str, upper: Any,
    model: Any = None,
) -> List[_Panel]:
    """One panel per row of `fits_df`: its trials, its parameters or why it has none."""
    import pandas as pd  # present: the tables are DataFrames

    frames.check_table(trials_df, [rt, choice, *by])
    choices, rts = _table_arrays(trials_df, rt, choice, rt_unit, upper)
    if by:
        grouped = trials_df.groupby(by, sort=False, observed=True)
        positions = {key if isinstance(key, tuple) else (key,): rows for key, rows in grouped.indices.items()}
    else:
        positions = {(): np.arange(len(trials_df))}
    errors = fits_df["error"] if "error" in fits_df.columns else None
    panels = []
    for i in range(len(fits_df)):
        row = fits_df.iloc[i]
        key = tuple(row[name] for name in by)
        label = _group_label(by, key)
        rows = positions.get(key)
        if rows is None or len(rows) == 0:
            panels.append(_Panel(label, None, None, "no trials in the table"))
            continue
        observed = _Outcomes.of(choices[rows], rts[rows])
        error = errors.iloc[i] if errors is not None else None
        if error is not None and not pd.isna(error):
            panels.append(_Panel(label, observed, None, f"not fitted: {error}"))
        else:
            names = _FULL_MODEL if all(name in fits_df.columns for name in _FULL_MODEL) else _PARAMETERS
            params: dict[str, Any] = {name: float(row[name]) for name in names}
            if generalized_model({}, model) is not None:
                params.update({name: float(row[name]) for name in model.parameter_names if name in fits_df.columns})
                params["model"] = model
            panels.append(_Panel(label, observed, params, None))
    return panels


def _note(ax: Any, text: str, small: bool) -> None:
    ax.text(
        0.5, 0.5, textwrap.fill(text, 34 if small else 60), transform=ax.transAxes, ha="center",
        va="center", fontsize=7 if small else 10, color="#8a1c1c", gid="note",
        bbox={"boxstyle": "round", "facecolor": "white", "edgecolor": "#8a1c1c", "alpha": 0.9},
    )


def _panel_prediction(panel: _Panel, n_sim: int) -> Tuple[Any, Optional[str]]:
    """The panel's prediction and its note; parameters that cannot be drawn become the note."""
    if panel.params is None or panel.observed is None:
        return None, panel.note
    try:
        return predict(panel.params, n_sim, 0, _longest(panel.observed)), panel.note
    except ValueError as exc:
        verb = "draw" if all(name in panel.params for name in PARAMETER_NAMES) else "simulate"
        return None, f"cannot {verb} the fit: {exc}"


def _single_figure(panel: _Panel, n_sim: int) -> Any:
    Figure, FigureCanvasAgg, FuncFormatter = _matplotlib()
    fig = Figure(figsize=(11.5, 4.6), layout="constrained")
    FigureCanvasAgg(fig)
    rt_ax, qp_ax = fig.subplots(1, 2, gridspec_kw={"width_ratios": (1.6, 1.0)})
    if panel.observed is None:
        _note(rt_ax, panel.note or "", small=False)
        qp_ax.set_axis_off()
        fig.suptitle(panel.label, fontsize=11)
        return fig
    predicted, note = _panel_prediction(panel, n_sim)
    extra = predicted.samples() if predicted is not None else ()
    edges = _bin_edges(_bin_count(panel.observed.n), panel.observed.upper, panel.observed.lower, *extra)
    _draw_fit(rt_ax, qp_ax, panel.observed, predicted, edges, FuncFormatter)
    summary = _parameter_summary(panel.params) if panel.params is not None else "not fitted"
    fig.suptitle(f"{panel.label}:   {summary}", fontsize=11)
    if note:
        _note(rt_ax, note, small=False)
    return fig


def _grid_figure(panels: List[_Panel], n_groups: int, n_sim: int) -> Any:
    Figure, FigureCanvasAgg, FuncFormatter = _matplotlib()
    n = len(panels)
    # At most six columns; among the near-square shapes, the one with the fewest empty cells.
    widths = range(min(6, math.ceil(math.sqrt(n))), min(6, n) + 1)
    ncols = min(widths, key=lambda cols: (-n % cols, cols))
    nrows = math.ceil(n / ncols)
    # Fixed margins in inches: a layout engine costs seconds over dozens of panels.
    width, height = 2.5 * ncols + 0.9, 2.0 * nrows + 1.3
    fig = Figure(figsize=(width, height))
    FigureCanvasAgg(fig)
    fig.subplots_adjust(
        left=0.8 / width, right=1 - 0.15 / width, bottom=0.55 / height, top=1 - 0.75 / height,
        wspace=0.45 / 2.1, hspace=0.45 / 1.6,
    )
    axes = fig.subplots(nrows, ncols, sharex=True, squeeze=False)
    observed = [p.observed for p in panels if p.observed is not None]
    typical = float(np.median([o.n for o in observed])) if observed else 0.0
    edges = _bin_edges(_bin_count(typical), *(rts for o in observed for rts in (o.upper, o.lower)))
    for ax, panel in zip(axes.flat, panels):
        note = panel.note
        if panel.observed is not None:
            predicted, note = _panel_prediction(panel, n_sim)
            _draw_distributions(ax, panel.observed, predicted, edges, FuncFormatter, small=True)
        else:
            ax.set_xlim(edges[0], edges[-1])
            ax.set_yticks([])
        if note:
            _note(ax, note, small=True)
        ax.set_title(panel.label, fontsize=8)
    for index, ax in enumerate(axes.flat):
        if index >= n:
            ax.set_axis_off()
        elif index + ncols >= n:
            # Nothing drawn below this panel, so it carries the time labels of its column.
            ax.xaxis.set_tick_params(labelbottom=True)
    shown = f"first {n} of {n_groups} groups" if n < n_groups else f"{n} groups"
    fig.suptitle(
        f"Observed (bars) and predicted (lines) response-time distributions, {shown}\n"
        "upper boundary above the axis, lower boundary below; p = share of upper / lower responses",
        fontsize=10,
    )
    fig.supxlabel("response time (s)", fontsize=9, y=0.08 / height)
    fig.supylabel("density × proportion (1/s)", fontsize=9, x=0.12 / width)
    return fig


def save_fit_plots(
    trials_df: Any,
    fits_df: Any,
    path: Union[str, "os.PathLike[str]"],
    *,
    rt: str,
    choice: str,
    by: Union[str, Sequence[str], None],
    rt_unit: str = "s",
    upper: Any = None,
    n_sim: int = 20000,
    model: Any = None,
) -> Any:
    """Write one picture of the fits of a whole table to ``path``.

    One group gets the two-panel :func:`plot_fit` figure; several get a grid of response-time
    panels, at most ``MAX_PANELS`` (the first ones, as the title then says). Groups whose fit
    failed show their data and the error. Predictions are exact for rows with the full
    model's parameters (``method="ml"``), else ``n_sim`` trials simulated per group with seed
    0. The figure is rendered whole before the file is opened.

    Parameters
    ----------
    trials_df : pandas.DataFrame
        The trials: columns ``rt``, ``choice`` and the group columns ``by``.
    fits_df : pandas.DataFrame
        One row per group as :func:`ventrola.fit_frame` returns it.
    path : str or os.PathLike
        The file; its suffix gives the format (PNG without one).
    rt, choice : str
        The trials' columns.
    by : str or list of str or None
        The group columns.
    rt_unit : {"s", "ms"}, optional
        The unit of the response times.
    upper : object, optional
        The label of upper-boundary responses.
    n_sim : int, optional
        Simulated trials per group where the prediction is simulated (20,000).
    model : ventrola.DDM, optional
        The model ``fits_df`` was fitted with (``fit_frame(..., model=...)``): its density is
        drawn, its own parameters read from their columns.

    Returns
    -------
    matplotlib.figure.Figure
        The figure written.

    Raises
    ------
    ImportError
        When matplotlib is not installed.
    ValueError
        For an empty table of fits, or a table the picture cannot be drawn from.
    OSError
        When the file cannot be written.
    """
    _matplotlib()
    by = frames.normalise_by(by)
    n_groups = len(fits_df)
    if n_groups == 0:
        raise ValueError("no fitted groups to plot")
    panels = _panels(trials_df, fits_df.iloc[:MAX_PANELS], rt, choice, by, rt_unit, upper, model)
    fig = _single_figure(panels[0], n_sim) if n_groups == 1 else _grid_figure(panels, n_groups, n_sim)
    # Render fully before touching the file, so a failed drawing leaves nothing behind.
    fmt = os.path.splitext(os.fspath(path))[1].lstrip(".").lower() or "png"
    buffer = io.BytesIO()
    fig.savefig(buffer, format=fmt, dpi=150 if n_groups == 1 else 110)
    with open(path, "wb") as out:
        out.write(buffer.getvalue())
    return fig
