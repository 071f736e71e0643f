"""ventrola.DDM as users meet it: the model object, its likelihood's shapes and
broadcasting, its gradients against finite differences, the same numbers for
any number of threads, and refusals of everything it cannot take."""
import math
import pickle

import numpy as np
import pytest

import ventrola

BASE = dict(drift_rate=0.9, boundary_separation=1.6, starting_point=0.45, non_decision_time=0.3)
FAMILIES = [
    (ventrola.DDM(bound="linear"), dict(collapse_time=2.5)),
    (ventrola.DDM(bound="exponential"), dict(collapse_time=0.9)),
    (ventrola.DDM(bound="hyperbolic"), dict(collapse_time=0.6)),
    (ventrola.DDM(bound="weibull"), dict(collapse_time=0.7, collapse_shape=2.5, collapse_floor=0.3)),
    (ventrola.DDM(drift="dmc"), dict(automatic_amplitude=0.4, automatic_time=0.06, automatic_shape=2.5)),
    (ventrola.DDM(leak=True), dict(leak=2.0)),
    (ventrola.DDM(leak=True), dict(leak=-1.5)),
    (ventrola.DDM(bound="exponential", drift="dmc", leak=True),
     dict(collapse_time=1.2, automatic_amplitude=-0.3, automatic_time=0.05, leak=0.8)),
]
FAMILY_IDS = ["linear", "exponential", "hyperbolic", "weibull", "dmc", "leak", "self-excitation", "all three"]
VARIABILITY = [dict(), dict(drift_rate_sd=0.6, starting_point_range=0.2, non_decision_time_range=0.1, noise_sd=0.8)]


# -- the model object -------------------------------------------------------------------------

def test_the_model_names_its_parameters_and_defaults():
    standard = ventrola.DDM()
    assert standard.is_standard and repr(standard) == "DDM()"
    assert standard.parameter_names == (*ventrola.parameters.PARAMETER_NAMES, "noise_sd")
    full = ventrola.DDM(bound="weibull", drift="dmc", leak=True)
    assert full.parameter_names[8:] == ("collapse_time", "collapse_shape", "collapse_floor", "automatic_amplitude",
                                        "automatic_time", "automatic_shape", "leak")
    assert "drift_rate" not in full.defaults and "boundary_separation" not in full.defaults
    assert full.defaults["leak"] == 0.0 and full.defaults["automatic_shape"] == 2.0
    assert repr(full) == "DDM(bound='weibull', drift='dmc', leak=True)"
    assert not full.is_standard


def test_models_compare_hash_and_pickle_by_structure():
    a, b = ventrola.DDM(bound="exponential"), ventrola.DDM("exponential", "constant", False)
    assert a == b and hash(a) == hash(b) and len({a, b, ventrola.DDM()}) == 2
    assert a != ventrola.DDM(bound="exponential", leak=True) and a != "DDM(bound='exponential')"
    assert pickle.loads(pickle.dumps(a)) == a


def shrinking(t, halfway=0.5):
    return halfway / (t + halfway)


def test_a_users_functions_become_parameters():
    model = ventrola.DDM(bound=shrinking, drift=lambda t, boost: boost * np.exp(-t))
    assert model.parameter_names[-2:] == ("halfway", "boost")
    assert model.defaults["halfway"] == 0.5 and model.defaults["drift_rate"] == 0.0
    assert model.bound is shrinking and model == ventrola.DDM(bound=shrinking, drift=model.drift)
    values = model.logpdf([True, False], [0.6, 0.9], boundary_separation=1.5, non_decision_time=0.3, boost=1.0)
    assert values.shape == (2,) and np.isfinite(values).all()


