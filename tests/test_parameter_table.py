"""The parameter table: one declaration per parameter, read by the checks, the fits and the priors."""
import math

import numpy as np
import pytest

import ventrola
from ventrola import parameters
from ventrola.parameters import Domain, Fit, GroupPrior, Parameter, SharedPrior

# A value outside each density parameter's range, and the parameters it is tried with.
OUT_OF_RANGE = [
    ("drift_rate", math.inf),
    ("drift_rate", math.nan),
    ("boundary_separation", 0.0),
    ("boundary_separation", math.inf),
    ("starting_point", 1.2),
    ("starting_point", 0.0),
    ("non_decision_time", -0.1),
    ("drift_rate_sd", -1.0),
    ("starting_point_range", 1.5),
    ("non_decision_time_range", math.inf),
    ("noise_sd", 0.0),
]
VALID = {"drift_rate": 1.0, "boundary_separation": 1.5, "starting_point": 0.5, "non_decision_time": 0.2}


@pytest.mark.parametrize(("name", "value"), OUT_OF_RANGE)
def test_the_compiled_engine_refuses_in_the_table_s_words(name, value):
    with pytest.raises(ValueError) as refused:
        ventrola.wiener_logpdf(True, 1.0, **{**VALID, name: value})
    assert str(refused.value) == parameters.TABLE[name].refusal(value)


@pytest.mark.parametrize(("name", "value"), OUT_OF_RANGE)
def test_every_check_reads_the_same_range(name, value):
    """The fit's and the hierarchical model's checks of held values, and the sampler's validity mask."""
    from ventrola.ml.model_spec import model_spec

    expected = parameters.TABLE[name].refusal(value, prefix="fixed ")
    free = [n for n in parameters.DEFAULT_FREE if n != name]
    if not math.isnan(value):  # a fit refuses NaN before any range: it is no number
        with pytest.raises(ValueError) as refused:
            model_spec(free, {name: value}, 0.0)
        assert str(refused.value).startswith(expected)
    assert not parameters.valid({**parameters.DEFAULTS, **VALID, name: value})
    assert parameters.valid({**parameters.DEFAULTS, **VALID})


def test_a_starting_point_range_needs_room_around_the_starting_point():
    with pytest.raises(ValueError, match="starting_point_range must be >= 0 with .* got 0.5 with starting_point 0.2"):
        parameters.check_values({"starting_point": 0.2, "starting_point_range": 0.5})
    mask = parameters.valid({"starting_point": np.array([0.2, 0.5]), "starting_point_range": np.array([0.5, 0.5])})
    assert mask.tolist() == [False, True]


def test_domains_exclude_nan_infinities_and_open_ends():
    positive = Domain(0.0)
    closed = Domain(0.0, 1.0, low_closed=True)
    assert positive.contains(np.array([0.0, 1e-300, 1e300, math.inf, math.nan])).tolist() == [
        False, True, True, False, False]
    assert closed.contains(np.array([0.0, 0.5, 1.0, -0.0])).tolist() == [True, True, False, True]
    assert Domain().contains(-1e308) and not Domain().contains(-math.inf)


def test_the_table_matches_the_engine_s_order_and_the_likelihood_s_defaults():
    _, gradients = ventrola.wiener_logpdf_grad(True, 1.0, 1.0, 1.5)
    assert tuple(gradients) == parameters.PARAMETER_NAMES
    assert parameters.PARAMETER_NAMES == parameters.TABLE.density_names()
    for name, default in parameters.DEFAULTS.items():
        # Each default is a valid value, and the one every function uses when the name is left out.
        assert parameters.TABLE[name].domain.contains(default)
    assert parameters.DEFAULTS == {
        "starting_point": 0.5, "non_decision_time": 0.0, "drift_rate_sd": 0.0, "starting_point_range": 0.0,
        "non_decision_time_range": 0.0, "noise_sd": 1.0}
    assert set(parameters.DEFAULT_FREE) <= set(parameters.TABLE.estimable())


