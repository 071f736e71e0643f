"""A hierarchical PyMC model of a table of trials: participants drawn from a
group, parameters optionally varying over conditions."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Optional, Union

import numpy as np
import pymc as pm
import pytensor.tensor as pt
from pytensor.tensor.variable import TensorVariable

from ventrola.bayes.distribution import WienerDDM
from ventrola.bayes.priors import lapse_prior, participant_priors, shared_priors, shared_variable
from ventrola.bayes.model_options import (
    DEFAULT_FREE,
    TRIAL_DIM,
    checked_centred,
    checked_contamination,
    checked_depends_on,
    checked_free,
    fixed_values,
)
from ventrola.bayes.trial_table import TrialTable, read_trials
from ventrola.parameters import GroupPrior

if TYPE_CHECKING:
    import pandas as pd

OBSERVED_NAME = "signed_rt"


def hierarchical_model(
    trials: pd.DataFrame,
    *,
    rt: str = "rt",
    choice: str = "choice",
    by: str = "subject",
    free: Sequence[str] = DEFAULT_FREE,
    depends_on: Optional[Mapping[str, Union[str, Sequence[str]]]] = None,
    fixed: Optional[Mapping[str, float]] = None,
    contamination: Union[float, str] = 0.0,
    centred: Sequence[str] = (),
    upper: Any = None,
    rt_unit: str = "s",
) -> pm.Model:
    """A hierarchical drift-diffusion model of a table of trials, as a ``pm.Model``.

    ``trials`` has one row per trial; ``rt``, ``choice``, ``upper`` and
    ``rt_unit`` read it as :func:`ventrola.fit_frame` does (response times in
    seconds or ``"ms"``; choices booleans, 0/1, or labels with ``upper=``).
    ``by`` names the column of participants.

    ``free`` names the estimated parameters (named as for
    ``ventrola.wiener_logpdf``; by default ``drift_rate``,
    ``boundary_separation`` and ``non_decision_time``). The others
    are held at ``fixed[name]`` or their defaults (``starting_point`` 0.5,
    variabilities 0); ``noise_sd`` is 1. ``depends_on`` maps a free parameter
    to a column (or list of columns): the parameter then takes one value per
    level (or combination of levels) of those columns, e.g.
    ``depends_on={"drift_rate": "condition"}``. ``contamination`` is the
    lapse weight: a number held fixed (0, the default, is the pure model) or
    ``"free"`` to estimate it; the lapse window is the largest response time
    in the table.

    Variables (``p`` a parameter name, ``subject`` the ``by`` column):

    - ``drift_rate``, ``boundary_separation``, ``starting_point`` and
      ``non_decision_time`` vary over participants, non-centred:
      ``p_mu`` and ``p_sigma`` are the group's location and spread on the
      link scale, ``p_z`` each participant's standard normal offset, and the
      deterministic ``p_subject`` each participant's value on the natural
      scale. A parameter named in ``centred`` is sampled centred instead:
      ``p_link ~ Normal(p_mu, p_sigma)`` per participant, on the link scale,
      which samples faster when every participant's data pin their own value
      down (many trials); non-centred suits few trials per participant.
      Links and priors: drift rate identity, ``mu ~ Normal(0, 3)``,
      ``sigma ~ HalfNormal(1.5)``; boundary separation log,
      ``mu ~ Normal(log 1.5, 0.6)``, ``sigma ~ HalfNormal(0.5)``; starting
      point logit, ``mu ~ Normal(0, 0.6)``, ``sigma ~ HalfNormal(0.5)``
      (when ``starting_point_range`` sz is not 0 the value is squeezed into
      ``(sz/2, 1 - sz/2)``); non-decision time a logit-scale fraction of a
      bound it stays below, ``mu ~ Normal(1, 1.2)``,
      ``sigma ~ HalfNormal(0.8)``: the bound is the participant's fastest
      response time in the cell, or the median one when ``contamination`` is
      not 0 (lapses may then be faster than t0).
    - ``drift_rate_sd ~ HalfNormal(1.5)``, ``starting_point_range ~
      Uniform(0, 1)`` (``Uniform(0, 2 min(w, 1 - w))`` with the starting point
      fixed at w) and ``non_decision_time_range ~ HalfNormal(0.2)`` seconds
      take one value shared by all participants.
    - ``contamination ~ Beta(1, 19)`` when free.
    - ``signed_rt``: the observed trials, ``rt`` for upper-boundary responses
      and ``-rt`` for lower ones (see :class:`ventrola.bayes.WienerDDM`).

    Dimensions: the ``by`` column (the participants' labels, sorted), each
    ``depends_on`` column (its levels, sorted; parameters over several
    columns cross their levels, and combinations absent from the data keep
    their prior) and ``trial`` (row positions in the table).

    Sample with ``pm.sample()`` inside ``with model:``; the result is ArviZ
    ``InferenceData``. Raises ``ValueError`` for a bad table (as ``fit_frame``
    does; response times must also be positive) and for bad ``free``,
    ``depends_on``, ``fixed``, ``contamination`` or ``centred``.
    """
    if not isinstance(by, str):
        raise ValueError(f"by must name one column, not {by!r}")
    if by in (TRIAL_DIM, "mu", "sigma", "z", "link"):
        raise ValueError(f"by cannot be {by!r}: the model uses that name itself; rename the column")
    free_names = checked_free(free)
    centred = checked_centred(centred, free_names)
    dependencies = checked_depends_on(depends_on, free_names, by)
    held = fixed_values(fixed, free_names)
    lapse_weight = checked_contamination(contamination)
    level_columns = list(dict.fromkeys(column for columns in dependencies.values() for column in columns))
    table = read_trials(trials, rt, choice, by, level_columns, upper, rt_unit)
    coords = {by: table.participants, **table.levels, TRIAL_DIM: np.arange(len(table.signed_rts))}

    with pm.Model(coords=coords) as model:
        per_trial: dict[str, Any] = dict(held)
        level_values: dict[str, tuple[Any, tuple[str, ...]]] = {}
        for name, shared in shared_priors().items():
            if name in free_names:
                columns = dependencies.get(name, ())
                variable = shared_variable(name, shared, columns or None, held)
                level_values[name] = (variable, columns)
                per_trial[name] = at_trials(variable, table.cell_of_trial(columns, per_participant=False))
        for name, prior in participant_priors().items():
            if name in free_names:
                columns = dependencies.get(name, ())
                values = participant_parameter(
                    name, prior, table, columns, level_values, held, name in centred, lapse_weight != 0.0
                )
                per_trial[name] = at_trials(values, table.cell_of_trial(columns))
        if lapse_weight == "free":
            per_trial["contamination"] = shared_variable("contamination", lapse_prior(), None, held)
        else:
            per_trial["contamination"] = float(lapse_weight)
        WienerDDM(
            OBSERVED_NAME,
            **per_trial,
            max_rt=float(table.rts.max()),
            observed=table.signed_rts,
            dims=TRIAL_DIM,
        )
    return model


def at_trials(values: TensorVariable, cells: np.ndarray) -> TensorVariable:
    return values.flatten()[cells] if values.ndim else values


def participant_parameter(
    name: str,
    prior: GroupPrior,
    table: TrialTable,
    columns: tuple[str, ...],
    level_values: Mapping[str, tuple[Any, tuple[str, ...]]],
    held: Mapping[str, float],
    centred: bool,
    lapses: bool,
) -> TensorVariable:
    """The participant-level values (participant x levels) of one parameter, on its natural scale."""
    by = table.participant_column
    dims = columns or None
    mu = pm.Normal(f"{name}_mu", prior.mu_mean, prior.mu_sd, dims=dims)
    sigma = pm.HalfNormal(f"{name}_sigma", prior.sigma_scale, dims=dims)
    if centred:
        eta = pm.Normal(f"{name}_link", mu, sigma, dims=(by, *columns))
    else:
        z = pm.Normal(f"{name}_z", 0.0, 1.0, dims=(by, *columns))
        eta = mu + sigma * z
    if prior.link == "identity":
        natural = eta
    elif prior.link == "log":
        natural = pt.exp(eta)
    elif prior.link == "logit_of_bound":
        natural = pt.as_tensor_variable(t0_bounds(table, columns, lapses)) * pm.math.sigmoid(eta)
    else:
        natural = pm.math.sigmoid(eta)
        if name == "starting_point":
            squeeze = starting_point_range_over(by, columns, level_values, held)
            if squeeze is not None:
                natural = squeeze / 2 + (1 - squeeze) * natural
    return pm.Deterministic(f"{name}_{by}", natural, dims=(by, *columns))


def t0_bounds(table: TrialTable, columns: tuple[str, ...], lapses: bool) -> np.ndarray:
    """The largest non-decision time of each cell: the fastest response, where
    the model alone must produce every trial; with lapses, which may be faster
    than t0, the median response."""
    return table.cell_statistic(columns, np.median if lapses else np.min)


def starting_point_range_over(
    by: str, columns: tuple[str, ...], level_values: Mapping[str, tuple[Any, tuple[str, ...]]], held: Mapping[str, float]
) -> Optional[Any]:
    """sz laid out over the starting point's participant x levels array, or None when it is 0."""
    if "starting_point_range" in level_values:
        variable, sz_columns = level_values["starting_point_range"]
        pattern = ["x"] + [sz_columns.index(column) if column in sz_columns else "x" for column in columns]
        return variable.dimshuffle(pattern)
    sz = held.get("starting_point_range", 0.0)
    return sz if sz else None
