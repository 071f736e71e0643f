"""The one-trial likelihood with a starting-point range and a non-decision-time
range: its averages against a brute-force rendering that integrates the base
model densely, its partial derivatives against Leibniz's rule applied to the
same dense integrals, the limits as the ranges vanish, noise scaling, and the
quadrature rules underneath."""
import math

import numpy as np
import pytest

import _ventrola_testing as vt

# v, a, w, t0, sv, sz, st0, s
TYPICAL = (1.0, 1.5, 0.5, 0.3, 0.8, 0.3, 0.2, 1.0)
NAMES = ("drift_rate", "boundary_separation", "starting_point", "non_decision_time", "drift_rate_sd",
         "starting_point_range", "non_decision_time_range", "noise_sd")
# Order of the partials: v, a, w, t0, sv, sz, st0.

NODES, WEIGHTS = np.polynomial.legendre.leggauss(20)


def base(params):
    """The same model without either range."""
    v, a, w, t0, sv, sz, st0, s = params
    return (v, a, w, t0, sv, 0.0, 0.0, s)


def log_f(upper, rt, params):
    return vt.wiener_log_density(upper, rt, *params)


def log_sum_exp(logs):
    top = max(logs)
    if top == -math.inf:
        return -math.inf
    return top + math.log(sum(math.exp(x - top) for x in logs))


def dense_time_integral(upper, params, lo, hi, weight=lambda x: 1.0):
    """log of the integral of weight(x) f(x) over decision times x in [max(lo, 0), hi],
    f the base model's density at decision time x: composite 20-node rules in
    log-time on 60 panels, from where the density's leading factor exp(-c/x) is
    below exp(-750) of its value at hi."""
    v, a, w, t0, sv, _, _, s = params
    d = (1 - w if upper else w) * a / s
    c = d * d / 2
    start = max(lo, c / (c / hi + 750.0), 1e-300)
    edges = np.linspace(math.log(start), math.log(hi), 61)
    logs = []
    for left, right in zip(edges[:-1], edges[1:]):
        half = (right - left) / 2
        for node, weight_ in zip(NODES, WEIGHTS):
            log_x = (left + right) / 2 + half * node
            x = math.exp(log_x)
            value = weight(x)
            if value <= 0:
                continue
            logs.append(math.log(weight_ * half * value) + log_x + log_f(upper, t0 + x, base(params)))
    return log_sum_exp(logs)


def dense_average(upper, rt, params, inner_weight=None):
    """log of the density averaged over both ranges, densely."""
    v, a, w, t0, sv, sz, st0, s = params
    longest = rt - t0

    def at_start(point):
        p = (v, a, point, t0, sv, 0.0, 0.0, s)
        if st0 == 0:
            return log_f(upper, rt, p)
        return dense_time_integral(upper, p, longest - st0, longest) - math.log(st0)

    if sz == 0:
        return at_start(w)
    # Without a time window the start-point integrand can be as narrow as a
    # normal density of width sqrt(t) / a, so it gets many more panels.
    panels = 6 if st0 > 0 else 200
    logs = []
    for k in range(panels):
        left = w - sz / 2 + sz * k / panels
        half = sz / (2 * panels)
        for node, weight_ in zip(NODES, WEIGHTS):
            logs.append(math.log(weight_ * half) + at_start(left + half * (1 + node)))
    return log_sum_exp(logs) - math.log(sz)


# (upper, rt, params): starting-point range only, non-decision-time range only,
# both; a window reaching below t0 (rt - t0 < st0), a narrow window, a slow
# response far in the tail, a wide boundary with an early response whose
# density underflows, and a small noise.
CASES = [
    (True, 0.75, (1.0, 1.5, 0.5, 0.3, 0.8, 0.3, 0.0, 1.0)),
    (False, 0.62, (-0.4, 1.1, 0.35, 0.25, 0.0, 0.5, 0.0, 1.0)),
    (True, 0.75, (1.0, 1.5, 0.5, 0.3, 0.8, 0.0, 0.2, 1.0)),
    (True, 0.41, (2.0, 1.2, 0.6, 0.3, 1.2, 0.0, 0.3, 1.0)),
    (False, 0.9, (0.5, 2.0, 0.45, 0.2, 0.5, 0.0, 0.01, 1.0)),
    (True, 0.75, TYPICAL),
    (True, 0.35, (1.5, 1.8, 0.55, 0.2, 0.6, 0.4, 0.25, 1.0)),
    (False, 4.0, (1.2, 1.4, 0.4, 0.3, 1.0, 0.2, 0.3, 1.0)),
    (True, 0.3012, (0.3, 4.0, 0.5, 0.3, 0.2, 0.2, 0.0, 1.0)),
    (True, 0.61, (0.1, 0.15, 0.5, 0.3, 0.05, 0.2, 0.2, 0.1)),
]
# Extremes a fit can wander into: a drift so strong that the density peaks
# long before its leading factor exp(-c/x) lets go; drift variability so
# large that the earliest times carry the weight; a start range reaching the
# other boundary under a strong drift towards it.
EXTREMES = [
    (True, 0.293575, (48.9, 3.046, 0.108295, 0.12, 0.0, 0.0, 0.9126, 1.0)),
    (False, 0.11696, (2.026, 0.7869, 0.123134, 0.072, 73.72, 0.212553, 0.9724, 1.0)),
    (False, 0.655755, (-30.49, 3.65, 0.748591, 0.31, 2.872, 0.502817, 0.5294, 1.0)),
]


