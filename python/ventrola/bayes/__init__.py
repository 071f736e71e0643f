"""Hierarchical Bayesian models of the drift-diffusion model with PyMC.

:func:`hierarchical_model` builds the model (formulas need the ``[formulas]`` extra; ``model=``
takes a generalized :class:`ventrola.DDM`, whose trials are :class:`GeneralDDM`),
:func:`sample` samples it with the pointwise log-likelihood kept for ``arviz.loo`` and
``arviz.compare``, :func:`posterior_predictive` replicates the data from the posterior and
:func:`plot_posterior_predictive` draws them against the observed trials.

Needs PyMC and ArviZ: ``pip install "ventrola[bayes]"``.
"""

try:
    import pymc  # noqa: F401
    import pytensor  # noqa: F401
except ImportError as error:
    raise ImportError('ventrola.bayes needs PyMC: pip install "ventrola[bayes]"') from error

from ventrola.bayes.distribution import WienerDDM, signed_rts, split_signed_rts
from ventrola.bayes.general_distribution import GeneralDDM
from ventrola.bayes.general_op import ModelLogProbability, model_log_probability
from ventrola.bayes.hierarchical import hierarchical_model
from ventrola.bayes.likelihood_op import WienerLogProbability, wiener_log_probability
from ventrola.bayes.predictive import plot_posterior_predictive, posterior_predictive, sample

__all__ = [
    "GeneralDDM",
    "ModelLogProbability",
    "WienerDDM",
    "WienerLogProbability",
    "hierarchical_model",
    "model_log_probability",
    "plot_posterior_predictive",
    "posterior_predictive",
    "sample",
    "signed_rts",
    "split_signed_rts",
    "wiener_log_probability",
]
