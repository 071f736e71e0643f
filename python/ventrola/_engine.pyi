from typing import Any

import numpy as np
import numpy.typing as npt

_Column = npt.NDArray[np.float64]

def wiener_logpdf(
    choices: npt.NDArray[np.bool_], rts: _Column, drift_rate: _Column, boundary_separation: _Column,
    starting_point: _Column, non_decision_time: _Column, drift_rate_sd: _Column, starting_point_range: _Column,
    non_decision_time_range: _Column, noise_sd: _Column,
) -> _Column: ...
def wiener_pdf(
    choices: npt.NDArray[np.bool_], rts: _Column, drift_rate: _Column, boundary_separation: _Column,
    starting_point: _Column, non_decision_time: _Column, drift_rate_sd: _Column, starting_point_range: _Column,
    non_decision_time_range: _Column, noise_sd: _Column,
) -> _Column: ...
def wiener_cdf(
    choices: npt.NDArray[np.bool_], rts: _Column, drift_rate: _Column, boundary_separation: _Column,
    starting_point: _Column, non_decision_time: _Column, drift_rate_sd: _Column, starting_point_range: _Column,
    non_decision_time_range: _Column, noise_sd: _Column,
) -> _Column: ...
def wiener_logpdf_grad(
    choices: npt.NDArray[np.bool_], rts: _Column, drift_rate: _Column, boundary_separation: _Column,
    starting_point: _Column, non_decision_time: _Column, drift_rate_sd: _Column, starting_point_range: _Column,
    non_decision_time_range: _Column, noise_sd: _Column,
) -> tuple[_Column, tuple[_Column, ...]]: ...
def simulate_ddm(
    drift_rate: float, boundary_separation: float, starting_point: float, non_decision_time: float, n: int,
    seed: int, drift_rate_sd: float, starting_point_range: float, non_decision_time_range: float, noise_sd: float,
    method: str, dt: float, max_time: float,
) -> tuple[npt.NDArray[np.bool_], _Column, int]: ...

# A generalized model as the engine reads it: (bound family, drift family, leak, bound table or None,
# its time step, drift table or None, its time step).
_ModelShape = tuple[Any, ...]

def general_likelihood(
    quantity: str, model: _ModelShape, choices: _Column, rts: _Column, parameters: tuple[_Column, ...],
    wanted: tuple[bool, ...] | None = None,
) -> _Column | tuple[_Column, tuple[_Column, ...]]: ...
def general_simulate(
    model: _ModelShape, n: int, seed: int, parameters: tuple[Any, ...], dt: float, max_time: float,
) -> tuple[npt.NDArray[np.bool_], _Column, int]: ...
