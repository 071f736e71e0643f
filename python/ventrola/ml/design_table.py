"""fit_frame's maximum-likelihood fits: designs from table columns, and the long-form results.

Within each group, a parameter named in ``depends_on`` takes one value per level of its
column(s) and the others are shared; the group's trials are fitted jointly. The results have
one row per group and combination of the design columns, shared values repeated.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional, Union

import numpy as np
import numpy.typing as npt

from ventrola.censoring import Observation
from ventrola.formulas import ParameterFormula, coefficient_label

from .model_spec import ModelSpec

if TYPE_CHECKING:
    import pandas as pd

DependsOn = Mapping[str, Union[str, Sequence[str]]]


@dataclass(frozen=True)
class GroupDesign:
    """What a task needs besides the arrays: the model, each parameter's levels and their names,
    the formulas read against the group's rows, how its trials were observed, and the error of a
    group whose design cannot be fitted (a formula whose columns its rows cannot tell apart)."""

    spec: ModelSpec
    levels: Mapping[str, tuple[npt.NDArray[np.intp], int]]
    labels: Mapping[str, list[str]]
    regressions: Mapping[str, ParameterFormula] = field(default_factory=dict)
    observed: Optional[Observation] = None
    error: Optional[str] = None


@dataclass(frozen=True)
class TableDesign:
    """Level codes of every trial, for each parameter with levels and for the output rows."""

    columns: dict[str, list[str]]  # parameter -> its design columns
    row_columns: list[str]  # every design column, in order of first mention
    codes: dict[str, npt.NDArray[np.intp]]  # parameter -> level of each row of the table
    keys: dict[str, Any]  # parameter -> DataFrame of its levels (sorted)
    row_codes: npt.NDArray[np.intp]  # combination of all design columns of each row
    row_keys: Any  # DataFrame of those combinations (sorted)


def normalise_depends_on(depends_on: Optional[DependsOn], spec: ModelSpec, by: list[str]) -> dict[str, list[str]]:
    if depends_on is None:
        return {}
    if not isinstance(depends_on, Mapping):
        raise ValueError(f"depends_on must map parameter names to columns, not {type(depends_on).__name__}")
    columns = {}
    model_parameters = tuple(name for name in spec.names if name != "noise_sd")
    for name, value in depends_on.items():
        if name not in model_parameters:
            known = "contamination is one weight per fit" if name == "contamination" else f"choose from {', '.join(model_parameters)}"
            raise ValueError(f"depends_on names {name!r}, which cannot depend on a column ({known})")
        if name not in spec.free:
            raise ValueError(f"depends_on names {name!r}, which is not free: add it to free")
        names = [value] if isinstance(value, str) else list(value) if isinstance(value, Iterable) else []
        if not names or not all(isinstance(column, str) for column in names):
            raise ValueError(f"depends_on[{name!r}] must be a column name or a list of them, not {value!r}")
        if len(set(names)) != len(names):
            raise ValueError(f"depends_on[{name!r}] names a column more than once: {names}")
        for column in names:
            if column in by:
                raise ValueError(f"depends_on[{name!r}] names {column!r}, which is also a by column")
        columns[name] = names
    return columns


def table_design(pandas: Any, df: pd.DataFrame, columns: dict[str, list[str]]) -> TableDesign:
    row_columns: list[str] = []
    for names in columns.values():
        row_columns.extend(column for column in names if column not in row_columns)
    codes, keys = {}, {}
    for name, names in columns.items():
        codes[name], keys[name] = _factorise(df, names)
    if row_columns:
        row_codes, row_keys = _factorise(df, row_columns)
    else:
        row_codes, row_keys = np.zeros(len(df), dtype=np.intp), pandas.DataFrame(index=range(1))
    return TableDesign(columns, row_columns, codes, keys, row_codes, row_keys)


def _factorise(df: pd.DataFrame, names: list[str]) -> tuple[npt.NDArray[np.intp], Any]:
    grouped = df.groupby(names, sort=True, observed=True)
    codes = grouped.ngroup().to_numpy().astype(np.intp)
    keys = grouped.size().index.to_frame(index=False)
    return codes, keys


def group_design(spec: ModelSpec, design: TableDesign, rows: npt.NDArray[np.intp]) -> GroupDesign:
    """Each design parameter's levels among the group's rows, numbered from 0 in sorted order."""
    levels, labels = {}, {}
    for name, names in design.columns.items():
        present, local = np.unique(design.codes[name][rows], return_inverse=True)
        levels[name] = (local.astype(np.intp).reshape(-1), len(present))
        keys = design.keys[name]
        labels[name] = [
            ", ".join(f"{column}={keys[column].iloc[code]}" for column in names) for code in present
        ]
    return GroupDesign(spec, levels, labels)


def group_rows(design: TableDesign, rows: npt.NDArray[np.intp]) -> tuple[npt.NDArray[np.intp], dict[str, npt.NDArray[np.intp]]]:
    """The output rows of a group (codes of design-column combinations present, sorted) and,
    for each design parameter, the level (as numbered by group_design) of each output row."""
    combos, first = np.unique(design.row_codes[rows], return_index=True)
    row_levels = {}
    for name in design.columns:
        _present, local = np.unique(design.codes[name][rows], return_inverse=True)
        row_levels[name] = local.reshape(-1)[first]
    return combos, row_levels


def ml_results_table(
    pandas: Any,
    keys: pd.DataFrame,
    design: TableDesign,
    spec: ModelSpec,
    group_row_sets: list[npt.NDArray[np.intp]],
    outcomes: list[dict[str, Any]],
) -> pd.DataFrame:
    pieces: dict[str, list[Any]] = {column: [] for column in keys.columns}
    for column in design.row_columns:
        pieces[column] = []
    value_columns = [*spec.names, "contamination"]
    fits = [outcome.get("fit") for outcome in outcomes]
    coefficient_columns: list[tuple[str, str]] = []
    for fit in fits:
        for name, terms in (fit.coefficients if fit else {}).items():
            coefficient_columns.extend((name, term) for term in terms if (name, term) not in coefficient_columns)
    with_formula = {name for name, _ in coefficient_columns}
    se_columns = [f"{name}_se" for name in spec.free if name not in with_formula]
    summary_columns = ["loglik", "aic", "bic", "n_trials", "n_free", "iterations", "converged", "note", "error"]
    coefficient_names = []
    for name, term in coefficient_columns:
        coefficient_names += [coefficient_label(name, term), f"{coefficient_label(name, term)}_se"]
    for column in [*value_columns, *se_columns, *coefficient_names, *summary_columns]:
        pieces[column] = []

    for group, (rows, outcome) in enumerate(zip(group_row_sets, outcomes)):
        combos, row_levels = group_rows(design, rows)
        fit = outcome.get("fit")
        for position, combo in enumerate(combos):
            for column in keys.columns:
                pieces[column].append(keys[column].iloc[group])
            for column in design.row_columns:
                pieces[column].append(design.row_keys[column].iloc[combo])
            for name in value_columns:
                pieces[name].append(_level_value(fit.values if fit else None, name, row_levels, position))
            for name in spec.free:
                if name not in with_formula:
                    pieces[f"{name}_se"].append(
                        _level_value(fit.standard_errors if fit else None, name, row_levels, position)
                    )
            for name, term in coefficient_columns:
                label = coefficient_label(name, term)
                pieces[label].append(fit.coefficients.get(name, {}).get(term, np.nan) if fit else np.nan)
                pieces[f"{label}_se"].append(fit.coefficient_errors.get(name, {}).get(term, np.nan) if fit else np.nan)
            pieces["loglik"].append(fit.loglik if fit else np.nan)
            pieces["aic"].append(fit.aic if fit else np.nan)
            pieces["bic"].append(fit.bic if fit else np.nan)
            pieces["n_trials"].append(len(rows))
            pieces["n_free"].append(fit.n_free if fit else None)
            pieces["iterations"].append(fit.iterations if fit else None)
            pieces["converged"].append(fit.converged if fit else None)
            pieces["note"].append(fit.note if fit else None)
            pieces["error"].append(outcome.get("error"))

    table = pandas.DataFrame({column: pieces[column] for column in keys.columns})
    for column in keys.columns:
        table[column] = table[column].astype(keys[column].dtype)
    for column in design.row_columns:
        table[column] = pandas.Series(pieces[column], dtype=design.row_keys[column].dtype)
    for column in [*value_columns, *se_columns, *coefficient_names, "loglik", "aic", "bic"]:
        table[column] = np.array(pieces[column], dtype=np.float64)
    table["n_trials"] = np.array(pieces["n_trials"], dtype=np.int64)
    table["n_free"] = pandas.array(pieces["n_free"], dtype="Int64")
    table["iterations"] = pandas.array(pieces["iterations"], dtype="Int64")
    table["converged"] = pandas.array(pieces["converged"], dtype="boolean")
    table["note"] = pandas.Series(pieces["note"], dtype=object)
    table["error"] = pandas.Series(pieces["error"], dtype=object)
    return table


def _level_value(
    values: Optional[Mapping[str, npt.NDArray[np.float64]]],
    name: str,
    row_levels: Mapping[str, npt.NDArray[np.intp]],
    position: int,
) -> float:
    if values is None or name not in values:
        return np.nan
    per_level = values[name]
    level = int(row_levels[name][position]) if name in row_levels else 0
    return float(per_level[level])