def test_the_command_line_s_help_comes_from_the_table(capsys):
    from ventrola.cli import main

    assert main(["simulate", "--help"]) == 0
    text = " ".join(capsys.readouterr().out.split())
    for parameter in parameters.TABLE.entries:
        if parameter.option is not None:
            assert parameter.option in text
            assert " ".join(parameter.meaning.split()) in text


# ---------------------------------------------------------------------------
# Adding a parameter is adding an entry

TOY = Parameter(
    "toy_scale", "a scale no model has", "seconds", 0.25, Domain(0.0), "be > 0 and finite",
    fit=Fit("log_noise_scaled", 0.1, 10.0, start=None),
    prior=SharedPrior("half_normal", 0.7),
)


@pytest.fixture
def with_toy(monkeypatch):
    monkeypatch.setattr(parameters, "TABLE", parameters.TABLE.adding(TOY))


def test_a_new_parameter_is_checked(with_toy):
    pytest.importorskip("pymc")  # the hierarchical model's checks; the sanitizer's environment has no PyMC
    from ventrola.bayes.model_options import fixed_values
    from ventrola.ml.model_spec import model_spec

    with pytest.raises(ValueError, match=r"^fixed toy_scale must be > 0 and finite, got -1.0$"):
        model_spec(None, {"toy_scale": -1.0}, 0.0)
    with pytest.raises(ValueError, match=r"^fixed toy_scale must be > 0 and finite, got 0.0$"):
        fixed_values({"toy_scale": 0.0}, ("drift_rate", "boundary_separation"))
    held = fixed_values(None, ("drift_rate", "boundary_separation"))
    assert held["toy_scale"] == 0.25  # its default
    assert not parameters.valid({"toy_scale": np.array([-1.0])})[0]


def test_a_new_parameter_is_fitted_through_its_transform(with_toy):
    from ventrola.ml.coordinates import Layout
    from ventrola.ml.model_spec import model_spec
    from ventrola.ml.trial_summary import TrialSummary

    spec = model_spec(["drift_rate", "toy_scale"], {"boundary_separation": 1.5, "noise_sd": 2.0}, 0.0)
    assert spec.free == ("drift_rate", "toy_scale")
    trials = TrialSummary(np.array([True, False, True]), np.array([0.4, 0.5, 0.9]))
    layout = Layout(spec, trials, {"toy_scale": (np.array([0, 1, 1]), 2)})
    bounds = np.array(layout.bounds())
    np.testing.assert_allclose(bounds[1:], [[math.log(0.1), math.log(10.0)]] * 2)
    theta = np.array([0.8, 0.3, 1.2])
    x = layout.x(theta)
    np.testing.assert_allclose(x[1:], np.log(theta[1:] / 2.0))  # log of its ratio to the noise
    np.testing.assert_allclose(layout.theta(x), theta)
    values, _ = layout.values(theta)
    np.testing.assert_array_equal(values["toy_scale"], [0.3, 1.2, 1.2])


def test_a_new_parameter_gets_its_prior(with_toy):
    pm = pytest.importorskip("pymc")
    from ventrola.bayes.priors import shared_priors, shared_variable

    assert shared_priors()["toy_scale"] == SharedPrior("half_normal", 0.7)
    with pm.Model():
        variable = shared_variable("toy_scale", shared_priors()["toy_scale"], None, {})
        assert variable.owner.op.name == "halfnormal"
        assert float(variable.owner.inputs[-1].eval()) == pytest.approx(0.7)


def test_the_standard_priors_are_declared_once():
    pytest.importorskip("pymc")
    from ventrola.bayes.priors import participant_priors, shared_priors

    assert list(participant_priors()) == ["drift_rate", "boundary_separation", "starting_point", "non_decision_time"]
    assert list(shared_priors()) == ["drift_rate_sd", "starting_point_range", "non_decision_time_range"]
    assert all(isinstance(p, GroupPrior) for p in participant_priors().values())
