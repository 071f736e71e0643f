"""Formulas on the model's parameters: design matrices of trial-level covariates and factors.

``{"drift_rate": "1 + coherence + (1 + coherence | subject)"}`` makes each trial's drift rate
the inverse link of a linear predictor: common (fixed) effects ``X beta`` plus group-specific
(random) effects in lme4's notation, one coefficient per level of the grouping column. The link
is the one the parameter table declares (:mod:`ventrola.parameters`: identity for the drift rate,
log for positive parameters, logit for the starting point). The formulas are read by the
``formulae`` package (the ``[formulas]`` extra), which knows categorical codings (``C(x)``,
``C(x, Sum)``), interactions (``a * b``, ``a:b``) and functions of columns (``np.log(x)``).

Everything a fit needs is computed here once: the common design matrix with one name per
column, and per group-specific term each trial's level and the values of the term's columns.
Group-specific effects are independent normal variables, one spread per column of a term (an
intercept and a slope of the same grouping get two spreads and no correlation).
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional

import numpy as np
import numpy.typing as npt

from ventrola import parameters

if TYPE_CHECKING:
    import pandas as pd

FloatArray = npt.NDArray[np.float64]

__all__ = ["GroupTerm", "Link", "ParameterFormula", "formula_names", "parse_formulas"]

_INSTALL_HINT = 'formulas need the formulae package: pip install "ventrola[formulas]"'
# Beyond this the exponential of a linear predictor overflows a double.
_LARGEST_LOG = 700.0


def _formulae() -> Any:
    try:
        import formulae
    except ImportError as error:
        raise ImportError(_INSTALL_HINT) from error
    return formulae


# ---------------------------------------------------------------------------
# Links


@dataclass(frozen=True)
class Link:
    """A parameter's value as a function of its linear predictor ``eta``.

    ``logit`` maps onto the open interval ``(low, high)`` (``(0, 1)`` unless a fixed
    starting-point range narrows the starting point's room).
    """

    kind: str
    low: float = 0.0
    high: float = 1.0

    def value(self, eta: Any) -> Any:
        if self.kind == "identity":
            return eta
        if self.kind == "log":
            return np.exp(np.minimum(eta, _LARGEST_LOG))
        return self.low + (self.high - self.low) * _logistic(eta)

    def slope(self, eta: Any, value: Any) -> Any:
        """d value / d eta, given both."""
        if self.kind == "identity":
            return np.ones_like(eta)
        if self.kind == "log":
            return value
        return (value - self.low) * (self.high - value) / (self.high - self.low)

    def predictor(self, value: Any) -> Any:
        """The linear predictor of a value inside the link's range (its inverse)."""
        value = np.asarray(value, dtype=np.float64)
        if self.kind == "identity":
            return value
        if self.kind == "log":
            return np.log(value)
        share = (value - self.low) / (self.high - self.low)
        return np.log(share / (1.0 - share))


def _logistic(eta: Any) -> Any:
    # Written so that neither branch overflows.
    eta = np.asarray(eta, dtype=np.float64)
    positive = eta >= 0
    e = np.exp(-np.abs(eta))
    return np.where(positive, 1.0 / (1.0 + e), e / (1.0 + e))


def link_of(name: str, low: float = 0.0, high: float = 1.0) -> Link:
    kind = parameters.table()[name].link
    if kind not in parameters.LINKS:
        raise ValueError(f"{name} takes no formula")
    return Link(kind, low, high)


# ---------------------------------------------------------------------------
# Parsed formulas


@dataclass(frozen=True)
class GroupTerm:
    """One group-specific term, such as the ``coherence | subject`` part of
    ``(1 + coherence | subject)``: per trial its level of the grouping and the values of the
    term's columns (``1`` for an intercept)."""

    label: str  # formulae's name of the term, e.g. "coherence|subject"
    factor: str  # the grouping, e.g. "subject"
    columns: tuple[str, ...]  # the term's columns, e.g. ("coherence",) or ("1",)
    levels: tuple[Any, ...]  # the grouping's levels, sorted (the column's own values)
    level_of_trial: npt.NDArray[np.intp]
    values: FloatArray  # (trials, columns)

    def coefficient_names(self) -> list[str]:
        return [f"{column}|{self.factor}[{level}]" for level in self.levels for column in self.columns]


@dataclass(frozen=True)
class ParameterFormula:
    """A parameter's formula read against the trials."""

    parameter: str
    text: str
    link: Link
    common: FloatArray  # (trials, coefficients)
    names: tuple[str, ...]  # one per column of ``common``
    intercepts: tuple[int, ...]  # the columns that carry the parameter's overall level
    groups: tuple[GroupTerm, ...]

    @property
    def n_coefficients(self) -> int:
        return int(self.common.shape[1])

    def values(self, coefficients: FloatArray) -> tuple[FloatArray, FloatArray]:
        """Each trial's value of the parameter for common coefficients alone, and d value / d eta."""
        eta = self.common @ coefficients
        value = self.link.value(eta)
        return value, self.link.slope(eta, value)

    def start(self, value: Any) -> FloatArray:
        """Coefficients that give every trial the same value (least squares on the link scale)."""
        level = self.link.predictor(np.asarray(value, dtype=np.float64).reshape(-1)[0])
        target = np.full(self.common.shape[0], float(level))
        solution, *_ = np.linalg.lstsq(self.common, target, rcond=None)
        return np.asarray(solution, dtype=np.float64)


def parse_formulas(
    formulas: Optional[Mapping[str, str]],
    data: Optional[pd.DataFrame],
    n_trials: int,
    *,
    allow_groups: bool,
    links: Optional[Mapping[str, Link]] = None,
) -> dict[str, ParameterFormula]:
    """Reads each parameter's formula against ``data`` (one row per trial, in trial order).

    ``allow_groups`` False refuses group-specific terms (a maximum-likelihood fit has no
    distribution to draw them from). ``links`` overrides a parameter's link (a narrowed room).
    Raises ValueError naming the parameter and what is wrong: an unknown parameter, a formula
    that does not parse, an unknown column, a grouping column that is not in the data, missing
    values, a design without columns or with columns that duplicate others.
    """
    names = formula_names(formulas)
    if not names:
        return {}
    assert formulas is not None
    table = _data_frame(data, n_trials)
    parsed = {}
    for name in names:
        text = formulas[name]
        link = (links or {}).get(name) or link_of(name)
        parsed[name] = _parse_one(name, text, table, link, allow_groups)
    return parsed


def formula_names(formulas: Optional[Mapping[str, str]]) -> tuple[str, ...]:
    """The parameters ``formulas`` describes, checked: ValueError for a name that takes no formula
    or a formula that is not a non-empty string."""
    if formulas is None:
        return ()
    if not isinstance(formulas, Mapping):
        raise ValueError(f"formulas must map parameter names to formulas, not {type(formulas).__name__}")
    allowed = parameters.table().with_formulas()
    for name, text in formulas.items():
        if name not in allowed:
            raise ValueError(_unknown_parameter(name, allowed))
        if not isinstance(text, str) or not text.strip():
            raise ValueError(f"the formula for {name} must be a non-empty string such as '1 + x', not {text!r}")
    return tuple(formulas)


def _unknown_parameter(name: Any, allowed: Sequence[str]) -> str:
    if name in parameters.table():
        why = {
            "noise_sd": "it sets the units and is never estimated",
            "contamination": "the lapse weight is one number per fit",
            "starting_point_range": "its room depends on the starting point of the same trial",
        }.get(name, "it takes no formula")
        return f"formulas names {name!r}, which cannot have a formula ({why}); formulas apply to {', '.join(allowed)}"
    return f"formulas names {name!r}, which is not a parameter of the model; formulas apply to {', '.join(allowed)}"


def _data_frame(data: Any, n_trials: int) -> Any:
    import pandas as pd

    if data is None:
        # Formulas of constants only ("1") need no table.
        return pd.DataFrame(index=range(n_trials))
    if not isinstance(data, pd.DataFrame):
        raise ValueError(f"data must be a pandas DataFrame of the trials' covariates, not {type(data).__name__}")
    if len(data) != n_trials:
        raise ValueError(f"data must have one row per trial: {len(data)} rows for {n_trials} trials")
    return data.reset_index(drop=True)


def _strip_response(name: str, text: str) -> str:
    if "~" not in text:
        return text
    response, _, right = text.partition("~")
    if response.strip() not in ("", name):
        raise ValueError(f"the formula for {name} ({text!r}) has {response.strip()!r} left of '~'; "
                         f"write only the right-hand side, as in '{right.strip()}'")
    return right


def _parse_one(name: str, text: str, table: Any, link: Link, allow_groups: bool) -> ParameterFormula:
    formulae = _formulae()
    from formulae.parser import ParseError
    from formulae.scanner import ScanError

    right = _strip_response(name, text)
    where = f"the formula for {name} ({text!r})"
    empty_grouping = re.search(r"\(([^()|]*)\|\s*\)", right)
    if empty_grouping:
        raise ValueError(f"{where}: the group-specific term ({empty_grouping.group(1).strip()} | ) names no "
                         f"grouping column; write the column after '|', as in ({empty_grouping.group(1).strip()} | subject)")
    try:
        # Infinite or NaN covariates (a log of 0) are refused below, with the formula named.
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            design = formulae.design_matrices(right, table, na_action="error")
    except (ParseError, ScanError) as error:
        raise ValueError(f"{where} is not a formula: {error}") from None
    except KeyError as error:
        missing = error.args[0] if error.args else "?"
        raise ValueError(_unknown_name(where, str(missing), right, table)) from None
    except ValueError as error:
        if "incomplete rows" in str(error):
            raise ValueError(f"{where}: {_missing_values(right, table)}") from None
        raise ValueError(f"{where}: {error}") from None
    except (TypeError, AttributeError, NameError, SyntaxError) as error:
        raise ValueError(f"{where} cannot be evaluated on the data: {error}") from None

    groups = tuple(_group_terms(design.group, table)) if design.group is not None else ()
    if groups and not allow_groups:
        terms = ", ".join(f"({term.label})" for term in groups)
        raise ValueError(
            f"{where} has group-specific terms {terms}: a maximum-likelihood fit has no distribution to draw "
            "them from. Use ventrola.bayes.hierarchical_model for them, or fit each group on its own "
            "(fit_frame(..., by=COLUMN)) with the common terms only"
        )
    if design.common is None:
        raise ValueError(f"{where} has no common terms; add an intercept, as in '1 + {right.strip()}'")
    common = np.asarray(design.common.design_matrix, dtype=np.float64)
    names = tuple(str(label) for label in design.common.as_dataframe().columns)
    _check_full_rank(where, common, names)
    return ParameterFormula(name, text, link, common, names, _intercept_columns(design.common), groups)


def _unknown_name(where: str, missing: str, right: str, table: Any) -> str:
    columns = ", ".join(map(str, table.columns)) or "none"
    grouping = re.search(r"\|\s*([^)]*)\)", right)
    if grouping and re.search(rf"\b{re.escape(missing)}\b", grouping.group(1)):
        return (f"{where}: the group-specific term groups by {missing!r}, which is not a column of the data "
                f"(columns: {columns})")
    return f"{where}: {missing!r} is not a column of the data (columns: {columns})"


def _missing_values(right: str, table: Any) -> str:
    used = [column for column in table.columns if re.search(rf"\b{re.escape(str(column))}\b", right)]
    counts = {column: int(table[column].isna().sum()) for column in used}
    found = ", ".join(f"{column!r} ({count})" for column, count in counts.items() if count)
    return f"the data have missing values in the columns it uses: {found or 'some rows'}"


def _check_full_rank(where: str, common: FloatArray, names: Sequence[str]) -> None:
    if common.shape[1] == 0:
        raise ValueError(f"{where} has no columns: add an intercept ('1')")
    if not np.isfinite(common).all():
        raise ValueError(f"{where} gives infinite or NaN covariates (a log of 0, say)")
    rank = np.linalg.matrix_rank(common)
    if rank < common.shape[1]:
        # The first column that the ones before it already explain.
        for k in range(1, common.shape[1] + 1):
            if np.linalg.matrix_rank(common[:, :k]) < k:
                raise ValueError(
                    f"{where} has a column the others already determine ({names[k - 1]!r}): the coefficients "
                    "cannot be told apart; drop a term or the intercept"
                )


def _intercept_columns(common: Any) -> tuple[int, ...]:
    """The columns that set the parameter's overall level: the intercept, or without one the
    columns of the first categorical term (one per level, each a level's own value)."""
    kinds = {name: getattr(term, "kind", None) for name, term in common.terms.items()}
    if "Intercept" in common.terms:
        return (common.slices["Intercept"].start,)
    for name, kind in kinds.items():
        if kind in ("categoric", "interaction"):
            piece = common.slices[name]
            return tuple(range(piece.start, piece.stop))
    return ()


def _group_terms(group: Any, table: Any) -> list[GroupTerm]:
    import pandas as pd

    terms = []
    for label, term in group.terms.items():
        block = group[label]
        block = block.toarray() if hasattr(block, "toarray") else np.asarray(block)
        names = [str(level) for level in term.groups]
        n_levels = len(names)
        labels = list(term.labels)
        m = len(labels) // n_levels
        columns = tuple(labels[c].split("|", 1)[0] for c in range(m))
        factor = str(term.factor.name)
        # Columns run level by level, each level through the term's columns.
        for j in range(n_levels):
            for c in range(m):
                assert labels[j * m + c].split("|", 1)[0] == columns[c], labels
        by_level = block.reshape(block.shape[0], n_levels, m)
        rows = np.arange(block.shape[0])
        if factor in table.columns:
            # The grouping column's own levels, sorted as the rest of ventrola sorts them.
            codes, uniques = pd.factorize(table[factor], sort=True)
            position = {name: j for j, name in enumerate(names)}
            order = [position.get(str(level)) for level in uniques]
            if None not in order:
                values = by_level[rows, np.asarray(order, dtype=np.intp)[codes], :]
                terms.append(GroupTerm(label, factor, columns, tuple(uniques), codes.astype(np.intp),
                                       np.asarray(values, dtype=np.float64)))
                continue
        # A crossed grouping (a:b): a trial's level is the one whose columns it fills; where the
        # term is 0 in every column its level does not matter.
        level_of_trial = np.argmax(np.abs(by_level).sum(axis=2), axis=1).astype(np.intp)
        values = by_level[rows, level_of_trial, :]
        terms.append(GroupTerm(label, factor, columns, tuple(names), level_of_trial, np.asarray(values, dtype=np.float64)))
    return terms


def coefficient_label(parameter: str, name: str) -> str:
    """How a coefficient is named in results: ``drift_rate[coherence]``."""
    return f"{parameter}[{name}]"
