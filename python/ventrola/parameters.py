"""Every parameter of the diffusion model, declared once.

Each :class:`Parameter` says what the parameter means, its default, the values
it may take and how a refusal words them, how a maximum-likelihood fit moves
it, the prior a hierarchical model gives it, and the link a regression on it
uses (identity for the drift rate, log for positive parameters, logit for the
starting point). The likelihood's defaults,
the fits' checks, bounds and starts, the Bayesian priors and the command
line's help all read this table; adding a parameter is adding an entry.

The compiled engine checks the same ranges on its own side, with the same
wording (a test holds the two together).
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field, replace
from typing import Any, Optional, Union

import numpy as np

INF = math.inf


@dataclass(frozen=True)
class Domain:
    """An interval of valid values; an open end excludes its endpoint, and infinite values are never valid."""

    low: float = -INF
    high: float = INF
    low_closed: bool = False
    high_closed: bool = False

    def contains(self, value: Any) -> Any:
        """True where ``value`` (a number or an array) lies in the interval; NaN never does."""
        x = np.asarray(value, dtype=np.float64)
        with np.errstate(invalid="ignore"):
            above = x >= self.low if self.low_closed else x > self.low
            below = x <= self.high if self.high_closed else x < self.high
            inside = above & below & np.isfinite(x)
        return bool(inside) if inside.ndim == 0 else inside


@dataclass(frozen=True)
class Fit:
    """How a maximum-likelihood fit moves a parameter.

    ``kind`` names one of the transforms of :mod:`ventrola.ml.transforms`,
    which keeps every value the optimizer tries valid; ``low`` and ``high``
    are that transform's limits, ``start`` where a fit starts when the data
    suggest nothing better (in the transform's own terms; None: the data
    decide). ``candidates`` are further values a fit tries besides ``start``
    (it evaluates the likelihood at each and starts from the best): a
    collapse's time scale, say, which no summary of the data gives.
    """

    kind: str
    low: float = -INF
    high: float = INF
    start: Optional[float] = None
    candidates: tuple[float, ...] = ()


@dataclass(frozen=True)
class GroupPrior:
    """A participant-level parameter of a hierarchical model, non-centred:
    participant j has ``link^-1(mu + sigma z_j)`` with ``mu ~ Normal(mu_mean,
    mu_sd)``, ``sigma ~ HalfNormal(sigma_scale)``, ``z_j ~ Normal(0, 1)``."""

    link: str  # "identity", "log", "logit" or "logit_of_bound" (a fraction of the fastest response)
    mu_mean: float
    mu_sd: float
    sigma_scale: float


@dataclass(frozen=True)
class SharedPrior:
    """One value for all participants (or per level of a design): ``half_normal``
    with scale ``a``; ``beta`` with shapes ``a`` and ``b``; ``normal`` with mean ``a``
    and standard deviation ``b``; ``log_normal``, whose logarithm is normal with mean
    ``a`` and standard deviation ``b``; ``log_normal_above_one``, one plus such a value;
    ``uniform_room``, uniform up to the largest value the starting point leaves room for."""

    kind: str
    a: float = math.nan
    b: float = math.nan


Prior = Union[GroupPrior, SharedPrior]


@dataclass(frozen=True)
class RegressionPrior:
    """Priors of a regression on the parameter, on its link scale: the intercept ~ Normal(
    ``intercept_mean``, ``intercept_sd``), every other common coefficient ~ Normal(0, ``slope_sd``)
    per unit of its covariate, and the spread of each group-specific coefficient ~
    HalfNormal(``group_sd``)."""

    intercept_mean: float
    intercept_sd: float
    slope_sd: float
    group_sd: float


# The links a regression may put a parameter on: its value is the inverse link of a linear predictor.
LINKS = ("identity", "log", "logit")


@dataclass(frozen=True)
class Parameter:
    """One parameter: its name (the dictionary key and keyword everywhere), meaning and unit,
    default (None: it must be given), valid values and the words that refuse others, how a fit
    moves it (None: never estimated) and its prior (None: never sampled)."""

    name: str
    meaning: str
    unit: str
    default: Optional[float]
    domain: Domain
    requirement: str
    fit: Optional[Fit] = None
    prior: Optional[Prior] = None
    in_density: bool = True  # False for the weight of the lapse mixture
    option: Optional[str] = None  # the option of `ventrola simulate`, where it has one
    families: Optional[tuple[str, ...]] = None  # the bound or drift families that have it (None: every model)
    # The scale on which a formula's linear predictor acts (one of LINKS), and its priors in a
    # hierarchical model; None: the parameter takes no formula.
    link: Optional[str] = None
    regression: Optional[RegressionPrior] = None

    def refusal(self, value: Any, prefix: str = "") -> str:
        return f"{prefix}{self.name} must {self.requirement}, got {value!r}"


@dataclass(frozen=True)
class ParameterTable:
    """The parameters in their fixed order; lookups by name."""

    entries: tuple[Parameter, ...]
    by_name: Mapping[str, Parameter] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "by_name", {entry.name: entry for entry in self.entries})

    def __getitem__(self, name: str) -> Parameter:
        return self.by_name[name]

    def __contains__(self, name: object) -> bool:
        return name in self.by_name

    def adding(self, *entries: Parameter) -> ParameterTable:
        """A table with further entries after these."""
        return replace(self, entries=(*self.entries, *entries))

    def density_names(self) -> tuple[str, ...]:
        """The seven-parameter model's parameters: the noise scale, which only ever sets the units,
        and the generalized families' own parameters are left out."""
        return tuple(p.name for p in self.entries if p.in_density and p.name != "noise_sd" and p.families is None)

    def family_names(self, families: Iterable[str]) -> tuple[str, ...]:
        """The parameters the named families (a bound's, a drift's, "leak") add, in table order."""
        chosen = set(families)
        return tuple(p.name for p in self.entries if p.families is not None and chosen & set(p.families))

    def estimable(self, families: Iterable[str] = ()) -> tuple[str, ...]:
        """Every parameter a fit of the seven-parameter model (with the named families' parameters)
        can estimate, in table order."""
        extra = set(self.family_names(families))
        return tuple(p.name for p in self.entries if p.fit is not None and (p.families is None or p.name in extra))

    def defaults(self) -> dict[str, float]:
        """The seven-parameter model's defaults and the noise scale's."""
        return {p.name: p.default for p in self.entries
                if p.default is not None and p.in_density and p.families is None}

    def noise_scaled(self) -> tuple[str, ...]:
        """The seven-parameter model's parameters measured in units of the noise, whose size relative to
        it is bounded."""
        return tuple(p.name for p in self.entries if p.unit == _NOISE_UNITS and p.families is None)

    def with_formulas(self) -> tuple[str, ...]:
        """Every parameter a formula can describe, in table order."""
        return tuple(p.name for p in self.entries if p.link is not None)


