"""The summed log-likelihood of a set of trials under a parameter dict: timed trials by the
density (:mod:`ventrola.likelihood`), trials observed in part by the terms of
:mod:`ventrola.censoring`, with or without lapses. A result that carries a generalized model
(``params["model"]``, as :func:`ventrola.fit_ml` returns it) is read under that model."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, Optional

import numpy as np

from ventrola import censoring
from ventrola._trial_arrays import choice_flags
from ventrola.models import as_model
from ventrola.likelihood import ArrayLike, as_reals, longest_response, mixture_logpdf, parameters_from, wiener_logpdf

__all__ = ["loglik"]


def loglik(
    choices: ArrayLike,
    rts: ArrayLike,
    params: Mapping[str, Any],
    contamination: float = 0.0,
    *,
    missing: Optional[str] = None,
    deadline: Any = None,
    rt_range: Any = None,
) -> float:
    """Summed log-likelihood of the trials under a parameter dict.

    Parameters
    ----------
    choices : array_like of bool or {0, 1}
        True (or 1) for the upper boundary, one value per trial.
    rts : array_like of float
        Response times in seconds, one per trial.
    params : mapping
        The model's parameters by name, as :func:`fit_ez`, :func:`fit_sim` and :func:`fit_ml`
        return them; other keys are ignored and missing optional parameters take their
        defaults. ``drift_rate`` and ``boundary_separation`` are required. Values may be arrays
        of one value per trial (a fit with formulas returns such). With a
        :class:`ventrola.DDM` under ``"model"`` (a fit of a generalized model has one), the
        trials' likelihood is that model's (:meth:`ventrola.DDM.loglik`), its own parameters
        read from ``params`` too.
    contamination : float, optional
        Weight ``p`` in [0, 1] of lapses: each trial is a lapse with probability ``p``, either
        response with probability 1/2 at a time uniform on ``[0, T]``, ``T`` the largest
        response time given (default 0, the model alone).
    missing : {None, "choice"}, optional
        ``"choice"``: a trial whose time is NaN is known by its choice only and contributes the
        probability of that choice (go/no-go: a withheld response is the lower boundary); a
        lapse gives either choice with probability 1/2. None (default) refuses NaN times.
    deadline : float or array_like of float, optional
        Seconds, one for all trials or one per trial: a trial whose time is NaN had no response
        by its deadline and contributes ``1 - F(D, upper) - F(D, lower)``; a lapse explains it
        only with a deadline before ``T`` (probability ``1 - D/T``).
    rt_range : (float, float), optional
        ``(low, high)`` seconds: only responses inside were kept, so each density is divided by
        the probability of a response inside the window (lapses included).

    Returns
    -------
    float
        The sum over trials of the log-likelihood; ``-inf`` when a trial is impossible.

    Raises
    ------
    ValueError
        For a missing required parameter, a parameter out of its range, a weight outside
        [0, 1], or unusable choices; with ``missing``, ``deadline`` or ``rt_range``, for times
        that do not fit them (a NaN time without a reason, a time after its deadline or outside
        the window), and with a generalized model in ``params`` (timed trials only).

    Examples
    --------
    >>> import ventrola
    >>> choices, rts, _ = ventrola.simulate_ddm(1.0, 1.5, 0.5, 0.3, 200, 1)
    >>> fit = {"drift_rate": 1.0, "boundary_separation": 1.5, "non_decision_time": 0.3}
    >>> bool(ventrola.loglik(choices, rts, fit) > ventrola.loglik(choices, rts, {**fit, "drift_rate": 0.0}))
    True
    """
    model = params.get("model")
    if model is not None and not as_model(model).is_standard:
        if missing is not None or deadline is not None or rt_range is not None:
            raise ValueError(f"missing, deadline and rt_range apply to the seven-parameter model; {model!r} "
                             "takes timed trials")
        return model.loglik(choices, rts, params, contamination)
    contamination = float(contamination)
    if not 0.0 <= contamination <= 1.0:
        raise ValueError(f"contamination must be in [0, 1], got {contamination!r}")
    parameters = parameters_from(params)
    rt_array = as_reals(rts, "rts")
    if missing is not None or deadline is not None or rt_range is not None:
        flags, times = np.broadcast_arrays(choice_flags(choices), rt_array)
        flags, times = flags.reshape(-1), times.reshape(-1)
        observed = censoring.observation(times, missing, deadline, rt_range)
        longest = censoring.slowest_timed(times, observed) if contamination > 0.0 else math.inf
        terms = censoring.trial_terms(flags, times, parameters, observed, contamination, longest)
        return float(np.sum(terms.log_p))
    values = wiener_logpdf(choices, rt_array, **parameters)
    if contamination > 0.0:
        longest = longest_response(rt_array)
        values = mixture_logpdf(values, np.broadcast_to(rt_array, values.shape), contamination, longest)
    return float(np.sum(values))
