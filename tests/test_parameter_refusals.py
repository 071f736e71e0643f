"""The refusal of a parameter out of its domain, as the compiled code words it:
"{name} must {requirement}, got {value}", the value as Python's repr() writes
it, from one table that the likelihood and simulate_ddm both read, so that
both refuse a value in the same words."""
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _ventrola_testing as vt
from ventrola import _engine

REQUIREMENTS = {
    "drift_rate": "be finite",
    "boundary_separation": "be > 0 and finite",
    "starting_point": "be strictly between 0 and 1",
    "non_decision_time": "be >= 0 and finite",
    "drift_rate_sd": "be >= 0 and finite",
    "starting_point_range": "be >= 0 with starting_point_range/2 < min(starting_point, 1 - starting_point)",
    "non_decision_time_range": "be >= 0 and finite",
    "noise_sd": "be > 0 and finite",
}
GOOD = dict(
    drift_rate=1.0,
    boundary_separation=1.5,
    starting_point=0.5,
    non_decision_time=0.3,
    drift_rate_sd=0.0,
    starting_point_range=0.0,
    non_decision_time_range=0.0,
    noise_sd=1.0,
)
# A value out of each parameter's domain.
REFUSED = [
    ("drift_rate", math.inf),
    ("drift_rate", math.nan),
    ("boundary_separation", 0.0),
    ("boundary_separation", -1.5),
    ("starting_point", 1.0),
    ("starting_point", -0.0),
    ("non_decision_time", -0.25),
    ("drift_rate_sd", -1.0),
    ("starting_point_range", 1.0),
    ("starting_point_range", -0.1),
    ("non_decision_time_range", math.inf),
    ("noise_sd", 0.0),
    ("noise_sd", -2.5e-300),
]


def test_the_table_lists_every_parameter_in_order_with_its_requirement():
    assert list(vt.parameter_requirements().items()) == list(REQUIREMENTS.items())


def test_the_python_package_declares_the_same_requirements():
    from ventrola import parameters

    assert {name: parameters.TABLE[name].requirement for name in REQUIREMENTS} == vt.parameter_requirements()


@pytest.mark.parametrize(("name", "value"), REFUSED)
def test_a_refusal_names_the_parameter_its_requirement_and_the_value(name, value):
    parameters = dict(GOOD, **{name: value})
    expected = f"{name} must {REQUIREMENTS[name]}, got {value!r}"
    assert vt.check_wiener_parameters(*parameters.values()) == expected


@given(st.floats(max_value=0.0) | st.sampled_from([-1e16, -1e15, -123456789.0, -1e-5, -1e-4, -0.0, -5e-324]))
def test_the_value_is_written_as_python_s_repr_writes_it(value):
    parameters = dict(GOOD, boundary_separation=value)
    expected = f"boundary_separation must be > 0 and finite, got {value!r}"
    assert vt.check_wiener_parameters(*parameters.values()) == expected


@pytest.mark.parametrize(("name", "value"), REFUSED)
def test_the_likelihood_and_simulate_ddm_refuse_in_the_same_words(name, value):
    parameters = dict(GOOD, **{name: value})
    expected = f"{name} must {REQUIREMENTS[name]}, got {value!r}"
    columns = [np.array([x]) for x in parameters.values()]
    with pytest.raises(ValueError) as likelihood:
        _engine.wiener_logpdf(np.array([True]), np.array([0.8]), *columns)
    assert str(likelihood.value) == expected
    v, a, w, t0, sv, sz, st0, s = parameters.values()
    with pytest.raises(ValueError) as simulation:
        _engine.simulate_ddm(v, a, w, t0, 10, 1, sv, sz, st0, s, "exact", 0.001, 10.0)
    assert str(simulation.value) == expected