_NOISE_UNITS = "units of the noise"

# Beyond the domains: a value measured in units of the noise stays below 1e100 of them. Squared where
# the simulation squares it, a larger one leaves the range of a double, and no density of such a model
# is of use. The refusal names the value when it is that large itself (it would be refused at the
# default noise of 1 too), else the noise.
LARGEST_IN_NOISE_UNITS = 1e100
NOISE_SCALED_REQUIREMENT = "be below 1e100 times noise_sd in magnitude"
NOISE_SCALE_REQUIREMENT = "be more than 1e-100 times each of |drift_rate|, drift_rate_sd and boundary_separation"

TABLE = ParameterTable((
    Parameter(
        "drift_rate", "mean drift rate, towards the upper boundary when positive", _NOISE_UNITS, None,
        Domain(), "be finite",
        fit=Fit("noise_scaled", -20.0, 20.0),
        prior=GroupPrior("identity", 0.0, 3.0, 1.5),  # a typical participant anywhere in about [-6, 6]
        option="--drift",
        # Drift is signed and adds up: a stimulus twice as strong drives it twice as hard.
        link="identity",
        regression=RegressionPrior(0.0, 3.0, 3.0, 1.5),
    ),
    Parameter(
        "boundary_separation", "distance between the two boundaries", _NOISE_UNITS, None,
        Domain(0.0), "be > 0 and finite",
        fit=Fit("log_noise_scaled", 0.05, 20.0),
        # log-normal: the median participant around 1.5, group medians in about [0.45, 5]
        prior=GroupPrior("log", math.log(1.5), 0.6, 0.5),
        option="--boundary",
        # Positive, and effects on caution are proportional: a coefficient of 0.1 is about 10 %.
        link="log",
        regression=RegressionPrior(math.log(1.5), 0.6, 0.5, 0.5),
    ),
    Parameter(
        "starting_point", "start as a fraction of the boundary separation", "fraction", 0.5,
        Domain(0.0, 1.0), "be strictly between 0 and 1",
        # within 0.1 % of its room's ends at the logit limit
        fit=Fit("logit_room", -7.0, 7.0, start=0.5),
        prior=GroupPrior("logit", 0.0, 0.6, 0.5),  # the median participant in about [0.24, 0.76]
        option="--start",
        # A fraction: the logit (of its place in the room a fixed starting-point range leaves).
        link="logit",
        regression=RegressionPrior(0.0, 0.6, 0.5, 0.5),
    ),
    Parameter(
        "non_decision_time", "lower end of the non-decision time", "seconds", 0.0,
        Domain(0.0, low_closed=True), "be >= 0 and finite",
        # the gap below the fastest response may shrink to exp(-14) of it
        fit=Fit("log_gap_below_reference", -14.0, 0.0),
        # a logit-normal fraction of the participant's fastest response in the cell (the median one
        # with lapses), so that t0 stays below it; the median participant's fraction in about [0.2, 0.97]
        prior=GroupPrior("logit_of_bound", 1.0, 1.2, 0.8),
        option="--t0",
        # Positive seconds; log keeps the effects proportional and needs no bound from the data
        # (a trial faster than its t0 then needs lapses to be explained).
        link="log",
        regression=RegressionPrior(math.log(0.3), 0.5, 0.3, 0.3),
    ),
    Parameter(
        "drift_rate_sd", "across-trial standard deviation of the drift rate", _NOISE_UNITS, 0.0,
        Domain(0.0, low_closed=True), "be >= 0 and finite",
        fit=Fit("noise_scaled", 0.0, 10.0, start=0.5),  # at 0 its partial derivative vanishes
        prior=SharedPrior("half_normal", 1.5),
        option="--drift-sd",
        link="log",
        regression=RegressionPrior(math.log(0.5), 1.0, 0.5, 0.5),
    ),
    Parameter(
        "starting_point_range", "across-trial range of the starting point", "fraction", 0.0,
        # below 1 whatever the starting point: sz/2 < min(w, 1 - w) <= 1/2
        Domain(0.0, 1.0, low_closed=True),
        "be >= 0 with starting_point_range/2 < min(starting_point, 1 - starting_point)",
        fit=Fit("fraction_of_room", 0.0, 0.99, start=0.3),
        prior=SharedPrior("uniform_room"),
        option="--start-range",
        # No formula: its room depends on the starting point of the same trial, which a formula of
        # its own could leave at any value.
    ),
    Parameter(
        "non_decision_time_range", "across-trial range of the non-decision time", "seconds", 0.0,
        Domain(0.0, low_closed=True), "be >= 0 and finite",
        fit=Fit("tenths_below_slowest", 0.0, start=0.05),
        prior=SharedPrior("half_normal", 0.2),
        option="--t0-range",
        link="log",
        regression=RegressionPrior(math.log(0.1), 1.0, 0.5, 0.5),
    ),
    Parameter(
        "noise_sd", "standard deviation of the noise per unit time; sets the units", "units", 1.0,
        Domain(0.0), "be > 0 and finite",
        option="--noise-sd",
    ),
    # The generalized families' own parameters (each used by the families named).
    Parameter(
        "collapse_time", "time scale of the bounds' collapse", "seconds", 1.0,
        Domain(0.0), "be > 0 and finite",
        # A slow collapse (nearly the constant bound the EZ start assumes), a typical one and a fast
        # one: no summary of the data tells them apart, the likelihood at each does.
        fit=Fit("log", 0.01, 100.0, start=1.0, candidates=(3.0, 0.4)),
        prior=SharedPrior("log_normal", 0.0, 1.0),  # median 1 s, most mass in about [0.14, 7] s
        option="--collapse-time",
        families=("linear", "exponential", "hyperbolic", "weibull"),
    ),
    Parameter(
        "collapse_shape", "shape of the weibull bound's collapse", "units", 3.0,
        Domain(0.0), "be > 0 and finite",
        fit=Fit("log", 0.1, 50.0, start=3.0),
        prior=SharedPrior("log_normal", math.log(3.0), 0.7),
        option="--collapse-shape",
        families=("weibull",),
    ),
    Parameter(
        "collapse_floor", "the weibull bound's asymptote as a fraction of the initial bound", "fraction", 0.0,
        Domain(0.0, 1.0, low_closed=True), "be >= 0 and < 1",
        fit=Fit("tenths", 0.0, 0.99, start=0.1),
        prior=SharedPrior("beta", 1.0, 3.0),
        option="--collapse-floor",
        families=("weibull",),
    ),
    Parameter(
        "automatic_amplitude", "peak of the automatic activation, positive towards the upper bound",
        _NOISE_UNITS, 0.0,
        Domain(), "be finite",
        # At 0 the activation's time scale and shape have no gradient; from either sign they have.
        fit=Fit("noise_scaled", -5.0, 5.0, start=0.0, candidates=(0.5, -0.5)),
        prior=SharedPrior("normal", 0.0, 0.5),
        option="--automatic-amplitude",
        families=("dmc",),
    ),
    Parameter(
        "automatic_time", "time scale of the automatic activation", "seconds", 0.05,
        Domain(0.0), "be > 0 and finite",
        fit=Fit("log", 0.002, 2.0, start=0.05),
        prior=SharedPrior("log_normal", math.log(0.05), 0.7),
        option="--automatic-time",
        families=("dmc",),
    ),
    Parameter(
        "automatic_shape", "shape of the automatic activation (its peak is at (shape - 1) times its time scale)",
        "units", 2.0,
        Domain(1.0), "be > 1 and finite",
        fit=Fit("log_above_one", 0.01, 20.0, start=2.0),
        prior=SharedPrior("log_normal_above_one", 0.0, 0.7),
        option="--automatic-shape",
        families=("dmc",),
    ),
    Parameter(
        "leak", "leak of the accumulation; negative values excite it", "1/s", 0.0,
        Domain(), "be finite",
        fit=Fit("identity", -20.0, 20.0, start=0.0),
        prior=SharedPrior("normal", 0.0, 2.0),
        option="--leak",
        families=("leak",),
    ),
    Parameter(
        "contamination", "weight of lapse trials in the mixture", "probability", None,
        Domain(0.0, 1.0, low_closed=True), "be >= 0 and < 1",
        # a free weight stays just above 0, so that a trial faster than t0 keeps a finite likelihood
        fit=Fit("tenths", 1e-6, 0.5, start=0.02),
        prior=SharedPrior("beta", 1.0, 19.0),  # mean 0.05, mostly below 0.15
        in_density=False,
    ),
))

