"""A slow, high-precision reference for the seven-parameter diffusion model.

Written from the published mathematics alone, in mpmath, to judge the compiled
engine against; the package never uses it.

- Density without across-trial variability: the small-time and large-time
  series of Navarro & Fuss (2009), summed until the rest of the series no
  longer matters at the working precision, whichever needs fewer terms.
- Drift variability: the closed form with the drift integrated out.
- Starting-point and non-decision-time variability: tanh-sinh quadrature over
  the start and over the decision time, each with its error estimate checked.
  Where both are needed (sz with st0, or sz with sv for the distribution
  function), the average over the start is taken in closed form instead, term
  by term of the small-time series, and only time is integrated numerically;
  the tests check that closed form against quadrature.
- Distribution function: without sv and st0, series in time (the large-time
  series integrated term by term; the small-time one as a sum of first-passage
  distribution functions, after Blurton, Kesselmeier & Gondan 2012);
  otherwise quadrature of the density over the decision time.
- Gradient: the partial derivatives of the closed form under the integrals,
  plus the terms from the limits of the averages that move (Leibniz' rule);
  with both sz and st0, finite differences for v, a and sv.
  `finite_difference_gradient` checks the rest.

Everything is an mpf, whose exponent range is unbounded: a density of
exp(-5000) is as accurate as any other. The closed forms carry DPS digits; the
quadrature cases work with QUAD_DPS digits and are checked to QUAD_RTOL, far
below the 1e-6 the engine is held to there.

Internally the model is reduced to noise 1 (v/s, a/s, sv/s) and to the lower
boundary: the upper boundary is the lower one of the model with -v and 1 - w.
"""
from dataclasses import dataclass

from mpmath import mp, mpf

PARAMETERS = (
    "drift_rate",
    "boundary_separation",
    "starting_point",
    "non_decision_time",
    "drift_rate_sd",
    "starting_point_range",
    "non_decision_time_range",
)
DEFAULTS = {
    "starting_point": 0.5,
    "non_decision_time": 0.0,
    "drift_rate_sd": 0.0,
    "starting_point_range": 0.0,
    "non_decision_time_range": 0.0,
    "noise_sd": 1.0,
}

DPS = 40
QUAD_DPS = 20
QUAD_RTOL = mpf("1e-15")
# An integral nested in another may be off by this much against the peak of
# the integrand (scaled to about 1); a distribution function by this much
# absolutely, since that is how it is judged.
INNER_FLOOR = mpf("1e-19")
CDF_ABSOLUTE = mpf("1e-20")
# Below this scaled time u = t / a^2 the small-time series needs fewer terms;
# at u = 2 / pi both need about five for 40 digits.
SERIES_SWITCH = 2 / mp.pi
MAX_TERMS = 100_000
# The closed-form average over starts uses the small-time series alone, whose
# terms cancel to exp(-pi^2 u / 2) for large u.
MAX_START_AVERAGE_U = 16
NEG_INF = mpf("-inf")


class ReferenceFailure(ArithmeticError):
    """The reference could not reach its own accuracy target."""


@dataclass(frozen=True)
class Model:
    """Noise-1 parameters seen from the lower boundary."""

    v: mpf
    a: mpf
    w: mpf
    t0: mpf
    sv: mpf
    sz: mpf
    st0: mpf


def check(params):
    """Raises ValueError for parameters out of the model's range."""
    p = {**DEFAULTS, **params}
    w, sz = p["starting_point"], p["starting_point_range"]
    valid = (
        mp.isfinite(p["drift_rate"])
        and p["boundary_separation"] > 0
        and 0 < w < 1
        and p["non_decision_time"] >= 0
        and p["drift_rate_sd"] >= 0
        and p["non_decision_time_range"] >= 0
        and p["noise_sd"] > 0
        and 0 <= sz / 2 < min(w, 1 - w)
    )
    if not valid:
        raise ValueError(f"parameters out of range: {p}")


