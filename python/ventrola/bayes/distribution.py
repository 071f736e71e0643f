"""``WienerDDM``: one trial of the seven-parameter diffusion model, with the
contaminant mixture, as a PyMC distribution.

A trial is one number, its signed response time: ``rt`` (seconds) when the
response is the upper boundary, ``-rt`` when it is the lower one (``+inf`` or
``-inf`` for a choice without its time, 0 for no response by the deadline). Observed data
are therefore a float array; :func:`signed_rts` builds it from a choice and a
response-time array and :func:`split_signed_rts` takes it apart again.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
import pymc as pm
from pytensor.graph.basic import Variable

from ventrola.bayes.draws import draw_signed_rts
from ventrola.bayes.likelihood_op import INPUT_DEFAULTS, wiener_log_probability


def signed_rts(choices: npt.ArrayLike, rts: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Trials as signed response times: ``rts`` where ``choices`` is True (upper boundary),
    ``-rts`` elsewhere.

    Parameters
    ----------
    choices : array_like of bool
        True for the upper boundary.
    rts : array_like of float
        Response times in seconds.

    Returns
    -------
    ndarray of float64

    Examples
    --------
    >>> from ventrola.bayes import signed_rts
    >>> signed_rts([True, False], [0.5, 0.7]).tolist()
    [0.5, -0.7]
    """
    rts = np.asarray(rts, dtype=np.float64)
    return np.where(np.asarray(choices, dtype=np.bool_), rts, -rts)


def split_signed_rts(signed: npt.ArrayLike) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]:
    """The choices and response times of signed response times.

    Parameters
    ----------
    signed : array_like of float
        ``rt`` for the upper boundary, ``-rt`` for the lower one.

    Returns
    -------
    choices : ndarray of bool
        True for the upper boundary.
    rts : ndarray of float64
        The response times.
    """
    signed = np.asarray(signed, dtype=np.float64)
    return signed > 0, np.abs(signed)


def log_probability(value: Variable, *parameters: Variable) -> Variable:
    return wiener_log_probability(value, **dict(zip(INPUT_DEFAULTS, parameters)))


class WienerDDM:
    """The diffusion model for one trial, with an optional contaminant mixture, as a PyMC
    distribution.

    ``WienerDDM(name, ...)`` inside a ``pm.Model`` adds a variable whose values are signed
    response times (see :func:`signed_rts`); ``WienerDDM.dist(...)`` gives the unnamed
    variable, as PyMC's ``.dist``. The log-probability uses the compiled likelihood and its
    analytic gradient with respect to every parameter (so NUTS can sample them); it is -inf
    where a parameter is out of its range. Random draws (prior and posterior predictive) use
    :func:`ventrola.simulate_ddm`; a trial still undecided at its 10 s cap (only extreme
    parameters make that likely) is drawn as NaN.

    Parameters
    ----------
    name : str
        The variable's name (not for ``.dist``).
    drift_rate, boundary_separation : float, array or model variable
        Required; named and ranged as for :func:`ventrola.wiener_logpdf`.
    starting_point, non_decision_time, drift_rate_sd, starting_point_range, non_decision_time_range, noise_sd : optional
        As :func:`ventrola.wiener_logpdf` takes them (defaults 0.5, 0, 0, 0, 0, 1). All
        parameters broadcast like NumPy.
    contamination : optional
        Weight p in [0, 1] of lapses: either response with probability 1/2 at a time uniform
        on [0, max_rt] (default 0).
    max_rt : float, optional
        The lapse window; the largest observed response time by default. Without observed
        data it must be given whenever ``contamination`` is not 0.
    deadline, rt_low, rt_high : float or array, optional
        How the trials were observed (defaults inf, 0, inf: every trial timed). A value of 0
        is a trial without a response by its ``deadline``; ``+inf``/``-inf`` one known by its
        choice only; with ``rt_low > 0`` or ``rt_high < inf`` (one window for all trials) every
        density is renormalised to the window. Draws respect them: a response after the
        deadline is drawn as 0, and times are drawn inside the window.
    **kwargs
        PyMC's: ``observed``, ``dims``, ``shape``, ...

    Returns
    -------
    TensorVariable
        The model variable (the class makes variables, not instances, as PyMC's
        distributions do).

    Raises
    ------
    TypeError
        For a missing or unknown parameter.
    ValueError
        For ``contamination`` without a ``max_rt`` or observed data.
    """

    # As PyMC's distributions do, the class makes model variables, not instances.
    def __new__(cls, name: str, *args: Any, **kwargs: Any) -> Variable:  # type: ignore[misc]
        parameters, kwargs = cls.parameters(args, kwargs, kwargs.get("observed"))
        return pm.CustomDist(name, *parameters, **cls.methods(), **kwargs)

    @classmethod
    def dist(cls, *args: Any, **kwargs: Any) -> Variable:
        parameters, kwargs = cls.parameters(args, kwargs, None)
        return pm.CustomDist.dist(*parameters, **cls.methods(), **kwargs)

    @staticmethod
    def methods() -> dict[str, Any]:
        return {
            "logp": log_probability,
            "random": draw_signed_rts,
            "dtype": "float64",
            "class_name": "WienerDDM",
        }

    @staticmethod
    def parameters(args: tuple[Any, ...], kwargs: dict[str, Any], observed: Any) -> tuple[list[Any], dict[str, Any]]:
        """The parameters in order (INPUT_DEFAULTS), defaults filled in, and the keywords left for PyMC."""
        names = list(INPUT_DEFAULTS)
        if len(args) > len(names):
            raise TypeError(f"WienerDDM takes at most {len(names)} parameters, {len(args)} were given")
        given = dict(zip(names, args))
        for name in names:
            if name in kwargs:
                if name in given:
                    raise TypeError(f"WienerDDM got {name!r} twice")
                given[name] = kwargs.pop(name)
        for name in ("drift_rate", "boundary_separation"):
            if name not in given:
                raise TypeError(f"WienerDDM needs {name!r}")
        if given.get("max_rt") is None:
            given["max_rt"] = default_max_rt(observed, given.get("contamination", 0.0))
        return [given.get(name, default) for name, default in INPUT_DEFAULTS.items()], kwargs


def default_max_rt(observed: Any, contamination: Any) -> float:
    if observed is not None and not isinstance(observed, Variable):
        signed = np.asarray(observed, dtype=np.float64)
        timed = np.abs(signed[np.isfinite(signed) & (signed != 0)])
        if timed.size:
            return float(timed.max())
    if isinstance(contamination, (int, float, np.number)) and contamination == 0:
        return float(np.inf)
    raise ValueError("WienerDDM needs max_rt (the lapse window) when contamination is used without observed data")
