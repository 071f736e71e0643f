"""Trial tables: fit every group of a pandas DataFrame, simulate into one.

pandas is an optional dependency (``pip install "ventrola[frames]"``); it is
imported when one of these functions is called, not when ``ventrola`` is.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Executor, Future
from typing import TYPE_CHECKING, Any, Optional, Union

import numpy as np
import numpy.typing as npt

from _ventrola import VentrolaError, fit_ez, fit_sim, simulate

from . import parameters
from ._trial_arrays import fast_median, impossible_times, impossible_times_message, not_choices, plain, slow_median
from . import censoring
from .ddm_simulation import simulate_ddm
from .formulas import formula_names
from .ml.design_table import DependsOn, GroupDesign, group_design, ml_results_table, normalise_depends_on, table_design
from .ml.fit import fit_design
from .ml.formula_design import ml_formulas
from .ml.model_likelihood import check_observation
from .ml.model_spec import model_spec

if TYPE_CHECKING:
    import pandas as pd

    from .models import DDM

__all__ = ["fit_frame", "simulate_conditions", "simulate_frame"]

PARAMETER_COLUMNS = ("drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd")
GUESS_KEYS = ("drift_rate", "boundary_separation", "non_decision_time")
CONDITION_COLUMNS = ("drift", "boundary", "start", "t0")

ProgressWrapper = Callable[..., Iterable[Any]]


class TableError(ValueError):
    """A table that cannot be fitted. The message speaks to Python callers (keywords, index labels);
    ``command_line`` says the same to the command line's users (options, data rows of the file)."""

    def __init__(self, message: str, command_line: Optional[str] = None) -> None:
        super().__init__(message)
        self.command_line = message if command_line is None else command_line


def require_pandas() -> Any:
    try:
        import pandas
    except ImportError as error:
        raise ImportError(
            'ventrola\'s DataFrame functions need pandas: pip install "ventrola[frames]"'
        ) from error
    return pandas


# ---------------------------------------------------------------------------
# Fitting


