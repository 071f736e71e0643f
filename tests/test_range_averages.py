"""The density averaged over the starting-point and non-decision-time ranges:
its two routes (tables in time for parameter sets many trials share, direct
quadrature otherwise) against each other and against brute force, the
log-density beside its gradient, results independent of the thread count and
of the other trials of a call, extreme scales, and the rules underneath."""
import math

import numpy as np
import pytest
from scipy.special import erfc

import _ventrola_testing as vt
import ventrola
from ventrola import wiener_cdf, wiener_logpdf, wiener_logpdf_grad
from ventrola.parameters import LARGEST_IN_NOISE_UNITS as LARGEST

NAMES = ("drift_rate", "boundary_separation", "starting_point", "non_decision_time", "drift_rate_sd",
         "starting_point_range", "non_decision_time_range", "noise_sd")
SHARED = 16  # from this many trials sharing a parameter set, its averages are tabulated


def random_models(rng, count):
    """(upper, rt, params) over a wide space: drifts to +-12, boundaries from 0.3
    to 5, starts anywhere, ranges up to nearly all the room, windows up to 0.5 s,
    decision times from 3 ms to 8 s and inside the window."""
    models = []
    for _ in range(count):
        w = rng.uniform(0.02, 0.98)
        room = 2 * min(w, 1 - w)
        st0 = rng.choice([0.0, rng.uniform(0, 0.5)])
        params = (rng.uniform(-12, 12), math.exp(rng.uniform(math.log(0.3), math.log(5))), w, 0.2,
                  rng.choice([0.0, rng.uniform(0, 3)]), room * rng.choice([0.0, rng.uniform(0, 0.999)]), st0, 1.0)
        if params[5] == 0 and st0 == 0:
            params = params[:5] + (0.5 * room,) + params[6:]
        decision = st0 * rng.uniform(0, 1) if rng.random() < 0.15 else st0 + math.exp(rng.uniform(math.log(0.003), 2))
        models.append((bool(rng.random() < 0.5), 0.2 + max(decision, 1e-3), params))
    return models


def tabulated(function, upper, rt, params, **extra):
    """The function at one trial, called among SHARED trials of the same
    parameters, so that it takes the tables."""
    keywords = dict(zip(NAMES, params), **extra)
    rts = np.full(SHARED, rt)
    out = function(np.full(SHARED, upper), rts, **keywords)
    if isinstance(out, tuple):
        return out[0][0], {name: g[0] for name, g in out[1].items()}
    return out[0]


def direct(function, upper, rt, params):
    out = function(upper, rt, **dict(zip(NAMES, params)))
    if isinstance(out, tuple):
        return float(out[0]), {name: float(g) for name, g in out[1].items()}
    return float(out)


def scale(log_f):
    return max(1.0, abs(log_f))


# ------------------------------------------------------------ two routes ---


def test_the_log_density_and_the_gradient_give_one_log_density():
    """Across a wide random space, on either route: the gradient's log-density
    is the log-density to within the latter's accuracy (1e-9), far inside the
    contract, and both are -inf or finite together."""
    rng = np.random.default_rng(2)
    worst = 0.0
    for upper, rt, params in random_models(rng, 300):
        for route in (direct, tabulated):
            log_f = route(wiener_logpdf, upper, rt, params)
            gradient_log_f, _ = route(wiener_logpdf_grad, upper, rt, params)
            assert math.isfinite(log_f) == math.isfinite(gradient_log_f), (upper, rt, params)
            if math.isfinite(log_f):
                worst = max(worst, abs(log_f - gradient_log_f) / scale(log_f))
    assert worst <= 1e-8


def test_tabulated_and_direct_averages_agree():
    rng = np.random.default_rng(5)
    for upper, rt, params in random_models(rng, 120):
        log_f = direct(wiener_logpdf, upper, rt, params)
        assert tabulated(wiener_logpdf, upper, rt, params) == pytest.approx(log_f, abs=1e-8 * scale(log_f))
        _, expected = direct(wiener_logpdf_grad, upper, rt, params)
        _, got = tabulated(wiener_logpdf_grad, upper, rt, params)
        for name in expected:
            assert got[name] == pytest.approx(expected[name], rel=1e-6, abs=1e-8), (name, upper, rt, params)


