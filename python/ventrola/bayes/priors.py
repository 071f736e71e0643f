"""The priors of the hierarchical model, read from the parameter table
(:mod:`ventrola.parameters`), where each is chosen to be weakly informative on
the parameter's natural scale (units of the noise, s = 1; times in seconds).

Participant-level parameters are non-centred: participant j's value is the
inverse link of ``mu + sigma * z_j`` with ``z_j ~ Normal(0, 1)``, so ``mu`` and
``sigma`` are the group's location and spread on the link scale. The others
take one value for all participants (or per level of ``depends_on``).
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Optional

import pymc as pm
from pytensor.tensor.variable import TensorVariable

from ventrola import parameters
from ventrola.parameters import GroupPrior, SharedPrior


def participant_priors() -> dict[str, GroupPrior]:
    """The density's parameters that vary over participants, in table order."""
    return {p.name: p.prior for p in parameters.table().entries if p.in_density and isinstance(p.prior, GroupPrior)}


def shared_priors(families: Iterable[str] = ()) -> dict[str, SharedPrior]:
    """The parameters with one value for all participants, in table order: the seven-parameter
    model's, and those of the named families (a collapse's time scale, the automatic activation's
    amplitude, the leak)."""
    chosen = set(parameters.table().family_names(families))
    return {p.name: p.prior for p in parameters.table().entries
            if p.in_density and (p.families is None or p.name in chosen) and isinstance(p.prior, SharedPrior)}


def lapse_prior() -> SharedPrior:
    prior = parameters.table()["contamination"].prior
    assert isinstance(prior, SharedPrior)
    return prior


def shared_variable(
    name: str, prior: SharedPrior, dims: Optional[tuple[str, ...]], held: Mapping[str, float]
) -> TensorVariable:
    """A shared parameter's variable. ``uniform_room`` runs up to the room the starting point leaves:
    1 when the starting point is estimated (which is then kept inside (sz/2, 1 - sz/2)), else
    2 min(w, 1 - w)."""
    if prior.kind == "half_normal":
        return pm.HalfNormal(name, prior.a, dims=dims)
    if prior.kind == "beta":
        return pm.Beta(name, prior.a, prior.b, dims=dims)
    if prior.kind == "normal":
        return pm.Normal(name, prior.a, prior.b, dims=dims)
    if prior.kind == "log_normal":
        return pm.LogNormal(name, prior.a, prior.b, dims=dims)
    if prior.kind == "log_normal_above_one":
        excess = pm.LogNormal(f"{name}_excess", prior.a, prior.b, dims=dims)
        return pm.Deterministic(name, 1.0 + excess, dims=dims)
    if prior.kind == "uniform_room":
        w = held.get("starting_point")
        largest = 1.0 if w is None else 2.0 * min(w, 1.0 - w)
        return pm.Uniform(name, 0.0, largest, dims=dims)
    raise ValueError(f"no prior of kind {prior.kind!r}")


_LINKS = {
    "identity": "identity link",
    "log": "log link",
    "logit": "logit link (squeezed into ``(sz/2, 1 - sz/2)`` when ``starting_point_range`` sz is not 0)",
    "logit_of_bound": "a logit-scale fraction of a bound it stays below: the participant's fastest response "
                      "time in the cell, or the median one when ``contamination`` is not 0 (lapses may then be "
                      "faster than t0)",
}
_SHARED = {
    "half_normal": "HalfNormal({a:g})",
    "beta": "Beta({a:g}, {b:g})",
    "normal": "Normal({a:.3g}, {b:g})",
    "log_normal": "LogNormal({a:.3g}, {b:g})",
    "log_normal_above_one": "1 + LogNormal({a:.3g}, {b:g})",
    "uniform_room": "Uniform(0, 1)",
}


def describe_priors(indent: str = "    ") -> str:
    """The priors as a list for documentation, from the table."""
    lines = []
    for name, prior in participant_priors().items():
        lines.append(f"- ``{name}`` per participant: {_LINKS[prior.link]}; ``{name}_mu ~ Normal({prior.mu_mean:.3g}, "
                     f"{prior.mu_sd:g})``, ``{name}_sigma ~ HalfNormal({prior.sigma_scale:g})``.")
    for name, shared in shared_priors().items():
        room = " (``Uniform(0, 2 min(w, 1 - w))`` with the starting point fixed at w)" if shared.kind == "uniform_room" else ""
        lines.append(f"- ``{name} ~ {_SHARED[shared.kind].format(a=shared.a, b=shared.b)}``{room}, shared.")
    lapse = lapse_prior()
    lines.append(f"- ``contamination ~ {_SHARED[lapse.kind].format(a=lapse.a, b=lapse.b)}`` when free.")
    every_family = {family for p in parameters.table().entries for family in (p.families or ())}
    for name, shared in shared_priors(every_family).items():
        families = parameters.table()[name].families
        if families is None:
            continue
        lines.append(f"- ``{name} ~ {_SHARED[shared.kind].format(a=shared.a, b=shared.b)}``, shared "
                     f"({parameters.table()[name].meaning}; {', '.join(families)}).")
    return "\n".join(indent + line for line in lines)