def fit_frame(
    df: pd.DataFrame,
    *,
    rt: str = "rt",
    choice: str = "choice",
    by: Union[str, Sequence[str], None] = None,
    method: str = "ez",
    rt_unit: str = "s",
    upper: Any = None,
    max_iters: int = 200,
    initial_guess: Optional[Mapping[str, float]] = None,
    executor: Optional[Executor] = None,
    progress: Optional[ProgressWrapper] = None,
    free: Union[str, Sequence[str], None] = None,
    fixed: Optional[Mapping[str, float]] = None,
    contamination: Optional[float] = None,
    depends_on: Optional[DependsOn] = None,
    formulas: Optional[Mapping[str, str]] = None,
    missing: Optional[str] = None,
    deadline: Union[str, float, None] = None,
    rt_range: Optional[tuple[float, float]] = None,
    model: Optional[DDM] = None,
) -> pd.DataFrame:
    """Fit the drift-diffusion model to every group of a table of trials.

    Parameters
    ----------
    df : pandas.DataFrame
        One row per trial.
    rt : str, optional
        The column of response times, in seconds, or in milliseconds with ``rt_unit="ms"``
        (converted once). Default ``"rt"``.
    choice : str, optional
        The column of responses: booleans or 0/1 numbers (True/1 is the upper boundary), or
        any labels with ``upper=LABEL``. Default ``"choice"``.
    by : str or list of str, optional
        The grouping columns; ``None`` or ``[]`` fits the whole table as one group.
    method : {"ez", "sim", "ml"}, optional
        :func:`ventrola.fit_ez` (default), :func:`ventrola.fit_sim` with ``max_iters`` and
        ``initial_guess``, or :func:`ventrola.fit_ml` with ``free``, ``fixed``,
        ``contamination`` and ``initial_guess``.
    rt_unit : {"s", "ms"}, optional
        The unit of the response-time column (default seconds).
    upper : object, optional
        The label of upper-boundary responses; rows equal to it are upper, all others lower.
    max_iters : int, optional
        The iteration budget of ``method="sim"`` (default 200).
    initial_guess : dict, optional
        One dictionary for all groups: starting values (``"sim"``: the three of
        :func:`ventrola.fit_sim`; ``"ml"``: values of free parameters). ``None`` starts each
        group from its own EZ estimate.
    executor : concurrent.futures.Executor, optional
        Fits the groups as separate tasks, one per group, each sent only its two arrays (a
        process pool, or ``dask.distributed.Client.get_executor()``); the result equals the
        serial one.
    progress : callable, optional
        Wraps the iteration over finished groups, called as ``progress(iterable,
        total=n_groups)``; ``tqdm.tqdm`` fits.
    free, fixed, contamination : optional
        As :func:`ventrola.fit_ml` takes them (``contamination`` default 0.02); ``"ml"`` only.
    depends_on : dict of str to str or list of str, optional
        ``"ml"`` only: e.g. ``{"drift_rate": "condition"}``. The named free parameters take one
        value per level of their column(s) within each group, the others are shared, and all
        trials of the group are fitted jointly.
    formulas : dict of str to str, optional
        ``"ml"`` only: a formula per parameter on the table's columns, e.g. ``{"drift_rate":
        "1 + coherence"}``, fitted within each group (common terms; see :func:`ventrola.fit_ml`).
    missing : {None, "choice"}, optional
        ``"ml"`` only: an empty response-time cell is a trial known by its choice only.
    deadline : str or float, optional
        ``"ml"`` only: a column of deadlines or one deadline, in ``rt_unit``; an empty
        response-time cell (whose choice may be empty too) had no response by then.
    rt_range : (float, float), optional
        ``"ml"`` only: ``(low, high)`` in ``rt_unit``: only responses in this window were kept.
    model : ventrola.DDM, optional
        ``"ml"`` only: the model fitted to every group (default ``DDM()``), as
        :func:`ventrola.fit_ml` takes it. Its own parameters may be free, fixed or in
        ``depends_on`` as any other (``{"automatic_amplitude": "congruency"}``); their columns
        follow ``noise_sd`` in the result. Each group's design costs a solve per distinct
        parameter set, so a few levels are cheap.

    Returns
    -------
    pandas.DataFrame
        For ``"ez"`` and ``"sim"`` one row per group, in sorted group order: the ``by``
        columns, ``drift_rate``, ``boundary_separation``, ``starting_point``,
        ``non_decision_time`` (seconds), ``noise_sd``, for ``"sim"`` also ``iterations`` and
        ``final_cost``, then ``n_trials`` and ``error``. For ``"ml"`` one row per group and
        combination of the ``depends_on`` columns (which follow the ``by`` columns), shared
        values repeated: the eight parameters (then a generalized model's own) and
        ``contamination``, a ``<name>_se``
        standard-error column per free parameter, then ``loglik``, ``aic``, ``bic``,
        ``n_trials``, ``n_free`` and ``iterations`` of the group's joint fit, ``converged``,
        ``note`` and ``error``. With ``formulas`` the parameters they describe are NaN and their
        coefficients follow the standard errors: ``drift_rate[Intercept]``,
        ``drift_rate[Intercept]_se``, ``drift_rate[coherence]``, ... A group whose fit fails
        (:class:`ventrola.VentrolaError` or ``ValueError``) has NaN parameters and the message
        in ``error``, which is None for the others.

    Raises
    ------
    ValueError
        Naming the column for a bad table: a missing column, missing values, non-numeric
        response times, response times that are infinite, zero or negative (how many, and
        the index of the first), times whose unit is evidently wrong (more than half above
        20 s: pass ``rt_unit="ms"``; with ``rt_unit="ms"``, more than half below 20 ms),
        choices that are neither booleans nor 0/1 (and not mapped by ``upper``), no row equal
        to ``upper``, or an empty table. Also for a bad ``method``, ``rt_unit``,
        ``max_iters``, ``initial_guess``, ``free``, ``fixed``, ``contamination`` or
        ``depends_on``, and for the last four with a method other than ``"ml"``.
    ImportError
        When pandas is not installed.

    Examples
    --------
    >>> import ventrola
    >>> trials = ventrola.simulate_conditions(
    ...     [{"subject": s, "drift": 1.0, "boundary": 1.5, "start": 0.5, "t0": 0.3} for s in "ab"], 500, 1)
    >>> fits = ventrola.fit_frame(trials, by="subject")
    >>> list(fits["subject"]), bool(fits["error"].isna().all())
    (['a', 'b'], True)
    """
    pandas = require_pandas()
    group_columns = normalise_by(by)
    check_method_arguments(method, rt_unit, max_iters, initial_guess)
    ml_only = (("free", free), ("fixed", fixed), ("contamination", contamination), ("depends_on", depends_on),
               ("formulas", formulas), ("missing", missing), ("deadline", deadline), ("rt_range", rt_range),
               ("model", model))
    if method != "ml":
        given = [name for name, value in ml_only if value is not None]
        if given:
            raise ValueError(f"{', '.join(given)} {'applies' if len(given) == 1 else 'apply'} only to method='ml'")
        spec, design_columns = None, {}
    else:
        spec = model_spec(free, fixed, 0.02 if contamination is None else contamination, formula_names(formulas),
                          model)
        design_columns = normalise_depends_on(depends_on, spec, group_columns)
    extra_columns = [column for names in design_columns.values() for column in names]
    deadline_column = deadline if isinstance(deadline, str) else None
    partial = missing is not None or deadline is not None
    check_table(df, [rt, choice, *group_columns, *dict.fromkeys(extra_columns)],
                may_be_empty={rt: True, choice: deadline is not None} if partial else None)
    if deadline_column is not None:
        check_table(df, [deadline_column])

    all_rts = response_times(df[rt], rt, rt_unit)
    empty_rt = np.isnan(all_rts)
    all_choices = upper_boundary_flags(df[choice].where(~empty_rt, False) if deadline is not None else df[choice],
                                       choice, upper)
    check_seconds(all_rts[~empty_rt] if partial else all_rts, df[rt][~empty_rt] if partial else df[rt], rt, rt_unit)
    scale = 1e-3 if rt_unit == "ms" else 1.0
    observed = censoring.observation(
        all_rts, missing,
        None if deadline is None else table_deadlines(df, deadline, rt_unit),
        None if rt_range is None else tuple(float(x) * scale for x in _pair(rt_range)),
        name=f"column {rt!r}",
    ) if method == "ml" else None
    if spec is not None and not spec.model.is_standard:
        check_observation(spec.model, observed)
    keys, row_sets = split_groups(pandas, df, group_columns)

    if initial_guess is None:
        guess = None
    elif method == "ml":
        guess = dict(initial_guess)
    else:
        guess = {key: float(value) for key, value in initial_guess.items()}
    tasks: list[tuple[Any, ...]]
    if spec is None:
        tasks = [(all_choices[rows], all_rts[rows], method, max_iters, guess) for rows in row_sets]
        outcomes = run_tasks(tasks, executor, progress)
        return results_table(pandas, keys, [len(rows) for rows in row_sets], outcomes, method)
    design = table_design(pandas, df, design_columns)
    assert observed is not None
    # Read once against the whole table, so that a bad formula fails the call, not each group.
    ml_formulas(formulas, df, len(df), spec)
    tasks = []
    for rows in row_sets:
        group = group_design(spec, design, rows)
        try:
            regressions = ml_formulas(formulas, df.iloc[rows], len(rows), spec)
        except ValueError as error:
            regressions, group = {}, GroupDesign(spec, group.levels, group.labels, error=str(error))
        group = GroupDesign(spec, group.levels, group.labels, regressions, observed.subset(rows), group.error)
        tasks.append((all_choices[rows], all_rts[rows], method, max_iters, guess, group))
    outcomes = run_tasks(tasks, executor, progress)
    return ml_results_table(pandas, keys, design, spec, row_sets, outcomes)


