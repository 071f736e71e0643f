"""``WienerDDM``: one trial of the seven-parameter diffusion model, with the
contaminant mixture, as a PyMC distribution.

A trial is one number, its signed response time: ``rt`` (seconds) when the
response is the upper boundary, ``-rt`` when it is the lower one. Observed data
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
    """``rts`` where ``choices`` is True (upper boundary), ``-rts`` elsewhere."""
    rts = np.asarray(rts, dtype=np.float64)
    return np.where(np.asarray(choices, dtype=np.bool_), rts, -rts)


def split_signed_rts(signed: npt.ArrayLike) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]:
    """The choices (True for the upper boundary) and response times of signed response times."""
    signed = np.asarray(signed, dtype=np.float64)
    return signed > 0, np.abs(signed)


def log_probability(value: Variable, *parameters: Variable) -> Variable:
    return wiener_log_probability(value, **dict(zip(INPUT_DEFAULTS, parameters)))


class WienerDDM:
    """The diffusion model for one trial, with an optional contaminant mixture.

    ``WienerDDM(name, drift_rate, boundary_separation, starting_point=0.5,
    non_decision_time=0.0, drift_rate_sd=0.0, starting_point_range=0.0,
    non_decision_time_range=0.0, noise_sd=1.0, contamination=0.0,
    max_rt=None, **kwargs)`` inside a ``pm.Model`` adds a variable whose
    values are signed response times (see the module documentation); the
    keyword arguments ``observed``, ``dims``, ``shape``, ... are PyMC's.
    Parameters are numbers, arrays or model variables and broadcast like
    NumPy; their names and ranges are those of ``ventrola.wiener_logpdf``.

    With ``contamination`` p > 0 a trial is, with probability p, a lapse:
    either response with probability 1/2 at a time uniform on [0, max_rt].
    ``max_rt`` defaults to the largest observed response time; without
    observed data it must be given whenever ``contamination`` is not 0.

    The log-probability uses the compiled likelihood and its analytic
    gradient with respect to every parameter (so NUTS can sample them); it is
    -inf where a parameter is out of its range. Random draws (prior and
    posterior predictive) use ``ventrola.simulate_ddm``; a trial still
    undecided at its 10 s cap (only extreme parameters make that likely) is
    drawn as NaN.

    ``WienerDDM.dist(...)`` gives the unnamed variable, as PyMC's ``.dist``.
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
        """The ten parameters in order, defaults filled in, and the keywords left for PyMC."""
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
        if signed.size:
            return float(np.nanmax(np.abs(signed)))
    if isinstance(contamination, (int, float, np.number)) and contamination == 0:
        return float(np.inf)
    raise ValueError("WienerDDM needs max_rt (the lapse window) when contamination is used without observed data")