@pytest.mark.parametrize("upper, rt, params", CASES + EXTREMES)
def test_log_density_matches_dense_integration(upper, rt, params):
    expected = dense_average(upper, rt, params)
    got = log_f(upper, rt, params)
    assert abs(got - expected) <= 1e-7 * max(1.0, abs(expected)), (got, expected)
    gradient_log = vt.wiener_gradient(upper, rt, *params)[0]
    assert abs(gradient_log - expected) <= 1e-9 * max(1.0, abs(expected)), (gradient_log, expected)
    if expected > -700:
        assert vt.wiener_density(upper, rt, *params) == pytest.approx(math.exp(expected), rel=1e-7)


def test_log_density_agrees_with_the_gradients_finer_rules_across_random_models():
    """The log-density's averages are sized for a tenth of the contract, the
    gradient's for 1e-12: over random models (times down to a tenth of a
    second, densities far into the tails) the two stay within the contract."""
    rng = np.random.default_rng(11)
    worst = 0.0
    for _ in range(600):
        w = rng.uniform(0.25, 0.75)
        params = (
            rng.uniform(-4, 4),
            rng.uniform(0.5, 3.0),
            w,
            rng.uniform(0.1, 0.4),
            rng.uniform(0, 2) * (rng.random() < 0.8),
            rng.uniform(0, 0.95) * 2 * min(w, 1 - w) * (rng.random() < 0.8),
            rng.uniform(0, 0.4) * (rng.random() < 0.8),
            1.0,
        )
        rt = params[3] + rng.lognormal(math.log(0.5), 0.8)
        upper = bool(rng.random() < 0.6)
        fine = vt.wiener_gradient(upper, rt, *params)[0]
        assert math.isfinite(fine), (upper, rt, params)
        worst = max(worst, abs(log_f(upper, rt, params) - fine) / max(1.0, abs(fine)))
    assert worst <= 1e-6


def test_a_density_below_the_double_range_keeps_its_logarithm():
    upper, rt, params = CASES[8]
    expected = dense_average(upper, rt, params)
    assert expected < -1000
    assert vt.wiener_density(upper, rt, *params) == 0.0
    assert math.isfinite(log_f(upper, rt, params))


def reference_partials(upper, rt, params, step=1e-6):
    """Partials of the dense log-average: Leibniz's rule for the ranges, t0 and w
    (exact end values over dense averages), central differences of the dense
    average for v, a and sv (smooth, so a relative step of 1e-6 leaves about
    1e-9)."""
    v, a, w, t0, sv, sz, st0, s = params
    log_avg = dense_average(upper, rt, params)

    def moved(index, delta):
        p = list(params)
        p[index] += delta
        return tuple(p)

    def central(index):
        h = step * max(1.0, abs(params[index]))
        return (dense_average(upper, rt, moved(index, h)) - dense_average(upper, rt, moved(index, -h))) / (2 * h)

    def end_value(point, longest_shift):
        """log density averaged over the start range only, at decision time rt - t0 - shift"""
        p = (v, a, w, t0, sv, sz, 0.0, s)
        if point is not None:
            p = (v, a, point, t0, sv, 0.0, 0.0, s)
        if rt - t0 - longest_shift <= 0:
            return -math.inf
        if point is None and sz > 0:
            return dense_average(upper, rt - longest_shift, p)
        return log_f(upper, rt - longest_shift, p)

    partials = [central(0), central(1), None, None, central(4) if sv > 0 else None, None, None]
    # Start point: the average over [w - sz/2, w + sz/2] moves with its ends.
    if sz > 0:
        p_st = (v, a, w, t0, sv, 0.0, st0, s)

        def at(point):
            q = (v, a, point, t0, sv, 0.0, st0, s)
            return dense_average(upper, rt, q)

        hi, lo = math.exp(at(w + sz / 2) - log_avg), math.exp(at(w - sz / 2) - log_avg)
        partials[2] = (hi - lo) / sz
        partials[5] = -1 / sz + (hi + lo) / (2 * sz)
        del p_st
    else:
        partials[2] = central(2)
    # Non-decision time: the window [rt - t0 - st0, rt - t0] moves with t0 and st0.
    if st0 > 0:
        at_longest = math.exp(end_value(None, 0.0) - log_avg) / st0
        at_shortest = math.exp(end_value(None, st0) - log_avg) / st0
        partials[3] = at_shortest - at_longest
        partials[6] = at_shortest - 1 / st0
    else:
        partials[3] = central(3)
    return partials