@pytest.mark.parametrize("boundary", [1e4, 1e8, 1e28])
def test_a_boundary_no_response_could_reach_gives_one_answer_on_both_routes(boundary):
    """Where a sampler's first steps land: a boundary so wide that log f is
    -1e5 to -1e55, with a non-decision range far wider than the responses.
    The tables' rules once halved their pieces without end there (a call of
    twenty trials at a = 1e8 ran for minutes); they now give way to the
    direct route, and both agree."""
    params = (1.0, boundary, 0.5, 0.3, 0.65, 0.34, 24.7, 1.0)
    for upper, rt in ((True, 0.35), (False, 1.2), (True, 3.6)):
        log_f, expected = direct(wiener_logpdf_grad, upper, rt, params)
        assert log_f < -1e5
        got_log_f, got = tabulated(wiener_logpdf_grad, upper, rt, params)
        assert got_log_f == pytest.approx(log_f, rel=1e-9)
        assert tabulated(wiener_logpdf, upper, rt, params) == pytest.approx(log_f, rel=1e-9)
        for name in expected:
            assert got[name] == pytest.approx(expected[name], rel=1e-6, abs=1e-8), name


# The first trial of each row, its parameters and a spread of response times
# around it: a narrow window, one reaching below t0, a window far wider than
# the decision time, a wide start range next to a boundary.
BRUTE_FORCE = [
    (True, (1.0, 1.5, 0.4, 0.3, 1.0, 0.3, 0.2, 1.0)),
    (False, (-2.0, 2.5, 0.3, 0.2, 0.0, 0.55, 0.05, 1.0)),
    (True, (3.0, 1.0, 0.5, 0.1, 2.0, 0.6, 0.8, 1.0)),
    (False, (0.5, 1.2, 0.1, 0.25, 0.5, 0.1998, 0.1, 1.0)),
]


@pytest.mark.parametrize("upper, params", BRUTE_FORCE)
def test_the_tables_match_brute_force_over_a_day_of_response_times(upper, params):
    """The tables serve every response time of a parameter set, from the first
    milliseconds past t0 to the far tail: each value against a dense
    composite rule over the window of the engine's start-averaged density
    (the window's average at st0 = 0, a function of one time)."""
    v, a, w, t0, sv, sz, st0, s = params
    rts = t0 + np.array([0.002, 0.01, 0.03, 0.1, 0.3, 1.0, 3.0, 10.0]) + st0 * 0.5
    got = wiener_logpdf(upper, rts, *params)
    nodes, weights = np.polynomial.legendre.leggauss(20)
    # The density from the nearest start is below exp(-800) of its peak before this.
    nearest = a / s * ((1 - w) if upper else w) - a / s * sz / 2
    negligible = nearest * nearest / 2 / 800
    for rt, log_f in zip(rts, got):
        longest, shortest = rt - t0, max(rt - t0 - st0, 0.0)
        # Panels in log-time from the window's start, or from where the density
        # is negligible, up to longest.
        start = max(shortest, negligible)
        edges = np.linspace(math.log(start), math.log(longest), 61)
        logs = []
        for left, right in zip(edges[:-1], edges[1:]):
            half = (right - left) / 2
            x = np.exp((left + right) / 2 + half * nodes)
            at = np.array([vt.wiener_log_density(upper, t0 + xi, v, a, w, t0, sv, sz, 0.0, s) for xi in x])
            logs.extend(np.log(weights * half * x) + at)
        expected = np.logaddexp.reduce(logs) - math.log(st0)
        assert log_f == pytest.approx(expected, abs=1e-8 * scale(expected)), (rt, log_f, expected)


# Sets whose windows cross the tables' cells everywhere: the hierarchical
# example's, a wide start range off-centre, a window of 2 ms, a wide window
# without a start range; and start ranges of 1e-4 and 1e-9, whose partials'
# rounding once made the tables halve their cells down to the finest.
SWEPT = [
    (1.3, 1.4, 0.5, 0.3, 0.8, 0.3, 0.15, 1.0),
    (-0.7, 2.2, 0.35, 0.25, 1.5, 0.6, 0.4, 1.0),
    (2.5, 0.9, 0.6, 0.2, 0.0, 0.7, 0.002, 1.0),
    (0.4, 1.8, 0.5, 0.35, 2.5, 0.0, 0.9, 1.0),
    (1.3, 1.4, 0.5, 0.3, 0.8, 1e-4, 0.15, 1.0),
    (1.3, 1.4, 0.5, 0.3, 0.8, 1e-9, 0.15, 1.0),
]