@pytest.mark.parametrize(
    ("keywords", "expected"),
    [
        (
            dict(noise_sd=1e-120),
            "noise_sd must be more than 1e-100 times each of |drift_rate|, drift_rate_sd and boundary_separation, "
            "got 1e-120",
        ),
        (dict(dt=0.0), "dt must be > 0 and finite, got 0.0"),
        (dict(max_time=math.nan), "max_time must be > 0 (inf allowed), got nan"),
    ],
)
def test_simulate_ddm_words_its_own_checks_alike(keywords, expected):
    arguments = {**GOOD, "method": "exact", "dt": 0.001, "max_time": 10.0, **keywords}
    with pytest.raises(ValueError) as caught:
        _engine.simulate_ddm(
            *(arguments[name] for name in ("drift_rate", "boundary_separation", "starting_point", "non_decision_time")),
            10,
            1,
            *(arguments[name] for name in ("drift_rate_sd", "starting_point_range", "non_decision_time_range")),
            arguments["noise_sd"],
            arguments["method"],
            arguments["dt"],
            arguments["max_time"],
        )
    assert str(caught.value) == expected


def test_usable_parameters_are_not_refused():
    assert vt.check_wiener_parameters(*GOOD.values()) is None
    edge = dict(GOOD, starting_point=0.25, starting_point_range=0.4999999, non_decision_time=0.0)
    assert vt.check_wiener_parameters(*edge.values()) is None


NOISE_SCALED = "must be below 1e100 times noise_sd in magnitude, got"
NOISE_SCALE = "noise_sd must be more than 1e-100 times each of |drift_rate|, drift_rate_sd and boundary_separation, got"


@pytest.mark.parametrize(
    ("changed", "expected"),
    [
        # A value that is too large at any ordinary noise is named itself ...
        (dict(drift_rate=1e300), f"drift_rate {NOISE_SCALED} 1e+300 with noise_sd 1.0"),
        (dict(drift_rate=-1e100), f"drift_rate {NOISE_SCALED} -1e+100 with noise_sd 1.0"),
        (dict(boundary_separation=1e200, noise_sd=1e-5), f"boundary_separation {NOISE_SCALED} 1e+200 with noise_sd 1e-05"),
        (dict(drift_rate_sd=1e101), f"drift_rate_sd {NOISE_SCALED} 1e+101 with noise_sd 1.0"),
        # ... an ordinary value against a tiny noise names the noise.
        (dict(noise_sd=1e-120), f"{NOISE_SCALE} 1e-120"),
        (dict(drift_rate=1e99, noise_sd=0.001), f"{NOISE_SCALE} 0.001"),
    ],
)
def test_values_too_large_in_units_of_the_noise_are_refused_alike_everywhere(changed, expected):
    from ventrola import parameters

    values = dict(GOOD, **changed)
    assert vt.check_wiener_parameters(*values.values()) == expected
    with pytest.raises(ValueError) as likelihood:
        _engine.wiener_logpdf(np.array([True]), np.array([0.8]), *(np.array([x]) for x in values.values()))
    v, a, w, t0, sv, sz, st0, s = values.values()
    with pytest.raises(ValueError) as simulation:
        _engine.simulate_ddm(v, a, w, t0, 10, 1, sv, sz, st0, s, "exact", 0.001, 10.0)
    with pytest.raises(ValueError) as package:
        parameters.check_values(values)
    assert str(likelihood.value) == str(simulation.value) == str(package.value) == expected
    assert not parameters.valid(values)


def test_large_values_with_a_noise_to_match_are_usable():
    from ventrola import parameters

    values = dict(GOOD, drift_rate=1e300, boundary_separation=1.5e201, noise_sd=1e201)
    assert vt.check_wiener_parameters(*values.values()) is None
    assert parameters.valid(values)
    v, a, w, t0, sv, sz, st0, s = values.values()
    choices, rts, excluded = _engine.simulate_ddm(v, a, w, t0, 10, 1, sv, sz, st0, s, "exact", 0.001, 10.0)
    assert choices.all() and excluded == 0
