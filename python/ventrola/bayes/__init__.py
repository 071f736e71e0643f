"""Hierarchical Bayesian models of the drift-diffusion model with PyMC.

Needs PyMC and ArviZ: ``pip install "ventrola[bayes]"``.
"""

try:
    import pymc  # noqa: F401
    import pytensor  # noqa: F401
except ImportError as error:
    raise ImportError('ventrola.bayes needs PyMC: pip install "ventrola[bayes]"') from error

from ventrola.bayes.distribution import WienerDDM, signed_rts, split_signed_rts
from ventrola.bayes.hierarchical import hierarchical_model
from ventrola.bayes.likelihood_op import WienerLogProbability, wiener_log_probability

__all__ = [
    "WienerDDM",
    "WienerLogProbability",
    "hierarchical_model",
    "signed_rts",
    "split_signed_rts",
    "wiener_log_probability",
]
