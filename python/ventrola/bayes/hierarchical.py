"""A hierarchical PyMC model of a table of trials: participants drawn from a
group, parameters optionally varying over conditions or following formulas with
trial-level covariates and group-specific terms, trials observed in full or in
part."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Optional, Union

import numpy as np
import pymc as pm
import pytensor.tensor as pt
from pytensor.tensor.variable import TensorVariable

from ventrola.bayes.distribution import WienerDDM
from ventrola.bayes.general_distribution import GeneralDDM
from ventrola.bayes.regression import describe_regression_priors, regression_values
from ventrola.bayes.priors import describe_priors, lapse_prior, participant_priors, shared_priors, shared_variable
from ventrola.bayes.model_options import (
    TRIAL_DIM,
    default_free,
    checked_centred,
    checked_contamination,
    checked_depends_on,
    checked_free,
    fixed_values,
)
from ventrola._trial_arrays import refuse_t0_not_below_fastest
from ventrola.bayes.trial_table import TrialTable, read_trials
from ventrola.formulas import formula_names, link_of, parse_formulas
from ventrola.models import DDM, as_model
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
    free: Optional[Sequence[str]] = None,
    depends_on: Optional[Mapping[str, Union[str, Sequence[str]]]] = None,
    fixed: Optional[Mapping[str, float]] = None,
    contamination: Union[float, str] = 0.0,
    centred: Union[Sequence[str], Mapping[str, float]] = (),
    upper: Any = None,
    rt_unit: str = "s",
    formulas: Optional[Mapping[str, str]] = None,
    missing: Optional[str] = None,
    deadline: Union[str, float, None] = None,
    rt_range: Optional[tuple[float, float]] = None,
    model: Optional[DDM] = None,
) -> pm.Model:
    """A hierarchical drift-diffusion model of a table of trials, as a ``pm.Model``.

    Participants' parameters are drawn from a group distribution (non-centred by default);
    the trials' log-probability is the compiled likelihood with its analytic gradients, so
    NUTS samples every parameter.

    Parameters
    ----------
    trials : pandas.DataFrame
        One row per trial; ``rt``, ``choice``, ``upper`` and ``rt_unit`` read it as
        :func:`ventrola.fit_frame` does (response times in seconds or ``"ms"``, positive;
        choices booleans, 0/1, or labels with ``upper=``).
    rt, choice : str, optional
        The columns of response times and choices (``"rt"``, ``"choice"``).
    by : str, optional
        The column of participants (``"subject"``).
    free : sequence of str, optional
        The estimated parameters, named as for :func:`ventrola.wiener_logpdf` (and ``model``'s
        families' parameters); by default ``drift_rate``, ``boundary_separation`` and
        ``non_decision_time``, and all of ``model``'s families' own. The others are held at
        ``fixed[name]`` or their defaults (``starting_point`` 0.5, variabilities 0);
        ``noise_sd`` is 1.
    depends_on : dict of str to str or sequence of str, optional
        A free parameter's column (or columns): it then takes one value per level (or
        combination of levels), e.g. ``{"drift_rate": "condition"}``.
    fixed : dict of str to float, optional
        Values of parameters that are not free.
    contamination : float or "free", optional
        The lapse weight: a number in [0, 1) held fixed (0, the default, is the pure model) or
        ``"free"`` to estimate it; the lapse window is the largest response time in the table.
    centred : sequence of str or dict of str to float, optional
        Participant-level parameters sampled centred, ``p_link ~ Normal(p_mu, p_sigma)`` per
        participant on the link scale: faster when every participant's data pin their own
        value down (many trials); non-centred suits few trials per participant. For a parameter
        with a formula, its group-specific terms are centred. A dict gives each parameter a
        weight c from 0 (non-centred) to 1 (centred); in between the offsets are partially
        centred, ``p_z ~ Normal(c p_mu, p_sigma^c)`` and ``p_link = p_mu + p_sigma^(1 - c)
        (p_z - c p_mu)`` (Papaspiliopoulos, Roberts & Sköld, 2007), for data that pin the
        participants' values down about as tightly as the group spreads them: the full
        model's example samples its non-decision times best at 0.5.
    upper : object, optional
        The label of upper-boundary responses.
    rt_unit : {"s", "ms"}, optional
        The unit of the response times.
    formulas : dict of str to str, optional
        A formula per parameter on the table's columns, with group-specific terms in lme4's
        notation: ``{"drift_rate": "1 + coherence + (1 + coherence | subject)"}``. The parameter
        on each trial is its link (identity for the drift rate, log for positive parameters,
        logit for the starting point) of the linear predictor; it is estimated, and replaces
        that parameter's participant-level structure (give participants their own values with
        a term such as ``(1 | subject)``). See ``ventrola.bayes.regression`` for the
        variables and priors. Needs the ``[formulas]`` extra.
    missing : {None, "choice"}, optional
        ``"choice"``: an empty response-time cell is a trial known by its choice only (go/no-go:
        a withheld response at the lower boundary), which contributes the probability of that
        choice.
    deadline : str or float, optional
        A column of deadlines or one deadline, in ``rt_unit``: an empty response-time cell (its
        choice may be empty too) had no response by then.
    rt_range : (float, float), optional
        ``(low, high)`` in ``rt_unit``: only responses inside were kept; every density is
        renormalised to the window.
    model : ventrola.DDM, optional
        The model of every trial (default ``DDM()``, the seven-parameter model). A generalized
        one's families' parameters take one value for all participants (or per level of
        ``depends_on``) with the table's priors listed below; its likelihood and gradients
        come from the first-passage solver, one solve per participant and level at each
        evaluation, and its draws from its simulation (:class:`ventrola.bayes.GeneralDDM`).
        Trials must be timed: ``missing``, ``deadline`` and ``rt_range`` are refused with it.

    Returns
    -------
    pymc.Model
        With these variables (``p`` a parameter name, ``subject`` the ``by`` column):
        participant-level parameters have ``p_mu`` and ``p_sigma`` (the group's location and
        spread on the link scale), ``p_z`` (each participant's standard normal offset, partially
        centred with a weight below 1; ``p_link`` when centred) and the deterministic ``p_subject`` (each participant's value on the
        natural scale); shared parameters one variable ``p``; parameters with a formula the
        variables of ``ventrola.bayes.regression``; ``signed_rt`` the observed trials, ``rt``
        for upper-boundary responses and ``-rt`` for lower ones, ``+inf``/``-inf`` for a choice
        without its time and 0 for no response by the deadline (see
        :class:`ventrola.bayes.WienerDDM`). Dimensions: the ``by`` column (the participants'
        labels, sorted), each ``depends_on`` column (its levels, sorted; parameters over
        several columns cross their levels, and combinations absent from the data keep their
        prior) and ``trial`` (row positions in the table). Sample with
        :func:`ventrola.bayes.sample` (NUTS with a mass matrix that adapts from the first draws,
        the pointwise log-likelihood kept), or ``pm.sample()`` inside ``with model:``; the
        result is ArviZ ``InferenceData``.

    Raises
    ------
    ValueError
        For a bad table (as :func:`ventrola.fit_frame` does) and for bad ``free``,
        ``depends_on``, ``fixed``, ``contamination`` or ``centred``; for a formula that names an
        unknown parameter or column, does not parse, or groups by a column the table lacks; for
        a parameter with both a formula and ``depends_on`` (a factor belongs in the formula);
        for a family's parameter ``model`` does not use, a free parameter of a user's function
        (it has no prior), and trials observed in part with a generalized ``model``; for a fixed
        ``non_decision_time`` not below the fastest response without lapses (that trial would have
        likelihood 0), as :func:`ventrola.fit_ml` refuses it.

    Notes
    -----
    The priors, weakly informative on each parameter's natural scale (units of the noise,
    times in seconds), as the parameter table declares them:

