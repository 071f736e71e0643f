"""A slow, high-accuracy reference for generalized diffusion models:
collapsing bounds (linear, exponential, hyperbolic, Weibull), the automatic
drift of the diffusion model for conflict tasks (dmc), and leak.

Written from the published mathematics alone, in NumPy, to judge the compiled
engine against; the package never uses it. It solves the forward
(Fokker-Planck) equation, not an integral equation, so that it does not
share the engine's formulation.

- Frame and factor: z = y / b(t) in [-1, 1], absorbing at both ends. The
  density of the paths not yet absorbed is q = G u, G the free density (no
  bounds: Gaussian, smoothed over the starting-point range) in closed form,
  u the chance that a free path through (z, t) has not touched a bound: it
  lies in [0, 1], vanishes at the bounds and obeys u_t = D u_zz + r u_z with
  D = 1 / (2 b^2), r = (d log G / dy - drift) / b + (leak + b'/b) z. The
  first-passage densities G(+-b) |u_z(+-1)| / 2b are accurate relatively
  however small G is: log f = -20 as well as log f = 1.
- Start: each bound is switched on (u = 0 there; u_z = 0 before) when a
  Gaussian maximal bound on the mass the free process can have carried to it
  reaches exp(-K_START) = exp(-60). u starts from the Brownian-bridge chance
  of not crossing a linear bound, averaged over the starts in closed form
  (exact for Brownian motion with any deterministic drift), its exponent
  scaled to meet D u_zz + r u_z = 0 at the bound. Before, the density is the
  bridge's crossing rate G(+-b) d0 / t: far below exp(-20), not vouched for.
- Space: Chebyshev collocation on elements, with a thin element at a bound
  while u has a boundary layer there; each element's last Chebyshev
  coefficients stay below space_tol = 1e-11 of max |u|, or it is refined and
  the panel solved again.
- Time: Radau IIA collocation with 10 stages on panels in log t (in
  log(T - t) while linear bounds close), with the decay of u's lowest mode
  (proportional to int D) taken out; each panel is as long as keeps the last
  Chebyshev coefficients of the stage polynomial below time_tol = 1e-10. The
  collocation polynomial gives the densities anywhere in a panel; F and its
  integral come from Gauss-Legendre quadrature of that polynomial times the
  closed-form factor, refined until it settles.
- End: the panels stop once the times asked for are covered and the mass
  left is below 1e-14 (shared out as the fluxes are then), or the equation no
  longer changes (a constant or floored bound, a constant or spent drift):
  then the mass left is split exactly by the chance h(y) of leaving through
  the upper bound, the scale-function ratio of a time-homogeneous diffusion,
  s'(y) = exp(-2 drift y + leak y^2). (A leak of 10 can hold the mass between
  wide bounds for exp(22) s.)
- Drift variability: without leak and starting-point range in closed form
  (Girsanov: a drift offset d multiplies the path density by
  exp(d (y - y0 - M(t)) - d^2 t / 2), so only G changes, to the variance
  t + sv^2 t^2); otherwise a trapezoid rule over d ~ N(0, sv^2), one solve
  per node, its spacing halved until two rules agree to (4e-10)^(1/4) (for
  these Gaussian-like integrands the error goes to about its fourth power with
  each halving, so the finer rule's is then near 1e-10).
- Non-decision-time variability: the density is the integral of the
  decision-time density over [rt - t0 - st0, rt - t0], divided by st0, by
  quadrature (a difference of distribution functions would cancel in the
  tail); F is the average of F over that window, from the integral of F
  that the solve accumulates.
- In every solve: the start bound, the spatial and temporal coefficient
  tails, conservation (absorbed plus left = 1 to 1e-10) and the drift rule's
  agreement are checked; ReferenceFailure where one fails.

Accuracy (tests/test_generalized_reference.py, tools/make_generalized_reference.py):
against the series of wiener_reference.py (the tests' cases: sv, sz, st0,
noise 0.5, starts near a bound, leading edges) log f agrees to 2.4e-12 and F
and P(upper) to 1e-12 (the targets: 1e-7 max(1, |log f|) and 1e-9); the
Bachelier-Levy density of a linear bound far from the other to 5e-12; the
leaky P(upper), integrated over 30 s, with the scale-function integral to
3e-12; solved again with tenfold tighter tolerances and two more stages, the
values of every pair of families among the table's 91 sets move by at most
1.9e-11 (log f) and 1.5e-11 (F). The tests hold these to the targets.
Log-densities below RELIABLE_LOG_DENSITY = -20 are returned but not vouched
for (Solution.flagged); past a mass of exp(-1000) densities are reported as 0.

Internally the noise is 1 (v, a, sv and the automatic amplitude divided by s),
times are in seconds, and y is measured from the midpoint between the bounds.
"""
import math
from dataclasses import dataclass
from functools import lru_cache

import numpy as np
from mpmath import mp
from scipy import linalg, special
from threadpoolctl import threadpool_limits

PARAMETERS = (
    "drift_rate",
    "boundary_separation",
    "starting_point",
    "non_decision_time",
    "drift_rate_sd",
    "starting_point_range",
    "non_decision_time_range",
    "noise_sd",
    "collapse_time",
    "collapse_shape",
    "collapse_floor",
    "automatic_amplitude",
    "automatic_time",
    "automatic_shape",
    "leak",
)
DEFAULTS = {
    "starting_point": 0.5,
    "non_decision_time": 0.0,
    "drift_rate_sd": 0.0,
    "starting_point_range": 0.0,
    "non_decision_time_range": 0.0,
    "noise_sd": 1.0,
    "leak": 0.0,
}
BOUNDS = {
    "constant": (),
    "linear": ("collapse_time",),
    "exponential": ("collapse_time",),
    "hyperbolic": ("collapse_time",),
    "weibull": ("collapse_time", "collapse_shape", "collapse_floor"),
}
DRIFTS = {
    "constant": (),
    "dmc": ("automatic_amplitude", "automatic_time", "automatic_shape"),
}
FAMILY_PARAMETERS = {name for names in (*BOUNDS.values(), *DRIFTS.values()) for name in names}

# Below this log-density the values are returned but not vouched for.
RELIABLE_LOG_DENSITY = -20.0
# Past the time where the mass left is below exp(LOG_MASS_FLOOR) the densities
# are reported as 0 (log -inf): far below anything a double holds.
LOG_MASS_FLOOR = -1000.0
# -log of the bound on the mass absorbed before the solve starts. A density
# exp(-20) in a window ~ t after the start, against an error exp(-60) spread
# over it, is off by far less than 1e-9 relative.
K_START = 60.0


class ReferenceFailure(ArithmeticError):
    """The reference could not reach its own accuracy target."""


@dataclass(frozen=True)
class Settings:
    """Tolerances of one solve; `refined()` tightens all of them, for checking
    a value against a more accurate one."""

    stages: int = 10
    time_tol: float = 1e-10
    space_tol: float = 1e-11
    mass_tol: float = 1e-14
    # Drift nodes: the trapezoid rule over N(0, 1) stops at the spacing whose
    # estimated relative error (see Solution._average) is below this.
    drift_tol: float = 1e-10

    def refined(self):
        return Settings(stages=self.stages + 2, time_tol=self.time_tol / 10, space_tol=self.space_tol / 10,
                        mass_tol=self.mass_tol / 10, drift_tol=self.drift_tol / 10)


DEFAULT_SETTINGS = Settings()


# ------------------------------------------------------------ parameters ---


def _finite(x):
    return isinstance(x, (int, float, np.floating, np.integer)) and not isinstance(x, bool) and math.isfinite(x)