def _pair(rt_range: Any) -> tuple[Any, Any]:
    try:
        low, high = rt_range
    except (TypeError, ValueError):
        raise ValueError(f"rt_range must be (low, high), not {rt_range!r}") from None
    return low, high


def table_deadlines(df: pd.DataFrame, deadline: Union[str, float], rt_unit: str) -> Any:
    """The deadline of every row in seconds: a column's values or one number, in ``rt_unit``."""
    scale = 1e-3 if rt_unit == "ms" else 1.0
    if isinstance(deadline, str):
        values = response_times(df[deadline], deadline, rt_unit)
        return values
    if isinstance(deadline, (bool, np.bool_)):
        raise ValueError(f"deadline must be a column name or a number, not {deadline!r}")
    try:
        return float(deadline) * scale
    except (TypeError, ValueError):
        raise ValueError(f"deadline must be a column name or a number, not {deadline!r}") from None


def fit_group(
    choices: npt.NDArray[np.bool_],
    rts: npt.NDArray[np.float64],
    method: str,
    max_iters: int,
    initial_guess: Optional[dict[str, Any]],
    design: Optional[GroupDesign] = None,
) -> dict[str, Any]:
    """Fits one group; a failure on its data becomes {"error": message}. A maximum-likelihood
    fit comes back whole as {"fit": DesignFit}."""
    try:
        if method == "ez":
            return dict(fit_ez(choices, rts))
        if method == "ml":
            assert design is not None
            if design.error is not None:
                return {"error": design.error}
            fit = fit_design(choices, rts, design.spec, design.levels, initial_guess, design.labels,
                             design.regressions, design.observed)
            return {"fit": fit}
        return dict(fit_sim(choices, rts, initial_guess=initial_guess, max_iters=max_iters))
    except (VentrolaError, ValueError) as error:
        return {"error": str(error)}


