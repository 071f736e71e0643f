"""Standard errors from the observed information: the Hessian of minus the log-likelihood at the
optimum, by finite differences of its analytic gradient, inverted.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Optional

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

# Smallest eigenvalue of the information, relative to its largest, below which it counts as singular.
SINGULAR_RATIO = 1e-12


def observed_information(
    gradient: Callable[[FloatArray], FloatArray],
    theta: FloatArray,
    steps: FloatArray,
    sides: npt.NDArray[np.int_],
) -> FloatArray:
    """Columns of d gradient / d theta_i: central differences where ``sides[i]`` is 0, else one step
    to that side (+1 or -1) from the optimum, for entries next to the edge of their range."""
    n = len(theta)
    at_optimum: Optional[FloatArray] = None
    columns = np.empty((n, n))
    for i in range(n):
        shift = np.zeros(n)
        shift[i] = steps[i]
        if sides[i] == 0:
            columns[:, i] = (gradient(theta + shift) - gradient(theta - shift)) / (2.0 * steps[i])
        else:
            if at_optimum is None:
                at_optimum = gradient(theta)
            columns[:, i] = (gradient(theta + sides[i] * shift) - at_optimum) / (sides[i] * steps[i])
    return 0.5 * (columns + columns.T)


def standard_errors(information: FloatArray) -> Optional[FloatArray]:
    """The square roots of the diagonal of the inverse; None where the information is singular
    or not positive definite (the optimum is flat or not a maximum in some direction)."""
    if information.size == 0:
        return np.empty(0)
    if not np.isfinite(information).all():
        return None
    eigenvalues = np.linalg.eigvalsh(information)
    if eigenvalues[0] <= SINGULAR_RATIO * max(eigenvalues[-1], 0.0):
        return None
    covariance = np.linalg.inv(information)
    variances = np.diag(covariance)
    if not (variances > 0.0).all():
        return None
    return np.sqrt(variances)