@pytest.mark.parametrize("upper, rt, params", [c for c in CASES if c is not CASES[8]] + EXTREMES[:1])
def test_partials_match_leibniz_rule_on_dense_integrals(upper, rt, params):
    expected = reference_partials(upper, rt, params)
    _, got = vt.wiener_gradient(upper, rt, *params)
    for name, g, e in zip(("v", "a", "w", "t0", "sv", "sz", "st0"), got, expected):
        if e is None:
            continue
        assert abs(g - e) <= 2e-6 * abs(e) + 1e-7, (name, g, e)


@pytest.mark.parametrize("upper, rt, params", [c for c in CASES if c[2][5] > 0 or c[2][6] > 0][:5])
def test_distribution_matches_dense_integration(upper, rt, params):
    """P(choice, RT <= rt) averaged over the ranges: with st0 the window's
    distribution averages are the density weighted by min(rt - t0 - x, st0) / st0."""
    v, a, w, t0, sv, sz, st0, s = params
    longest = rt - t0

    def at_start(point):
        p = (v, a, point, t0, sv, 0.0, 0.0, s)
        total = 0.0
        if longest > st0:
            total += math.exp(dense_time_integral(upper, p, 0.0, longest - st0))
        if st0 > 0:
            # Below the window's end the weight falls linearly to 0; integrated
            # apart so that no panel straddles the kink.
            shortest = max(longest - st0, 0.0)
            weight = lambda x: (longest - x) / st0  # noqa: E731
            total += math.exp(dense_time_integral(upper, p, shortest, longest, weight))
        return total

    if sz == 0:
        expected = at_start(w)
    else:
        points = [w - sz / 2 + sz / 12 * (2 * k + 1 + node) for k in range(6) for node in NODES]
        weights = [weight_ / 12 for _ in range(6) for weight_ in WEIGHTS]
        expected = sum(wt * at_start(pt) for pt, wt in zip(points, weights))
    got = vt.wiener_distribution(upper, rt, *params)
    assert abs(got - expected) <= 1e-9


def test_the_distribution_rises_to_the_boundary_probability():
    v, a, w, t0, sv, sz, st0, s = TYPICAL
    for upper in (True, False):
        values = [vt.wiener_distribution(upper, rt, *TYPICAL) for rt in (0.3, 0.35, 0.5, 1.0, 3.0, 30.0)]
        assert values[0] == 0.0
        assert all(b > a_ for a_, b in zip(values, values[1:]))
        at_infinity = vt.wiener_distribution(upper, math.inf, *TYPICAL)
        assert values[-1] == pytest.approx(at_infinity, abs=1e-12)
    total = sum(vt.wiener_distribution(upper, math.inf, *TYPICAL) for upper in (True, False))
    assert total == pytest.approx(1.0, abs=1e-10)


def test_responses_at_or_before_the_shortest_non_decision_time_have_no_density():
    for rt in (0.3, 0.2, -1.0, -math.inf):
        assert log_f(True, rt, TYPICAL) == -math.inf
        assert vt.wiener_density(True, rt, *TYPICAL) == 0.0
        assert vt.wiener_distribution(True, rt, *TYPICAL) == 0.0
        log_density, partials = vt.wiener_gradient(True, rt, *TYPICAL)
        assert log_density == -math.inf and all(math.isnan(x) for x in partials)


def test_a_nan_response_time_gives_nan_everywhere():
    nan = math.nan
    assert math.isnan(log_f(False, nan, TYPICAL))
    assert math.isnan(vt.wiener_density(False, nan, *TYPICAL))
    assert math.isnan(vt.wiener_distribution(False, nan, *TYPICAL))
    log_density, partials = vt.wiener_gradient(False, nan, *TYPICAL)
    assert math.isnan(log_density) and all(math.isnan(x) for x in partials)


