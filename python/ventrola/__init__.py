"""Simulate and fit the drift-diffusion model of two-choice decisions.

The computing core is the compiled extension ``_ventrola``; this package
re-exports its functions and exception class, and adds trial tables
(:mod:`ventrola.frames`, needs pandas) and the ``ventrola`` command
(:mod:`ventrola.cli`).

``simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0)``
    Simulates ``n`` trials. ``boundary`` is the separation of the two
    boundaries, ``start`` the starting point as a fraction of it, ``t0`` the
    non-decision time in seconds, ``noise_sd`` the noise per unit time; ``n``
    and ``seed`` are non-negative integers. Returns ``(choices, rts,
    n_excluded)``: a one-dimensional ``numpy.bool_`` array (True for the upper
    boundary), a ``numpy.float64`` array of response times in seconds, and
    the number of trials dropped at the 10 s cap. Raises ``ValueError`` for
    parameters out of range and ``TypeError`` for arguments of the wrong type.

``fit_ez(choices, rts)``
    Closed-form EZ-diffusion estimate from a ``bool`` array and a ``float64``
    array of response times in seconds (one-dimensional, contiguous, same
    length). Returns a dict with ``drift_rate``, ``boundary_separation``,
    ``starting_point`` (always 0.5), ``non_decision_time`` (seconds) and
    ``noise_sd`` (always 1.0). Raises :class:`VentrolaError` when the data
    cannot be fitted, ``ValueError`` for unusable arrays (wrong dtype
    layout, different lengths) and ``TypeError`` for non-arrays.

``fit_sim(choices, rts, initial_guess=None, max_iters=200)``
    Simulation-based Nelder-Mead fit of the same arrays. ``initial_guess`` is
    a dict with at least ``drift_rate``, ``boundary_separation`` and
    ``non_decision_time`` (seconds), by default the EZ estimate. Returns the
    five parameters plus ``iterations`` (int) and ``final_cost`` (float).
    Raises as ``fit_ez`` does, and ``ValueError`` for a guess missing a key.

``wiener_logpdf``, ``wiener_pdf``, ``wiener_cdf``, ``wiener_logpdf_grad`` and
``loglik`` (:mod:`ventrola.likelihood`) give the likelihood of the
seven-parameter model, from the compiled module ``ventrola._engine``;
``simulate_ddm`` (:mod:`ventrola.ddm_simulation`) simulates it, exactly or by
Euler steps.

:class:`VentrolaError` is a ``ValueError`` subclass: a recovery failed on
the data (too few trials, chance accuracy, no variance, ...).
"""

from _ventrola import VentrolaError, __version__, fit_ez, fit_sim, simulate
from ventrola.likelihood import loglik, wiener_cdf, wiener_logpdf, wiener_logpdf_grad, wiener_pdf
from ventrola.ddm_simulation import simulate_ddm
from ventrola.frames import fit_frame, simulate_conditions, simulate_frame
from ventrola.ml_fit import fit_ml
from ventrola.plotting import plot_fit, save_fit_plots

__all__ = [
    "VentrolaError",
    "__version__",
    "fit_ez",
    "fit_frame",
    "fit_ml",
    "fit_sim",
    "loglik",
    "plot_fit",
    "save_fit_plots",
    "simulate",
    "simulate_conditions",
    "simulate_ddm",
    "simulate_frame",
    "wiener_cdf",
    "wiener_logpdf",
    "wiener_logpdf_grad",
    "wiener_pdf",
]
