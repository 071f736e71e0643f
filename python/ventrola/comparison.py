"""Model comparison: several fits of the same trials in one table, ranked by AIC.

Each maximum-likelihood result carries ``trials_digest``, a hash of the trials it was fitted to
(their choices, times and which were observed in part), so that fits of different data are
refused rather than compared: their log-likelihoods would not be on one scale. Bayesian fits
(ArviZ InferenceData with the pointwise log-likelihood, from :func:`ventrola.bayes.sample`) go to
``arviz.compare``, which ranks them by their expected log predictive density (PSIS-LOO).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["compare"]

REQUIRED = ("loglik", "n_free", "n_trials")


def compare(fits: Mapping[str, Any]) -> pd.DataFrame:
    """Compare fits of the same trials by log-likelihood, AIC and BIC.

    Parameters
    ----------
    fits : dict of str to dict
        Named results of :func:`ventrola.fit_ml` (any model, any free parameters) fitted to the
        same trials; or named ArviZ InferenceData of Bayesian fits with their pointwise
        log-likelihood (:func:`ventrola.bayes.sample`), which are handed to ``arviz.compare``.

    Returns
    -------
    pandas.DataFrame
        One row per fit, named by its key, best (lowest AIC) first: ``model`` (its
        description), ``loglik``, ``n_free``, ``aic``, ``bic``, ``delta_aic`` and
        ``delta_bic`` (each minus the smallest), ``aic_weight`` (Akaike weights,
        ``exp(-delta_aic / 2)`` normalised to sum to 1: the relative support of each model
        within the set) and ``converged``. For InferenceData, ``arviz.compare``'s table.

    Raises
    ------
    ValueError
        For fewer than two fits, a result without ``loglik``, ``n_free`` or ``n_trials``, a
        mix of maximum-likelihood and Bayesian fits, and fits made on different data (their
        ``trials_digest`` or, without one, their numbers of trials differ).
    ImportError
        When pandas (or, for Bayesian fits, ArviZ) is not installed.

    Examples
    --------
    >>> import ventrola
    >>> model = ventrola.DDM(bound="exponential")
    >>> choices, rts, _ = model.simulate(1500, 5, drift_rate=1.0, boundary_separation=2.2,
    ...                                  non_decision_time=0.3, collapse_time=0.5)
    >>> table = ventrola.compare({"standard": ventrola.fit_ml(choices, rts),
    ...                           "collapsing": ventrola.fit_ml(choices, rts, model=model)})
    >>> table.index[0], bool(table["aic_weight"].iloc[0] > 0.99)
    ('collapsing', True)
    """
    from .frames import require_pandas

    pandas = require_pandas()
    if not isinstance(fits, Mapping):
        raise ValueError(f"fits must be a dict of named fits, not {type(fits).__name__}")
    if len(fits) < 2:
        raise ValueError(f"compare needs at least two fits, got {len(fits)}")
    bayesian = [_is_inference_data(fit) for fit in fits.values()]
    if any(bayesian):
        if not all(bayesian):
            raise ValueError("compare takes maximum-likelihood results or Bayesian InferenceData, not a mix: "
                             "their criteria (AIC against LOO) are not on one scale")
        import arviz

        return arviz.compare(dict(fits))
    for name, fit in fits.items():
        if not isinstance(fit, Mapping):
            raise ValueError(f"fits[{name!r}] must be a fit result (a dict), not {type(fit).__name__}")
        absent = [key for key in REQUIRED if key not in fit]
        if absent:
            raise ValueError(f"fits[{name!r}] is not a maximum-likelihood result: it has no "
                             f"{', '.join(repr(key) for key in absent)}")
    _check_same_data(fits)
    names = list(fits)
    loglik = np.array([float(fits[name]["loglik"]) for name in names])
    n_free = np.array([int(fits[name]["n_free"]) for name in names])
    n_trials = int(fits[names[0]]["n_trials"])
    aic = 2.0 * n_free - 2.0 * loglik
    bic = n_free * math.log(n_trials) - 2.0 * loglik
    table = pandas.DataFrame({
        "model": [str(fits[name].get("model", "DDM()")) for name in names],
        "loglik": loglik,
        "n_free": n_free,
        "aic": aic,
        "bic": bic,
        "delta_aic": aic - np.nanmin(aic),
        "delta_bic": bic - np.nanmin(bic),
        "aic_weight": _akaike_weights(aic),
        "converged": pandas.array([fits[name].get("converged") for name in names], dtype="boolean"),
    }, index=pandas.Index(names, name="fit"))
    return table.sort_values("aic", kind="stable")


def _akaike_weights(aic: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    # Relative to the best, so that the exponentials neither overflow nor all underflow.
    relative = np.exp(-0.5 * (aic - np.nanmin(aic)))
    relative = np.where(np.isfinite(relative), relative, 0.0)
    return np.asarray(relative / relative.sum(), dtype=np.float64)


def _check_same_data(fits: Mapping[str, Mapping[str, Any]]) -> None:
    names = list(fits)
    first = fits[names[0]]
    for name in names[1:]:
        fit = fits[name]
        digests = (first.get("trials_digest"), fit.get("trials_digest"))
        if None not in digests and digests[0] != digests[1]:
            raise ValueError(f"fits[{names[0]!r}] and fits[{name!r}] were made on different data: their "
                             "log-likelihoods cannot be compared")
        if int(first["n_trials"]) != int(fit["n_trials"]):
            raise ValueError(f"fits[{names[0]!r}] and fits[{name!r}] were made on different data "
                             f"({int(first['n_trials'])} and {int(fit['n_trials'])} trials): their "
                             "log-likelihoods cannot be compared")


def _is_inference_data(fit: Any) -> bool:
    return type(fit).__name__ == "InferenceData" and hasattr(fit, "groups")