@pytest.mark.parametrize("params", SWEPT)
def test_every_window_of_a_shared_set_matches_the_direct_route(params):
    """One call of many response times (the tables, most windows integrated
    from the cells' antiderivatives) against each trial alone (direct
    quadrature), from 1 ms past t0 to 6 s past the window: log-densities
    within 1e-9, partials within 1e-7 of their size."""
    keywords = dict(zip(NAMES, params))
    t0, st0 = params[3], params[6]
    rts = t0 + np.exp(np.linspace(math.log(1e-3), math.log(st0 + 6), 151))
    for upper in (True, False):
        choices = np.full(rts.size, upper)
        log_f = wiener_logpdf(choices, rts, **keywords)
        gradient_log_f, partials = wiener_logpdf_grad(choices, rts, **keywords)
        for i, rt in enumerate(rts):
            expected, expected_partials = direct(wiener_logpdf_grad, upper, rt, params)
            assert np.isfinite(expected)
            assert log_f[i] == pytest.approx(expected, abs=1e-9 * scale(expected)), (upper, rt)
            assert gradient_log_f[i] == pytest.approx(expected, abs=1e-9 * scale(expected)), (upper, rt)
            for name, value in expected_partials.items():
                assert partials[name][i] == pytest.approx(value, abs=1e-7 * max(abs(value), 1e-2)), (name, upper, rt)


# ------------------------------------------------------------ threads ---

DIGEST = """
import hashlib
import numpy as np
import ventrola
rng = np.random.default_rng(3)
n = 6000
rts = 0.2 + rng.lognormal(-1.0, 0.8, n)
choices = rng.random(n) < 0.6
# Two conditions in turn sharing their sets (tables), and every trial with a
# set of its own (direct), with starting-point and non-decision-time ranges.
drift = np.where(np.arange(n) % 2 == 0, 1.0, -0.5)
own = rng.uniform(0.5, 2.0, n)
digest = hashlib.sha256()
for d in (drift, own):
    log_f, gradients = ventrola.wiener_logpdf_grad(choices, rts, d, 1.5, 0.45, 0.15, drift_rate_sd=0.8,
                                                   starting_point_range=0.3, non_decision_time_range=0.1)
    digest.update(log_f.tobytes())
    digest.update(ventrola.wiener_logpdf(choices, rts, d, 1.5, 0.45, 0.15, drift_rate_sd=0.8,
                                         starting_point_range=0.3, non_decision_time_range=0.1).tobytes())
    for g in gradients.values():
        digest.update(g.tobytes())
print(digest.hexdigest())
"""


def test_results_do_not_depend_on_the_thread_count_with_tables_or_without(python_subprocess):
    digests = {python_subprocess(DIGEST, {"RAYON_NUM_THREADS": threads}).strip() for threads in ("1", "2", "3")}
    assert len(digests) == 1


def test_a_trial_s_value_does_not_depend_on_the_other_trials_of_its_set():
    """Tables are built as trials first need them; a trial's result is the
    same whichever trials of its set came first."""
    rng = np.random.default_rng(8)
    rts = 0.3 + rng.lognormal(-1.0, 1.0, 200)
    choices = rng.random(200) < 0.5
    p = dict(drift_rate=0.8, boundary_separation=1.2, starting_point=0.4, non_decision_time=0.3, drift_rate_sd=1.0,
             starting_point_range=0.3, non_decision_time_range=0.25)
    forward = wiener_logpdf(choices, rts, **p)
    order = rng.permutation(200)
    shuffled = wiener_logpdf(choices[order], rts[order], **p)
    assert np.array_equal(forward[order], shuffled)
    part = wiener_logpdf(choices[::3], rts[::3], **p)  # still shared, fewer cells built
    assert np.array_equal(forward[::3], part)


