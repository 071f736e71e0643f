# Types of the compiled extension. Arrays: `choices` holds numpy.bool_, `rts`
# holds numpy.float64 response times in seconds; both one-dimensional and
# contiguous. Parameter dictionaries map the parameter names (and, for
# fit_sim, "iterations" and "final_cost") to numbers.
from typing import Final, Optional

import numpy as np
import numpy.typing as npt

__version__: Final[str]
__all__ = ["__version__", "VentrolaError", "simulate", "fit_ez", "fit_sim"]

class VentrolaError(ValueError): ...

def simulate(
    drift: float,
    boundary: float,
    start: float,
    t0: float,
    n: int,
    seed: int,
    noise_sd: float = 1.0,
) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64], int]: ...
def fit_ez(choices: npt.NDArray[np.bool_], rts: npt.NDArray[np.float64]) -> dict[str, float]: ...
def fit_sim(
    choices: npt.NDArray[np.bool_],
    rts: npt.NDArray[np.float64],
    initial_guess: Optional[dict[str, float]] = None,
    max_iters: int = 200,
) -> dict[str, float]: ...