def test_noise_sets_the_units_of_drift_boundary_and_drift_variability():
    s = 0.25
    v, a, w, t0, sv, sz, st0, _ = TYPICAL
    scaled = (v * s, a * s, w, t0, sv * s, sz, st0, s)
    for upper, rt in ((True, 0.75), (False, 0.42)):
        assert log_f(upper, rt, scaled) == pytest.approx(log_f(upper, rt, TYPICAL), rel=1e-12, abs=1e-12)
        _, unit = vt.wiener_gradient(upper, rt, *TYPICAL)
        _, noisy = vt.wiener_gradient(upper, rt, *scaled)
        factors = (1 / s, 1 / s, 1, 1, 1 / s, 1, 1)
        for u, n, f in zip(unit, noisy, factors):
            assert n == pytest.approx(u * f, rel=1e-10, abs=1e-12)


def test_vanishing_ranges_approach_the_base_model_and_its_one_sided_partials():
    upper, rt = True, 0.75
    v, a, w, t0, sv, sz, st0, s = TYPICAL
    without = (v, a, w, t0, sv, 0.0, 0.0, s)
    log_base, base_partials = vt.wiener_gradient(upper, rt, *without)
    # d log f / dt0 = -d log f / dt; at st0 = 0 the window average moves at half that.
    assert base_partials[6] == pytest.approx(base_partials[3] / 2, rel=1e-12)
    assert base_partials[5] == 0.0
    for tiny in (5e-324, 1e-300, 1e-12, 1e-9, 1.5e-9, 1e-7):
        with_sz = (v, a, w, t0, sv, tiny, 0.0, s)
        assert log_f(upper, rt, with_sz) == pytest.approx(log_base, abs=1e-12)
        with_st0 = (v, a, w, t0, sv, 0.0, tiny, s)
        # The window [rt - t0 - st0, rt - t0] shifts the density by half its width.
        shifted = log_base + base_partials[3] * tiny / 2
        assert log_f(upper, rt, with_st0) == pytest.approx(shifted, abs=1e-11)
        _, partials = vt.wiener_gradient(upper, rt, *with_st0)
        assert partials[6] == pytest.approx(base_partials[6], rel=1e-6)
        assert partials[3] == pytest.approx(base_partials[3], rel=1e-6)


@pytest.mark.parametrize("n", range(1, 25))
def test_gauss_legendre_rules_integrate_polynomials_of_degree_2n_minus_1(n):
    nodes, weights = map(np.array, vt.gauss_legendre_rule(n))
    assert np.all(np.diff(nodes) > 0) and np.all(weights > 0)
    assert np.array_equal(nodes, -nodes[::-1]) and np.array_equal(weights, weights[::-1])
    for degree in range(2 * n):
        exact = 0.0 if degree % 2 else 2.0 / (degree + 1)
        assert np.sum(weights * nodes**degree) == pytest.approx(exact, abs=2e-15 * 4**min(degree, 10))


@pytest.mark.parametrize("n", [1, 2, 5, 8, 12, 16])
def test_gauss_laguerre_rules_integrate_polynomials_against_exp(n):
    nodes, log_weights = map(np.array, vt.gauss_laguerre_rule(n))
    weights = np.exp(log_weights - nodes)
    for degree in range(2 * n):
        assert np.sum(weights * nodes**degree) == pytest.approx(math.factorial(degree), rel=1e-12)


@pytest.mark.parametrize("derivative, tolerance", [(False, 1e-9), (True, 1e-12), (2, 1e-7)])
def test_rule_sizes_reach_their_accuracy(derivative, tolerance):
    rng = np.random.default_rng(3)
    ref_nodes, ref_weights = np.polynomial.legendre.leggauss(200)
    sizes = []
    for _ in range(300):
        slope, curvature = rng.uniform(-50, 50) * rng.random(), rng.uniform(-20, 20) * rng.random()
        n = vt.rule_size(slope, curvature, derivative)
        sizes.append(n)
        if n == 0:
            assert vt.rule_size(slope, curvature, False) in range(0, 25)
            continue
        nodes, weights = map(np.array, vt.gauss_legendre_rule(n))
        shift = abs(slope) + max(curvature, 0)
        f = lambda s: np.exp(slope * s + curvature * s * s - shift)  # noqa: E731
        exact = np.sum(ref_weights * f(ref_nodes))
        assert abs(np.sum(weights * f(nodes)) - exact) <= tolerance * exact
    assert 0 in sizes and max(sizes) > 10
    assert vt.rule_size(0.0, 0.0, derivative) == 1
    assert vt.rule_size(math.nan, 0.0, derivative) == 0
    assert vt.rule_size(2.0, 0.5, derivative) <= vt.rule_size(4.0, 0.5, derivative)
