"""Standard errors from the observed information: the Hessian of minus the log-likelihood at the
optimum, by central differences of its analytic gradient, inverted.

An entry at the edge of its range gets none (the normal approximation does not hold there); nor
does any entry when the information is singular or not positive definite.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Optional

import numpy as np
import numpy.typing as npt

from .coordinates import Layout
from .formula_design import is_regression
from .objective import Objective

FloatArray = npt.NDArray[np.float64]

# Smallest eigenvalue of the information, relative to its largest, below which it counts as singular.
SINGULAR_RATIO = 1e-12
# Entries this close to a bound (the optimizer's coordinates) are at the edge of their range.
EDGE = 1e-4
# Finite-difference step of the observed information, in the optimizer's coordinates.
HESSIAN_STEP = 1e-4


def observed_information(
    gradient: Callable[[FloatArray], FloatArray], theta: FloatArray, steps: FloatArray
) -> FloatArray:
    """Columns of d gradient / d theta_i by central differences of ``steps[i]`` about the optimum,
    symmetrised: two gradients per entry, accurate to the step's square. Forward differences
    (one gradient per entry) erred by about the step, which for a steep direction (a
    non-decision time pinned by the fastest responses) was enough to turn a nearly flat one
    negative and the standard errors NaN."""
    n = len(theta)
    if n == 0:
        return np.empty((0, 0))
    columns = np.empty((n, n))
    for i in range(n):
        shift = np.zeros(n)
        shift[i] = steps[i]
        columns[:, i] = (gradient(theta + shift) - gradient(theta - shift)) / (2.0 * steps[i])
    return 0.5 * (columns + columns.T)


def inverse_diagonal_roots(information: FloatArray) -> Optional[FloatArray]:
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


def entry_names(layout: Layout, labels: Mapping[str, Sequence[str]]) -> list[str]:
    """Each entry of the vector as a user reads it: the parameter, and its level where it has levels."""
    names: list[str] = []
    for slot in layout.slots:
        if is_regression(slot):
            names.extend(slot.entry_names())  # type: ignore[union-attr]
        elif slot.codes is None:
            names.append(slot.name)
        else:
            level_names = labels.get(slot.name) or [f"level {level}" for level in range(slot.n_levels)]
            names.extend(f"{slot.name} ({level})" for level in level_names)
    return names


def standard_errors(
    objective: Objective, x: FloatArray, theta: FloatArray, labels: Mapping[str, Sequence[str]]
) -> tuple[dict[str, FloatArray], Optional[str]]:
    """Per free parameter, the standard error of each level's value, and a note saying why any is NaN."""
    layout = objective.layout
    lower, upper = np.array(layout.bounds()).T
    at_edge = (x - lower <= EDGE) | (upper - x <= EDGE)
    inside = np.flatnonzero(~at_edge)
    # Entries inside lie more than a step from either bound.
    steps = HESSIAN_STEP * np.abs(layout.diagonal_jacobian(x, theta))[inside]

    def minus_gradient(sub: FloatArray) -> FloatArray:
        full = theta.copy()
        full[inside] = sub
        _loglik, gradient = objective.theta_gradient(full)
        return -gradient[inside]

    notes = []
    errors = np.full(layout.size, np.nan)
    try:
        inner = inverse_diagonal_roots(observed_information(minus_gradient, theta[inside], steps))
    except ValueError:
        inner = None
    if inner is None:
        if len(inside):
            notes.append(
                "the observed information is singular or not positive definite at the end point: "
                "standard errors are NaN"
            )
    else:
        errors[inside] = inner
    names = entry_names(layout, labels)
    edge_names = [names[i] for i in np.flatnonzero(at_edge)]
    if edge_names:
        notes.append(f"at the edge of its range, so without a standard error: {', '.join(edge_names)}")
    by_slot = {slot.name: errors[slot.entries] for slot in layout.slots}
    return by_slot, "; ".join(notes) if notes else None