def check(params, bound="constant", drift="constant"):
    """The full parameter dict (defaults filled in) or ValueError: unknown
    names, parameters of families not chosen, missing or out-of-range values."""
    if bound not in BOUNDS:
        raise ValueError(f"unknown bound family {bound!r}; known: {sorted(BOUNDS)}")
    if drift not in DRIFTS:
        raise ValueError(f"unknown drift family {drift!r}; known: {sorted(DRIFTS)}")
    unknown = set(params) - set(PARAMETERS)
    if unknown:
        raise ValueError(f"unknown parameters: {sorted(unknown)}")
    wanted = set(BOUNDS[bound]) | set(DRIFTS[drift])
    stray = (set(params) & FAMILY_PARAMETERS) - wanted
    if stray:
        raise ValueError(f"parameters {sorted(stray)} do not belong to bound {bound!r} and drift {drift!r}")
    p = {**DEFAULTS, **params}
    missing = [k for k in ("drift_rate", "boundary_separation", *sorted(wanted)) if k not in p]
    if missing:
        raise ValueError(f"missing parameters: {missing}")
    for k, x in p.items():
        if not _finite(x):
            raise ValueError(f"{k} must be a finite number, not {x!r}")
    w, sz = p["starting_point"], p["starting_point_range"]
    conditions = [
        ("boundary_separation > 0", p["boundary_separation"] > 0),
        ("0 < starting_point < 1", 0 < w < 1),
        ("non_decision_time >= 0", p["non_decision_time"] >= 0),
        ("drift_rate_sd >= 0", p["drift_rate_sd"] >= 0),
        ("0 <= starting_point_range / 2 < min(w, 1 - w)", 0 <= sz / 2 < min(w, 1 - w)),
        ("non_decision_time_range >= 0", p["non_decision_time_range"] >= 0),
        ("noise_sd > 0", p["noise_sd"] > 0),
    ]
    if "collapse_time" in wanted:
        conditions.append(("collapse_time > 0", p["collapse_time"] > 0))
    if bound == "weibull":
        conditions.append(("collapse_shape > 0", p["collapse_shape"] > 0))
        conditions.append(("0 <= collapse_floor < 1", 0 <= p["collapse_floor"] < 1))
    if drift == "dmc":
        conditions.append(("automatic_time > 0", p["automatic_time"] > 0))
        conditions.append(("automatic_shape > 1", p["automatic_shape"] > 1))
    failed = [text for text, ok in conditions if not ok]
    if failed:
        raise ValueError(f"parameters out of range ({'; '.join(failed)}): {p}")
    return p


# ----------------------------------------------------------------- model ---


class Bound:
    """c(t) and c'(t) of a bound family (c(0) = 1), vectorised in t."""

    def __init__(self, family, p):
        self.family = family
        self.T = p.get("collapse_time")
        self.shape = p.get("collapse_shape")
        self.floor = p.get("collapse_floor")

    def c(self, t):
        t = np.asarray(t, dtype=float)
        f, T = self.family, self.T
        if f == "constant":
            return np.ones_like(t)
        if f == "linear":
            return np.maximum(0.0, 1 - t / T)
        if f == "exponential":
            return np.exp(-t / T)
        if f == "hyperbolic":
            return T / (t + T)
        return self.floor + (1 - self.floor) * np.exp(-((t / T) ** self.shape))

    def dc(self, t):
        t = np.asarray(t, dtype=float)
        f, T = self.family, self.T
        if f == "constant":
            return np.zeros_like(t)
        if f == "linear":
            return np.where(t < T, -1 / T, 0.0)
        if f == "exponential":
            return -np.exp(-t / T) / T
        if f == "hyperbolic":
            return -T / (t + T) ** 2
        x = (t / T) ** self.shape
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(t > 0, -(1 - self.floor) * np.exp(-x) * self.shape * x / t, -np.inf if self.shape < 1 else 0.0)

    @property
    def closes_at(self):
        """The time the bounds meet, or inf."""
        return self.T if self.family == "linear" else math.inf


# Gauss-Jacobi rule for integrals of x^(alpha - 1) g(x) over [0, 1].
_JACOBI_NODES = 64


@lru_cache(maxsize=None)
def _jacobi(alpha):
    x, w = special.roots_jacobi(_JACOBI_NODES, 0.0, alpha - 1)
    return (x + 1) / 2, w / 2**alpha


_LEGENDRE_NODES = 64


@lru_cache(maxsize=None)
def _legendre(n):
    x, w = np.polynomial.legendre.leggauss(n)
    return x, w


# Past this many e-folds an exponential is cut off: its share is below
# exp(-50) relative.
_CUTOFF = 50.0


def _power_exponential_integral(alpha, beta):
    """int_0^1 x^(alpha - 1) exp(-beta x) dx for arrays beta >= 0."""
    beta = np.asarray(beta, dtype=float)
    xj, wj = _jacobi(alpha)
    scale = np.maximum(1.0, beta / _CUTOFF)  # integrate over [0, 1/scale] only
    # x = y / scale: scale^-alpha int_0^1 y^(alpha-1) exp(-beta y / scale) dy
    return scale ** (-alpha) * (np.exp(-np.multiply.outer(beta / scale, xj)) @ wj)


def _power_exponential_rising(alpha, beta):
    """int_0^1 x^(alpha - 1) exp(-beta (1 - x)) dx for arrays beta >= 0."""
    beta = np.asarray(beta, dtype=float)
    out = np.empty_like(beta)
    small = beta <= _CUTOFF
    if np.any(small):
        xj, wj = _jacobi(alpha)
        out[small] = np.exp(-np.multiply.outer(beta[small], 1 - xj)) @ wj
    if np.any(~small):
        # Only x within _CUTOFF / beta of 1 counts; there x^(alpha-1) is smooth.
        b = beta[~small]
        width = _CUTOFF / b
        xg, wg = _legendre(_LEGENDRE_NODES)
        y = (xg + 1) / 2  # in [0, 1]
        x = 1 - np.multiply.outer(width, y)
        vals = x ** (alpha - 1) * np.exp(-_CUTOFF * y)
        out[~small] = width * (vals @ (wg / 2))
    return out


class Drift:
    """mu(t) (without the drift variability) and the free mean's shift
    M(t) = int_0^t exp(-leak (t - s)) mu(s) ds, vectorised in t."""

    def __init__(self, family, v, p, s, leak):
        self.family, self.v, self.leak = family, v, leak
        if family == "dmc":
            self.A = p["automatic_amplitude"] / s
            self.tau = p["automatic_time"]
            self.alpha = p["automatic_shape"]
            # activation = C t^(alpha-1) exp(-t / tau)
            self.C = self.A * (math.e / ((self.alpha - 1) * self.tau)) ** (self.alpha - 1)

    def activation(self, t):
        t = np.asarray(t, dtype=float)
        return self.C * t ** (self.alpha - 1) * np.exp(-t / self.tau)

    def mu(self, t):
        t = np.asarray(t, dtype=float)
        if self.family == "constant":
            return np.full_like(t, self.v)
        al, tau = self.alpha, self.tau
        with np.errstate(divide="ignore", invalid="ignore"):
            return self.v + self.C * np.exp(-t / tau) * t ** (al - 2) * ((al - 1) - t / tau)

    def shift(self, t):
        t = np.asarray(t, dtype=float)
        k = _leak_kernel(self.leak, t)
        if self.family == "constant":
            return self.v * k
        # int_0^t e^{-l(t-s)} a'(s) ds = a(t) - l int_0^t e^{-l(t-s)} a(s) ds
        if self.leak == 0:
            return self.v * k + self.activation(t)
        return self.v * k + self.activation(t) - self.leak * self._leaky_activation(t)

    def _leaky_activation(self, t):
        """int_0^t exp(-leak (t - s)) a(s) ds, with the exponentials arranged
        so that nothing overflows however long t is."""
        al, p, lam = self.alpha, 1 / self.tau, self.leak
        t = np.asarray(t, dtype=float)
        if lam <= p:
            # C e^{-lam t} t^al int_0^1 x^(al-1) e^{-(p - lam) t x} dx
            return self.C * np.exp(-lam * t) * t**al * _power_exponential_integral(al, (p - lam) * t)
        # C e^{-p t} t^al int_0^1 x^(al-1) e^{-(lam - p) t (1 - x)} dx
        return self.C * np.exp(-p * t) * t**al * _power_exponential_rising(al, (lam - p) * t)


def _leak_kernel(leak, t):
    """(1 - exp(-leak t)) / leak, t when leak = 0."""
    t = np.asarray(t, dtype=float)
    if leak == 0:
        return t.copy()
    return -np.expm1(-leak * t) / leak


def _leak_variance(leak, t):
    """(1 - exp(-2 leak t)) / (2 leak), the free variance with noise 1."""
    return _leak_kernel(2 * leak, t)


@dataclass
class Model:
    """The noise-1 model with y measured from the midpoint."""

    v: float
    a: float
    y0: float  # start (midpoint of the starting-point range)
    h: float  # half the starting-point range, in y
    t0: float
    sv: float
    st0: float
    leak: float
    bound: Bound
    drift: Drift

    def b(self, t):
        return self.a / 2 * self.bound.c(t)

    def db(self, t):
        return self.a / 2 * self.bound.dc(t)


