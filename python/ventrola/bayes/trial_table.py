"""A table of trials read into the arrays a hierarchical model indexes: signed
response times, each trial's participant and condition levels, and summaries
of each cell's response times."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ventrola.frames import check_seconds, check_table, require_pandas, response_times, upper_boundary_flags

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

    @property
    def rts(self) -> npt.NDArray[np.float64]:
        return np.abs(self.signed_rts)

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
        per_participant = np.array([statistic(rts[self.participant_index == j]) for j in range(shape[0])])
        values = np.broadcast_to(per_participant.reshape((-1,) + (1,) * len(columns)), shape).ravel().copy()
        for cell in np.unique(cells):
            values[cell] = statistic(rts[cells == cell])
        return values.reshape(shape)


def read_trials(
    df: pd.DataFrame, rt: str, choice: str, by: str, level_columns: Sequence[str], upper: Any, rt_unit: str
) -> TrialTable:
    """Checks the table as :func:`ventrola.fit_frame` does and indexes its participants and levels.

    Response times must be positive and finite (a signed time of 0 would have
    no response), and evidently in ``rt_unit``.
    """
    pandas = require_pandas()
    if rt_unit not in ("s", "ms"):
        raise ValueError(f"rt_unit must be 's' or 'ms', not {rt_unit!r}")
    check_table(df, [rt, choice, by, *level_columns])
    seconds = response_times(df[rt], rt, rt_unit)
    check_seconds(seconds, df[rt], rt, rt_unit)
    flags = upper_boundary_flags(df[choice], choice, upper)
    participant_index, participants = pandas.factorize(df[by], sort=True)
    levels, level_index = {}, {}
    for column in level_columns:
        codes, labels = pandas.factorize(df[column], sort=True)
        levels[column] = np.asarray(labels)
        level_index[column] = np.asarray(codes, dtype=np.intp)
    return TrialTable(
        signed_rts=np.where(flags, seconds, -seconds),
        participant_column=by,
        participants=np.asarray(participants),
        participant_index=np.asarray(participant_index, dtype=np.intp),
        levels=levels,
        level_index=level_index,
    )
