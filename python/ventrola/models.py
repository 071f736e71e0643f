"""The structure of a diffusion model: which bound, which drift, whether the accumulation leaks.

:class:`DDM` describes a model (not its parameter values); ``DDM()`` is the seven-parameter
model. Its likelihood and simulation are methods (:mod:`ventrola.general_likelihood`,
:mod:`ventrola.general_simulation`); the parameters' names, defaults and ranges are those of
:mod:`ventrola.parameters`.

Coordinates: the position y is measured from the midpoint between the bounds at t = 0; it starts
at (w - 1/2) a and moves as dy = (v(t) - leak y) dt + s dW until it reaches +b(t) (the upper
response) or -b(t), with b(t) = (a/2) c(t) and t the decision time in seconds.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

from ventrola import general_likelihood, general_simulation, parameters

# The bound families, c(t) with c(0) = 1, and the drift families.
BOUNDS = {
    "constant": "c(t) = 1",
    "linear": "c(t) = max(0, 1 - t / collapse_time): the bounds meet at collapse_time",
    "exponential": "c(t) = exp(-t / collapse_time)",
    "hyperbolic": "c(t) = collapse_time / (t + collapse_time): half-way at collapse_time",
    "weibull": "c(t) = 1 - (1 - collapse_floor) (1 - exp(-(t / collapse_time)^collapse_shape))",
}
DRIFTS = {
    "constant": "v(t) = drift_rate",
    "dmc": "v(t) = drift_rate + d/dt [automatic_amplitude exp(-t / automatic_time) "
           "(e t / ((automatic_shape - 1) automatic_time))^(automatic_shape - 1)]",
}
STANDARD_NAMES = (*parameters.PARAMETER_NAMES, "noise_sd")

FamilySpec = Union[str, Callable[..., Any]]


class CustomFunction:
    """A user's function of time with its own parameters, read from its signature: every
    parameter after the first (the times) is a model parameter, and one with a default gives
    that default."""

    def __init__(self, function: Callable[..., Any], role: str) -> None:
        if not callable(function):
            raise ValueError(f"{role} must be a family name or a function of time, not {function!r}")
        try:
            signature = inspect.signature(function)
        except (TypeError, ValueError):
            raise ValueError(f"the {role} function's parameters cannot be read from its signature") from None
        listed = list(signature.parameters.values())
        if not listed or listed[0].kind not in (inspect.Parameter.POSITIONAL_ONLY,
                                                inspect.Parameter.POSITIONAL_OR_KEYWORD):
            raise ValueError(f"the {role} function must take the times as its first argument")
        own = []
        defaults = {}
        for p in listed[1:]:
            if p.kind in (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD):
                raise ValueError(f"the {role} function must name its parameters, not take *args or **kwargs")
            if p.name in STANDARD_NAMES:
                raise ValueError(f"the {role} function's parameter {p.name!r} has the name of one of the "
                                 "model's own parameters; rename it")
            own.append(p.name)
            if p.default is not inspect.Parameter.empty:
                defaults[p.name] = float(p.default)
        self.function = function
        self.role = role
        self.names = tuple(own)
        self.defaults = defaults

    def __eq__(self, other: object) -> bool:
        return isinstance(other, CustomFunction) and other.function is self.function and other.role == self.role

    def __hash__(self) -> int:
        return hash((id(self.function), self.role))

    def __repr__(self) -> str:
        return getattr(self.function, "__qualname__", repr(self.function))

    def tabulate(self, times: npt.NDArray[np.float64], values: Mapping[str, float]) -> npt.NDArray[np.float64]:
        """The function on the solver's grid, checked: an array of the times' shape, finite; a
        bound non-negative and 1 at t = 0."""
        own = {name: values[name] for name in self.names}
        try:
            result = np.asarray(self.function(times, **own), dtype=np.float64)
        except Exception as error:  # the user's code: say whose it was
            raise ValueError(f"the {self.role} function failed on the solver's time grid: {error!r}") from error
        if result.shape != times.shape:
            raise ValueError(f"the {self.role} function must return one value per time: got shape {result.shape} "
                             f"for {times.shape[0]} times")
        if not np.all(np.isfinite(result)):
            first = int(np.flatnonzero(~np.isfinite(result))[0])
            raise ValueError(f"the {self.role} function gave {float(result[first])!r} at t = {float(times[first])!r}")
        if self.role == "bound":
            if result.min() < 0.0:
                first = int(np.flatnonzero(result < 0.0)[0])
                raise ValueError(f"the bound function must not be negative: c({float(times[first])!r}) = "
                                 f"{float(result[first])!r}")
            if not abs(result[0] - 1.0) <= 1e-9:
                raise ValueError(f"the bound function must be 1 at t = 0 (it scales the boundary separation), "
                                 f"got {float(result[0])!r}")
        return result


class DDM:
    """A diffusion model's structure: its bound, its drift and whether the accumulation leaks.

    Parameters
    ----------
    bound : str or callable, optional
        ``"constant"`` (default), ``"linear"``, ``"exponential"``, ``"hyperbolic"`` or
        ``"weibull"``, or a function ``f(t, **params) -> c(t)`` of an array of decision times
        (seconds) returning the bound as a fraction of its initial half-width (so ``c(0) = 1``);
        its parameters after ``t`` become the model's.
    drift : str or callable, optional
        ``"constant"`` (default) or ``"dmc"`` (an automatic activation on top of the drift, as in
        conflict tasks), or a function ``g(t, **params) -> v(t)`` in the drift's units; the
        drift is then ``drift_rate + g(t)``, with ``drift_rate`` 0 unless given.
    leak : bool, optional
        Whether the accumulation leaks (the parameter ``leak``, 1/s; negative values excite it).

    Attributes
    ----------
    parameter_names : tuple of str
        The seven parameters of the standard model, ``noise_sd``, then the families' own.
    defaults : dict of str to float
        The default of every parameter that has one (``drift_rate`` and ``boundary_separation``
        have none).

    Raises
    ------
    ValueError
        For an unknown family name (listing the valid ones), or a function whose parameters
        cannot be read.

    Notes
    -----
    A user's functions are evaluated on the solver's time grid (every millisecond up to the
    longest decision time asked about, a second beyond it, and held at their last value after
    that) and interpolated by cubic splines; the likelihood's derivatives with respect to their
    parameters come from central finite differences (and, for a user's drift, those with
    respect to ``noise_sd`` and ``leak`` too).

    Examples
    --------
    >>> import ventrola
    >>> model = ventrola.DDM(bound="exponential")
    >>> model.parameter_names[-1]
    'collapse_time'
    >>> model == ventrola.DDM("exponential"), ventrola.DDM().is_standard
    (True, True)
    """

    def __init__(self, bound: FamilySpec = "constant", drift: FamilySpec = "constant", leak: bool = False) -> None:
        self._bound = self._family(bound, BOUNDS, "bound")
        self._drift = self._family(drift, DRIFTS, "drift")
        if not isinstance(leak, (bool, np.bool_)):
            raise ValueError(f"leak must be True or False, not {leak!r}")
        self._leak = bool(leak)
        names = list(STANDARD_NAMES)
        names += parameters.TABLE.family_names(self._family_labels())
        for custom in self.custom_functions:
            taken = [name for name in custom.names if name in names]
            if taken:
                raise ValueError(f"the {custom.role} function's parameter {taken[0]!r} is already the model's "
                                 f"(of its {'drift' if custom.role == 'bound' else 'bound'} or leak); rename it")
            names += custom.names
        #: The seven parameters of the standard model, ``noise_sd``, then the families' own.
        self.parameter_names: tuple[str, ...] = tuple(names)
        defaults = dict(parameters.DEFAULTS)
        for name in self.parameter_names:
            entry = parameters.TABLE.by_name.get(name)
            if entry is not None and entry.default is not None and entry.families is not None:
                defaults[name] = float(entry.default)
        for custom in self.custom_functions:
            defaults.update(custom.defaults)
        if isinstance(self._drift, CustomFunction):
            defaults["drift_rate"] = 0.0  # a constant added to the user's drift
        #: The default of every parameter that has one.
        self.defaults: dict[str, float] = defaults

    @staticmethod
    def _family(given: FamilySpec, known: Mapping[str, str], role: str) -> Union[str, CustomFunction]:
        if isinstance(given, str):
            if given not in known:
                raise ValueError(f"unknown {role} family {given!r}: choose from {', '.join(repr(k) for k in known)}, "
                                 "or pass a function of time")
            return given
        return CustomFunction(given, role)

    def _family_labels(self) -> list[str]:
        labels = [f for f in (self._bound, self._drift) if isinstance(f, str)]
        if self._leak:
            labels.append("leak")
        return labels

    @property
    def bound(self) -> FamilySpec:
        """The bound's family name, or the user's function of time."""
        return self._bound if isinstance(self._bound, str) else self._bound.function

    @property
    def drift(self) -> FamilySpec:
        """The drift's family name, or the user's function of time."""
        return self._drift if isinstance(self._drift, str) else self._drift.function

    @property
    def leak(self) -> bool:
        """Whether the accumulation leaks (the model then has the parameter ``leak``)."""
        return self._leak

    @property
    def families(self) -> tuple[str, ...]:
        """The named families in use (a bound's, a drift's, ``"leak"``), as the parameter table's
        ``families`` fields name them; a user's function is none of them."""
        return tuple(self._family_labels())

    @property
    def custom_names(self) -> tuple[str, ...]:
        """The parameters of the user's functions, in the order of :attr:`parameter_names`."""
        return tuple(name for custom in self.custom_functions for name in custom.names)

    @property
    def custom_functions(self) -> list[CustomFunction]:
        """The user's functions of time among the bound and the drift (empty for named families)."""
        return [f for f in (self._bound, self._drift) if isinstance(f, CustomFunction)]

    @property
    def is_standard(self) -> bool:
        """Whether this is the seven-parameter model (constant bound and drift, no leak)."""
        return self._bound == "constant" and self._drift == "constant" and not self._leak

    def _key(self) -> tuple[Any, ...]:
        return (self._bound, self._drift, self._leak)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, DDM) and other._key() == self._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __repr__(self) -> str:
        parts = []
        if self._bound != "constant":
            parts.append(f"bound={self._bound!r}")
        if self._drift != "constant":
            parts.append(f"drift={self._drift!r}")
        if self._leak:
            parts.append("leak=True")
        return f"DDM({', '.join(parts)})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (DDM, (self.bound, self.drift, self._leak))

    # -- the engine's view of the model -----------------------------------------------------

    def engine_families(self) -> tuple[str, str]:
        """The bound's and the drift's family as the compiled solver names them.

        Returns
        -------
        tuple of str
            ``(bound, drift)``: the family names, ``"table"`` for a user's function, which the
            solver reads tabulated.
        """
        return (self._bound if isinstance(self._bound, str) else "table",
                self._drift if isinstance(self._drift, str) else "table")

    def parameters_with_defaults(self, given: Mapping[str, Any], what: str = "the model") -> dict[str, Any]:
        """The model's parameters from keywords, with defaults; unknown names are refused.

        Parameters
        ----------
        given : mapping of str to value
            The parameters passed by name.
        what : str, optional
            How a refusal names the caller (default ``"the model"``).

        Returns
        -------
        dict of str to value
            Every parameter of the model: the given values, then the defaults.

        Raises
        ------
        TypeError
            For a name that is not the model's, or a required parameter left out.
        """
        unknown = [name for name in given if name not in self.parameter_names]
        if unknown:
            raise TypeError(f"{what} has no parameter {unknown[0]!r} (its parameters: "
                            f"{', '.join(self.parameter_names)})")
        values = {**self.defaults, **given}
        missing = [name for name in self.parameter_names if name not in values]
        if missing:
            raise TypeError(f"{what} needs {', '.join(repr(m) for m in missing)}")
        return values

    # -- likelihood and simulation (ventrola.general_likelihood, ventrola.general_simulation) --

    def logpdf(self, choices: Any, rts: Any, **params: Any) -> npt.NDArray[np.float64]:
        """Log-density of each (choice, response time) pair.

        Parameters
        ----------
        choices : array_like of bool or {0, 1}
            True (or 1) for the upper bound.
        rts : array_like of float
            Response times in seconds.
        **params : array_like
            The model's parameters by name (``parameter_names``; ``drift_rate`` and
            ``boundary_separation`` required, the others default to ``defaults``), each
            broadcasting with the trials as in :func:`ventrola.wiener_logpdf`.

        Returns
        -------
        ndarray of float
            ``-inf`` at or below the smallest possible non-decision time, NaN for NaN times.

        Raises
        ------
        ValueError
            For a parameter out of its range or unusable choices.
        TypeError
            For unknown or missing parameters, or values that are not real numbers.

        Examples
        --------
        >>> import ventrola
        >>> model = ventrola.DDM(bound="exponential")
        >>> params = dict(drift_rate=1.0, boundary_separation=1.8, non_decision_time=0.3)
        >>> round(float(model.logpdf(True, 0.8, collapse_time=0.5, **params)), 4)
        -0.7377
        """
        return general_likelihood.evaluate(self, "logpdf", choices, rts, params)

    def pdf(self, choices: Any, rts: Any, **params: Any) -> npt.NDArray[np.float64]:
        """Density of each (choice, response time) pair (``exp`` of :meth:`logpdf`).

        Parameters
        ----------
        choices, rts, **params
            As :meth:`logpdf` takes them.

        Returns
        -------
        ndarray of float
        """
        return general_likelihood.evaluate(self, "pdf", choices, rts, params)

    def cdf(self, choices: Any, rts: Any, **params: Any) -> npt.NDArray[np.float64]:
        """P(response = choice and RT <= rt); at ``rt = inf`` the probability of the choice.

        Parameters
        ----------
        choices, rts, **params
            As :meth:`logpdf` takes them.

        Returns
        -------
        ndarray of float
        """
        return general_likelihood.evaluate(self, "cdf", choices, rts, params)

    def logpdf_grad(self, choices: Any, rts: Any, *, wrt: Optional[Sequence[str]] = None,
                    **params: Any) -> tuple[npt.NDArray[np.float64], dict[str, npt.NDArray[np.float64]]]:
        """Log-densities and their partial derivatives.

        Parameters
        ----------
        choices, rts, **params
            As :meth:`logpdf` takes them.
        wrt : sequence of str, optional
            The parameters to differentiate (default: every name of ``parameter_names``). The
            solver carries each one through its solution, so naming only those a fit or sampler
            moves saves time: with a collapsing bound, leaving out ``starting_point`` and
            ``noise_sd`` makes a gradient about a sixth cheaper.

        Returns
        -------
        logpdf : ndarray of float
        gradients : dict of str to ndarray of float
            ``d logpdf / d parameter`` per trial for each name of ``wrt`` (NaN where the
            log-density is not finite). The parameters of a user's function get central finite
            differences.

        Raises
        ------
        ValueError
            For a name in ``wrt`` that is not one of the model's parameters.
        """
        return general_likelihood.evaluate_gradient(self, choices, rts, params, wrt)

    def loglik(self, choices: Any, rts: Any, params: Mapping[str, Any], contamination: float = 0.0) -> float:
        """Summed log-likelihood of the trials under a parameter dict, with optional lapses.

        Parameters
        ----------
        choices, rts : array_like
            The trials.
        params : mapping
            The model's parameters by name (a fit's result will do: other keys are ignored).
        contamination : float, optional
            Weight in [0, 1] of lapses, either response at a time uniform up to the slowest one
            (as :func:`ventrola.loglik`).

        Returns
        -------
        float
        """
        return general_likelihood.loglik(self, choices, rts, params, contamination)

    def simulate(self, n: int, seed: int, *, dt: float = 0.001, max_time: float = 10.0,
                 **params: Any) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64], int]:
        """Simulates ``n`` trials by Euler steps of ``dt`` seconds.

        Every trial reads its own random stream of ``seed`` (the same construction as
        :func:`ventrola.simulate_ddm`), so the results do not depend on the number of threads and
        a run of ``n`` trials is the first ``n`` of any longer run. The bound and the drift are
        tabulated once on the steps.

        Parameters
        ----------
        n, seed : int
            Number of trials and seed, >= 0.
        dt : float, optional
            The Euler step in seconds (default 0.001).
        max_time : float, optional
            Trials still undecided at this decision time are dropped (default 10 s).
        **params
            The model's parameters by name (scalars).

        Returns
        -------
        choices : ndarray of bool
        rts : ndarray of float64
        n_excluded : int

        Raises
        ------
        ValueError
            For parameters out of range, or a ``dt`` that cannot reach ``max_time``.
        """
        return general_simulation.simulate_model(self, n, seed, dt=dt, max_time=max_time, params=params)


def as_model(model: Optional[DDM]) -> DDM:
    if model is None:
        return DDM()
    if not isinstance(model, DDM):
        raise TypeError(f"model must be a ventrola.DDM, not {type(model).__name__}")
    return model


__all__ = ["DDM", "BOUNDS", "DRIFTS"]