def reduce(params, bound, drift):
    p = check(params, bound, drift)
    s = p["noise_sd"]
    a = p["boundary_separation"] / s
    leak = p["leak"]
    return Model(
        v=p["drift_rate"] / s,
        a=a,
        y0=(p["starting_point"] - 0.5) * a,
        h=p["starting_point_range"] * a / 2,
        t0=p["non_decision_time"],
        sv=p["drift_rate_sd"] / s,
        st0=p["non_decision_time_range"],
        leak=leak,
        bound=Bound(bound, p),
        drift=Drift(drift, p["drift_rate"] / s, p, s, leak),
    )


# ----------------------------------------------------- the free density ---


_BOX_NODES = np.polynomial.legendre.leggauss(24)


def _log_ndtr_difference(lo, hi):
    """log(Phi(hi) - Phi(lo)) for hi > lo, without cancellation where the two
    lie on one side of 0."""
    out = np.empty_like(lo)
    pos, neg = lo > 0, hi < 0
    mid = ~(pos | neg)
    if np.any(pos):
        a, b = special.log_ndtr(-lo[pos]), special.log_ndtr(-hi[pos])
        out[pos] = a + np.log1p(-np.exp(b - a))
    if np.any(neg):
        a, b = special.log_ndtr(hi[neg]), special.log_ndtr(lo[neg])
        out[neg] = a + np.log1p(-np.exp(b - a))
    if np.any(mid):
        out[mid] = np.log1p(-(special.ndtr(lo[mid]) + special.ndtr(-hi[mid])))
    return out


_LOG_SQRT_2PI = 0.5 * math.log(2 * math.pi)


def _log_box_gauss(y, m, V, H):
    """log G and d log G / dy at the points y, G the normal density with mean m
    and variance V averaged over means m + x, x ~ U(-H, H). Arguments
    broadcast against each other."""
    y, m, V, H = np.broadcast_arrays(*(np.asarray(x, dtype=float) for x in (y, m, V, H)))
    s = np.sqrt(V)
    c = (y - m) / s
    log_g = -0.5 * c * c - _LOG_SQRT_2PI - np.log(s)
    dlog_g = -c / s
    box = H > 0
    if not np.any(box):
        return log_g, dlog_g
    w = np.where(box, H / s, 0.0)
    narrow = box & (w * np.maximum(1.0, np.abs(c)) < 1)
    if np.any(narrow):
        # A range short against the spread: Gauss-Legendre over the range
        # (the closed form below would cancel).
        xi, wi = _BOX_NODES
        d = c[narrow][:, None] - w[narrow][:, None] * xi[None, :]
        e = -0.5 * d * d + np.log(wi / 2)[None, :]
        top = e.max(axis=1, keepdims=True)
        p = np.exp(e - top)
        total = p.sum(axis=1)
        log_g[narrow] = top[:, 0] + np.log(total) - _LOG_SQRT_2PI - np.log(s[narrow])
        dlog_g[narrow] = -(p * d).sum(axis=1) / total / s[narrow]
    wide = box & ~narrow
    if np.any(wide):
        lo, hi = c[wide] - w[wide], c[wide] + w[wide]
        log_d = _log_ndtr_difference(lo, hi)
        log_g[wide] = log_d - np.log(2 * H[wide])
        phi_hi = np.exp(-0.5 * hi * hi - _LOG_SQRT_2PI - log_d)
        phi_lo = np.exp(-0.5 * lo * lo - _LOG_SQRT_2PI - log_d)
        dlog_g[wide] = (phi_hi - phi_lo) / s[wide]
    return log_g, dlog_g


class Free:
    """The density of the process without bounds, for one drift offset
    `delta`: Gaussian with mean exp(-leak t) y0 + M(t) + delta k(t) and
    variance V(t) + extra t^2 (extra = sv^2 for the closed-form drift average),
    averaged over the starting-point range."""

    def __init__(self, model, delta=0.0, extra=0.0):
        self.m, self.delta, self.extra = model, delta, extra

    def mean(self, t):
        m = self.m
        return np.exp(-m.leak * t) * m.y0 + m.drift.shift(t) + self.delta * _leak_kernel(m.leak, t)

    def variance(self, t):
        return _leak_variance(self.m.leak, t) + self.extra * np.asarray(t, dtype=float) ** 2

    def half_range(self, t):
        return self.m.h * np.exp(-self.m.leak * np.asarray(t, dtype=float))

    def mu(self, t):
        return self.m.drift.mu(t) + self.delta

    def log(self, y, t):
        """log G(y, t) and d log G / dy (y and t broadcast)."""
        return _log_box_gauss(y, self.mean(t), self.variance(t), self.half_range(t))


# -------------------------------------------------------------- numerics ---


@lru_cache(maxsize=None)
def radau_iia(stages):
    """Nodes c and matrix a of the Radau IIA collocation method, the weights
    and coefficient transform of its collocation polynomial on {0, c}."""
    M = stages
    with mp.workdps(50):
        cM = np.zeros(M + 1)
        cM[M], cM[M - 1] = 1, -1
        guesses = np.sort(np.real(np.polynomial.legendre.legroots(cM)))
        f = lambda x: mp.legendre(M, 2 * x - 1) - mp.legendre(M - 1, 2 * x - 1)  # noqa: E731
        c = [mp.findroot(f, (g + 1) / 2) for g in guesses]
        c[-1] = mp.mpf(1)
        V = mp.matrix(M, M)
        W = mp.matrix(M, M)
        for i in range(M):
            for k in range(M):
                V[i, k] = c[i] ** k
                W[i, k] = c[i] ** (k + 1) / (k + 1)
        A = W * V**-1
        nodes = [mp.mpf(0)] + c
        # Barycentric weights on {0, c}, and the map from the values at the
        # stages c alone to Chebyshev coefficients on [0, 1] (the starting
        # value stays out: a stiff component that the first stage has already
        # damped would show there as a jump, not as an error).
        bary = [1 / mp.fprod(x - y for y in nodes if y is not x) for x in nodes]
        T = mp.matrix(M, M)
        for i, x in enumerate(c):
            for k in range(M):
                T[i, k] = mp.chebyt(k, 2 * x - 1)
        Tinv = T**-1
        return (
            np.array([float(x) for x in c]),
            np.array([[float(A[i, j]) for j in range(M)] for i in range(M)]),
            np.array([float(x) for x in nodes]),
            np.array([float(x) for x in bary]),
            np.array([[float(Tinv[i, j]) for j in range(M)] for i in range(M)]),
        )


def _barycentric(nodes, weights, values, x):
    """The polynomial through (nodes, values) at the points x (values may have
    trailing dimensions)."""
    x = np.atleast_1d(np.asarray(x, dtype=float))
    d = x[:, None] - nodes[None, :]
    exact = d == 0
    d[exact] = 1
    q = weights[None, :] / d
    out = (q @ values) / q.sum(axis=1)[(...,) + (None,) * (values.ndim - 1)]
    rows, cols = np.nonzero(exact)
    out[rows] = values[cols]
    return out