@pytest.mark.parametrize("kwargs, message", [
    (dict(bound="exponentail"), "unknown bound family 'exponentail': choose from 'constant', 'linear', "
                                "'exponential', 'hyperbolic', 'weibull'"),
    (dict(drift="conflict"), "unknown drift family 'conflict': choose from 'constant', 'dmc'"),
    (dict(leak="yes"), "leak must be True or False"),
    (dict(bound=3.0), "bound must be a family name or a function of time"),
    (dict(bound=lambda *times: 1.0), "must take the times as its first argument"),
    (dict(bound=lambda t, **more: 1.0), "must name its parameters"),
    (dict(drift=lambda t, drift_rate: t), "has the name of one of the model's own parameters"),
])
def test_a_model_that_cannot_be_built_is_refused(kwargs, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        ventrola.DDM(**kwargs)


@pytest.mark.parametrize("function, message", [
    (lambda t: np.ones(3), "must return one value per time"),
    (lambda t: np.where(t > 0.2, np.nan, 1.0), "the bound function gave nan at t = 0.2"),
    (lambda t: 1.0 - t, "must not be negative"),
    (lambda t: 0.9 + 0 * t, "must be 1 at t = 0"),
    (lambda t: 1 / 0, "the bound function failed on the solver's time grid: ZeroDivisionError"),
])
def test_a_users_function_that_misbehaves_is_refused_clearly(function, message):
    model = ventrola.DDM(bound=function)
    with pytest.raises(ValueError, match=message):
        model.logpdf(True, 1.5, drift_rate=1.0, boundary_separation=1.0)
    with pytest.raises(ValueError, match=message):
        model.simulate(10, 1, drift_rate=1.0, boundary_separation=1.0, max_time=2.0)


# -- evaluating it ----------------------------------------------------------------------------

@pytest.mark.parametrize("bad, message", [
    (dict(collapse_time=0.0), "collapse_time must be > 0"),
    (dict(collapse_shape=-1.0), "collapse_shape must be > 0"),
    (dict(collapse_floor=1.0), "collapse_floor must be >= 0 and < 1"),
    (dict(automatic_time=math.inf), "automatic_time must be > 0 and finite"),
    (dict(automatic_shape=1.0), "automatic_shape must be > 1"),
    (dict(leak=math.nan), "leak must be finite"),
    (dict(boundary_separation=-1.0), "boundary_separation"),
    (dict(starting_point_range=0.95), "starting_point_range"),
])
def test_parameters_out_of_range_are_refused_by_name(bad, message):
    model = ventrola.DDM(bound="weibull", drift="dmc", leak=True)
    with pytest.raises(ValueError, match=message):
        model.logpdf(True, 0.8, **{**BASE, **bad})
    with pytest.raises(ValueError, match=message):
        model.simulate(5, 1, **{**BASE, **bad})


def test_unknown_missing_and_mistyped_parameters_are_refused():
    model = ventrola.DDM(bound="exponential")
    with pytest.raises(TypeError, match="has no parameter 'automatic_time'"):
        model.logpdf(True, 0.8, automatic_time=0.1, **BASE)
    with pytest.raises(TypeError, match="needs 'boundary_separation'"):
        model.logpdf(True, 0.8, drift_rate=1.0)
    with pytest.raises(TypeError):
        model.logpdf(True, 0.8, **{**BASE, "collapse_time": "long"})
    with pytest.raises(ValueError):
        model.logpdf([True, 2], [0.8, 0.9], **BASE)
    with pytest.raises(ValueError, match="contamination"):
        model.loglik([True], [0.8], BASE, contamination=1.5)


def test_values_broadcast_and_keep_their_shape():
    model = ventrola.DDM(bound="exponential")
    rts = np.linspace(0.35, 1.5, 12).reshape(3, 4)
    drift = np.array([0.5, 1.0, 1.5, 2.0])
    values = model.logpdf(True, rts, **{**BASE, "drift_rate": drift}, collapse_time=1.0)
    assert values.shape == (3, 4)
    one = model.logpdf(True, rts[:, 1], **{**BASE, "drift_rate": 1.0}, collapse_time=1.0)
    np.testing.assert_array_equal(values[:, 1], one)
    assert model.logpdf(True, np.empty((0, 2)), **BASE).shape == (0, 2)
    edges = model.logpdf([True, True, False], [0.3, 0.1, math.nan], **BASE)
    assert edges[0] == -math.inf and edges[1] == -math.inf and math.isnan(edges[2])
    np.testing.assert_allclose(model.pdf(True, rts, **BASE), np.exp(model.logpdf(True, rts, **BASE)), rtol=1e-14)
    total = model.cdf(True, math.inf, **BASE) + model.cdf(False, math.inf, **BASE)
    assert abs(total - 1.0) < 1e-7


def test_the_linear_bound_ends_every_trial_where_the_bounds_meet():
    model = ventrola.DDM(bound="linear")
    params = dict(BASE, collapse_time=1.0)
    assert model.logpdf(True, 0.3 + 1.2, **params) == -math.inf
    assert model.pdf(False, 0.3 + 1.0 + 1e-9, **params) == 0.0
    closed = model.cdf(True, 5.0, **params) + model.cdf(False, 5.0, **params)
    assert abs(closed - 1.0) < 1e-7


def test_loglik_with_lapses_is_the_mixture_of_the_densities():
    model = ventrola.DDM(drift="dmc")
    choices = np.array([True, False, True])
    rts = np.array([0.5, 0.7, 2.0])
    params = dict(BASE, automatic_amplitude=0.3, ignored=1.0)
    density = model.pdf(choices, rts, **{k: v for k, v in params.items() if k != "ignored"})
    lapse = 0.05
    expected = np.log((1 - lapse) * density + lapse * 0.5 / rts.max()).sum()
    assert math.isclose(model.loglik(choices, rts, params, contamination=lapse), expected, rel_tol=1e-12)


@pytest.mark.parametrize("variability", VARIABILITY, ids=["point", "variabilities"])
@pytest.mark.parametrize("model, family", FAMILIES, ids=FAMILY_IDS)
def test_gradients_match_finite_differences(model, family, variability):
    assert_partials_match_differences(model, {**BASE, **family, **variability}, np.array([0.42, 0.55, 0.75, 1.1, 1.6]))


# Strong drifts, where the drift's partial comes from the change of measure alone and the
# solve's narrower partials are widened into the set's.
STRONG = [
    (ventrola.DDM(bound="exponential"), dict(drift_rate=4.0, boundary_separation=2.5, starting_point=0.35,
                                             drift_rate_sd=1.0, collapse_time=1.2)),
    (ventrola.DDM(bound="weibull"), dict(drift_rate=-0.5, boundary_separation=0.3, noise_sd=0.1, collapse_time=0.7,
                                         collapse_shape=2.5, collapse_floor=0.3)),
    (ventrola.DDM(bound="hyperbolic"), dict(drift_rate=3.0, boundary_separation=2.0, starting_point=0.6,
                                            non_decision_time_range=0.15, collapse_time=0.6)),
]


@pytest.mark.parametrize("model, params", STRONG, ids=["exponential", "weibull", "hyperbolic"])
def test_strong_drifts_gradients_match_finite_differences(model, params):
    # A range at 0 has a zero partial by symmetry, and its one-sided difference grows with the
    # density's curvature there, which late times under a strong drift make large: not compared.
    edges = {name for name in ("drift_rate_sd", "starting_point_range", "non_decision_time_range")
             if params.get(name, 0.0) == 0.0}
    assert_partials_match_differences(model, {"non_decision_time": 0.3, **params},
                                      np.array([0.35, 0.45, 0.7, 1.2, 2.5]), skip=edges)


def assert_partials_match_differences(model, params, rts, skip=()):
    choices = np.array([True, False, True, False, True])
    log_f, partials = model.logpdf_grad(choices, rts, **params)
    np.testing.assert_allclose(log_f, model.logpdf(choices, rts, **params), rtol=1e-12, atol=1e-12)
    assert set(partials) == set(model.parameter_names)
    for name in (name for name in model.parameter_names if name not in skip):
        value = params[name] if name in params else model.defaults[name]
        if name in ("drift_rate_sd", "starting_point_range", "non_decision_time_range") and value == 0.0:
            step = 1e-4  # one-sided at the edge of the range
            numeric = (model.logpdf(choices, rts, **{**params, name: step}) - log_f) / step
            tolerance = 2e-3
        else:
            step = 1e-4 * max(1.0, abs(value))
            up = model.logpdf(choices, rts, **{**params, name: value + step})
            down = model.logpdf(choices, rts, **{**params, name: value - step})
            numeric = (up - down) / (2 * step)
            tolerance = 2e-4
        assert np.allclose(partials[name], numeric, rtol=tolerance, atol=tolerance), (name, partials[name], numeric)


@pytest.mark.parametrize("model, family", [*FAMILIES, (ventrola.DDM(), {})], ids=[*FAMILY_IDS, "standard"])
def test_partials_asked_for_are_those_of_the_whole_gradient(model, family):
    params = {**BASE, **family, **VARIABILITY[1]}
    choices = np.array([True, False, True, False])
    rts = np.array([0.42, 0.55, 0.9, 1.6])
    log_f, every = model.logpdf_grad(choices, rts, **params)
    names = model.parameter_names
    subsets = [[names[0]], ["boundary_separation"], ["noise_sd"], ["non_decision_time", "non_decision_time_range"],
               [name for name in reversed(names) if name not in ("starting_point", "noise_sd")]]
    for wrt in subsets:
        narrowed, partials = model.logpdf_grad(choices, rts, wrt=wrt, **params)
        assert list(partials) == [name for name in names if name in wrt]
        np.testing.assert_array_equal(narrowed, log_f)
        for name, partial in partials.items():
            np.testing.assert_array_equal(partial, every[name], err_msg=f"{name} of {wrt}")
    with pytest.raises(ValueError, match="no parameter 'drift' to differentiate"):
        model.logpdf_grad(choices, rts, wrt=["drift_rate", "drift"], **params)


def test_the_engine_leaves_the_partials_not_asked_for_as_nan_and_refuses_a_malformed_mask():
    from ventrola import _engine
    from ventrola.general_likelihood import ENGINE_ORDER, PLACEHOLDERS

    values = {**BASE, "drift_rate_sd": 0.0, "starting_point_range": 0.0, "non_decision_time_range": 0.0,
              "noise_sd": 1.0, **PLACEHOLDERS, "collapse_time": 0.9}
    columns = tuple(np.array([float(values[name])]) for name in ENGINE_ORDER)
    spec = ("exponential", "constant", False, None, 0.0, None, 0.0)
    flags, times = np.array([True, False]), np.array([0.6, 0.9])
    wanted = tuple(name in ("drift_rate", "collapse_time") for name in ENGINE_ORDER)
    log_f, partials = _engine.general_likelihood("logpdf_grad", spec, flags, times, columns, wanted)
    every_log_f, every = _engine.general_likelihood("logpdf_grad", spec, flags, times, columns)
    np.testing.assert_array_equal(log_f, every_log_f)
    for name, partial, full in zip(ENGINE_ORDER, partials, every):
        if name in ("drift_rate", "collapse_time"):
            np.testing.assert_array_equal(partial, full)
        else:
            assert np.isnan(partial).all() and np.isfinite(full).all(), name
    for bad in ((True,) * 3, [True] * 15, "all"):
        with pytest.raises(TypeError, match="wanted must be None or a tuple of fifteen truths"):
            _engine.general_likelihood("logpdf_grad", spec, flags, times, columns, bad)


def test_sets_that_share_a_solve_get_the_numbers_they_get_alone():
    # Without a leak and from a point start, the drift, its deviation and the non-decision
    # time ride on a change of measure: these six sets share one solve, of different reach.
    model = ventrola.DDM(bound="exponential")
    rng = np.random.default_rng(3)
    per_set = 6
    sets = dict(drift_rate=[1.2, -0.4, 2.5, 1.2, 0.0, 3.0], non_decision_time=[0.2, 0.25, 0.2, 0.3, 0.2, 0.1],
                non_decision_time_range=[0.0, 0.1, 0.0, 0.0, 0.2, 0.0], drift_rate_sd=[0.0, 0.0, 0.8, 0.0, 0.5, 0.8])
    common = dict(boundary_separation=1.6, starting_point=0.45, collapse_time=0.9)
    choices = rng.random(6 * per_set) < 0.6
    rts = 0.35 + rng.exponential(0.6, 6 * per_set)
    rts[[5, 20]] = np.inf
    together = {name: np.repeat(values, per_set) for name, values in sets.items()}
    log_f, partials = model.logpdf_grad(choices, rts, **together, **common)
    cdf = model.cdf(choices, rts, **together, **common)
    for k in range(6):
        rows = slice(k * per_set, (k + 1) * per_set)
        alone = {name: values[k] for name, values in sets.items()}
        alone_log_f, alone_partials = model.logpdf_grad(choices[rows], rts[rows], **alone, **common)
        np.testing.assert_array_equal(alone_log_f, log_f[rows])
        np.testing.assert_array_equal(model.logpdf(choices[rows], rts[rows], **alone, **common), log_f[rows])
        np.testing.assert_array_equal(model.cdf(choices[rows], rts[rows], **alone, **common), cdf[rows])
        for name, values in alone_partials.items():
            np.testing.assert_array_equal(values, partials[name][rows])


THREADED = """
import hashlib, math, numpy as np, ventrola
rng = np.random.default_rng(5)
n = 3000
choices = rng.random(n) < 0.6
rts = 0.35 + rng.exponential(0.5, n)
drift = np.round(rng.normal(1.0, 0.4, n), 1)  # a few dozen parameter sets, solved in parallel
model = ventrola.DDM(bound="exponential", drift="dmc")
params = dict(drift_rate=drift, boundary_separation=1.5, non_decision_time=0.3, collapse_time=1.1,
              automatic_amplitude=0.3)
log_f, partials = model.logpdf_grad(choices, rts, **params)
digest = hashlib.sha256(model.logpdf(choices, rts, **params).tobytes() + model.cdf(choices, rts, **params).tobytes()
                        + log_f.tobytes() + b"".join(partials[k].tobytes() for k in model.parameter_names))
# Sets that share solves (no leak, point start), the solves in parallel.
shared = ventrola.DDM(bound="hyperbolic")
boundary = np.round(rng.uniform(1.2, 1.8, n), 1)
log_f, partials = shared.logpdf_grad(choices, rts, drift_rate=drift, boundary_separation=boundary, collapse_time=0.8)
digest.update(log_f.tobytes() + b"".join(partials[k].tobytes() for k in shared.parameter_names)
              + shared.cdf(choices, rts, drift_rate=drift, boundary_separation=boundary, collapse_time=0.8).tobytes())
# One solve for every set (a drift per trial), the sets on the pool.
log_f, partials = shared.logpdf_grad(choices, rts, drift_rate=rng.normal(1.0, 0.4, n), boundary_separation=1.5,
                                    collapse_time=0.8)
digest.update(log_f.tobytes() + b"".join(partials[k].tobytes() for k in shared.parameter_names))
single = model.logpdf(choices, rts, **{**params, "drift_rate": 1.0})  # one set: its trials in parallel
c, r, excluded = model.simulate(20000, 9, drift_rate=1.0, boundary_separation=1.5, non_decision_time=0.3,
                                collapse_time=1.1, automatic_amplitude=0.3, drift_rate_sd=0.5)
digest.update(single.tobytes() + c.tobytes() + r.tobytes() + str(excluded).encode())
print(digest.hexdigest())
"""


def test_the_numbers_do_not_depend_on_the_thread_count(python_subprocess):
    digests = {threads: python_subprocess(THREADED, {"RAYON_NUM_THREADS": threads}).strip()
               for threads in ("1", "2", "5")}
    assert len(set(digests.values())) == 1, digests
