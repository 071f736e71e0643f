"""A mass matrix that adapts as a diagonal early in tuning and as a dense matrix later.

A drift-diffusion model's across-trial variabilities are correlated with each other and with
the group's non-decision time (0.6 to 0.8 in the full model's hierarchical example), and a
diagonal mass matrix leaves NUTS to follow those ridges with short steps. A dense one follows
them, but estimated from the first draws (the chain's walk in, fewer draws than parameters) it
points the wrong way and makes the early trees long. So the estimate is diagonal until
``dense_after`` tuning draws, and dense from the draws of the later windows after that; each
dense estimate is shrunk towards its own diagonal by the share ``d / (n + d)`` (d parameters, n
draws), so that the directions few draws have seen keep their variances instead of collapsing
(a sample covariance of n draws underestimates its smallest variances, the more so the closer n
comes to d).

The windows follow PyMC's full-matrix adaptation: the estimate comes from the draws since the
last window began, the windows doubling from ``adaptation_window``; it is updated at every draw.
"""

from __future__ import annotations

import warnings
from dataclasses import field

import numpy as np
import numpy.typing as npt
import scipy.linalg
from pymc.step_methods.hmc.quadpotential import QuadPotentialFullAdapt, QuadPotentialFullAdaptState
from pymc.step_methods.state import dataclass_state

FloatArray = npt.NDArray[np.float64]

SMALLEST_VARIANCE = 1e-10


@dataclass_state
class DiagonalThenDenseState(QuadPotentialFullAdaptState):
    _draws: int
    _discard: int = field(metadata={"frozen": True})
    _dense_after: int = field(metadata={"frozen": True})


class DiagonalThenDense(QuadPotentialFullAdapt):
    """The mass matrix's inverse (the posterior covariance's estimate), diagonal for the first
    ``dense_after`` tuning draws and dense after them.

    Parameters
    ----------
    n : int
        Number of parameters.
    mean, variance : ndarray
        The first guesses of the posterior's mean and variances; the guess weighs
        ``initial_weight`` draws.
    discard : int
        Tuning draws left out at the start (the chain's walk in from its starting point).
    dense_after : int
        The tuning draw from which the estimate is dense.
    adaptation_window : int
        The first window's length in draws (the windows double).
    initial_weight : float
        Weight of the guess, in draws (it must not be 0).
    """

    _state_class = DiagonalThenDenseState

    def __init__(self, n: int, mean: FloatArray, variance: FloatArray, *, discard: int, dense_after: int,
                 adaptation_window: int, initial_weight: float) -> None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # PyMC calls its dense adaptation experimental
            super().__init__(n, mean, np.diag(variance), initial_weight, adaptation_window=adaptation_window)
        self._discard = discard
        self._dense_after = dense_after
        self._draws = 0

    def reset(self) -> None:
        super().reset()
        self._draws = 0

    def update(self, sample: FloatArray, grad: FloatArray, tune: bool) -> None:
        if not tune:
            return
        self._draws += 1
        if self._draws <= self._discard:
            return
        super().update(sample, grad, tune)

    def _update_from_weightvar(self, weightvar: object) -> None:
        weightvar.current_covariance(out=self._cov)  # type: ignore[attr-defined]
        draws = weightvar.n_samples  # type: ignore[attr-defined]
        diagonal = np.maximum(np.diag(self._cov), SMALLEST_VARIANCE)
        if self._draws < self._dense_after:
            self._cov[:] = np.diag(diagonal)
        else:
            self._cov *= 1.0 - self._n / (draws + self._n)
            self._cov[np.diag_indices_from(self._cov)] = diagonal
        try:
            self._chol = scipy.linalg.cholesky(self._cov, lower=True)
        except (scipy.linalg.LinAlgError, ValueError) as error:
            self._chol_error = error