def run_tasks(
    tasks: list[tuple[Any, ...]], executor: Optional[Executor], progress: Optional[ProgressWrapper]
) -> list[dict[str, Any]]:
    results: Iterator[dict[str, Any]]
    if executor is None:
        results = (fit_group(*task) for task in tasks)
    else:
        results = in_submission_order([executor.submit(fit_group, *task) for task in tasks])
    if progress is not None:
        return list(progress(results, total=len(tasks)))
    return list(results)


def in_submission_order(futures: list[Future[dict[str, Any]]]) -> Iterator[dict[str, Any]]:
    try:
        for future in futures:
            yield future.result()
    finally:
        # A task that raised (a lost worker, say) ends the call; drop the queued rest.
        for future in futures:
            future.cancel()


def normalise_by(by: Union[str, Sequence[str], None]) -> list[str]:
    if by is None:
        return []
    if isinstance(by, str):
        return [by]
    columns = list(by)
    if len(set(columns)) != len(columns):
        raise ValueError(f"by names a column more than once: {columns}")
    return columns


def check_method_arguments(
    method: str, rt_unit: str, max_iters: int, initial_guess: Optional[Mapping[str, float]]
) -> None:
    if method not in ("ez", "sim", "ml"):
        raise ValueError(f"method must be 'ez', 'sim' or 'ml', not {method!r}")
    if rt_unit not in ("s", "ms"):
        raise ValueError(f"rt_unit must be 's' or 'ms', not {rt_unit!r}")
    if isinstance(max_iters, bool) or not isinstance(max_iters, (int, np.integer)) or max_iters < 0:
        raise ValueError(f"max_iters must be a non-negative integer, not {max_iters!r}")
    if initial_guess is not None and method == "sim":
        missing = [key for key in GUESS_KEYS if key not in initial_guess]
        if missing:
            raise ValueError(f"initial_guess is missing {', '.join(repr(key) for key in missing)}")


def check_table(df: pd.DataFrame, columns: list[str], may_be_empty: Optional[Mapping[str, bool]] = None) -> None:
    """Refuses a missing column, an empty table and empty cells (except in ``may_be_empty``'s
    columns: there a cell may be empty where the response time is)."""
    for column in columns:
        if column not in df.columns:
            raise ValueError(f"column {column!r} is not in the table (columns: {', '.join(map(str, df.columns))})")
    if len(df) == 0:
        raise ValueError(f"the table is empty: column {columns[0]!r} has no response times")
    allowed = {column for column, empty in (may_be_empty or {}).items() if empty}
    no_time = df[columns[0]].isna()
    for column in columns:
        if column in allowed:
            if column != columns[0]:
                stray = df[column].isna() & ~no_time
                if stray.any():
                    raise ValueError(f"column {column!r} is empty at index {df.index[stray.to_numpy()][0]!r}, "
                                     f"where column {columns[0]!r} has a response time")
            continue
        n_missing = int(df[column].isna().sum())
        if n_missing:
            raise ValueError(f"column {column!r} has {n_missing} missing value{'s' if n_missing > 1 else ''}")