@pytest.mark.parametrize("params", SWEPT[:4])
def test_windows_that_start_just_past_zero_match_the_direct_route(params):
    """Windows whose shortest decision time lies from 1e-9 s to 5 ms past zero:
    their low end sits deep in the leading edge, where the tables leave cells
    out of sight unbuilt and take the density at that end as 0. The partials
    in t0 and st0, which the end's density enters, agree with the direct
    route's."""
    keywords = dict(zip(NAMES, params))
    t0, st0 = params[3], params[6]
    rts = t0 + st0 + np.array([1e-9, 1e-7, 1e-5, 1e-4, 1e-3, 5e-3] * 3)
    for upper in (True, False):
        # With trials elsewhere in the set, as in a fit: the tables hold the body.
        body = t0 + st0 + np.exp(np.linspace(math.log(0.05), math.log(3.0), 40))
        all_rts = np.concatenate([body, rts])
        log_f, partials = wiener_logpdf_grad(np.full(all_rts.size, upper), all_rts, **keywords)
        for i in range(body.size, all_rts.size):
            expected, expected_partials = direct(wiener_logpdf_grad, upper, all_rts[i], params)
            assert log_f[i] == pytest.approx(expected, abs=1e-9 * scale(expected)), (upper, all_rts[i])
            for name, value in expected_partials.items():
                assert partials[name][i] == pytest.approx(value, abs=1e-7 * max(abs(value), 1e-2)), (name, all_rts[i])


def test_sets_in_any_order_give_each_trial_its_own_set_s_result():
    """Trials of three sets shuffled together (each set's trials taken
    together, out of call order, the largest in pieces over the threads) give
    what each set gives in a call of its own, bit for bit, at the trial's own
    place."""
    rng = np.random.default_rng(9)
    sets = [(0.8, 1.2, 0.4, 0.3), (-1.1, 1.6, 0.55, 0.25), (2.0, 0.9, 0.5, 0.2)]
    which = rng.permutation(np.repeat(np.arange(3), [40, 25, 4500]))
    rts = 0.35 + rng.lognormal(-1.0, 0.9, which.size)
    choices = rng.random(which.size) < 0.5
    columns = np.array(sets)[which].T
    ranges = dict(drift_rate_sd=0.7, starting_point_range=0.2, non_decision_time_range=0.15)
    log_f, partials = wiener_logpdf_grad(choices, rts, *columns, **ranges)
    for k, params in enumerate(sets):
        mine = which == k
        own_log_f, own_partials = wiener_logpdf_grad(choices[mine], rts[mine], *params, **ranges)
        assert np.array_equal(log_f[mine], own_log_f)
        assert np.array_equal(wiener_logpdf(choices, rts, *columns, **ranges)[mine],
                              wiener_logpdf(choices[mine], rts[mine], *params, **ranges))
        for name, partial in own_partials.items():
            assert np.array_equal(partials[name][mine], partial), name


# ------------------------------------------------------------ scales ---


EXTREMES = [1e-300, 1e-100, 1e-10, 1.0, 1e10, 1e100, 1e300]


@pytest.mark.parametrize("ranges", [{}, dict(starting_point_range=0.3), dict(non_decision_time_range=0.2),
                                    dict(starting_point_range=0.3, non_decision_time_range=0.2)])
def test_every_valid_parameter_set_gives_a_number(ranges):
    """Huge or tiny noise, boundary and drift variability, each alone: a
    finite log-density or -inf, a distribution function in [0, 1] that does
    not pass its value at infinity, finite partials wherever the log-density
    is finite. (Drift variability or a boundary of 1e155 used to give NaN.)
    Beyond 1e100 units of the noise the parameters are refused instead."""
    rts = np.array([0.201, 0.25, 0.7, 3.0])
    for key in ("noise_sd", "boundary_separation", "drift_rate_sd", "drift_rate"):
        for value in EXTREMES:
            p = dict(drift_rate=0.5, boundary_separation=1.0, starting_point=0.5, non_decision_time=0.2, **ranges)
            p[key] = value
            s = p.get("noise_sd", 1.0)
            if max(abs(p["drift_rate"]), p["boundary_separation"], p.get("drift_rate_sd", 0.0)) / s >= LARGEST:
                for function in (wiener_logpdf, wiener_logpdf_grad, wiener_cdf):
                    with pytest.raises(ValueError, match="1e100|1e-100"):
                        function(True, rts, **p)
                continue
            for upper in (True, False):
                log_f = wiener_logpdf(upper, rts, **p)
                assert np.all(np.isfinite(log_f) | np.isneginf(log_f)), (key, value, log_f)
                gradient_log_f, gradients = wiener_logpdf_grad(upper, rts, **p)
                for g in gradients.values():
                    assert np.all(np.isfinite(g[np.isfinite(gradient_log_f)])), (key, value)
                cdf = wiener_cdf(upper, np.append(rts, np.inf), **p)
                assert np.all((cdf >= 0) & (cdf <= 1)), (key, value, cdf)
                assert np.all(cdf[:-1] <= cdf[-1]), (key, value, cdf)


