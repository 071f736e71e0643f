"""Trials of the seven-parameter diffusion model.

:func:`simulate_ddm` draws each trial's first-passage time and boundary
exactly (``method="exact"``), or by Euler steps of ``dt`` seconds
(``method="euler"``). Either way trial ``i`` reads only its own random stream
of ``seed``, so the results do not depend on the number of threads, and the
first ``n`` trials of a longer run with the same seed are those of a run of
``n``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional

import numpy as np
import numpy.typing as npt

from ventrola import _engine

if TYPE_CHECKING:
    from ventrola.models import DDM

METHODS = ("exact", "euler")


def simulate_ddm(
    drift_rate: float,
    boundary_separation: float,
    starting_point: float,
    non_decision_time: float,
    n: int,
    seed: int,
    *,
    drift_rate_sd: float = 0.0,
    starting_point_range: float = 0.0,
    non_decision_time_range: float = 0.0,
    noise_sd: float = 1.0,
    method: Optional[str] = None,
    dt: float = 0.001,
    max_time: float = 10.0,
    model: Optional[DDM] = None,
    **family_parameters: Any,
) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64], int]:
    """Simulates ``n`` trials of the seven-parameter diffusion model.

    Per trial the drift is drawn from a normal distribution of mean ``drift_rate`` and
    standard deviation ``drift_rate_sd``, the start (a fraction of ``boundary_separation``)
    uniformly within ``starting_point_range / 2`` of ``starting_point``, and the non-decision
    time uniformly from ``[non_decision_time, non_decision_time + non_decision_time_range]``
    seconds; then its decision time and boundary.

    Parameters
    ----------
    drift_rate, boundary_separation, starting_point, non_decision_time : float
        As :func:`ventrola.wiener_logpdf` takes them.
    n : int
        Number of trials, >= 0.
    seed : int
        Seed, >= 0. Trial ``i`` reads only its own random stream of the seed, so the results
        do not depend on the number of threads, and a run of ``n`` trials is the first ``n``
        of any longer run with the same seed.
    drift_rate_sd, starting_point_range, non_decision_time_range, noise_sd : float, optional
        The across-trial variabilities (default 0) and the noise per unit time (default 1).
    method : {"exact", "euler"}, optional
        ``"exact"`` (the default for the seven-parameter model) samples the decision time and
        boundary from their exact joint distribution, in a few random draws per trial whatever
        the decision time. ``"euler"`` takes Euler-Maruyama steps of ``dt``; without
        variability and with the defaults ``dt=0.001`` and ``max_time=10.0`` it gives exactly
        the trials of :func:`ventrola.simulate` for the same parameters and seed. A generalized
        ``model`` is simulated by steps only (``"euler"``, its default).
    dt : float, optional
        The Euler step in seconds (default 0.001), > 0; with a finite ``max_time`` at least
        ``max_time / 1e9``, so that a trial reaches the cap in at most a billion steps.
    max_time : float, optional
        Trials whose decision time passes it (an Euler trial: that is still undecided once its
        steps have passed it) are dropped; ``math.inf`` keeps every trial (default 10 s), and
        an Euler trial then steps until it reaches a boundary.
    model : ventrola.DDM, optional
        A generalized model (a collapsing bound, a time-varying drift, a leak): its trials come
        from :meth:`ventrola.DDM.simulate`, and its own parameters (``collapse_time`` and the
        like) are passed as further keywords. ``None`` or ``DDM()`` is the seven-parameter model.
    **family_parameters
        The parameters of ``model``'s families, by name.

    Returns
    -------
    choices : ndarray of bool
        True for the upper boundary.
    rts : ndarray of float64
        Response times in seconds.
    n_excluded : int
        The number of trials dropped.

    Raises
    ------
    ValueError
        Naming a parameter out of its range, or ``method="exact"`` with a generalized model.
    TypeError
        For arguments of the wrong type, or parameters the model does not have.
    KeyboardInterrupt
        On Ctrl-C: a long simulation checks for signals between blocks of trials (and within
        Euler trials that may run long) and stops.

    Examples
    --------
    >>> import ventrola
    >>> choices, rts, n_excluded = ventrola.simulate_ddm(1.0, 1.5, 0.5, 0.3, 1000, 7, drift_rate_sd=0.5)
    >>> len(rts), n_excluded, bool(rts.min() > 0.3)
    (1000, 0, True)
    >>> model = ventrola.DDM(bound="exponential")
    >>> choices, rts, n_excluded = ventrola.simulate_ddm(1.0, 1.8, 0.5, 0.3, 1000, 7, model=model, collapse_time=1.0)
    >>> len(rts), n_excluded
    (1000, 0)
    """
    if model is not None and not model.is_standard:
        if method not in (None, "euler"):
            if method == "exact":
                raise ValueError(f"method='exact' draws first passages of the seven-parameter model from their known "
                                 f"distribution; {model!r} has no such sampler: use method='euler'")
            raise ValueError(f"method must be one of {METHODS}, got {method!r}")
        return model.simulate(n, seed, dt=dt, max_time=max_time, drift_rate=drift_rate,
                              boundary_separation=boundary_separation, starting_point=starting_point,
                              non_decision_time=non_decision_time, drift_rate_sd=drift_rate_sd,
                              starting_point_range=starting_point_range,
                              non_decision_time_range=non_decision_time_range, noise_sd=noise_sd,
                              **family_parameters)
    if family_parameters:
        name = next(iter(family_parameters))
        raise TypeError(f"simulate_ddm() got an unexpected keyword argument {name!r} (the seven-parameter model "
                        "has no such parameter; pass model=ventrola.DDM(...) for a generalized one)")
    return _engine.simulate_ddm(
        drift_rate,
        boundary_separation,
        starting_point,
        non_decision_time,
        n,
        seed,
        drift_rate_sd,
        starting_point_range,
        non_decision_time_range,
        noise_sd,
        "exact" if method is None else method,
        dt,
        max_time,
    )
