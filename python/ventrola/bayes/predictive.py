"""Sampling with the pointwise log-likelihood stored, replicated data from the posterior, and
their picture: observed quantile-probability points over the predictive bands, and response-time
densities, one row per condition.

The log-likelihood of every trial at every draw (the ``log_likelihood`` group of the
InferenceData) is what ``arviz.loo`` and ``arviz.compare`` read. A replicated data set is the
model's simulation (:func:`ventrola.simulate_ddm`) of every trial with that trial's parameters
at one posterior draw, observed as the data were: a trial known by its choice only keeps only
the replicated choice (``+inf`` or ``-inf``), a response after its deadline is none (0), and
with a window only times inside it are drawn.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Optional, Union

import numpy as np
import numpy.typing as npt
import pymc as pm

from ventrola.bayes.adaptation import adapting_step
from ventrola.bayes.hierarchical import OBSERVED_NAME

if TYPE_CHECKING:
    import arviz as az
    import pandas as pd

QUANTILES = (0.1, 0.3, 0.5, 0.7, 0.9)
_UPPER_COLOUR = "#2f6cb0"
_LOWER_COLOUR = "#c8463d"


def sample(
    model: pm.Model, draws: int = 1000, tune: int = 1000, chains: int = 2, *, early_adaptation: bool = True,
    dense: Optional[bool] = None, **kwargs: Any,
) -> az.InferenceData:
    """``pm.sample`` of a model, with the pointwise log-likelihood stored for LOO.

    Parameters
    ----------
    model : pymc.Model
        A model of :func:`ventrola.bayes.hierarchical_model` (or any with observed variables).
    draws, tune, chains : int, optional
        As ``pm.sample`` takes them (1000, 1000, 2).
    early_adaptation : bool, optional
        True (the default): NUTS with a diagonal mass matrix that adapts from the tenth tuning
        draw on, instead of ``pm.sample``'s identity for the first hundred, and is dense from the
        150th where ``dense`` says so, from starting points jittered as ``pm.sample``'s
        default jitters them (``ventrola.bayes.adaptation``). The parameters of a drift-diffusion
        model differ in posterior scale by orders of magnitude, and the identity then makes the
        first hundred draws the costliest of the run; some are strongly correlated (the
        variabilities with each other and with the non-decision time), which a diagonal matrix
        follows in short steps. With the dense matrix NUTS's ``target_accept`` is 0.85 unless
        given. False, or
        a ``step``, ``init`` or ``initvals`` among ``kwargs``, or ``chains=None``: ``pm.sample``'s
        own start.
    dense : bool, optional
        With early adaptation, whether the mass matrix turns dense from the 150th tuning draw.
        None (the default): where the model estimates an across-trial variability
        (``drift_rate_sd``, ``starting_point_range``, ``non_decision_time_range``), whose
        posteriors are correlated; never for models of more than 200 parameters. The full
        model's hierarchical example then takes 15 leapfrog steps per draw instead of 17 to 28;
        the regression example's random effects gained nothing per second from it and lost ESS.
    **kwargs
        Further arguments of ``pm.sample`` (``random_seed``, ``cores``, ``target_accept``, ...).

    Returns
    -------
    arviz.InferenceData
        With the ``log_likelihood`` group: one value per trial and draw, as ``arviz.loo`` and
        ``arviz.compare`` need.
    """
    idata_kwargs = {"log_likelihood": True, **kwargs.pop("idata_kwargs", {})}
    if early_adaptation:
        adapted = adapting_step(model, chains, kwargs.get("random_seed"), kwargs, dense)
        if adapted is not None:
            kwargs["step"], kwargs["initvals"] = adapted
    with model:
        return pm.sample(draws=draws, tune=tune, chains=chains, idata_kwargs=idata_kwargs, **kwargs)


def posterior_predictive(
    idata: az.InferenceData, model: pm.Model, draws: int = 100, random_seed: Any = None
) -> az.InferenceData:
    """Replicated data sets, one per posterior draw, from the model's simulation.

    Parameters
    ----------
    idata : arviz.InferenceData
        A fit of ``model`` (its ``posterior`` group).
    model : pymc.Model
        The model that was sampled (from :func:`ventrola.bayes.hierarchical_model`).
    draws : int, optional
        How many posterior draws to replicate the data from, evenly spread over the chains and
        draws (default 100); each replicate simulates every trial once.
    random_seed : int, optional
        Seeds the replicates.

    Returns
    -------
    arviz.InferenceData
        ``posterior_predictive`` holds ``signed_rt`` with dims (chain, draw, trial): ``rt`` for
        an upper response, ``-rt`` for a lower one, ``+inf``/``-inf`` where the observed trial
        has only its choice, 0 for no response by the deadline; ``observed_data`` the trials.

    Raises
    ------
    ValueError
        When ``idata`` has no posterior or ``draws`` is not positive.
    """
    import arviz as az

    if "posterior" not in idata.groups():
        raise ValueError("idata has no posterior group: sample the model first")
    groups: Any = idata  # ArviZ adds the groups as attributes
    if isinstance(draws, bool) or not isinstance(draws, (int, np.integer)) or draws < 1:
        raise ValueError(f"draws must be a positive integer, not {draws!r}")
    posterior = groups.posterior
    n_chains, n_draws = posterior.sizes["chain"], posterior.sizes["draw"]
    per_chain = max(1, min(n_draws, -(-draws // n_chains)))
    picked = np.unique(np.linspace(0, n_draws - 1, per_chain).round().astype(int))
    thinned = az.InferenceData(posterior=posterior.isel(draw=picked))
    with model:
        predictive = pm.sample_posterior_predictive(
            thinned, var_names=[OBSERVED_NAME], random_seed=random_seed, progressbar=False,
        )
    observed = _observed(model)
    replicated = getattr(predictive, "posterior_predictive")[OBSERVED_NAME]
    values = np.array(replicated.values)
    choice_only = np.isinf(observed)
    if choice_only.any():
        values[..., choice_only] = np.where(values[..., choice_only] > 0, np.inf, -np.inf)
    getattr(predictive, "posterior_predictive")[OBSERVED_NAME] = replicated.copy(data=values)
    return predictive


def _observed(model: pm.Model) -> npt.NDArray[np.float64]:
    variable = model[OBSERVED_NAME]
    data = model.rvs_to_values[variable]
    return np.asarray(data.data if hasattr(data, "data") else data.eval(), dtype=np.float64)


def _replicates(predictive: az.InferenceData) -> npt.NDArray[np.float64]:
    values = np.asarray(getattr(predictive, "posterior_predictive")[OBSERVED_NAME].values, dtype=np.float64)
    return values.reshape(-1, values.shape[-1])


def plot_posterior_predictive(
    predictive: az.InferenceData,
    trials: pd.DataFrame,
    *,
    by: Union[str, Sequence[str], None] = None,
    band: float = 0.9,
    bins: int = 40,
) -> Any:
    """Observed quantile-probability points over the posterior predictive bands, and observed
    response-time densities over the predictive ones, one row of two panels per condition.

    Parameters
    ----------
    predictive : arviz.InferenceData
        From :func:`posterior_predictive`.
    trials : pandas.DataFrame
        The table the model was built from, rows in the same order.
    by : str or list of str, optional
        The condition columns: one row of panels per combination (None: all trials in one row).
        The observed trials themselves come with ``predictive``.
    band : float, optional
        The central share of the replicates the bands cover (0.9).
    bins : int, optional
        Histogram bins of the response-time densities (40).

    Returns
    -------
    matplotlib.figure.Figure
        Left: for each boundary the 0.1, 0.3, 0.5, 0.7 and 0.9 quantiles of its response times
        at its share of the trials, observed as points and predicted as boxes spanning the band
        in both directions. Right: upper-boundary times above the axis, lower ones below, the
        observed histogram as bars and the predictive density's band and median as a shaded
        area and a line. Trials without a time count in the shares only.

    Raises
    ------
    ValueError
        When the table and the replicates differ in length, or ``band`` is not in (0, 1).
    ImportError
        When matplotlib is not installed.
    """
    from ventrola.plotting import _matplotlib

    Figure, FigureCanvasAgg, _formatter = _matplotlib()
    if not 0.0 < band < 1.0:
        raise ValueError(f"band must lie strictly between 0 and 1, not {band!r}")
    replicates = _replicates(predictive)
    observed = np.asarray(getattr(predictive, "observed_data")[OBSERVED_NAME].values, dtype=np.float64) \
        if "observed_data" in predictive.groups() else None
    if observed is None or len(observed) != len(trials):
        raise ValueError(f"the replicates have {replicates.shape[-1]} trials and the table {len(trials)} rows: "
                         "pass the table the model was built from")
    columns = [by] if isinstance(by, str) else list(by or [])
    if columns:
        labels = trials[columns].astype(str).agg(", ".join, axis=1).to_numpy()
        conditions = list(dict.fromkeys(sorted(labels)))
    else:
        labels = np.full(len(trials), "all trials")
        conditions = ["all trials"]
    timed = np.abs(observed[np.isfinite(observed) & (observed != 0)])
    edges = np.linspace(0.0, float(np.quantile(timed, 0.99)) * 1.1 if timed.size else 1.0, bins + 1)
    figure = Figure(figsize=(11, 3.6 * len(conditions)), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(len(conditions), 2, squeeze=False)
    tail = (1.0 - band) / 2.0
    for row, condition in enumerate(conditions):
        rows = labels == condition
        _quantile_panel(axes[row, 0], observed[rows], replicates[:, rows], tail)
        _density_panel(axes[row, 1], observed[rows], replicates[:, rows], edges, tail)
        axes[row, 0].set_title(f"{condition}: quantile probability ({len(replicates)} replicates)", fontsize=10)
        axes[row, 1].set_title(f"{condition}: response times ({int(rows.sum())} trials)", fontsize=10)
    return figure


def _shares_and_quantiles(signed: npt.NDArray[np.float64]) -> dict[str, tuple[float, npt.NDArray[np.float64]]]:
    """Per boundary its share of all trials and the quantiles of its times (NaN without any)."""
    result = {}
    for side, pick in (("upper", signed > 0), ("lower", signed < 0)):
        times = np.abs(signed[pick & np.isfinite(signed)])
        share = float(np.count_nonzero(pick)) / max(len(signed), 1)
        quantiles = np.quantile(times, QUANTILES) if times.size >= len(QUANTILES) else np.full(len(QUANTILES), np.nan)
        result[side] = (share, quantiles)
    return result


def _quantile_panel(ax: Any, observed: npt.NDArray[np.float64], replicates: npt.NDArray[np.float64], tail: float) -> None:
    predicted = [_shares_and_quantiles(replicate) for replicate in replicates]
    for side, colour in (("upper", _UPPER_COLOUR), ("lower", _LOWER_COLOUR)):
        shares = np.array([p[side][0] for p in predicted])
        quantiles = np.array([p[side][1] for p in predicted])
        share_low, share_high = np.quantile(shares, [tail, 1 - tail])
        for k in range(len(QUANTILES)):
            column = quantiles[:, k][~np.isnan(quantiles[:, k])]
            if not column.size:
                continue
            low, high = np.quantile(column, [tail, 1 - tail])
            ax.fill_between([share_low - 0.005, share_high + 0.005], low, high, color=colour, alpha=0.25, linewidth=0,
                            label=f"predicted {side}" if k == 0 else None)
        share, times = _shares_and_quantiles(observed)[side]
        if not np.isnan(times).all():
            ax.plot(np.full(len(QUANTILES), share), times, linestyle="none", marker="o", markersize=6, color=colour,
                    markeredgecolor="white", zorder=3, label=f"observed {side}")
    # Headroom above the slowest quantile for the legend.
    low, high = ax.get_ylim()
    ax.set_ylim(low, high + 0.25 * (high - low))
    ax.set_xlim(0.0, 1.0)
    ax.set_xlabel("response proportion")
    ax.set_ylabel("response-time quantile (s)")
    ax.spines[["top", "right"]].set_visible(False)
    ax.legend(fontsize=7, frameon=False, loc="upper center", ncol=2)


def _density_panel(
    ax: Any, observed: npt.NDArray[np.float64], replicates: npt.NDArray[np.float64], edges: npt.NDArray[np.float64],
    tail: float,
) -> None:
    centres = 0.5 * (edges[:-1] + edges[1:])
    widths = np.diff(edges)
    for side, sign, colour in (("upper", 1.0, _UPPER_COLOUR), ("lower", -1.0, _LOWER_COLOUR)):
        def density(signed: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
            pick = (signed * sign > 0) & np.isfinite(signed)
            counts, _ = np.histogram(np.abs(signed[pick]), bins=edges)
            return counts / (max(len(signed), 1) * widths)

        observed_density = density(observed)
        ax.stairs(sign * observed_density, edges, fill=True, color=colour, alpha=0.35, linewidth=0,
                  label=f"observed {side}")
        predicted = np.array([density(replicate) for replicate in replicates])
        low, middle, high = np.quantile(predicted, [tail, 0.5, 1 - tail], axis=0)
        ax.fill_between(centres, sign * low, sign * high, color="0.2", alpha=0.2, linewidth=0,
                        label="predicted band" if sign > 0 else None)
        ax.plot(centres, sign * middle, color="0.1", linewidth=1.2, label="predicted median" if sign > 0 else None)
    ax.axhline(0.0, color="0.35", linewidth=0.8)
    ax.set_xlim(edges[0], edges[-1])
    ax.set_xlabel("response time (s)")
    ax.set_ylabel("density × proportion (1/s)\nlower boundary below")
    ax.spines[["top", "right"]].set_visible(False)
    ax.legend(fontsize=7, frameon=False, loc="upper right")