{priors}

    With a formula, on the parameter's link scale:

{regression_priors}
    """
    if not isinstance(by, str):
        raise ValueError(f"by must name one column, not {by!r}")
    if by in (TRIAL_DIM, "mu", "sigma", "z", "link"):
        raise ValueError(f"by cannot be {by!r}: the model uses that name itself; rename the column")
    model = as_model(model)
    if not model.is_standard and (missing is not None or deadline is not None or rt_range is not None):
        raise ValueError(f"missing, deadline and rt_range apply to the seven-parameter model; {model!r} takes "
                         "timed trials")
    with_formulas = formula_names(formulas)
    free_names = checked_free(default_free(model) if free is None else free, model)
    free_names += tuple(name for name in with_formulas if name not in free_names)
    centred = checked_centred(centred, free_names, with_formulas)
    dependencies = checked_depends_on(depends_on, free_names, by)
    for name in with_formulas:
        if name in dependencies:
            raise ValueError(f"{name!r} has both a formula and depends_on: give its factor in the formula "
                             f"(e.g. '0 + C(column) + (1 | {by})')")
        if fixed and name in fixed:
            raise ValueError(f"{name!r} has a formula, so it is estimated: leave it out of fixed")
    held = fixed_values(fixed, free_names, model)
    lapse_weight = checked_contamination(contamination)
    level_columns = list(dict.fromkeys(column for columns in dependencies.values() for column in columns))
    table = read_trials(trials, rt, choice, by, level_columns, upper, rt_unit, missing, deadline, rt_range)
    if "non_decision_time" in held and lapse_weight == 0.0:
        # As fit_ml refuses it: a log-probability of -inf everywhere.
        refuse_t0_not_below_fastest(held["non_decision_time"], float(table.rts.min()))
    regressions = parse_formulas(formulas, trials, len(table.signed_rts), allow_groups=True,
                                 links=_formula_links(with_formulas, free_names, held))
    coords = {by: table.participants, **table.levels, TRIAL_DIM: np.arange(len(table.signed_rts))}

    with pm.Model(coords=coords) as pymc_model:
        per_trial: dict[str, Any] = dict(held)
        level_values: dict[str, tuple[Any, tuple[str, ...]]] = {}
        for name, shared in shared_priors(model.families).items():
            if name in free_names and name not in regressions:
                columns = dependencies.get(name, ())
                variable = shared_variable(name, shared, columns or None, held)
                level_values[name] = (variable, columns)
                per_trial[name] = at_trials(variable, table.cell_of_trial(columns, per_participant=False))
        for name, formula in regressions.items():
            if name in centred and not formula.groups:
                raise ValueError(f"centred names {name!r}, whose formula has no group-specific terms to centre")
            per_trial[name] = regression_values(formula, coords, centred=centred.get(name) == 1.0)
        for name, prior in participant_priors().items():
            if name in free_names and name not in regressions:
                columns = dependencies.get(name, ())
                values = participant_parameter(
                    name, prior, table, columns, level_values, held, centred.get(name, 0.0), lapse_weight != 0.0
                )
                per_trial[name] = at_trials(values, table.cell_of_trial(columns))
        if lapse_weight == "free":
            per_trial["contamination"] = shared_variable("contamination", lapse_prior(), None, held)
        else:
            per_trial["contamination"] = float(lapse_weight)
        observation: dict[str, Any] = {}
        if np.isfinite(table.deadlines).any():
            observation["deadline"] = table.deadlines
        if table.window != (0.0, np.inf):
            observation["rt_low"], observation["rt_high"] = table.window
        if model.is_standard:
            WienerDDM(
                OBSERVED_NAME,
                **per_trial,
                max_rt=float(np.nanmax(table.rts)),
                observed=table.signed_rts,
                dims=TRIAL_DIM,
                **observation,
            )
        else:
            GeneralDDM(OBSERVED_NAME, model, **per_trial, max_rt=float(np.nanmax(table.rts)),
                       observed=table.signed_rts, dims=TRIAL_DIM)
    return pymc_model


def _formula_links(with_formulas: tuple[str, ...], free: tuple[str, ...], held: Mapping[str, float]) -> dict[str, Any]:
    """A starting point with a formula stays inside the room a fixed starting-point range leaves."""
    if "starting_point" not in with_formulas:
        return {}
    if "starting_point_range" in free:
        raise ValueError("starting_point cannot have a formula while starting_point_range is free (the range must "
                         "fit around every trial's starting point): fix starting_point_range")
    half = held.get("starting_point_range", 0.0) / 2.0
    return {"starting_point": link_of("starting_point", half, 1.0 - half)}


hierarchical_model.__doc__ = (hierarchical_model.__doc__ or "").replace("{priors}", describe_priors()).replace(
    "{regression_priors}", describe_regression_priors())


def at_trials(values: TensorVariable, cells: np.ndarray) -> TensorVariable:
    return values.flatten()[cells] if values.ndim else values


def participant_parameter(
    name: str,
    prior: GroupPrior,
    table: TrialTable,
    columns: tuple[str, ...],
    level_values: Mapping[str, tuple[Any, tuple[str, ...]]],
    held: Mapping[str, float],
    centred: float,
    lapses: bool,
) -> TensorVariable:
    """The participant-level values (participant x levels) of one parameter, on its natural scale;
    ``centred`` from 0 (non-centred offsets) to 1 (centred values)."""
    by = table.participant_column
    dims = columns or None
    mu = pm.Normal(f"{name}_mu", prior.mu_mean, prior.mu_sd, dims=dims)
    sigma = pm.HalfNormal(f"{name}_sigma", prior.sigma_scale, dims=dims)
    if centred == 1.0:
        eta = pm.Normal(f"{name}_link", mu, sigma, dims=(by, *columns))
    elif centred == 0.0:
        z = pm.Normal(f"{name}_z", 0.0, 1.0, dims=(by, *columns))
        eta = mu + sigma * z
    else:
        z = pm.Normal(f"{name}_z", centred * mu, sigma**centred, dims=(by, *columns))
        eta = mu + sigma ** (1.0 - centred) * (z - centred * mu)
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
    return table.cell_statistic(columns, np.median if lapses else np.min)  # of the timed trials


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
