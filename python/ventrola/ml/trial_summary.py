"""What a fit needs to know about its trials beyond the likelihood: the fastest, median and
slowest response times and the share of upper responses, overall and per level of a design
factor. Worked out once per fit and handed to the coordinates, the starts and the objective.
Trials without a time (NaN) count only towards the share of upper responses.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Optional, Union

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
Codes = Optional[npt.NDArray[np.intp]]


@dataclass(frozen=True)
class LevelSummary:
    """Per level of one factor (one level when the factor is None)."""

    rows: list[Union[npt.NDArray[np.bool_], slice]]
    fastest: FloatArray
    median: FloatArray
    upper_share: FloatArray


@dataclass
class TrialSummary:
    choices: npt.NDArray[np.bool_]
    rts: FloatArray
    n: int = field(init=False)
    fastest: float = field(init=False)
    slowest: float = field(init=False)

    def __post_init__(self) -> None:
        self.n = len(self.rts)
        self.fastest = float(np.nanmin(self.rts))
        self.slowest = float(np.nanmax(self.rts))

    def levels(self, codes: Codes, n_levels: int = 1) -> LevelSummary:
        """The summary per level of ``codes`` (each trial's level; None: one level of all trials)."""
        rows: list[Union[npt.NDArray[np.bool_], slice]]
        rows = [slice(0, self.n)] if codes is None else [codes == level for level in range(n_levels)]
        return LevelSummary(
            rows=rows,
            fastest=np.array([_timed(np.nanmin, self.rts[r], self.fastest) for r in rows]),
            median=np.array([_timed(np.nanmedian, self.rts[r], self.fastest) for r in rows]),
            upper_share=np.array([float(self.choices[r].mean()) for r in rows]),
        )


def _timed(statistic: Callable[[FloatArray], float], rts: FloatArray, otherwise: float) -> float:
    """The statistic of the timed trials; a level without one takes ``otherwise``."""
    timed = rts[~np.isnan(rts)]
    return float(statistic(timed)) if timed.size else otherwise
