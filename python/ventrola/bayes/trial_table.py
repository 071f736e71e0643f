"""A table of trials read into the arrays a hierarchical model indexes: signed
response times, each trial's participant and condition levels, and summaries
of each cell's response times.

A trial without a time is a signed time too: ``+inf`` or ``-inf`` when only its
choice is known (``missing="choice"``), ``0`` when it had no response by its
deadline (see :mod:`ventrola.bayes.trial_likelihood`)."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional

import numpy as np
import numpy.typing as npt

from ventrola import censoring
from ventrola.frames import (
    check_seconds, check_table, require_pandas, response_times, table_deadlines, upper_boundary_flags,
)

if TYPE_CHECKING:
    import pandas as pd

Array = npt.NDArray[np.float64]


@dataclass(frozen=True)
class TrialTable:
    signed_rts: npt.NDArray[np.float64]
    participant_column: str
    participants: npt.NDArray[Any]  # the sorted labels
    participant_index: npt.NDArray[np.intp]  # per trial
    levels: dict[str, npt.NDArray[Any]]  # column -> sorted labels
    level_index: dict[str, npt.NDArray[np.intp]]  # column -> per-trial position in levels[column]
    deadlines: npt.NDArray[np.float64]  # per trial, inf without one
    window: tuple[float, float]  # (0, inf) when nothing was trimmed

    @property
    def rts(self) -> npt.NDArray[np.float64]:
        """The response times, NaN for trials without one."""
        timed = np.isfinite(self.signed_rts) & (self.signed_rts != 0)
        return np.where(timed, np.abs(self.signed_rts), np.nan)

    def cell_shape(self, columns: Sequence[str], per_participant: bool = True) -> tuple[int, ...]:
        levels = tuple(len(self.levels[column]) for column in columns)
        return (len(self.participants), *levels) if per_participant else levels

    def cell_of_trial(self, columns: Sequence[str], per_participant: bool = True) -> npt.NDArray[np.intp]:
        """Each trial's position in a (participant x) levels array, flattened in C order."""
        indices = tuple(self.level_index[column] for column in columns)
        if per_participant:
            indices = (self.participant_index, *indices)
        if not indices:
            return np.zeros(len(self.signed_rts), dtype=np.intp)
        return np.ravel_multi_index(indices, self.cell_shape(columns, per_participant)).astype(np.intp)

    def cell_statistic(self, columns: Sequence[str], statistic: Callable[[Array], float]) -> Array:
        """``statistic`` of the response times in each cell of participant x
        levels; a cell without trials takes its participant's."""
        cells = self.cell_of_trial(columns)
        shape = self.cell_shape(columns)
        rts = self.rts
        overall = _timed(statistic, rts, np.nan)
        per_participant = np.array([_timed(statistic, rts[self.participant_index == j], overall)
                                    for j in range(shape[0])])
        values = np.broadcast_to(per_participant.reshape((-1,) + (1,) * len(columns)), shape).ravel().copy()
        for cell in np.unique(cells):
            values[cell] = _timed(statistic, rts[cells == cell], values[cell])
        return values.reshape(shape)


def _timed(statistic: Callable[[Array], float], rts: Array, otherwise: float) -> float:
    """The statistic of the timed trials among ``rts``; ``otherwise`` when there are none."""
    timed = rts[~np.isnan(rts)]
    return float(statistic(timed)) if timed.size else otherwise


def read_trials(
    df: pd.DataFrame, rt: str, choice: str, by: str, level_columns: Sequence[str], upper: Any, rt_unit: str,
    missing: Optional[str] = None, deadline: Any = None, rt_range: Any = None,
) -> TrialTable:
    """Checks the table as :func:`ventrola.fit_frame` does and indexes its participants and levels.

    Response times must be positive and finite (a signed time of 0 would have
    no response), and evidently in ``rt_unit``; an empty one only with ``missing``
    or a ``deadline`` (in ``rt_unit``, a column or one number), which say why.
    """
    pandas = require_pandas()
    if rt_unit not in ("s", "ms"):
        raise ValueError(f"rt_unit must be 's' or 'ms', not {rt_unit!r}")
    partial = missing is not None or deadline is not None
    check_table(df, [rt, choice, by, *level_columns],
                may_be_empty={rt: True, choice: deadline is not None} if partial else None)
    if isinstance(deadline, str):
        check_table(df, [deadline])
    seconds = response_times(df[rt], rt, rt_unit)
    empty = np.isnan(seconds)
    check_seconds(seconds[~empty], df[rt][~empty], rt, rt_unit)
    scale = 1e-3 if rt_unit == "ms" else 1.0
    observed = censoring.observation(
        seconds, missing, None if deadline is None else table_deadlines(df, deadline, rt_unit),
        None if rt_range is None else tuple(float(x) * scale for x in rt_range), name=f"column {rt!r}",
    )
    flags = upper_boundary_flags(df[choice].where(~empty, False) if deadline is not None else df[choice],
                                 choice, upper)
    signed = np.where(flags, seconds, -seconds)
    signed[observed.choice_only] = np.where(flags, np.inf, -np.inf)[observed.choice_only]
    signed[observed.omitted] = 0.0
    participant_index, participants = pandas.factorize(df[by], sort=True)
    levels, level_index = {}, {}
    for column in level_columns:
        codes, labels = pandas.factorize(df[column], sort=True)
        levels[column] = np.asarray(labels)
        level_index[column] = np.asarray(codes, dtype=np.intp)
    return TrialTable(
        signed_rts=signed,
        participant_column=by,
        participants=np.asarray(participants),
        participant_index=np.asarray(participant_index, dtype=np.intp),
        levels=levels,
        level_index=level_index,
        deadlines=observed.deadlines,
        window=observed.window or (0.0, np.inf),
    )