def response_times(column: pd.Series, name: str, rt_unit: str) -> npt.NDArray[np.float64]:
    from pandas.api.types import is_bool_dtype, is_numeric_dtype

    if is_bool_dtype(column.dtype) or not is_numeric_dtype(column.dtype):
        pandas = require_pandas()
        numbers = pandas.to_numeric(column, errors="coerce")
        bad = column[numbers.isna()] if not is_bool_dtype(column.dtype) else column
        example = f" such as {bad.iloc[0]!r}" if len(bad) else ""
        raise ValueError(f"column {name!r} must hold numeric response times, found {column.dtype} values{example}")
    seconds: npt.NDArray[np.float64] = column.to_numpy(dtype=np.float64, copy=True)
    if rt_unit == "ms":
        seconds /= 1000.0
    return seconds


def check_seconds(seconds: npt.NDArray[np.float64], column: pd.Series, name: str, rt_unit: str) -> None:
    """Refuses times no experiment produces, and times whose unit is evidently not ``rt_unit``."""
    count, first = impossible_times(seconds)
    if count:
        value = float(column.iloc[first])
        raise TableError(
            impossible_times_message(f"column {name!r}", count, value, f"at index {column.index[first]!r}"),
            impossible_times_message(f"column {name!r}", count, value, f"in data row {first + 1}"),
        )
    median = slow_median(seconds)
    if median is not None:
        beyond = f"column {name!r}: the median response time is {median:g} s, far beyond any two-choice task"
        if rt_unit == "s":
            raise TableError(f'{beyond}; if the times are in milliseconds, pass rt_unit="ms"',
                             f"{beyond}; if the times are in milliseconds, pass --rt-unit ms")
        raise TableError(f"{beyond}; check the unit of the response times")
    median = fast_median(seconds)
    if median is not None and rt_unit == "ms":
        below = (f"column {name!r}: the median response time is {median * 1000.0:g} ms, far below any "
                 "two-choice response; if the times are in seconds")
        raise TableError(f'{below}, leave out rt_unit="ms"', f"{below}, leave out --rt-unit ms")


def upper_boundary_flags(column: pd.Series, name: str, upper: Any) -> npt.NDArray[np.bool_]:
    from pandas.api.types import infer_dtype, is_bool_dtype, is_numeric_dtype

    if upper is not None:
        flags = labels_equal(column, upper)
        if not flags.any():
            labels = ", ".join(repr(label) for label in column.unique()[:5])
            raise TableError(f"no row of column {name!r} equals upper={upper!r} (labels found: {labels})",
                             f"no row of column {name!r} equals --upper {upper} (labels found: {labels})")
        return flags
    if is_bool_dtype(column.dtype) or infer_dtype(column, skipna=False) == "boolean":
        return np.asarray(column, dtype=np.bool_)
    # Numbers as floats, so that messages show a stray code the same whatever the column's type.
    values = column.to_numpy(dtype=np.float64 if is_numeric_dtype(column.dtype) else object)
    bad = not_choices(values)
    if not bad.any():
        return np.asarray(values == 1, dtype=np.bool_)
    first = int(np.flatnonzero(bad)[0])
    example = plain(values[first])
    found = f"column {name!r} must hold booleans or 0/1 choices, found {example!r}"
    raise TableError(
        f"{found} at index {column.index[first]!r}; pass upper=LABEL to map labels to the upper boundary",
        f"{found} in data row {first + 1}; pass --upper LABEL to map labels to the upper boundary",
    )


def labels_equal(column: pd.Series, upper: Any) -> npt.NDArray[np.bool_]:
    """Rows whose label is ``upper``; numbers by value when the label and every row read as numbers,
    so that upper=1 or "1" finds 1.0 whether the column holds numbers or their text."""
    from pandas.api.types import is_bool_dtype

    label = _as_number(upper)
    if label is not None and not is_bool_dtype(column.dtype):
        pandas = require_pandas()
        numbers = pandas.to_numeric(column, errors="coerce")
        if not numbers.isna().any():
            return np.asarray(numbers == label, dtype=np.bool_)
    return np.asarray(column == upper, dtype=np.bool_)


def _as_number(label: Any) -> Optional[float]:
    if isinstance(label, (bool, np.bool_)):
        return None
    try:
        return float(label)
    except (TypeError, ValueError):
        return None