def reduce(choice, params):
    p = {**DEFAULTS, **params}
    s = mpf(p["noise_sd"])
    v, w = mpf(p["drift_rate"]) / s, mpf(p["starting_point"])
    if choice:
        v, w = -v, 1 - w
    return Model(
        v=v,
        a=mpf(p["boundary_separation"]) / s,
        w=w,
        t0=mpf(p["non_decision_time"]),
        sv=mpf(p["drift_rate_sd"]) / s,
        sz=mpf(p["starting_point_range"]),
        st0=mpf(p["non_decision_time_range"]),
    )


# ---------------------------------------------------------------- series ---


def _sum_until_small(term, first, negligible):
    """Sums the tuples term(k), k = first, first + 1, ..., componentwise until
    negligible(k, sums) says the rest of the series no longer matters. Returns
    the sums and the sum of magnitudes of the first component."""
    sums = None
    absolute = mpf(0)
    k = first
    while True:
        values = term(k)
        sums = values if sums is None else tuple(x + y for x, y in zip(sums, values))
        absolute += abs(values[0])
        if k > first and negligible(k, sums):
            return sums, absolute
        k += 1
        if k - first > MAX_TERMS:
            raise ReferenceFailure("series did not converge")


def _below(bound, value):
    return bound <= mp.eps * abs(value) / 16


def _guarded(series):
    """Runs series() (returning its sums and the sum of magnitudes of the
    first) again with more precision when the first sum cancels, so that no
    digits of it are lost; the other sums get the same extra precision."""
    sums, absolute = series()
    lost = 0 if sums[0] == 0 else int(mp.log(absolute / abs(sums[0]), 2))
    if sums[0] != 0 and lost < 8:
        return sums
    with mp.extraprec(max(lost, 64) + 32):
        sums, absolute = series()
        if sums[0] == 0 or absolute / abs(sums[0]) > 2 ** (mp.prec - 64):
            raise ReferenceFailure("series lost its digits to cancellation")
        return tuple(+x for x in sums)


