"""Formulas in a hierarchical model: a parameter as the inverse link of a linear predictor with
common and group-specific terms (``1 + coherence + (1 + coherence | subject)``).

Variables, for a parameter ``p`` (the names are the terms' own):

- ``p_coef`` (dims ``p_term``, coordinates the common terms' names such as ``Intercept``,
  ``coherence``, ``condition[hard]``): the common coefficients, on the link scale. The intercept
  (or, without one, each level of the first categorical term) ~ Normal(intercept_mean,
  intercept_sd); every other coefficient ~ Normal(0, slope_sd) per unit of its covariate.
- per group-specific term ``t`` (formulae's name: ``1|subject``, ``coherence|subject``):
  ``p[t]_sigma`` ~ HalfNormal(group_sd), one per column of the term, and ``p[t]_z`` ~ Normal(0, 1)
  per level of the grouping (dims: the grouping column, then the term's columns when it has
  several), non-centred: the group-specific coefficients are ``p[t] = sigma * z``, a
  deterministic with the same dims. Centred (``centred=[p]``), ``p[t] ~ Normal(0, sigma)`` is
  sampled directly, which suits groups whose own trials pin their values down. Terms are
  independent: no correlation between a grouping's intercepts and slopes.

The priors are the parameter table's (:class:`ventrola.parameters.RegressionPrior`).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import pymc as pm
import pytensor.tensor as pt
from pytensor.tensor.variable import TensorVariable

from ventrola import parameters
from ventrola.formulas import GroupTerm, ParameterFormula


def regression_values(formula: ParameterFormula, known_coords: Mapping[str, Any], centred: bool = False) -> TensorVariable:
    """Each trial's value of the formula's parameter, on its natural scale, as a model variable
    (inside a model context). ``known_coords`` are coordinates the model has already (a grouping
    column that is also the participants' or a design column reuses its levels); ``centred``
    samples the group-specific coefficients themselves."""
    model = pm.modelcontext(None)
    name = formula.parameter
    prior = parameters.table()[name].regression
    assert prior is not None, name
    term_dim = f"{name}_term"
    model.add_coord(term_dim, list(formula.names))
    means = np.zeros(formula.n_coefficients)
    sds = np.full(formula.n_coefficients, prior.slope_sd)
    for column in formula.intercepts:
        means[column], sds[column] = prior.intercept_mean, prior.intercept_sd
    coefficients = pm.Normal(f"{name}_coef", means, sds, dims=term_dim)
    eta = pt.as_tensor_variable(formula.common) @ coefficients
    for term in formula.groups:
        eta = eta + group_effect(name, term, prior.group_sd, known_coords, centred)
    return link_inverse(formula, eta)


def group_effect(
    name: str, term: GroupTerm, group_sd: float, known_coords: Mapping[str, Any], centred: bool = False
) -> TensorVariable:
    """The term's contribution to each trial's linear predictor."""
    model = pm.modelcontext(None)
    level_dim = term.factor
    if level_dim in known_coords:
        known = [str(level) for level in known_coords[level_dim]]
        if known != [str(level) for level in term.levels]:
            raise ValueError(f"the formula for {name} groups by {term.factor!r}, whose levels differ from those "
                             "the model already has for that name")
    elif level_dim not in model.coords:
        model.add_coord(level_dim, list(term.levels))
    key = f"{name}[{term.label}]"
    dims: tuple[str, ...] = (level_dim,)
    if len(term.columns) > 1:
        column_dim = f"{key}_column"
        model.add_coord(column_dim, list(term.columns))
        dims = (level_dim, column_dim)
        sigma = pm.HalfNormal(f"{key}_sigma", group_sd, dims=column_dim)
    else:
        sigma = pm.HalfNormal(f"{key}_sigma", group_sd)
    if centred:
        effects = pm.Normal(key, 0.0, sigma, dims=dims)
    else:
        z = pm.Normal(f"{key}_z", 0.0, 1.0, dims=dims)
        effects = pm.Deterministic(key, sigma * z, dims=dims)
    per_level = effects if len(term.columns) > 1 else effects[:, None]
    at_trials = per_level[term.level_of_trial]  # (trials, columns)
    return (at_trials * pt.as_tensor_variable(term.values)).sum(axis=1)


def link_inverse(formula: ParameterFormula, eta: TensorVariable) -> TensorVariable:
    link = formula.link
    if link.kind == "identity":
        return eta
    if link.kind == "log":
        return pt.exp(eta)
    return link.low + (link.high - link.low) * pm.math.sigmoid(eta)


def describe_regression_priors(indent: str = "    ") -> str:
    """The regression priors as a list for documentation, from the parameter table."""
    lines = []
    for entry in parameters.table().entries:
        prior = entry.regression
        if entry.link is None or prior is None:
            continue
        lines.append(f"- ``{entry.name}`` ({entry.link} link): intercept ~ Normal({prior.intercept_mean:.3g}, "
                     f"{prior.intercept_sd:g}), other coefficients ~ Normal(0, {prior.slope_sd:g}), "
                     f"group-specific spreads ~ HalfNormal({prior.group_sd:g}).")
    return "\n".join(indent + line for line in lines)