def split_groups(
    pandas: Any, df: pd.DataFrame, group_columns: list[str]
) -> tuple[pd.DataFrame, list[npt.NDArray[np.intp]]]:
    """The group keys (one row per group, sorted) and the row positions of each group."""
    if not group_columns:
        no_keys: pd.DataFrame = pandas.DataFrame(index=range(1))
        return no_keys, [np.arange(len(df))]
    grouped = df.groupby(group_columns, sort=True, observed=True)
    codes = grouped.ngroup().to_numpy()
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(grouped.ngroups + 1))
    keys = grouped.size().index.to_frame(index=False)
    rows = [order[bounds[i] : bounds[i + 1]] for i in range(grouped.ngroups)]
    return keys, rows


def results_table(
    pandas: Any, keys: pd.DataFrame, n_trials: list[int], outcomes: list[dict[str, Any]], method: str
) -> pd.DataFrame:
    table = keys.reset_index(drop=True)
    for column in PARAMETER_COLUMNS:
        table[column] = np.array([outcome.get(column, np.nan) for outcome in outcomes], dtype=np.float64)
    if method == "sim":
        table["iterations"] = pandas.array([outcome.get("iterations") for outcome in outcomes], dtype="Int64")
        table["final_cost"] = np.array([outcome.get("final_cost", np.nan) for outcome in outcomes], dtype=np.float64)
    table["n_trials"] = np.array(n_trials, dtype=np.int64)
    table["error"] = pandas.Series([outcome.get("error") for outcome in outcomes], dtype=object)
    return table


# ---------------------------------------------------------------------------
# Simulation


def simulate_frame(
    drift: float,
    boundary: float,
    start: float,
    t0: float,
    n: int,
    seed: int,
    noise_sd: float = 1.0,
    *,
    drift_rate_sd: Optional[float] = None,
    starting_point_range: Optional[float] = None,
    non_decision_time_range: Optional[float] = None,
    method: Optional[str] = None,
    model: Optional[DDM] = None,
    **family_parameters: float,
) -> pd.DataFrame:
    """Simulate ``n`` trials as a DataFrame.

    Without the keyword arguments the trials are those of :func:`ventrola.simulate` (Euler
    steps of 1 ms). Any of ``drift_rate_sd``, ``starting_point_range``,
    ``non_decision_time_range``, ``method`` or ``model`` simulates with
    :func:`ventrola.simulate_ddm` instead.

    Parameters
    ----------
    drift, boundary, start, t0 : float
        Drift rate, boundary separation, starting point (a fraction of the separation) and
        non-decision time in seconds.
    n, seed : int
        Number of trials and seed, both >= 0.
    noise_sd : float, optional
        Noise per unit time (default 1).
    drift_rate_sd, starting_point_range, non_decision_time_range : float, optional
        Across-trial variability, as :func:`ventrola.simulate_ddm` takes it.
    method : {"exact", "euler"}, optional
        With :func:`ventrola.simulate_ddm`: ``"exact"`` (the default then) or ``"euler"``.
    model : ventrola.DDM, optional
        A generalized model, simulated by steps of 1 ms (:meth:`ventrola.DDM.simulate`).
    **family_parameters
        The parameters of ``model``'s families (``collapse_time`` and the like).

    Returns
    -------
    pandas.DataFrame
        Columns ``trial`` (int64, 0, 1, ... over the kept trials), ``choice`` (bool, True for
        the upper boundary) and ``rt`` (float64, seconds). Trials whose decision time passes
        10 s are left out; their number is ``df.attrs["n_excluded"]``.

    Raises
    ------
    ValueError
        For parameters out of range, NaN and infinite values included.
    TypeError
        For arguments of the wrong type.
    ImportError
        When pandas is not installed.

    Examples
    --------
    >>> import ventrola
    >>> trials = ventrola.simulate_frame(1.0, 1.5, 0.5, 0.3, 100, 7)
    >>> list(trials.columns), len(trials)
    (['trial', 'choice', 'rt'], 100)
    """
    pandas = require_pandas()
    variability = {
        name: value
        for name, value in (("drift_rate_sd", drift_rate_sd), ("starting_point_range", starting_point_range),
                            ("non_decision_time_range", non_decision_time_range))
        if value is not None
    }
    if model is not None or family_parameters:
        choices, rts, n_excluded = simulate_ddm(
            drift, boundary, start, t0, n, seed, noise_sd=noise_sd, method=method, model=model,
            **variability, **family_parameters,
        )
    elif variability or method is not None:
        choices, rts, n_excluded = simulate_ddm(
            drift, boundary, start, t0, n, seed, noise_sd=noise_sd, method="exact" if method is None else method,
            **variability,
        )
    else:
        refuse_non_finite({"drift_rate": drift, "boundary_separation": boundary, "starting_point": start,
                           "non_decision_time": t0, "noise_sd": noise_sd})
        choices, rts, n_excluded = simulate(drift, boundary, start, t0, n, seed, noise_sd)
    table: pd.DataFrame = pandas.DataFrame(
        {"trial": np.arange(len(rts), dtype=np.int64), "choice": choices, "rt": rts}
    )
    table.attrs["n_excluded"] = int(n_excluded)
    return table


