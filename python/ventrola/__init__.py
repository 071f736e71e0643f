"""Simulate and fit the drift-diffusion model of two-choice decisions.

The computing core is the compiled extension ``_ventrola``; this package
re-exports its functions and exception class.
"""

from _ventrola import VentrolaError, __version__, fit_ez, fit_sim, simulate

__all__ = ["VentrolaError", "__version__", "fit_ez", "fit_sim", "simulate"]
