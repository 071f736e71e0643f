"""Simulate and fit the drift-diffusion model of two-choice decisions.

The computing core is the compiled extension ``_ventrola``; this package
re-exports ``simulate`` and the exception class, takes array-likes in front
of its two fits, and adds trial tables
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
    Closed-form EZ-diffusion estimate (:mod:`ventrola.recovery`).
    ``choices`` holds one value per trial, True or 1 for the upper boundary;
    ``rts`` the response times in seconds. Both may be any array-like (lists,
    pandas Series, integer or float 0/1 choices, any real dtype for times) and
    are converted once for the compiled ``_ventrola.fit_ez``. Returns a dict
    with ``drift_rate``, ``boundary_separation``, ``starting_point`` (always
    0.5), ``non_decision_time`` (seconds) and ``noise_sd`` (always 1.0).
    Raises ``ValueError`` for choices other than 0/1/True/False, arrays of
    other than one dimension or of different lengths, and NaN, infinite, zero
    or negative times; :class:`VentrolaError` when the data cannot be fitted.
    Warns when the times look like milliseconds.

``fit_sim(choices, rts, initial_guess=None, max_iters=200)``
    Simulation-based Nelder-Mead fit of the same trials. ``initial_guess`` is
    a dict with at least ``drift_rate``, ``boundary_separation`` and
    ``non_decision_time`` (seconds), by default the EZ estimate. Returns the
    five parameters plus ``iterations`` (int) and ``final_cost`` (float).
    Raises and warns as ``fit_ez`` does, and ``ValueError`` for a guess
    missing a key.

``wiener_logpdf``, ``wiener_pdf``, ``wiener_cdf``, ``wiener_logpdf_grad`` and
``loglik`` (:mod:`ventrola.likelihood`, :mod:`ventrola.total_likelihood`) give the likelihood of the
seven-parameter model, from the compiled module ``ventrola._engine``;
``simulate_ddm`` (:mod:`ventrola.ddm_simulation`) simulates it, exactly or by
Euler steps. :class:`DDM` describes generalized models (collapsing bounds,
time-varying drift, leak) with their likelihood and simulation as methods.

``fit_ml`` and ``fit_frame`` take formulas on the parameters
(:mod:`ventrola.formulas`, the ``[formulas]`` extra); they and ``loglik`` take
trials without a response time, without a response by a deadline or trimmed
to a window (:mod:`ventrola.censoring`).

``fit_ml(..., model=DDM(...))`` fits generalized models too, and ``compare`` ranks fits of the
same trials by AIC (:mod:`ventrola.comparison`).

:class:`VentrolaError` is a ``ValueError`` subclass: a recovery failed on
the data (too few trials, chance accuracy, no variance, ...).
"""

from _ventrola import VentrolaError, __version__, simulate
from ventrola.recovery import fit_ez, fit_sim
from ventrola.likelihood import wiener_cdf, wiener_logpdf, wiener_logpdf_grad, wiener_pdf
from ventrola.total_likelihood import loglik
from ventrola.ddm_simulation import simulate_ddm
from ventrola.models import DDM
from ventrola.frames import fit_frame, simulate_conditions, simulate_frame
from ventrola.ml.fit import fit_ml
from ventrola.plotting import plot_fit, save_fit_plots
from ventrola.comparison import compare
from ventrola.model_picture import plot_model
from ventrola.delta_picture import plot_delta

__all__ = [
    "DDM",
    "VentrolaError",
    "__version__",
    "compare",
    "fit_ez",
    "fit_frame",
    "fit_ml",
    "fit_sim",
    "loglik",
    "plot_delta",
    "plot_fit",
    "plot_model",
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