def test_a_window_holding_a_sharp_passage_averages_to_one_over_its_range():
    """A drift of 1e4 to 1e90 boundaries a second towards the response's
    boundary brings every trial there at r / v, a peak of relative width
    1 / sqrt(r v) in time; a window [0, d] holding all of it has density
    P(choice) / d = 1 / d. Cut into equal pieces the window once stepped over
    the peak and missed up to 1e-2 of its log-density; past 1e18 the peak is
    too sharp for any quadrature in double precision, and the log-density
    was -inf or -1e21 (with NaN partials)."""
    rng = np.random.default_rng(11)
    worst = 0.0
    for exponent in [*range(4, 19), 22, 50, 90]:
        for _ in range(12):
            w, upper = rng.uniform(0.1, 0.9), bool(rng.random() < 0.5)
            sz = rng.choice([0.0, rng.uniform(0, 0.9) * 2 * min(w, 1 - w)])
            drift = 10 ** (exponent + rng.uniform(-0.5, 0.0))
            farthest = ((1 - w) if upper else w) + sz / 2
            d = 2 * farthest / drift * 10 ** rng.uniform(0, 3)
            p = dict(drift_rate=drift if upper else -drift, boundary_separation=1.0, starting_point=w,
                     non_decision_time=0.0, drift_rate_sd=rng.choice([0.0, rng.uniform(0, 2)]),
                     starting_point_range=sz, non_decision_time_range=d)
            expected = -math.log(d)
            values = [wiener_logpdf(upper, d, **p), wiener_logpdf_grad(upper, d, **p)[0]]
            # Shared by many trials too (where the peak is too narrow for the
            # tables, whose cells once halved on every trial for minutes).
            values.append(wiener_logpdf(np.full(SHARED, upper), np.full(SHARED, d), **p)[0])
            for log_f in values:
                worst = max(worst, abs(float(log_f) - expected) / scale(expected))
            # Inside the window the peak's place is all that counts: every
            # partial is 0 but the range's, -1 / d.
            if exponent > 18 and sz == 0:
                _, gradients = wiener_logpdf_grad(upper, d, **p)
                assert float(gradients["non_decision_time_range"]) == pytest.approx(-1 / d, rel=1e-12)
                others = [float(g) for name, g in gradients.items() if name != "non_decision_time_range"]
                assert all(abs(g) <= 1e-8 for g in others), (p, gradients)
    assert worst <= 1e-7


def test_a_boundary_far_beyond_the_noise_makes_the_first_passage_the_drift_s_alone():
    """With a / s = 1e10 the noise moves the process by 3e-12 of its distance
    in a millisecond: the lower boundary is reached by t exactly when the
    drift is below -a w / t, P = Phi(-(a w / t) / sv) for v = 0. A large a sv
    once made the distribution function 1 at 1 ms against 0.5 at infinity."""
    a, sv, s = 1.0, 732.0, 1e-10  # a / s = 1e10, sv / s = 7.32e12
    for t in (0.001, 0.01, 0.1):
        expected = 0.5 * erfc((a * 0.5 / t) / sv / math.sqrt(2))
        got = float(wiener_cdf(False, t, 0.0, a, 0.5, 0.0, sv, noise_sd=s))
        assert got == pytest.approx(expected, abs=1e-9), t
    assert float(wiener_cdf(False, np.inf, 0.0, a, 0.5, 0.0, sv, noise_sd=s)) == pytest.approx(0.5, abs=1e-12)


