"""The options of a hierarchical model checked and put in order: which
parameters are free, which depend on which columns, which are held at which
values, and the lapse weight. A generalized model (:class:`ventrola.DDM`) adds
its families' parameters, free by default; a user's function's parameters have
no prior, so they are held at their defaults or ``fixed`` values."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Optional, Union

from ventrola import parameters
from ventrola.bayes.priors import participant_priors
from ventrola.models import DDM
from ventrola.parameters import DEFAULT_FREE

TRIAL_DIM = "trial"


def model_parameters(model: Optional[DDM] = None) -> tuple[str, ...]:
    """The parameters a hierarchical model samples or holds; noise_sd is 1 in these models, it sets
    the units. A generalized model's families add theirs, its functions theirs (held only)."""
    names = parameters.table().density_names()
    if model is None or model.is_standard:
        return names
    return (*names, *(name for name in model.parameter_names if name not in names and name != "noise_sd"))


def default_free(model: DDM) -> tuple[str, ...]:
    """The standard three and the model's families' parameters."""
    return (*DEFAULT_FREE, *parameters.table().family_names(model.families))


def checked_free(free: Sequence[str], model: Optional[DDM] = None) -> tuple[str, ...]:
    model = model or DDM()
    names = (free,) if isinstance(free, str) else tuple(free)
    known = tuple(name for name in model_parameters(model) if name not in model.custom_names)
    for name in names:
        if name in model.custom_names:
            raise ValueError(f"free names {name!r}, a parameter of the model's own function, which has no prior "
                             "here: give it in fixed (or its function's default holds)")
        entry = parameters.table().by_name.get(name)
        if name not in known and entry is not None and entry.families is not None:
            raise ValueError(f"free names {name!r}, a parameter of the {' and '.join(entry.families)} families, "
                             f"which {model!r} does not use; pass model=ventrola.DDM(...) with one of them")
        if name not in known:
            hint = " (it is 1 in this model)" if name == "noise_sd" else ""
            hint = " (use contamination='free')" if name == "contamination" else hint
            raise ValueError(f"free names {name!r}, which is not a parameter that can be estimated{hint}; "
                             f"choose from {', '.join(known)}")
    if len(set(names)) != len(names):
        raise ValueError(f"free names a parameter more than once: {list(names)}")
    return names


def checked_centred(
    centred: Union[Sequence[str], Mapping[str, float]], free: tuple[str, ...], with_formulas: tuple[str, ...] = ()
) -> dict[str, float]:
    """How centred each parameter is sampled, 1 for fully (a name alone) down to 0 (not named):
    participant-level ones, or ones whose formula has group-specific terms (those terms are
    then centred, fully or not at all)."""
    if isinstance(centred, Mapping):
        weights = dict(centred)
    else:
        weights = {name: 1.0 for name in ((centred,) if isinstance(centred, str) else tuple(centred))}
    participant_level = participant_priors()
    for name, weight in weights.items():
        if isinstance(weight, bool) or not isinstance(weight, (int, float)) or not 0.0 <= weight <= 1.0:
            raise ValueError(f"centred[{name!r}] must be a number from 0 (non-centred) to 1 (centred), "
                             f"not {weight!r}")
        if name in with_formulas:
            if weight not in (0.0, 1.0):
                raise ValueError(f"centred[{name!r}] is {weight}: the group-specific terms of a formula are "
                                 "centred (1) or not (0)")
            continue
        if name not in participant_level or name not in free:
            raise ValueError(f"centred names {name!r}, which is not a free participant-level parameter "
                             f"(those are {', '.join(n for n in participant_level if n in free)})")
    return {name: float(weight) for name, weight in weights.items() if weight > 0.0}


def checked_depends_on(
    depends_on: Optional[Mapping[str, Union[str, Sequence[str]]]], free: tuple[str, ...], by: str
) -> dict[str, tuple[str, ...]]:
    result: dict[str, tuple[str, ...]] = {}
    for name, given in (depends_on or {}).items():
        if name not in free:
            raise ValueError(f"depends_on names {name!r}, which is not among the free parameters {list(free)}")
        columns = (given,) if isinstance(given, str) else tuple(given) if isinstance(given, Iterable) else ()
        if not columns or not all(isinstance(column, str) for column in columns):
            raise ValueError(f"depends_on[{name!r}] must be a column name or a list of them, not {given!r}")
        if len(set(columns)) != len(columns):
            raise ValueError(f"depends_on[{name!r}] names a column more than once: {list(columns)}")
        for column in columns:
            if column == by:
                raise ValueError(f"depends_on[{name!r}] names {by!r}, the participant column; "
                                 "participants have their own values already")
            if column == TRIAL_DIM:
                raise ValueError(f"depends_on[{name!r}] cannot name a column {TRIAL_DIM!r} (the trials' dimension)")
        result[name] = columns
    sz_columns = result.get("starting_point_range", ())
    w_columns = result.get("starting_point", ())
    if "starting_point" in free and "starting_point_range" in free and not set(sz_columns) <= set(w_columns):
        raise ValueError("starting_point must depend on every column that starting_point_range depends on "
                         f"(it is kept inside the range): {list(sz_columns)} against {list(w_columns)}")
    return result


def fixed_values(fixed: Optional[Mapping[str, float]], free: tuple[str, ...],
                 model: Optional[DDM] = None) -> dict[str, float]:
    """Every parameter that is not free, at its fixed value or default, checked against its range."""
    given = dict(fixed or {})
    known = model_parameters(model)
    for name in given:
        if name not in known:
            raise ValueError(f"fixed names {name!r}, which is not a parameter of the model")
        if name in free:
            raise ValueError(f"{name!r} is both free and fixed")
    defaults = parameters.table().defaults() if model is None or model.is_standard else model.defaults
    held = {}
    for name in known:
        if name in free:
            continue
        if name not in given and name not in defaults:
            raise ValueError(f"{name!r} must be free or given a value in fixed")
        held[name] = float(given.get(name, defaults.get(name, 0.0)))
    parameters.check_values({name: value for name, value in held.items() if name in parameters.table()},
                            prefix="fixed ")
    return held


def checked_contamination(contamination: Union[float, str]) -> Union[float, str]:
    if isinstance(contamination, str):
        if contamination != "free":
            raise ValueError(f"contamination must be a number in [0, 1) or 'free', not {contamination!r}")
        return contamination
    value = float(contamination)
    if not 0.0 <= value < 1.0:
        raise ValueError(f"contamination must be a number in [0, 1) or 'free', not {contamination!r}")
    return value
