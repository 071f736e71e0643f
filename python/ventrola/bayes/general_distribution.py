"""``GeneralDDM``: one trial of any :class:`ventrola.DDM` (a collapsing bound, a time-varying
drift, a leak) with the contaminant mixture, as a PyMC distribution; its draws come from the
model's own simulation.

Trials are signed response times as for :class:`ventrola.bayes.WienerDDM` (``rt`` for the upper
boundary, ``-rt`` for the lower one). Trials observed in part (a choice without its time, no
response by a deadline, a trimmed window) belong to the seven-parameter model.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Optional

import numpy as np
import numpy.typing as npt
import pymc as pm
from pytensor.graph.basic import Variable

from ventrola.bayes.distribution import default_max_rt
from ventrola.bayes.draws import add_lapses
from ventrola.bayes.general_op import input_names, model_log_probability
from ventrola.models import DDM, as_model


class GeneralDDM:
    """A generalized diffusion model for one trial, with an optional contaminant mixture, as a
    PyMC distribution.

    ``GeneralDDM(name, model, ...)`` inside a ``pm.Model`` adds a variable of signed response
    times; ``GeneralDDM.dist(model, ...)`` gives the unnamed variable. The log-probability and its
    gradient with respect to every parameter come from the model's first-passage solver (one
    solve per distinct parameter set), so NUTS samples the families' parameters as any other.
    Random draws (prior and posterior predictive) simulate the model
    (:meth:`ventrola.DDM.simulate`, steps of 1 ms); a trial undecided at 10 s is NaN.

    Parameters
    ----------
    name : str
        The variable's name (not for ``.dist``).
    model : ventrola.DDM
        The model (``DDM()`` works too, through the solver rather than the exact series).
    **parameters
        The model's parameters by name (``drift_rate`` and ``boundary_separation`` required,
        others default to ``model.defaults``), ``contamination`` (0) and ``max_rt`` (the
        largest observed response time; needed without observed data when ``contamination`` is
        not 0), each a number, array or model variable. The rest goes to PyMC (``observed``,
        ``dims``, ...).

    Returns
    -------
    TensorVariable
        The model variable.

    Raises
    ------
    TypeError
        For a missing or unknown parameter, or a model that is not a :class:`ventrola.DDM`.
    ValueError
        For ``contamination`` without a ``max_rt`` or observed data.

    Examples
    --------
    >>> import pymc as pm, ventrola
    >>> from ventrola.bayes import GeneralDDM
    >>> model = ventrola.DDM(bound="exponential")
    >>> with pm.Model():
    ...     collapse = pm.LogNormal("collapse_time", 0.0, 1.0)
    ...     trials = GeneralDDM("trials", model, drift_rate=1.0, boundary_separation=2.0,
    ...                         non_decision_time=0.3, collapse_time=collapse, observed=[0.6, -0.9])
    >>> trials.owner.op.name if hasattr(trials.owner.op, "name") else "GeneralDDM"
    'GeneralDDM'
    """

    def __new__(cls, name: str, model: DDM, **kwargs: Any) -> Variable:  # type: ignore[misc]
        model = as_model(model)
        values, kwargs = cls.parameters(model, kwargs, kwargs.get("observed"))
        return pm.CustomDist(name, *values, **cls.methods(model), **kwargs)

    @classmethod
    def dist(cls, model: DDM, **kwargs: Any) -> Variable:
        model = as_model(model)
        values, kwargs = cls.parameters(model, kwargs, None)
        return pm.CustomDist.dist(*values, **cls.methods(model), **kwargs)

    @staticmethod
    def methods(model: DDM) -> dict[str, Any]:
        names = input_names(model)

        def log_probability(value: Variable, *values: Variable) -> Variable:
            return model_log_probability(model, value, **dict(zip(names, values)))

        def draw(*values: Any, rng: Optional[np.random.Generator] = None,
                 size: Optional[tuple[int, ...]] = None) -> npt.NDArray[np.float64]:
            return draw_model_signed_rts(model, values, rng=rng, size=size)

        return {"logp": log_probability, "random": draw, "dtype": "float64", "class_name": "GeneralDDM"}

    @staticmethod
    def parameters(model: DDM, kwargs: dict[str, Any], observed: Any) -> tuple[list[Any], dict[str, Any]]:
        """The Op's inputs in order, defaults filled in, and the keywords left for PyMC."""
        names = input_names(model)
        given = {name: kwargs.pop(name) for name in names if name in kwargs}
        for name in ("drift_rate", "boundary_separation"):
            if name not in given and name not in model.defaults:
                raise TypeError(f"GeneralDDM needs {name!r}")
        if given.get("max_rt") is None:
            given["max_rt"] = default_max_rt(observed, given.get("contamination", 0.0))
        defaults = {**model.defaults, "contamination": 0.0}
        return [given.get(name, defaults.get(name)) for name in names], kwargs


def draw_model_signed_rts(
    model: DDM, values: Sequence[Any], *, rng: Optional[np.random.Generator], size: Optional[tuple[int, ...]]
) -> npt.NDArray[np.float64]:
    """One trial per element of ``size`` (default: the parameters' broadcast shape), each with its
    own parameters (``values`` in :func:`input_names` order). Trials sharing every parameter are
    simulated in one call, seeded from ``rng``; lapses replace a share ``contamination`` of them."""
    rng = np.random.default_rng() if rng is None else rng
    *model_values, contamination, max_rt = values
    shape = tuple(size) if size is not None else np.broadcast_shapes(*(np.shape(x) for x in values))
    table = np.stack([np.broadcast_to(np.asarray(x, dtype=np.float64), shape).ravel() for x in model_values], axis=1)
    signed = np.full(table.shape[0], np.nan)
    if table.shape[0] == 0:
        return signed.reshape(shape)
    settings, which = np.unique(table, axis=0, return_inverse=True)
    which = which.ravel()
    for row, setting in enumerate(settings):
        trials = np.flatnonzero(which == row)
        choices, rts, _n_excluded = model.simulate(len(trials), int(rng.integers(0, 2**63)),
                                                   **dict(zip(model.parameter_names, setting.tolist())))
        drawn = np.where(choices, rts, -rts)
        signed[trials[:len(drawn)]] = drawn  # trials undecided at the cap stay NaN
    add_lapses(signed, np.broadcast_to(np.asarray(contamination, dtype=np.float64), shape).ravel(),
               np.broadcast_to(np.asarray(max_rt, dtype=np.float64), shape).ravel(), rng)
    return signed.reshape(shape)