# The parameters of the density in the engine's order (its gradients come in this order).
PARAMETER_NAMES = TABLE.density_names()
DEFAULTS = TABLE.defaults()
# What a fit estimates unless told otherwise.
DEFAULT_FREE = ("drift_rate", "boundary_separation", "non_decision_time")


def table() -> ParameterTable:
    """The table in force (tests may extend it)."""
    return TABLE


def check_values(values: Mapping[str, float], prefix: str = "") -> None:
    """Raises ValueError for the first value outside its parameter's range, then for a
    starting-point range the starting point leaves no room for, then for a value too large in
    units of the noise (``noise_sd`` from ``values``, else its default)."""
    current = table()
    for name, value in values.items():
        parameter = current[name]
        if not parameter.domain.contains(value):
            raise ValueError(parameter.refusal(value, prefix))
    if "starting_point" in values and "starting_point_range" in values:
        w, sz = values["starting_point"], values["starting_point_range"]
        if not sz / 2.0 < min(w, 1.0 - w):
            raise ValueError(f"{current['starting_point_range'].refusal(sz, prefix)} with starting_point {w!r}")
    noise_sd = float(values.get("noise_sd", current["noise_sd"].default))
    for name in current.noise_scaled():
        if name in values:
            refused = noise_scale_refusal(name, float(values[name]), noise_sd)
            if refused is not None:
                raise ValueError(prefix + refused)