def refuse_non_finite(values: Mapping[str, Any]) -> None:
    """simulate steps NaN and infinite parameters as if they meant something (every trial at one
    boundary after one step, say); a table of such trials is refused as simulate_ddm refuses them."""
    for name, value in values.items():
        try:
            finite = math.isfinite(value)
        except (TypeError, ValueError, OverflowError):
            continue  # not a float: simulate's own conversion says what is wrong
        if not finite:
            raise ValueError(parameters.table()[name].refusal(float(value)))


def condition_seeds(seed: int, count: int) -> list[int]:
    """The seed of each condition: the first 64-bit word of the i-th child of SeedSequence(seed)."""
    children = np.random.SeedSequence(seed).spawn(count)
    return [int(child.generate_state(1, dtype=np.uint64)[0]) for child in children]


def simulate_conditions(
    conditions: Union[pd.DataFrame, Sequence[Mapping[str, Any]]],
    n: int,
    seed: int,
) -> pd.DataFrame:
    """Simulate ``n`` trials for each row of ``conditions`` into one DataFrame.

    Parameters
    ----------
    conditions : pandas.DataFrame or sequence of dict
        Columns ``drift``, ``boundary``, ``start``, ``t0`` and optionally ``noise_sd``
        (default 1.0); any other columns (``subject``, ``condition``, ...) are labels copied
        onto every trial of their row.
    n : int
        Trials per row.
    seed : int
        Row ``i`` is simulated with the seed ``numpy.random.SeedSequence(seed).spawn(k)[i]
        .generate_state(1, numpy.uint64)[0]`` (``k`` rows), so conditions get distinct,
        reproducible streams.

    Returns
    -------
    pandas.DataFrame
        The label columns, then ``trial``, ``choice`` (bool) and ``rt`` (float64, seconds).
        ``df.attrs["n_excluded"]`` is the total number of trials dropped at the 10 s cap.

    Raises
    ------
    ValueError
        For a missing parameter column or parameters out of range.
    ImportError
        When pandas is not installed.
    """
    pandas = require_pandas()
    table = conditions if isinstance(conditions, pandas.DataFrame) else pandas.DataFrame(list(conditions))
    for column in CONDITION_COLUMNS:
        if column not in table.columns:
            raise ValueError(f"conditions need a {column!r} column")
    label_columns = [c for c in table.columns if c not in CONDITION_COLUMNS and c != "noise_sd"]
    seeds = condition_seeds(seed, len(table))
    pieces = []
    n_excluded = 0
    for position in range(len(table)):
        row = {column: table[column].iloc[position] for column in table.columns}
        trials = simulate_frame(
            float(row["drift"]), float(row["boundary"]), float(row["start"]), float(row["t0"]),
            n, seeds[position], float(row.get("noise_sd", 1.0)),
        )
        n_excluded += trials.attrs["n_excluded"]
        trials.attrs = {}
        for column in reversed(label_columns):
            trials.insert(0, column, row[column])
        pieces.append(trials)
    if pieces:
        result: pd.DataFrame = pandas.concat(pieces, ignore_index=True)
    else:
        result = pandas.DataFrame({**{c: [] for c in label_columns}, "trial": [], "choice": [], "rt": []})
    for column in label_columns:
        result[column] = result[column].astype(table[column].dtype)
    result.attrs["n_excluded"] = n_excluded
    return result