def g_small(u, w):
    """The zero-drift, unit-boundary density g(u, w) from the small-time series
    (2 pi u^3)^(-1/2) sum_k (w + 2k) exp(-(w + 2k)^2 / (2u)), summed k = 0, 1,
    -1, 2, -2, ..., as (log g, d log g / du, d log g / dw). The k = 0
    exponential is factored out, which keeps tiny u exact."""
    def series():
        def term(j):
            k = (j + 1) // 2 if j % 2 else -(j // 2)
            x = w + 2 * k
            e = mp.exp(-(x * x - w * w) / (2 * u))
            return x * e, x * x * x * e / (2 * u * u), (1 - x * x / u) * e

        def negligible(j, sums):
            # Every term still to come has |w + 2k| >= x, and the terms fall
            # with |x| once x^2 > 3u.
            x = 2 * ((j + 1) // 2) - 1
            bound = 4 * x * (1 + x * x / u) ** 2 * mp.exp(-(x * x - 1) / (2 * u))
            return x * x > 3 * u and _below(bound, sums[0])

        return _sum_until_small(term, 0, negligible)

    g, du, dw = _guarded(series)
    log_g = -w * w / (2 * u) + mp.log(g) - (mp.log(2 * mp.pi) + 3 * mp.log(u)) / 2
    return log_g, du / g - 3 / (2 * u), dw / g


def g_large(u, w):
    """g(u, w) from the large-time series pi sum_k k exp(-k^2 pi^2 u / 2)
    sin(k pi w), as (log g, d log g / du, d log g / dw). The k = 1
    exponential is factored out, which keeps huge u exact."""
    def series():
        c = mp.pi**2 * u / 2

        def term(k):
            e = k * mp.exp(-(k * k - 1) * c)
            return e * mp.sin(k * mp.pi * w), -e * k * k * c / u * mp.sin(k * mp.pi * w), e * k * mp.pi * mp.cos(
                k * mp.pi * w
            )

        def negligible(k, sums):
            # k^3 exp(-k^2 c) falls from 2 k^2 c > 3 on.
            bound = 2 * (k + 1) ** 3 * (1 + c / u) * mp.pi * mp.exp(-((k + 1) ** 2 - 1) * c)
            return 2 * k * k * c > 3 and _below(bound, sums[0])

        return _sum_until_small(term, 1, negligible)

    g, du, dw = _guarded(series)
    return mp.log(mp.pi) - mp.pi**2 * u / 2 + mp.log(g), du / g, dw / g


def g_parts(u, w):
    return g_small(u, w) if u < SERIES_SWITCH else g_large(u, w)


def density_parts(t, v, a, w, sv):
    """log f at the lower boundary at decision time t (noise 1), with drift
    variability integrated out in closed form (Blurton et al. 2017):

        f = a^-2 g(t / a^2, w) exp(((a w sv)^2 - 2avw - v^2 t) / (2q)) / sqrt(q),
        q = 1 + sv^2 t,

    followed by its partial derivatives with respect to v, a, w, t and sv."""
    if t <= 0:
        return NEG_INF, None
    # log g holds -(a w)^2 / 2t and n / 2q holds (a w sv)^2 / 2q, which cancel
    # to -(a w)^2 / (2 t q) as sv^2 t grows: carry as many more bits as they
    # have above 1.
    scale = (a * w) ** 2 / (2 * t)
    with mp.extraprec(int(mp.log(scale, 2)) + 16 if scale > 1 else 0):
        u = t / (a * a)
        log_g, dlog_g_du, dlog_g_dw = g_parts(u, w)
        q = 1 + sv * sv * t
        n = (a * w * sv) ** 2 - 2 * a * v * w - v * v * t
        log_f = -2 * mp.log(a) + log_g + n / (2 * q) - mp.log(q) / 2
        partials = (
            -(a * w + v * t) / q,
            -2 / a - 2 * u / a * dlog_g_du + (a * w * w * sv * sv - v * w) / q,
            dlog_g_dw + (a * a * w * sv * sv - a * v) / q,
            dlog_g_du / (a * a) - v * v / (2 * q) - n * sv * sv / (2 * q * q) - sv * sv / (2 * q),
            a * a * w * w * sv / q - n * t * sv / (q * q) - t * sv / q,
        )
        return +log_f, tuple(+x for x in partials)


def log_density_fixed(t, v, a, w, sv):
    return density_parts(t, v, a, w, sv)[0]


def probability_lower(v, a, w):
    """P(absorption at the lower boundary) = P+(-v, a, 1 - w)."""
    if v == 0:
        return 1 - w
    return mp.expm1(2 * v * a * (1 - w)) / mp.expm1(2 * v * a)


def _first_passage_cdf(t, y, m):
    """P(T <= t) for the first passage of Brownian motion with drift m through
    the level y > 0 (defective when m < 0)."""
    r = mp.sqrt(t)
    return mp.ncdf((m * t - y) / r) + mp.exp(2 * m * y) * mp.ncdf(-(m * t + y) / r)


def cdf_fixed_small(t, v, a, w):
    """F at the lower boundary from the small-time density integrated term by
    term: the term k is exp(2kva) times the density of the first passage of
    Brownian motion through the level |a (w + 2k)|, with drift -v for k >= 0
    and v (and a minus sign) for k < 0. Summed k = 0, -1, 1, -2, 2, ..."""
    def series():
        def term(j):
            if j % 2 == 0:
                k = j // 2
                return (mp.exp(2 * k * v * a) * _first_passage_cdf(t, a * (w + 2 * k), -v),)
            k = (j + 1) // 2
            return (-mp.exp(-2 * k * v * a) * _first_passage_cdf(t, a * (2 * k - w), v),)

        last = []

        def negligible(j, sums):
            # Once the levels lie well beyond what the drift covers by t, the
            # Gaussian tail of each term outweighs its factor exp(+-2kva)
            # (the exponents combine to -2 k^2 a^2 / t - v^2 t / 2): the
            # terms fall faster than geometrically.
            last.append(sums[0])
            level = a * (2 * ((j + 1) // 2) - 1)
            step = abs(last[-1] - last[-2]) if len(last) > 1 else mpf("inf")
            return level > abs(v) * t + 8 * mp.sqrt(t) and _below(4 * step, sums[0])

        return _sum_until_small(term, 0, negligible)

    return _guarded(series)[0]


def cdf_fixed_large(t, v, a, w):
    """F at the lower boundary from the large-time series integrated from t to
    infinity: F = P- - 2 pi exp(-vaw - v^2 t / 2) sum_k k sin(k pi w)
    exp(-k^2 pi^2 u / 2) / (k^2 pi^2 + v^2 a^2), u = t / a^2."""
    def series():
        # All of it runs again at the raised precision when the difference cancels.
        c = mp.pi**2 * t / (2 * a * a)
        scale = 2 * mp.pi * mp.exp(-v * a * w - v * v * t / 2)
        p = probability_lower(v, a, w)

        def term(k):
            return (k * mp.sin(k * mp.pi * w) * mp.exp(-k * k * c) / (k * k * mp.pi**2 + (v * a) ** 2),)

        def negligible(k, sums):
            bound = 2 * mp.exp(-((k + 1) ** 2) * c) / (k + 1)
            return 2 * k * k * c > 1 and _below(scale * bound, p - scale * sums[0])

        (tail,), absolute = _sum_until_small(term, 1, negligible)
        return (p - scale * tail,), p + scale * absolute

    return _guarded(series)[0]


def cdf_fixed(t, v, a, w):
    """P(lower boundary and decision time <= t) without across-trial variability."""
    if t <= 0:
        return mpf(0)
    if t / (a * a) < SERIES_SWITCH:
        return cdf_fixed_small(t, v, a, w)
    return cdf_fixed_large(t, v, a, w)


def start_average(s, v, a, lo, hi, sv):
    """log of the density at decision time s averaged over starts w ~ U(lo, hi),
    in closed form: with the exponent of f quadratic in w, each term
    (w + 2k) exp(-(w + 2k)^2 / 2u + ...) of the small-time series integrates to
    Gaussian integrals. Used where an integral over time must follow; checked
    against quadrature over the start."""
    if s <= 0:
        return NEG_INF
    u = s / (a * a)
    if u > MAX_START_AVERAGE_U:
        raise ReferenceFailure("the small-time series cancels too much beyond u = 16; take shorter times")

    def series():
        # Everything derived from the arguments is computed here, so that a
        # rerun at higher precision sums the terms of one and the same function.
        u = s / (a * a)
        q = 1 + sv * sv * s
        sigma2 = s * q / (a * a)  # the terms are Gaussian in w with this variance
        sigma = mp.sqrt(sigma2)

        def exponent(k, w):
            return -((w + 2 * k) ** 2) / (2 * u) + ((a * w * sv) ** 2 - 2 * a * v * w - v * v * s) / (2 * q)

        def term(j):
            k = (j + 1) // 2 if j % 2 else -(j // 2)
            mu = -2 * k * q - v * s / a
            z1, z2 = (lo - mu) / sigma, (hi - mu) / sigma
            mass = mp.ncdf(z2) - mp.ncdf(z1) if z1 < 0 else mp.ncdf(-z1) - mp.ncdf(-z2)
            linear = sigma2 * (mp.exp(exponent(k, lo)) - mp.exp(exponent(k, hi)))
            constant = (mu + 2 * k) * sigma * mp.sqrt(2 * mp.pi) * mp.exp(exponent(k, mu)) * mass
            return (linear + constant,)

        def negligible(j, sums):
            x = 2 * ((j + 1) // 2) - 1
            bound = 4 * (x + 2) * mp.exp(-(x * x - 1) / (2 * u) + abs(v * a) + (a * sv) ** 2 / 2)
            return x * x > 3 * u and _below(bound, sums[0])

        return _sum_until_small(term, 0, negligible)

    # The two parts of a term may cancel, and so do the ends of a range much
    # shorter than the spread of a term.
    spread = mp.sqrt(s * (1 + sv * sv * s)) / a
    narrow = int(max(0, mp.log(max(spread, 1) / (hi - lo), 2)))
    with mp.extraprec(64 + narrow):
        (total,) = _guarded(series)
    q = 1 + sv * sv * s
    log_prefactor = -2 * mp.log(a) - (mp.log(2 * mp.pi) + 3 * mp.log(u) + mp.log(q)) / 2
    return log_prefactor + mp.log(total) - mp.log(hi - lo)


# ------------------------------------------------------------ quadrature ---


def vector_quad(fn, points, size):
    """Integrates the `size`-tuple fn(x) over the pieces between `points`, one
    tanh-sinh quadrature per component on shared evaluations. Returns the
    integrals and their error estimates. The quadrature controls absolute
    errors, so it works on the mean value over the range, near the size of
    fn, however short the range is."""
    cache = {}
    length = points[-1] - points[0]

    def at(x):
        if x not in cache:
            cache[x] = fn(x)
        return cache[x]

    results = [mp.quad(lambda x: at(x)[i] / length, points, error=True) for i in range(size)]
    return [r[0] * length for r in results], [r[1] * length for r in results]


def _checked(values, errors, floor=0):
    """Accepts integrals whose first component (the density) is accurate to
    QUAD_RTOL relative and whose others are accurate to QUAD_RTOL relative to
    the first (they are divided by it to make log-derivatives). An inner
    integral, part of an outer one near 1, may instead be accurate to `floor`."""
    scale = abs(values[0])
    for value, error in zip(values, errors):
        if not error <= QUAD_RTOL * (scale + abs(value)) + floor:
            raise ReferenceFailure(f"quadrature error {mp.nstr(error, 3)} on {mp.nstr(value, 5)}")
    return values


def time_points(lo, hi, a, w):
    """Pieces for an integral over decision times in [lo, hi]: one piece when
    it is short, else a geometric grid from well before the first passages
    begin, so that no piece holds a narrow peak far from its ends."""
    if lo > 0 and hi <= 16 * lo:
        return [lo, hi]
    start = (a * w) ** 2 / 400
    return [lo] + [start * 16**k for k in range(40) if lo < start * 16**k < hi] + [hi]


class _Integrand:
    """The density of the reduced model at decision time t with the averages
    over the start and the non-decision time still to take, scaled by
    exp(-scale) so that the quadrature, which controls absolute errors, works
    on numbers near 1. With `partials`, each value comes with the value times
    d log f / d(v, a, w, t, sv)."""

    def __init__(self, m, t, scale, partials):
        self.m, self.t, self.scale = m, t, scale
        self.size = 6 if partials else 1
        # Integrals over time nested in one over the start need only be
        # accurate against the peak of the integrand, which is near 1.
        self.floor = INNER_FLOOR if m.sz > 0 else 0

    def point(self, s, w):
        m = self.m
        if self.size == 1:
            return (mp.exp(log_density_fixed(s, m.v, m.a, w, m.sv) - self.scale),)
        log_f, partials = density_parts(s, m.v, m.a, w, m.sv)
        if log_f == NEG_INF:
            return (mpf(0),) * 6
        f = mp.exp(log_f - self.scale)
        return (f,) + tuple(f * d for d in partials)

    def window(self, w):
        """The point values averaged over decision times t - tau, tau ~ U(0, st0)."""
        m, t = self.m, self.t
        if m.st0 == 0:
            return self.point(t, w)
        lo = max(mpf(0), t - m.st0)
        values, errors = vector_quad(lambda s: self.point(s, w), time_points(lo, t, m.a, w), self.size)
        return tuple(x / _window_length(m, t) for x in _checked(values, errors, self.floor))

    def average(self, fn, size):
        """fn(w) averaged over the starts w ~ U(w - sz/2, w + sz/2)."""
        m = self.m
        if m.sz == 0:
            return fn(m.w)
        lo, hi = m.w - m.sz / 2, m.w + m.sz / 2
        values, errors = vector_quad(fn, [lo, (lo + hi) / 2, hi], size)
        # Dividing by hi - lo rather than sz keeps a short range exact: its
        # ends are rounded.
        return tuple(x / (hi - lo) for x in _checked(values, errors))


def _window_length(m, t):
    """st0, or the rounded t - (t - st0) when the window lies beyond 0: the
    integral runs between the rounded ends."""
    lo = t - m.st0
    return t - lo if lo > 0 else m.st0


def _scale(m, times):
    """A rough log-size of the peak of the density over the starts and the
    given decision times."""
    starts = [m.w] if m.sz == 0 else [m.w + m.sz / 2 * f for f in (-0.9, 0, 0.9)]
    return max(log_density_fixed(s, m.v, m.a, w, m.sv) for w in starts for s in times)


def _window_times(m, t):
    return [t] if m.st0 == 0 else [t - m.st0 * f for f in (0, 0.1, 0.5, 0.9) if t - m.st0 * f > 0]


def _log_density(m, t):
    """log f of the reduced model at decision time t = rt - t0."""
    if t <= 0:
        return NEG_INF
    if m.sz > 0 and m.st0 > 0 and t / m.a**2 <= MAX_START_AVERAGE_U:
        # Quadrature over the start inside quadrature over time would be
        # slow; the start average is in closed form. (Beyond its reach, fall
        # through to the nested quadrature.)
        lo = max(mpf(0), t - m.st0)
        return _log_time_integral(m, lo, t, lambda s: 1) - mp.log(_window_length(m, t))
    scale = _scale(m, _window_times(m, t))
    integrand = _Integrand(m, t, scale, partials=False)
    return scale + mp.log(integrand.average(integrand.window, 1)[0])


def _log_density_and_partials(m, t):
    """log f of the reduced model at decision time t = rt - t0 (not both sz
    and st0 > 0) and its partial derivatives with respect to the reduced
    (v, a, w, t0, sv, sz, st0)."""
    scale = _scale(m, _window_times(m, t))
    integrand = _Integrand(m, t, scale, partials=True)
    f, dv, da, dw, dt, dsv = integrand.average(integrand.window, 6)
    if m.st0 > 0:
        # The window [t - st0, t] of decision times moves with t0 and st0;
        # sz is 0 here.
        lo = t - m.st0
        at_top = integrand.point(t, m.w)[0]
        at_bottom = integrand.point(lo, m.w)[0] if lo > 0 else mpf(0)
        dt = (at_top - at_bottom) / m.st0
        dst0 = -f / m.st0 + at_bottom / m.st0
    else:
        dst0 = -dt / 2  # the limit st0 -> 0: the window's centre moves at half speed
    if m.sz > 0:
        # The range of starts [w - sz/2, w + sz/2] moves with w and sz; st0
        # is 0 here.
        top, bottom = integrand.point(t, m.w + m.sz / 2)[0], integrand.point(t, m.w - m.sz / 2)[0]
        dw = (top - bottom) / m.sz
        dsz = -f / m.sz + (top + bottom) / (2 * m.sz)
    else:
        dsz = mpf(0)  # f is even in sz
    partials = (dv / f, da / f, dw / f, -dt / f, dsv / f, dsz / f, dst0 / f)
    return scale + mp.log(f), partials


def _moving_limit_partials(m, t, log_f):
    """With both sz and st0, the partial derivatives of log f with respect to
    the reduced w, t0, sz and st0, which move the limits of the two averages:
    f = 1/st0 int_[t - st0, t] h(s) ds with h the start average, and
    f = 1/sz int_[w - sz/2, w + sz/2] k(w') dw' with k the window average."""
    scale = _scale(m, _window_times(m, t))
    f = mp.exp(log_f - scale)
    integrand = _Integrand(m, t, scale, partials=False)
    top, bottom = integrand.window(m.w + m.sz / 2)[0], integrand.window(m.w - m.sz / 2)[0]
    w_lo, w_hi = m.w - m.sz / 2, m.w + m.sz / 2

    def h(s):
        return mp.exp(start_average(s, m.v, m.a, w_lo, w_hi, m.sv) - scale) if s > 0 else mpf(0)

    lo = t - m.st0
    dt = (h(t) - h(lo)) / m.st0
    return (
        (top - bottom) / (m.sz * f),
        -dt / f,
        -1 / m.sz + (top + bottom) / (2 * m.sz * f),
        -1 / m.st0 + h(lo) / (m.st0 * f),
    )


def _log_time_integral(m, lo, hi, kernel, absolute=0):
    """log of the integral over decision times s in [lo, hi] of kernel(s)
    times the density averaged over the starts (closed form in the start).
    The integral is accurate to QUAD_RTOL relative, or to `absolute`."""
    w_lo, w_hi = m.w - m.sz / 2, m.w + m.sz / 2

    def log_h(s):
        if m.sz == 0:
            return log_density_fixed(s, m.v, m.a, m.w, m.sv)
        return start_average(s, m.v, m.a, w_lo, w_hi, m.sv)

    points = time_points(lo, hi, m.a, w_lo)
    if lo < hi - m.st0 < hi:
        points = sorted(set(points) | {hi - m.st0})
    scale = max(log_h(s) for s in points[1:])
    values, errors = vector_quad(lambda s: (mp.exp(log_h(s) - scale) * kernel(s),), points, 1)
    return scale + mp.log(_checked(values, errors, absolute * mp.exp(-scale))[0])


def _log_cdf(m, t):
    """log F of the reduced model at decision time t."""
    if t <= 0:
        return NEG_INF
    if m.sv == 0 and m.st0 == 0:
        starts = [m.w] if m.sz == 0 else [m.w + m.sz / 2 * f for f in (-0.9, 0, 0.9)]
        scale = max(mp.log(cdf_fixed(t, m.v, m.a, w)) for w in starts)
        integrand = _Integrand(m, t, scale, partials=False)
        average = integrand.average(lambda w: (mp.exp(mp.log(cdf_fixed(t, m.v, m.a, w)) - scale),), 1)
        return scale + mp.log(average[0])
    # The average over tau ~ U(0, st0) of F(t - tau) is the integral of
    # min(t - s, st0) / st0 f(s) over s in [0, t].
    # F is held to an absolute error; where it is far below that, as in the
    # first microseconds of the non-decision window, its relative accuracy
    # may be less.
    if m.st0 == 0:
        return _log_time_integral(m, mpf(0), t, lambda s: 1, CDF_ABSOLUTE)
    return _log_time_integral(m, mpf(0), t, lambda s: min(t - s, m.st0) / m.st0, CDF_ABSOLUTE)


# ---------------------------------------------------------------- public ---


def _precision(m, closed_form):
    return DPS if closed_form else QUAD_DPS


def log_density(choice, rt, **params):
    """log f(rt, choice) as an mpf; -inf at or below the smallest non-decision time."""
    check(params)
    m = reduce(choice, params)
    with mp.workdps(_precision(m, m.sz == 0 and m.st0 == 0)):
        m = reduce(choice, params)
        return +_log_density(m, mpf(rt) - m.t0)


def log_density_gradient(choice, rt, **params):
    """log f(rt, choice) and a dict of its partial derivatives by parameter
    name (None where log f is -inf): exact expressions, except for v, a and sv
    with both sz and st0, which are finite differences."""
    check(params)
    p = {**DEFAULTS, **params}
    m = reduce(choice, params)
    with mp.workdps(_precision(m, m.sz == 0 and m.st0 == 0)):
        m = reduce(choice, params)
        t = mpf(rt) - m.t0
        if t <= 0:
            return NEG_INF, None
        s, sign = mpf(p["noise_sd"]), (-1 if choice else 1)
        if m.sz > 0 and m.st0 > 0:
            log_f = _log_density(m, t)
            dw, dt0, dsz, dst0 = _moving_limit_partials(m, t, log_f)
            gradient = finite_difference_gradient(choice, rt, names=FINITE_DIFFERENCE_NAMES, **params)
            gradient.update(starting_point=sign * dw, non_decision_time=dt0)
            gradient.update(starting_point_range=dsz, non_decision_time_range=dst0)
            return +log_f, {k: +gradient[k] for k in PARAMETERS}
        log_f, partials = _log_density_and_partials(m, t)
        dv, da, dw, dt0, dsv, dsz, dst0 = partials
        gradient = dict(zip(PARAMETERS, (sign * dv / s, da / s, sign * dw, dt0, dsv / s, dsz, dst0)))
        return +log_f, {k: +x for k, x in gradient.items()}


def distribution(choice, rt, **params):
    """P(response = choice and RT <= rt) as an mpf."""
    check(params)
    m = reduce(choice, params)
    with mp.workdps(_precision(m, m.sv == 0 and m.sz == 0 and m.st0 == 0)):
        m = reduce(choice, params)
        return +mp.exp(_log_cdf(m, mpf(rt) - m.t0))


def probability(choice, **params):
    """P(response = choice), the distribution function at rt = inf; sv and sz
    are averaged by quadrature."""
    check(params)
    with mp.workdps(QUAD_DPS):
        m = reduce(choice, params)

        def at(w):
            if m.sv == 0:
                return probability_lower(m.v, m.a, w)
            return mp.quad(lambda z: mp.npdf(z) * probability_lower(m.v + m.sv * z, m.a, w), [-mp.inf, 0, mp.inf])

        if m.sz == 0:
            return at(m.w)
        return mp.quad(at, [m.w - m.sz / 2, m.w + m.sz / 2]) / m.sz


# Where the start average is in closed form, the derivatives under the
# integrals are not; these come from differences there.
FINITE_DIFFERENCE_NAMES = ("drift_rate", "boundary_separation", "drift_rate_sd")
# Parameters whose range ends at 0: differences there look only upwards.
ONE_SIDED = ("non_decision_time", "drift_rate_sd", "starting_point_range", "non_decision_time_range")


def finite_difference_gradient(choice, rt, relative_step=mpf("1e-4"), names=PARAMETERS, **params):
    """The gradient by fourth-order differences of log_density, one-sided at
    the end of a range; the reference where sz and st0 are both
    positive, and elsewhere a check of the exact expressions."""
    p = {**DEFAULTS, **params}
    scales = _step_scales(p, rt)
    gradient = {}
    with mp.workdps(DPS):
        for name in names:
            x, h = mpf(p[name]), relative_step * scales[name]

            def at(offset):
                return log_density(choice, rt, **{**p, name: x + offset * h})

            if x == 0 and name in ONE_SIDED:
                value = (-25 * at(0) + 48 * at(1) - 36 * at(2) + 16 * at(3) - 3 * at(4)) / (12 * h)
            else:
                value = (at(-2) - 8 * at(-1) + 8 * at(1) - at(2)) / (12 * h)
            gradient[name] = value
    return gradient


def _step_scales(p, rt):
    """How far each parameter may move before log f changes its character:
    the distance to the edge of its valid range, or the scale on which the
    density varies. Near t = 0 that is short: log f ~ -(a w)^2 / 2t there, so
    its derivatives in t grow like (a w)^2 / 2t^2 and in w like a^2 w / t,
    and averages over t or w (st0, sz) need steps below their inverses."""
    s = mpf(p["noise_sd"])
    a, w, sz = mpf(p["boundary_separation"]) / s, p["starting_point"], p["starting_point_range"]
    v = p["drift_rate"] / s
    t = rt - p["non_decision_time"]
    st0 = p["non_decision_time_range"]
    distance = a * max(w, 1 - w)
    earliest = t - st0 if t - st0 > 0 else t  # the density at both ends of the window counts
    in_time = 1 / (distance**2 / (2 * earliest**2) + 3 / (2 * earliest) + v * v / 2)
    in_start = min(mp.sqrt(t) / a, t / (a * distance))
    decision = min(t, st0, in_time) if st0 > 0 else min(t, in_time)
    start = min(min(w, 1 - w) - sz / 2, in_start)
    return {
        "drift_rate": s / (1 + a + abs(v) * t),
        "boundary_separation": a * s,
        "starting_point": start,
        "non_decision_time": decision,
        "drift_rate_sd": s / (1 + a + t),
        "starting_point_range": min(start, sz) if sz > 0 else start,
        "non_decision_time_range": decision,
    }