def noise_scale_refusal(name: str, value: float, noise_sd: float) -> Optional[str]:
    """Why ``value`` of a parameter measured in units of the noise is too large for ``noise_sd``, or None."""
    if abs(value) < LARGEST_IN_NOISE_UNITS * noise_sd:
        return None
    if abs(value) >= LARGEST_IN_NOISE_UNITS:
        return f"{name} must {NOISE_SCALED_REQUIREMENT}, got {value!r} with noise_sd {noise_sd!r}"
    return f"noise_sd must {NOISE_SCALE_REQUIREMENT}, got {noise_sd!r}"


def valid(values: Mapping[str, Any], names: Optional[Iterable[str]] = None) -> Any:
    """Elementwise: True where every named parameter (default: all given that the table knows) lies in
    its range, the starting-point range fits around the starting point, and the parameters measured
    in units of the noise stay below 1e100 of them."""
    current = table()
    chosen = [name for name in (names if names is not None else values) if name in current]
    inside: Any = True
    for name in chosen:
        inside = inside & current[name].domain.contains(values[name])
    if "starting_point" in values and "starting_point_range" in values:
        w = np.asarray(values["starting_point"], dtype=np.float64)
        with np.errstate(invalid="ignore"):
            inside = inside & (np.asarray(values["starting_point_range"]) / 2 < np.minimum(w, 1 - w))
    scaled = [name for name in current.noise_scaled() if name in chosen]
    if scaled:
        noise_sd = np.asarray(values.get("noise_sd", current["noise_sd"].default), dtype=np.float64)
        with np.errstate(invalid="ignore", over="ignore"):
            for name in scaled:
                inside = inside & (np.abs(np.asarray(values[name], dtype=np.float64)) < LARGEST_IN_NOISE_UNITS * noise_sd)
    return inside
