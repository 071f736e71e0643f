"""``fit_ez`` and ``fit_sim`` for array-likes: the compiled functions take
exactly one layout (contiguous ``bool`` and ``float64``); these accept what
NumPy and SciPy functions accept, convert it once, and refuse trials that no
experiment produces before the compiled fit sees them."""

from __future__ import annotations

from typing import Optional

import numpy.typing as npt

import _ventrola

from ._trial_arrays import checked_trials

__all__ = ["fit_ez", "fit_sim"]


def fit_ez(choices: npt.ArrayLike, rts: npt.ArrayLike) -> dict[str, float]:
    """Closed-form EZ-diffusion estimate of one set of trials.

    The mean and variance of the correct response times and the accuracy give the drift rate,
    boundary separation and non-decision time in closed form (unbiased start, noise 1).

    Parameters
    ----------
    choices : array_like of bool or {0, 1}
        One value per trial, True or 1 for the upper boundary, False or 0 for the lower (a
        list, a pandas Series, a boolean, integer or float array).
    rts : array_like of float
        The response times in seconds, positive and finite, any real dtype.

    Returns
    -------
    dict
        ``drift_rate``, ``boundary_separation``, ``starting_point`` (always 0.5),
        ``non_decision_time`` (seconds) and ``noise_sd`` (always 1.0).

    Raises
    ------
    ValueError
        For choices other than 0/1/True/False (naming the first and its position), arrays of
        other than one dimension or of different lengths, and response times that are NaN,
        infinite, zero or negative (how many, and the first).
    ventrola.VentrolaError
        When the data cannot be fitted (too few trials, chance accuracy, no variance).

    Warns
    -----
    UserWarning
        When more than half the times exceed 20 s, which suggests milliseconds.

    Examples
    --------
    >>> import ventrola
    >>> choices, rts, _ = ventrola.simulate(1.0, 1.5, 0.5, 0.3, 10_000, 7)
    >>> estimate = ventrola.fit_ez(choices, rts)
    >>> sorted(estimate)
    ['boundary_separation', 'drift_rate', 'noise_sd', 'non_decision_time', 'starting_point']
    """
    flags, times = checked_trials(choices, rts)
    return _ventrola.fit_ez(flags, times)


def fit_sim(
    choices: npt.ArrayLike,
    rts: npt.ArrayLike,
    initial_guess: Optional[dict[str, float]] = None,
    max_iters: int = 200,
) -> dict[str, float]:
    """Simulation-based Nelder-Mead fit of one set of trials.

    Parameters
    ----------
    choices, rts : array_like
        As :func:`fit_ez` takes them.
    initial_guess : dict, optional
        At least ``drift_rate``, ``boundary_separation`` and ``non_decision_time`` (seconds);
        by default the EZ estimate.
    max_iters : int, optional
        The iteration budget of each phase of the simplex search (default 200).

    Returns
    -------
    dict
        The five parameters of :func:`fit_ez` plus ``iterations`` (int) and ``final_cost``
        (float).

    Raises
    ------
    ValueError
        As :func:`fit_ez`, and for a guess missing a key.
    ventrola.VentrolaError
        When the data cannot be fitted.

    Warns
    -----
    UserWarning
        When the times look like milliseconds.
    """
    flags, times = checked_trials(choices, rts)
    return _ventrola.fit_sim(flags, times, initial_guess=initial_guess, max_iters=max_iters)


# The functions belong to the package users import, whichever file holds them.
fit_ez.__module__ = fit_sim.__module__ = "ventrola"