def test_the_distribution_function_rises_to_its_value_at_infinity_with_a_small_start_range():
    """F(inf) is the boundary probability averaged over the start range: here
    (sv = 0) exp(-x w') (1 - exp(-x (1 - w'))) / (1 - exp(-x)) with x = 2 v a,
    whose average over [w - h, w + h] is in closed form. A range of 1.8e-6 was
    once dropped at infinity alone, leaving F(inf) 2.7e-10 below F(1000 s)."""
    v, a, w, sz = 17.485, 1.27, 1e-6, 1.8e-6
    rts = np.array([1.0, 10.0, 1e3, 1e6, np.inf])
    cdf = wiener_cdf(False, rts, v, a, w, 0.0, starting_point_range=sz)
    assert np.all(np.diff(cdf) >= 0), cdf
    x, h = 2 * v * a, sz / 2
    # average of exp(-x w') over the range, times (1 - exp(-x)) / (1 - exp(-x)) less the exp(-x) share
    average_exp = math.exp(-x * w) * math.sinh(x * h) / (x * h)
    expected = (average_exp - math.exp(-x)) / -math.expm1(-x)
    assert cdf[-1] == pytest.approx(expected, abs=1e-15)


# ------------------------------------------------------------ rules ---


@pytest.mark.parametrize("n", range(2, 25))
def test_gauss_lobatto_rules_hold_their_ends_and_integrate_degree_2n_minus_3(n):
    nodes, weights = map(np.array, vt.gauss_lobatto_rule(n))
    assert nodes[0] == -1 and nodes[-1] == 1 and np.all(np.diff(nodes) > 0) and np.all(weights > 0)
    assert np.array_equal(nodes, -nodes[::-1]) and np.array_equal(weights, weights[::-1])
    for degree in range(2 * n - 2):
        exact = 0.0 if degree % 2 else 2.0 / (degree + 1)
        assert np.sum(weights * nodes**degree) == pytest.approx(exact, abs=4e-15 * 4 ** min(degree, 10))


def test_the_mills_ratio_matches_its_definition_at_30_digits():
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.dps = 30
    for y in np.concatenate([np.linspace(0, 20, 263), [0.24999999, 0.25, 15.999999, 16.0, 50.0, 1e4]]):
        exact = mpmath.sqrt(mpmath.pi / 2) * mpmath.erfc(mpmath.mpf(y) / mpmath.sqrt(2)) * mpmath.exp(mpmath.mpf(y) ** 2 / 2)
        assert vt.mills_ratio(float(y)) == pytest.approx(float(exact), rel=3e-15), y


@pytest.mark.parametrize("level, tolerance", [(0, 1e-9), (1, 1e-12), (2, 1e-7)])
def test_a_rule_for_a_small_share_reaches_the_accuracy_that_share_asks(level, tolerance):
    """An addend weighing `share` of the whole may be integrated to
    tolerance / share of itself; the rule never grows as the share shrinks, is
    the plain rule at share 1 and one node below the tolerance."""
    rng = np.random.default_rng(4)
    reference_nodes, reference_weights = np.polynomial.legendre.leggauss(200)
    for _ in range(200):
        slope, curvature = rng.uniform(-30, 30) * rng.random(), rng.uniform(-12, 12) * rng.random()
        share = 10 ** rng.uniform(math.log10(tolerance), 0)
        n = vt.rule_size(slope, curvature, level, share)
        assert n <= vt.rule_size(slope, curvature, level, share * 2 if share < 0.5 else 1.0)
        if n == 0:
            continue
        nodes, weights = map(np.array, vt.gauss_legendre_rule(n))
        shift = abs(slope) + max(curvature, 0)
        f = lambda z: np.exp(slope * z + curvature * z * z - shift)  # noqa: E731
        exact = np.sum(reference_weights * f(reference_nodes))
        assert abs(np.sum(weights * f(nodes)) - exact) <= tolerance / share * exact
    assert vt.rule_size(3.0, 1.0, level, 1.0) == vt.rule_size(3.0, 1.0, level)
    assert vt.rule_size(40.0, 15.0, level, tolerance / 2) == 1