@lru_cache(maxsize=None)
def chebyshev(n):
    """Chebyshev-Lobatto points on [-1, 1], ascending, their barycentric
    weights, the differentiation matrix and the Clenshaw-Curtis weights."""
    j = np.arange(n + 1)
    x = -np.cos(np.pi * j / n)
    w = (-1.0) ** j
    w[0] *= 0.5
    w[-1] *= 0.5
    dx = x[:, None] - x[None, :]
    np.fill_diagonal(dx, 1)
    D = (w[None, :] / w[:, None]) / dx
    np.fill_diagonal(D, 0)
    np.fill_diagonal(D, -D.sum(axis=1))
    # Clenshaw-Curtis weights
    theta = np.pi * j / n
    cc = np.zeros(n + 1)
    v = np.ones(n - 1)
    if n % 2 == 0:
        cc[0] = cc[n] = 1 / (n * n - 1)
        for k in range(1, n // 2):
            v -= 2 * np.cos(2 * k * theta[1:-1]) / (4 * k * k - 1)
        v -= np.cos(n * theta[1:-1]) / (n * n - 1)
    else:
        cc[0] = cc[n] = 1 / (n * n)
        for k in range(1, (n - 1) // 2 + 1):
            v -= 2 * np.cos(2 * k * theta[1:-1]) / (4 * k * k - 1)
    cc[1:-1] = 2 * v / n
    return x, w, D, cc


def chebyshev_coefficients(values):
    """Chebyshev coefficients of the polynomial through the values at the
    ascending Chebyshev-Lobatto points (along the first axis)."""
    v = np.asarray(values)[::-1]
    n = len(v) - 1
    ext = np.concatenate([v, v[-2:0:-1]], axis=0)
    c = np.real(np.fft.fft(ext, axis=0))[: n + 1] / n
    c[0] /= 2
    c[n] /= 2
    return c


DEGREES = (8, 12, 16, 20, 24, 32, 40, 48, 64, 80, 96, 128)
# A boundary element is cut LAYER_SPAN widths of its layer wide and kept
# while it spans between LAYER_SPAN_RANGE widths of the layer as it grows:
# the remainder of the layer beyond it is then below exp(-30).
LAYER_SPAN = 45.0
LAYER_SPAN_RANGE = (30.0, 70.0)
# Layers wider than this (in z) are left to the middle element.
WIDEST_LAYER_ELEMENT = 0.6


class Grid:
    """Chebyshev collocation on elements [edges[i], edges[i+1]] of [-1, 1]
    with u_z continuous across the element edges and, at each end, u = 0
    (absorbing) or u_z = 0 (a bound not yet switched on); absorbing is given
    as (upper, lower). The unknowns are u
    at the nodes inside the elements ('free' nodes). lower_width and
    upper_width record the layer elements the grid was cut for (or None)."""

    def __init__(self, edges, degrees, absorbing=(True, True), lower_width=None, upper_width=None):
        self.edges = np.asarray(edges, dtype=float)
        self.degrees = tuple(int(n) for n in degrees)
        self.absorbing = tuple(absorbing)
        self.lower_width, self.upper_width = lower_width, upper_width
        ne = len(self.degrees)
        starts = np.concatenate([[0], np.cumsum(self.degrees)])
        total = starts[-1] + 1
        z = np.empty(total)
        D1 = np.zeros((total, total))  # each node's row from its owner element
        D2 = np.zeros((total, total))
        cc = np.zeros(total)
        constraints = []  # rows c with c . u = 0, and the node each one fixes
        fixed = []
        self.element_nodes = []
        first_row = last_row = None
        for e, n in enumerate(self.degrees):
            x, _, D, w = chebyshev(n)
            lo, hi = self.edges[e], self.edges[e + 1]
            half = (hi - lo) / 2
            idx = np.arange(starts[e], starts[e] + n + 1)
            self.element_nodes.append(idx)
            z[idx] = lo + half * (x + 1)
            De = D / half
            De2 = De @ De
            # Constants must have exactly zero derivatives: in the thin
            # elements the rounding of the row sums would otherwise act like
            # a source of size eps * n^4 / width^2.
            np.fill_diagonal(De2, 0)
            np.fill_diagonal(De2, -De2.sum(axis=1))
            D1[np.ix_(idx, idx)] = De
            D2[np.ix_(idx, idx)] = De2
            cc[idx] += w * half
            if e > 0:
                row = np.zeros(total)
                row[starts[e - 1] : starts[e] + 1] += last_row
                row[idx] -= De[0]
                constraints.append(row)
                fixed.append(starts[e])
            last_row = De[-1]
            if e == 0:
                first_row = De[0]
        z[0], z[-1] = -1.0, 1.0
        dirichlet = []
        for side, node, row_slice, row in ((0, total - 1, self.element_nodes[-1], last_row),
                                           (1, 0, self.element_nodes[0], first_row)):
            if self.absorbing[side]:
                dirichlet.append(node)
            else:
                r = np.zeros(total)
                r[row_slice] = row
                constraints.append(r)
                fixed.append(node)
        fixed = np.array(fixed, dtype=int)
        free = np.setdiff1d(np.arange(total), np.concatenate([fixed, np.array(dirichlet, dtype=int)]))
        E = np.zeros((total, len(free)))
        E[free, np.arange(len(free))] = 1
        if len(fixed):
            C = np.array(constraints)
            E[fixed] = -np.linalg.solve(C[:, fixed], C[:, free])
        self.z, self.free, self.E, self.cc = z, free, E, cc
        self.P1 = D1[free] @ E
        self.P2 = D2[free] @ E
        self.upper_row = -(D1[total - 1] @ E)  # -u_z(1)
        self.lower_row = D1[0] @ E  # u_z(-1)
        self.mass_row = cc  # applied to G u at all nodes
        self.starts = starts

    @property
    def size(self):
        return len(self.free)

    def full(self, u):
        return self.E @ u

    def interpolate(self, u, points):
        """u (free values) at arbitrary points of [-1, 1]."""
        full = self.full(u)
        points = np.asarray(points, dtype=float)
        out = np.empty_like(points)
        which = np.clip(np.searchsorted(self.edges, points, side="right") - 1, 0, len(self.degrees) - 1)
        for e, n in enumerate(self.degrees):
            sel = which == e
            if np.any(sel):
                x, w, _, _ = chebyshev(n)
                lo, hi = self.edges[e], self.edges[e + 1]
                local = 2 * (points[sel] - lo) / (hi - lo) - 1
                out[sel] = _barycentric(x, w, full[self.element_nodes[e]], local)
        return out

    def tails(self, u):
        """Per element, the largest of the last three Chebyshev coefficients of
        u (free values, or rows of them: the largest over the rows), relative
        to max |u|."""
        full = self.E @ np.atleast_2d(u).T
        scale = max(np.max(np.abs(full)), 1e-300)
        return [np.max(np.abs(chebyshev_coefficients(full[idx])[-3:])) / scale for idx in self.element_nodes]


def _fitted_degree(fn, lo, hi, tol):
    """The smallest degree in DEGREES whose Chebyshev interpolant of fn on
    [lo, hi] has its last coefficients below tol (relative), or None."""
    for n in DEGREES:
        x = chebyshev(n)[0]
        vals = fn(lo + (hi - lo) * (x + 1) / 2)
        scale = max(np.max(np.abs(vals)), 1e-300)
        if np.max(np.abs(chebyshev_coefficients(vals)[-3:])) <= tol * scale:
            return n
    return None


# ------------------------------------------------------------ one solve ---


def _gauss_legendre_pieces(lo, hi, pieces, n=16):
    """Nodes and weights of `pieces` equal n-point Gauss-Legendre rules on [lo, hi]."""
    x, w = _legendre(n)
    edges = np.linspace(lo, hi, pieces + 1)
    half = (edges[1:] - edges[:-1]) / 2
    mid = (edges[1:] + edges[:-1]) / 2
    return (mid[:, None] + half[:, None] * x[None, :]).ravel(), (half[:, None] * w[None, :]).ravel()


@dataclass
class Panel:
    """One time panel from t to end, in a variable sigma in [0, 1] in which the
    solution is smooth: log time, t(sigma) = t exp(L sigma), or, while linear
    bounds close at T, log of the time left, t(sigma) = T - (T - t) exp(-L sigma).
    g holds the boundary derivatives g+ = -u_z(1) and g- = u_z(-1) of the
    stored u at the collocation nodes {0, c}; the true ones are
    exp(scale - decay int_t^s D) times these: late on u decays about as fast
    as D = 1 / (2 b^2) (its lowest mode), and taking that out leaves a slowly
    varying function to collocate."""

    t: float
    L: float
    closes: float  # T for a 'closing' panel, else inf
    scale: float = 0.0
    decay: float = 0.0
    g: np.ndarray = None  # (2, stages + 1): upper, lower
    F: np.ndarray = None  # (2,) distribution functions at t
    I: np.ndarray = None  # (2,) their integrals from 0 to t

    def time(self, sigma):
        sigma = np.asarray(sigma, dtype=float)
        if self.closes < math.inf:
            return self.closes - (self.closes - self.t) * np.exp(-self.L * sigma)
        return self.t * np.exp(self.L * sigma)

    def rate(self, sigma):
        """dt / dsigma."""
        if self.closes < math.inf:
            return self.L * (self.closes - self.time(sigma))
        return self.L * self.time(sigma)

    def sigma(self, s):
        s = np.asarray(s, dtype=float)
        if self.closes < math.inf:
            return -np.log((self.closes - s) / (self.closes - self.t)) / self.L
        return np.log(s / self.t) / self.L

    @property
    def end(self):
        return float(self.time(1.0))

    def diffused(self, model, sigma):
        """int_t^{t(sigma)} D, D = 1 / (2 b^2), at the points sigma."""
        sigma = np.atleast_1d(np.asarray(sigma, dtype=float))
        x, w = _legendre(24)
        nodes = np.multiply.outer(sigma, (x + 1) / 2)
        times = self.time(nodes)
        D = 1 / (2 * model.b(times) ** 2)
        return (D * self.rate(nodes)) @ (w / 2) * sigma


class NodeSolution:
    """The first-passage densities of one drift offset: solves the factored
    forward equation panel by panel, on demand up to any time.

    `dynamics` is the free density in the equation for u (drift offset
    included); `flux` the one that multiplies u's boundary derivative (the
    same, or with the drift variability averaged in closed form).

    Each bound is switched on when the mass the free process can have carried
    to it first exceeds exp(-K_START); until then u_z = 0 there, and its
    first-passage density is the early one. So no bound ever starts with a
    layer thinner than a 1 / (4 K_START) part of its distance from the start."""

    def __init__(self, model, dynamics, flux, settings):
        self.m, self.dyn, self.flux, self.settings = model, dynamics, flux, settings
        self.closes = model.bound.closes_at
        self.panels = []
        self.panel_ends = []
        self.on = [self._switch_on_time(side) for side in (0, 1)]
        self.ts = min(self.on)
        self._start()

    # -- the start ---------------------------------------------------------

    def _distances(self, s):
        """Distances of the nearest start's free mean from the upper and lower
        bounds at the times s."""
        m = self.m
        mean = self.dyn.mean(s)
        reach = m.h * np.exp(-m.leak * np.asarray(s, dtype=float))
        b = m.b(s)
        return b - mean - reach, b + mean - reach

    def _log_absorbed_bound(self, side, t):
        """log of a bound on the mass the free process (with its drift
        variability, if averaged in closed form) carries to one bound by t: the
        noise is a time-changed Brownian motion whose clock runs no faster
        than exp(2 |leak| t), so P(sup >= d) <= 2 exp(-d^2 / (2 t exp(2|leak|t)))."""
        s = t * np.concatenate([[0.0], np.geomspace(1e-9, 1e-2, 60), np.linspace(0.01, 1, 400)])
        clock = t * math.exp(2 * abs(self.m.leak) * t)
        d = max(float(np.min(self._distances(s)[side])), 0.0)
        if self.flux.extra == 0:
            return math.log(2) - d * d / (2 * clock)
        # Drift offsets delta ~ N(0, extra): the distance shrinks by at most |delta| t.
        z = np.linspace(0, 12, 1201)
        reach = np.maximum(d - z * math.sqrt(self.flux.extra) * t, 0)
        terms = np.minimum(1.0, 2 * np.exp(-(reach**2) / (2 * clock))) * 2 * np.exp(-z * z / 2) / math.sqrt(2 * math.pi)
        return math.log(np.trapezoid(terms, z) + 2 * special.ndtr(-12.0))

    def _switch_on_time(self, side):
        """The largest t (up to a^2) at which the bound is still below exp(-K_START)."""
        bound = lambda t: self._log_absorbed_bound(side, t)  # noqa: E731
        lo, hi = -40.0, math.log(max(self.m.a**2, 1e-3))
        if self.closes < math.inf:
            hi = min(hi, math.log(self.closes / 2))
        if bound(math.exp(lo)) > -K_START:
            raise ReferenceFailure("no start time keeps the mass absorbed before it negligible")
        if bound(math.exp(hi)) <= -K_START:
            return math.exp(hi)
        for _ in range(60):
            mid = (lo + hi) / 2
            if bound(math.exp(mid)) <= -K_START:
                lo = mid
            else:
                hi = mid
        t = math.exp(lo)
        if not bound(t) <= -K_START:
            raise ReferenceFailure("start-time search failed")
        return t

    def _early_log_flux(self, side, t):
        """Before a bound is switched on, the first-passage terms of the free
        process: the Brownian-bridge crossing rate of the bound through the
        nearest start, G(+-b) d0 / t. Below exp(-K_START)-ish: returned, never
        vouched for."""
        t = np.asarray(t, dtype=float)
        d0 = float(self._distances(np.zeros(1))[side][0])
        safe = np.maximum(t, 1e-300)
        with np.errstate(divide="ignore"):
            return np.where(t > 0, self._log_kappa(side, safe) + np.log(2 * self.m.b(safe) * d0 / safe), -np.inf)

    def _layer_factor(self, side, t):
        """As a function of z, the chance that a free path from the starting
        range to b z at time t has not crossed the bound: for Brownian motion
        with a deterministic drift the bridge from x crosses the linear bound
        through b(0) and b(t) with chance exp(-2 (b(0) - x)(b(t) - y) / t)
        (exactly), and averaged over the starts with the weights G_x(y) this
        is a shifted smoothed-box Gaussian again. With a leak or a curved
        bound the same shape is taken, its exponent scaled so that
        D u_zz + r u_z = 0 at the bound, as u_t = 0 there requires (else u
        would start with a transient of the order of the mismatch); where it
        is off, G is below exp(-K_START)."""
        m = self.m
        sign = 1.0 if side == 0 else -1.0
        b, V = float(m.b(t)), float(self.dyn.variance(t))
        mean = float(self.dyn.mean(t))
        d0 = m.a / 2 - sign * m.y0  # from the middle of the starting range
        H = float(self.dyn.half_range(t))

        def log_r(e):
            """log of the crossing chance at distance e from the bound at t."""
            y = b - e  # mirrored: the bound at +b
            c = y - sign * mean
            shift = 2 * V * e / t
            out = 2 * V * e * e / t**2 + 2 * e * (c - d0) / t
            if H > 0:
                return out + _log_box_gauss(c + shift, 0.0, V, H)[0] - _log_box_gauss(c, 0.0, V, H)[0]
            return out - (c + shift) ** 2 / (2 * V) + c * c / (2 * V)

        # Derivatives at the bound, on the scale of the layer.
        width = float(self._layer_widths_at(t)[side]) * b
        h = 0.01 * width
        e = h * np.array([-2.0, -1.0, 0.0, 1.0, 2.0])
        lr = log_r(e)
        l1 = (lr[0] - 8 * lr[1] + 8 * lr[3] - lr[4]) / (12 * h)
        l2 = (-lr[0] + 16 * lr[1] - 30 * lr[2] + 16 * lr[3] - lr[4]) / (12 * h * h)
        D, r = self._coefficients_at(t, np.array([sign]))
        # u = 1 - exp(kappa log_r): D b (l2 + kappa l1^2) = sign r l1 at e = 0.
        kappa = (sign * r[0] * l1 / (D * b) - l2) / (l1 * l1)
        if not 0.1 < kappa < 10:
            raise ReferenceFailure(f"the starting layer is far from compatible (kappa = {kappa})")
        return lambda z: -np.expm1(np.minimum(kappa * log_r(b * (1 - sign * np.asarray(z, dtype=float))), 0.0))

    def _start(self):
        ts = self.ts
        self.absorbing = [self.on[0] <= ts, self.on[1] <= ts]
        factors = [self._layer_factor(side, ts) for side in (0, 1) if self.absorbing[side]]

        def u0(z):
            out = np.ones_like(np.asarray(z, dtype=float))
            for f in factors:
                out = out * f(z)
            return out

        self.grid = self._layout(ts, u0, None)
        self.u = u0(self.grid.z[self.grid.free])
        self.t, self.scale, self.decay = ts, 0.0, 0.0
        # What the early terms carry before ts (negligible, kept for consistency).
        x, w = _gauss_legendre_pieces(0.0, ts, 8)
        f = np.exp(np.array([self._early_log_flux(side, x) for side in (0, 1)]))
        self.F = f @ w
        self.I = (f * (ts - x)) @ w
        self.L = 0.1
        self.mass, self.log_mass = 1.0, 0.0
        self.finished = False

    def _switch_on(self, side):
        """Makes the bound absorbing: u gains its layer factor."""
        t = self.t
        factor = self._layer_factor(side, t)
        old = self.grid
        self.absorbing[side] = True
        u = self.u
        self.grid = self._layout(t, lambda z: old.interpolate(u, z) * factor(z), None)
        self.u = old.interpolate(u, self.grid.z[self.grid.free]) * factor(self.grid.z[self.grid.free])

    # -- the equation --------------------------------------------------------

    def _coefficients_at(self, t, z):
        """D(t) and r(z, t) at the points z."""
        m = self.m
        b, db = float(m.b(t)), float(m.db(t))
        _, dlog = self.dyn.log(b * z, t)
        r = (dlog - float(self.dyn.mu(t))) / b + (m.leak + db / b) * z
        return 1 / (2 * b * b), r

    def _coefficients(self, t, grid):
        return self._coefficients_at(t, grid.z[grid.free])

    def _layer_widths_at(self, t):
        """Widths (in z) of u's boundary layers at the upper and lower bound:
        D over the speed at which the u-equation carries values out through
        that bound (inf where it carries them in)."""
        D, r = self._coefficients_at(t, np.array([1.0, -1.0]))
        speed = np.array([-r[0], r[1]])
        return np.where(speed > 0, D / np.maximum(speed, 1e-300), np.inf)

    def _layer_widths(self, t):
        """The layer widths of the bounds switched on (inf for the others)."""
        return np.where(self.absorbing, self._layer_widths_at(t), np.inf)

    def _layout(self, t, fn, old):
        """A grid for u at time t (fn evaluates u anywhere): a thin element at
        each bound while its layer is thin, degrees fitted to fn. The old grid
        stays while its elements fit the layers and no degree could shrink by
        a third."""
        layers = self._layer_widths(t)
        widths = LAYER_SPAN * layers
        upper = float(widths[0]) if widths[0] < WIDEST_LAYER_ELEMENT else None
        lower = float(widths[1]) if widths[1] < WIDEST_LAYER_ELEMENT else None

        def fits(current, wanted):
            if current is None or wanted is None:
                return current is None and wanted is None
            span = current / wanted * LAYER_SPAN
            return LAYER_SPAN_RANGE[0] <= span <= LAYER_SPAN_RANGE[1]

        if old is not None and fits(old.lower_width, lower) and fits(old.upper_width, upper):
            edges, lower, upper = old.edges, old.lower_width, old.upper_width
        else:
            edges = [-1.0] + ([-1 + lower] if lower else []) + ([1 - upper] if upper else []) + [1.0]
            old = None
        tol = self.settings.space_tol / 3
        degrees = []
        for lo, hi in zip(edges[:-1], edges[1:]):
            n = _fitted_degree(fn, lo, hi, tol)
            if n is None:
                raise ReferenceFailure(f"u cannot be resolved on [{lo}, {hi}] at t = {t}")
            degrees.append(n)
        if old is not None and all(k > 2 * n / 3 for n, k in zip(old.degrees, degrees)):
            return old
        if old is not None:
            degrees = [min(n, k) for n, k in zip(old.degrees, degrees)]
        return Grid(edges, degrees, tuple(self.absorbing), lower, upper)

    def _refine(self, grid, bad):
        degrees = list(grid.degrees)
        for e in bad:
            larger = [n for n in DEGREES if n > degrees[e]]
            if not larger:
                raise ReferenceFailure("spatial resolution exhausted")
            degrees[e] = larger[min(1, len(larger) - 1)]
        return Grid(grid.edges, degrees, grid.absorbing, grid.lower_width, grid.upper_width)

    # -- panels ----------------------------------------------------------------

    def _try_panel(self, grid, u, panel):
        M = self.settings.stages
        c, a, nodes, _, Tinv = radau_iia(M)
        n = grid.size
        times, rates = panel.time(c), panel.rate(c)
        blocks = np.empty((M, n, n))
        for j, tj in enumerate(times):
            D, r = self._coefficients(tj, grid)
            blocks[j] = rates[j] * (D * grid.P2 + r[:, None] * grid.P1)
            blocks[j][np.diag_indices(n)] += rates[j] * panel.decay * D
        K = -np.einsum("ij,jpq->ipjq", a, blocks).reshape(M * n, M * n)
        K[np.diag_indices(M * n)] += 1
        U = linalg.solve(K, np.tile(u, M), check_finite=False).reshape(M, n)
        values = np.vstack([u[None, :], U])  # at nodes {0, c}
        g = np.vstack([values @ grid.upper_row, values @ grid.lower_row])
        # Time error: the last Chebyshev coefficients of the polynomial
        # through the stages, of u and of the boundary derivatives in use.
        coef = Tinv @ U
        tails = [np.max(np.abs(coef[-2:])) / max(np.max(np.abs(U)), 1e-300)]
        coef_g = g[:, 1:] @ Tinv.T
        for side in (0, 1):
            if grid.absorbing[side]:
                tails.append(np.max(np.abs(coef_g[side, -2:])) / max(np.max(np.abs(g[side, 1:])), 1e-300))
        time_error = max(tails) / self.settings.time_tol
        space = grid.tails(U)
        return U, g, time_error, space

    def _log_kappa(self, side, t):
        """log of G_flux(+-b, t) / (2b) at the times t."""
        t = np.asarray(t, dtype=float)
        b = self.m.b(t)
        return self.flux.log(b if side == 0 else -b, t)[0] - np.log(2 * b)

    def _panel_log_flux(self, p, side, s):
        """log f at times s inside panel p."""
        s = np.asarray(s, dtype=float)
        if p.t < self.on[side]:
            return self._early_log_flux(side, s)
        _, _, nodes, bary, _ = radau_iia(self.settings.stages)
        g = _barycentric(nodes, bary, p.g[side], p.sigma(s))
        with np.errstate(divide="ignore", invalid="ignore"):
            lg = np.where(g > 0, np.log(np.abs(g)), -np.inf)
        sigma = p.sigma(s)
        lost = p.decay * p.diffused(self.m, sigma) if p.decay else 0.0
        return self._log_kappa(side, s) + p.scale - lost + lg

    def _panel_integral(self, p, side, lo, hi, moment_at=None):
        """int_lo^hi f (and, with moment_at = T, int (T - s) f) over a part of
        panel p, Gauss-Legendre on pieces doubled until the result settles."""
        previous = None
        for pieces in (4, 8, 16, 32, 64):
            x, w = _gauss_legendre_pieces(lo, hi, pieces)
            log_f = self._panel_log_flux(p, side, x)
            f = np.exp(log_f)
            value = np.array([f @ w, 0.0 if moment_at is None else (f * (moment_at - x)) @ w])
            # The moment is judged against int f times the length (its size
            # with no cancellation). A log-density of -l carries a relative
            # rounding error of about l eps into f, and in a short panel just
            # before linear bounds meet the rounding of the times themselves
            # shows at about 1e-11: far below what F and the windows need.
            finite = log_f[np.isfinite(log_f)]
            rounding = max(1e-11, 5e-15 * max(10.0, float(np.max(np.abs(finite))) if finite.size else 10.0))
            # (moment_at - x) itself carries the rounding of the times.
            scale = np.array([abs(value[0]), abs(value[0]) * (hi - lo)])
            slack = np.array([0.0, 1e-15 * abs(value[0]) * abs(hi)])
            # Below 1e-40 nothing counts: not for F (held to 1e-9), nor for
            # the windows of vouched densities (> 1e-9 st0).
            if previous is not None and np.all(np.abs(value - previous) <= rounding * scale + slack + 1e-40):
                return value
            previous = value
        raise ReferenceFailure("panel quadrature did not settle")

    def _next_panel(self, L):
        t, T = self.t, self.closes
        # Panels end where a bound is switched on.
        later = [x for x in self.on if x > t * (1 + 1e-12)]
        if later:
            L = min(L, math.log(min(later) / t))
        if T < math.inf and t >= T / 2 and not later:
            return Panel(t=t, L=L, closes=T, decay=self.decay)
        if T < math.inf:
            L = min(L, math.log((t + T) / 2 / t))  # stay short of T
        return Panel(t=t, L=L, closes=math.inf, decay=self.decay)

    def _advance(self):
        """Solves one more panel (retrying with shorter panels or finer
        grids until both error estimates pass)."""
        st = self.settings
        L = self.L
        for _ in range(60):
            panel = self._next_panel(L)
            U, g, time_error, space = self._try_panel(self.grid, self.u, panel)
            bad = [e for e, x in enumerate(space) if x > st.space_tol]
            if bad:
                fine = self._refine(self.grid, bad)
                self.u = self._moved(self.grid, fine, self.u)
                self.grid = fine
                continue
            if time_error > 1:
                L = panel.L * max(0.2, 0.9 * time_error ** (-1 / st.stages))
                continue
            break
        else:
            raise ReferenceFailure(f"no panel from t = {self.t} passed its error checks")
        panel.scale, panel.g, panel.F, panel.I = self.scale, g, self.F.copy(), self.I.copy()
        end = panel.end
        for side in (0, 1):
            integral, moment = self._panel_integral(panel, side, panel.t, end, moment_at=end)
            self.I[side] += self.F[side] * (end - panel.t) + moment
            self.F[side] += integral
        self.panels.append(panel)
        self.panel_ends.append(end)
        # Renormalise u and estimate its decay per unit of int D for the next panel.
        u = U[-1]
        top = np.max(np.abs(u))
        if not top > 0:
            raise ReferenceFailure("u vanished")
        diffused = float(panel.diffused(self.m, 1.0)[0])
        observed = panel.decay - math.log(top) / diffused
        self.scale += -panel.decay * diffused + math.log(top)
        self.u = u / top
        self.decay = max(0.0, observed) if end > 50 * self.ts else 0.0
        self.t = end
        self.L = panel.L * min(3.0, max(0.3, 0.9 * max(time_error, 1e-30) ** (-1 / st.stages)))
        for side in (0, 1):
            if not self.absorbing[side] and end >= self.on[side] * (1 - 1e-12):
                self._switch_on(side)
        self.log_mass = self._log_mass(end)
        self.mass = math.exp(self.log_mass)
        old = self.grid
        self.grid = self._layout(end, lambda z: old.interpolate(self.u, z), old)
        if self.grid is not old:
            self.u = self._moved(old, self.grid, self.u)

    @staticmethod
    def _moved(old, new, u):
        return old.interpolate(u, new.z[new.free])

    def _log_mass(self, t):
        """log of the mass not yet absorbed, int G u dy."""
        b = float(self.m.b(t))
        log_g, _ = self.flux.log(b * self.grid.z, t)
        full = self.grid.full(self.u)
        top = np.max(log_g)
        total = float(np.sum(self.grid.mass_row * full * np.exp(log_g - top)))
        return top + self.scale + math.log(b * total) if total > 0 else -math.inf

    def extend(self, horizon):
        """Solves until the panels cover `horizon` and the mass left is
        negligible (or the bounds have met, or the equation no longer changes
        and the flux still to come is known exactly)."""
        st = self.settings
        while not self.finished:
            if self.t >= horizon and all(self.absorbing):
                if self.mass <= st.mass_tol:
                    self._finish()
                    break
                # Early on G is too narrow for the grid of u: wait until the
                # panels run in their late, decaying regime.
                if self.flux.extra == 0 and self.t > 50 * self.ts and self.panels and self._unchanging(self.t):
                    rest = self._flux_to_come()
                    if rest is not None:
                        self.mass = float(rest.sum())
                        self._finish(rest)
                        break
            if len(self.panels) > 5000:
                raise ReferenceFailure("too many panels")
            self._advance()
            if self.closes < math.inf and self.mass <= st.mass_tol * 1e-3 and all(self.absorbing):
                self._finish()

    def _unchanging(self, t):
        """Whether the forward equation's coefficients stay as they are from t
        on (to 1e-17 relative): a constant bound, or a Weibull bound at its
        floor; a constant drift, or the automatic activation spent."""
        m, bound = self.m, self.m.bound
        if bound.family == "weibull" and bound.floor > 0:
            if (t / bound.T) ** bound.shape < 45:
                return False
        elif bound.family != "constant":
            return False
        if m.drift.family == "dmc":
            d = m.drift
            slope = abs(d.C) * math.exp(-t / d.tau) * t ** (d.alpha - 2) * ((d.alpha - 1) + t / d.tau)
            if not slope <= 1e-17 * max(1.0, abs(m.v)):
                return False
        return True

    def _flux_to_come(self):
        """With an unchanging equation, the flux still to come through each
        bound: int q(y) h(y) dy and int q (1 - h), h(y) the chance of leaving
        through the upper bound from y, which for a time-homogeneous diffusion
        is the scale-function ratio int_{-b}^{y} s' / int_{-b}^{b} s',
        s'(y) = exp(-2 mu y + leak y^2). Exact whatever the mass left (a strong
        leak can hold it far from wide bounds for ages); q = G u is smooth
        here, so Gauss-Legendre quadrature on the bounds' span is exact to
        rounding. None where q is not smooth enough for it yet."""
        m, t = self.m, self.t
        b = float(m.b(t))
        mu = float(self.dyn.mu(t))
        old, u = self.grid, self.u
        x, w = _gauss_legendre_pieces(-1.0, 1.0, 16, 24)
        log_g = self.flux.log(b * x, t)[0]
        top = float(np.max(log_g))
        q = np.exp(log_g - top) * old.interpolate(u, x)
        coarse_x, coarse_w = _gauss_legendre_pieces(-1.0, 1.0, 8, 24)
        coarse = float(np.exp(self.flux.log(b * coarse_x, t)[0] - top) * old.interpolate(u, coarse_x) @ coarse_w)
        if abs(coarse - q @ w) > 1e-13 * abs(q @ w):
            return None
        # h on Chebyshev points of the span, its exponent shifted to stay finite.
        cheb = np.polynomial.chebyshev
        nodes = np.cos(np.pi * np.arange(161) / 160)
        exponent = -2 * mu * b * nodes + m.leak * (b * nodes) ** 2
        scale_density = cheb.Chebyshev.fit(nodes, np.exp(exponent - np.max(exponent)), 160)
        H = scale_density.integ(lbnd=-1.0)
        h = H(x) / H(1.0)
        factor = b * math.exp(top + self.scale)
        return factor * np.array([(q * h) @ w, (q * (1 - h)) @ w])

    def _finish(self, rest=None):
        """P(upper), P(lower): the distribution functions at the end plus the
        flux still to come (given, or the mass left split as the fluxes are
        now); and the conservation check."""
        end = self.t
        if rest is None:
            lf = np.array([self._panel_log_flux(self.panels[-1], side, np.array([end]))[0] for side in (0, 1)])
            share = 1 / (1 + math.exp(lf[1] - lf[0])) if np.all(np.isfinite(lf)) else 0.5
            rest = self.mass * np.array([share, 1 - share])
        self.P = self.F + rest
        gap = abs(self.F.sum() + self.mass - 1)
        if gap > max(self.settings.time_tol, 1e-10):
            raise ReferenceFailure(f"mass not conserved: absorbed + left - 1 = {gap:.2e}")
        self.conservation_gap = gap
        self.end = end
        self.finished = True

    # -- evaluation -----------------------------------------------------------

    def _panel_at(self, t):
        i = int(np.searchsorted(self.panel_ends, t, side="left"))
        return self.panels[min(i, len(self.panels) - 1)]

    def _continue(self, t):
        """Panels beyond the end, for times asked for past it, until the mass
        left falls below exp(LOG_MASS_FLOOR): the densities beyond are
        reported as 0."""
        while self.t < t and not self.t >= self.closes and self.log_mass > LOG_MASS_FLOOR:
            self._advance()
        self.end = max(self.end, self.t)

    def log_flux(self, side, t):
        """log of the first-passage density through the bound at time t."""
        if t <= 0 or t >= self.closes:
            return -math.inf
        if t <= self.on[side]:
            return float(self._early_log_flux(side, np.array([t]))[0])
        self.extend(t)
        if t > self.end:
            self._continue(t)
            if t > self.end:
                return -math.inf
        return float(self._panel_log_flux(self._panel_at(t), side, np.array([t]))[0])

    def F_I(self, side, t):
        """F(t) and its integral from 0 to t (finite t)."""
        if t <= 0:
            return 0.0, 0.0
        if t <= self.ts:
            x, w = _gauss_legendre_pieces(0.0, t, 8)
            f = np.exp(self._early_log_flux(side, x))
            return float(f @ w), float((f * (t - x)) @ w)
        self.extend(t)
        if t >= self.closes:
            # Every path has ended by T; what was left at the end of the
            # panels (below the mass tolerance) is counted as ending there.
            return self.P[side], self.I[side] + self.P[side] * (t - self.end)
        if t > self.end:
            self._continue(t)
            if t > self.end:
                return self.P[side], self.I[side] + self.P[side] * (t - self.end)
        p = self._panel_at(t)
        integral, moment = self._panel_integral(p, side, p.t, t, moment_at=t)
        return p.F[side] + integral, p.I[side] + p.F[side] * (t - p.t) + moment

    def window(self, side, lo, hi):
        """int_lo^hi f, accurate relatively."""
        lo, hi = max(lo, 0.0), min(hi, self.closes)
        if hi <= lo:
            return 0.0
        total = 0.0
        if lo < self.ts:
            x, w = _gauss_legendre_pieces(lo, min(hi, self.ts), 8)
            total += float(np.exp(self._early_log_flux(side, x)) @ w)
            lo = self.ts
            if hi <= lo:
                return total
        self.extend(hi)
        if hi > self.end:
            self._continue(hi)
            hi = min(hi, self.end)
        i = int(np.searchsorted(self.panel_ends, lo, side="right"))
        while i < len(self.panels) and self.panels[i].t < hi:
            p = self.panels[i]
            a, b = max(lo, p.t), min(hi, self.panel_ends[i])
            if b > a:
                total += self._panel_integral(p, side, a, b)[0]
            i += 1
        return total



# ------------------------------------------------ averages and the public ---


_LOG_2PI_HALF = 0.5 * math.log(2 * math.pi)
# The trapezoid rule over zeta = drift offset / sv starts with all nodes
# |zeta| <= _ZETA_CORE and extends outwards while the outermost node still
# adds more than exp(-_ZETA_NEGLIGIBLE) of the total.
_ZETA_CORE = 6.0
_ZETA_NEGLIGIBLE = 32.0
_ZETA_MAX = 40.0


def _logsumexp(x):
    x = np.asarray(x, dtype=float)
    top = np.max(x)
    if top == -math.inf:
        return -math.inf
    return float(top + math.log(np.sum(np.exp(x - top))))


class Solution:
    """Everything about one parameter set: the densities, distribution
    functions and choice probabilities, computed on demand and kept, so that
    many response times cost one solve."""

    def __init__(self, params, bound="constant", drift="constant", settings=DEFAULT_SETTINGS, method=None):
        self.params = check(params, bound, drift)
        self.bound, self.drift, self.settings = bound, drift, settings
        self.model = m = reduce(params, bound, drift)
        self._nodes = {}
        if m.sv == 0:
            self.method = "single"
        elif m.leak == 0 and m.h == 0:
            # Girsanov: with drift offset d the path density gains
            # exp(d (y - y0 - M) - d^2 t / 2), which averages to the free
            # density with variance t + sv^2 t^2; u does not change.
            self.method = "closed-form drift average"
        else:
            self.method = "drift quadrature"
        if method is not None:
            # The quadrature can stand in for the closed form, to check it.
            if method not in (self.method, "drift quadrature") or m.sv == 0:
                raise ValueError(f"method {method!r} does not apply here")
            self.method = method
        self.drift_spacing = None

    # -- nodes -----------------------------------------------------------------

    def _node(self, zeta=0.0):
        key = round(zeta * 1024)
        if key not in self._nodes:
            m, st = self.model, self.settings
            with threadpool_limits(1):
                if self.method == "single":
                    node = NodeSolution(m, Free(m), Free(m), st)
                elif self.method == "closed-form drift average":
                    node = NodeSolution(m, Free(m), Free(m, extra=m.sv**2), st)
                else:
                    free = Free(m, delta=m.sv * zeta)
                    node = NodeSolution(m, free, free, st)
            self._nodes[key] = node
        return self._nodes[key]

    def _average(self, fn):
        """The drift average of fn(node) (an array of logs of positive
        quantities), as logs."""
        if self.method != "drift quadrature":
            with threadpool_limits(1):
                return np.asarray(fn(self._node()), dtype=float)
        with threadpool_limits(1):
            previous = None
            for spacing in (1.0, 0.5, 0.25, 0.125, 0.0625):
                total = self._trapezoid(fn, spacing)
                if previous is not None:
                    # For these entire, Gaussian-like integrands the
                    # trapezoid error is about 2 exp(-2 pi^2 s^2 / spacing^2)
                    # (s the spread of the integrand): halving the spacing
                    # takes it to (error / 2)^4 * 2, and the change d between
                    # the two rules is the coarser one's error.
                    change = np.abs(np.expm1(np.where(np.isfinite(total), previous - total, 0.0)))
                    if np.all(change**4 / 4 <= self.settings.drift_tol):
                        self.drift_spacing = spacing
                        return total
                previous = total
        raise ReferenceFailure("the drift quadrature did not converge")

    def _trapezoid(self, fn, spacing):
        logs = {}

        def term(k):
            z = k * spacing
            if k not in logs:
                logs[k] = math.log(spacing) - z * z / 2 - _LOG_2PI_HALF + np.asarray(fn(self._node(z)), dtype=float)
            return logs[k]

        core = int(round(_ZETA_CORE / spacing))
        ks = list(range(-core, core + 1))
        values = [term(k) for k in ks]
        lo, hi = -core, core
        while True:
            total = np.array([_logsumexp(col) for col in np.array(values).T])
            grow = False
            for k in (lo, hi):
                if np.any(logs[k] - total > -_ZETA_NEGLIGIBLE):
                    grow = True
            if not grow:
                return total
            lo, hi = lo - 1, hi + 1
            if hi * spacing > _ZETA_MAX:
                raise ReferenceFailure("the drift average reaches beyond 40 standard deviations")
            values += [term(lo), term(hi)]

    # -- quantities --------------------------------------------------------------

    def _side(self, choice):
        if isinstance(choice, (bool, np.bool_)):
            return 0 if choice else 1
        if isinstance(choice, (int, np.integer)) and choice in (0, 1):
            return 0 if choice == 1 else 1
        raise ValueError(f"choice must be True (upper) or False (lower), not {choice!r}")

    @staticmethod
    def _rt(rt):
        if not isinstance(rt, (int, float, np.floating, np.integer)) or isinstance(rt, bool) or math.isnan(rt):
            raise ValueError(f"rt must be a number, not {rt!r}")
        return float(rt)

    def log_density(self, choice, rt):
        """log f(choice, rt): -inf where the density is 0."""
        side, rt = self._side(choice), self._rt(rt)
        m = self.model
        if rt == math.inf:
            return -math.inf
        t = rt - m.t0
        if m.st0 == 0:
            if t <= 0:
                return -math.inf
            return float(self._average(lambda node: [node.log_flux(side, t)])[0])
        if t <= 0:
            return -math.inf
        # Decision times in [t - st0, t], each non-decision time equally likely.
        lo = t - m.st0

        def window(node):
            value = node.window(side, lo, t)
            return [math.log(value) if value > 0 else -math.inf]

        return float(self._average(window)[0]) - math.log(m.st0)

    def density(self, choice, rt):
        return math.exp(self.log_density(choice, rt))

    def cdf(self, choice, rt):
        """P(response = choice and RT <= rt); rt may be inf."""
        side, rt = self._side(choice), self._rt(rt)
        m = self.model
        if rt == math.inf:
            return self.probability(choice)
        t = rt - m.t0
        if t <= 0:
            return 0.0
        if m.st0 == 0:
            def value(node):
                F, _ = node.F_I(side, t)
                return [math.log(F) if F > 0 else -math.inf]
        else:
            lo = t - m.st0

            def value(node):
                # The average of F(t - tau) over tau ~ U(0, st0).
                _, upper = node.F_I(side, t)
                _, lower = node.F_I(side, lo) if lo > 0 else (0.0, 0.0)
                difference = (upper - lower) / m.st0
                return [math.log(difference) if difference > 0 else -math.inf]

        return float(math.exp(self._average(value)[0]))

    def probability(self, choice):
        side = self._side(choice)

        def value(node):
            node.extend(0.0)
            return [math.log(node.P[side]) if node.P[side] > 0 else -math.inf]

        return float(math.exp(self._average(value)[0]))

    def probability_upper(self):
        return self.probability(True)

    def flagged(self, choice, rt):
        """True where the log-density is below RELIABLE_LOG_DENSITY: returned,
        not vouched for."""
        return self.log_density(choice, rt) < RELIABLE_LOG_DENSITY

    def on_grid(self, rts):
        """log-densities and distribution functions of both responses at the
        response times rts, as a dict of arrays."""
        out = {}
        for name, choice in (("upper", True), ("lower", False)):
            out[f"log_density_{name}"] = np.array([self.log_density(choice, rt) for rt in rts])
            out[f"cdf_{name}"] = np.array([self.cdf(choice, rt) for rt in rts])
        return out


def solve(params, bound="constant", drift="constant", settings=DEFAULT_SETTINGS):
    """A Solution for the parameter set (ValueError on bad input); its
    methods give any number of densities and distribution functions."""
    return Solution(params, bound, drift, settings)


def log_density(choice, rt, params, bound="constant", drift="constant"):
    """log f(choice, rt): the log of the joint density of the response and its
    time (ReferenceFailure where the reference cannot vouch for its accuracy
    target; values below RELIABLE_LOG_DENSITY are returned but not vouched for)."""
    return solve(params, bound, drift).log_density(choice, rt)


def density(choice, rt, params, bound="constant", drift="constant"):
    return solve(params, bound, drift).density(choice, rt)


def cdf(choice, rt, params, bound="constant", drift="constant"):
    """P(response = choice and RT <= rt); rt may be math.inf."""
    return solve(params, bound, drift).cdf(choice, rt)


def probability_upper(params, bound="constant", drift="constant"):
    return solve(params, bound, drift).probability_upper()
