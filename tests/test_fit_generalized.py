"""Maximum-likelihood fits of generalized models: recovery for every family (tolerances from the
fit's own standard errors), designs on the families' parameters, the model carried by the result,
the comparison picking the generating model, and the refusals."""
import numpy as np
import pandas as pd
import pytest

import ventrola
from ventrola import DDM

BASE = dict(drift_rate=1.2, boundary_separation=2.0, non_decision_time=0.3)
FAMILIES = [
    (DDM(bound="linear"), dict(collapse_time=2.5)),
    (DDM(bound="exponential"), dict(collapse_time=0.8)),
    (DDM(bound="hyperbolic"), dict(collapse_time=0.6)),
    (DDM(bound="weibull"), dict(collapse_time=0.8, collapse_shape=2.5, collapse_floor=0.2)),
    (DDM(drift="dmc"), dict(automatic_amplitude=0.6, automatic_time=0.05, automatic_shape=2.0)),
    (DDM(leak=True), dict(leak=2.0)),
]


@pytest.fixture(scope="module")
def collapsing():
    """1,500 trials of an exponential collapse, fitted under that model and under the standard one."""
    model = DDM(bound="exponential")
    choices, rts, _ = model.simulate(1500, 5, drift_rate=1.0, boundary_separation=2.2, non_decision_time=0.3,
                                     collapse_time=0.5)
    return model, choices, rts, ventrola.fit_ml(choices, rts, model=model), ventrola.fit_ml(choices, rts)


@pytest.mark.parametrize(("model", "own"), FAMILIES, ids=[repr(m) for m, _ in FAMILIES])
def test_every_family_recovers_its_parameters_within_four_standard_errors(model, own):
    truth = {**BASE, **own}
    choices, rts, _ = model.simulate(2000, 11, **truth)
    fit = ventrola.fit_ml(choices, rts, model=model, contamination=0.0)
    assert fit["converged"] and fit["note"] is None
    assert fit["n_free"] == 3 + len(own) and fit["model"] == model
    for name, value in truth.items():
        error = fit["standard_errors"][name]
        assert 0.0 < error < 0.5 * max(abs(value), 0.1), (name, error)
        assert abs(fit[name] - value) < 4.0 * error, (name, fit[name], value, error)
    # The optimum beats the truth: the optimizer found the maximum, not a point near the start.
    assert fit["loglik"] >= model.loglik(choices, rts, truth) - 1e-6


def test_the_result_carries_the_model_for_loglik_and_keeps_the_standard_columns(collapsing):
    model, choices, rts, fit, standard = collapsing
    assert list(fit)[:9] == [*ventrola.DDM().parameter_names, "collapse_time"]
    assert fit["model"] == model and standard["model"] == DDM()
    assert ventrola.loglik(choices, rts, fit, contamination=fit["contamination"]) == pytest.approx(fit["loglik"], abs=1e-9)
    assert model.loglik(choices, rts, fit, contamination=0.02) == pytest.approx(fit["loglik"], abs=1e-9)
    assert "collapse_time" not in standard and set(standard["standard_errors"]) == {
        "drift_rate", "boundary_separation", "non_decision_time"}


def test_the_default_model_gives_todays_fit_bit_for_bit():
    choices, rts, _ = ventrola.simulate_ddm(0.9, 1.6, 0.5, 0.25, 800, 3)
    plain = ventrola.fit_ml(choices, rts, free=["drift_rate", "boundary_separation", "non_decision_time",
                                                "starting_point"])
    explicit = ventrola.fit_ml(choices, rts, free=["drift_rate", "boundary_separation", "non_decision_time",
                                                   "starting_point"], model=DDM())
    for key in ("drift_rate", "boundary_separation", "starting_point", "non_decision_time", "loglik", "iterations"):
        assert plain[key] == explicit[key]
    assert plain["trials_digest"] == explicit["trials_digest"]


def test_free_and_fixed_family_parameters():
    model = DDM(bound="weibull")
    choices, rts, _ = model.simulate(600, 2, **BASE, collapse_time=0.9, collapse_shape=3.0, collapse_floor=0.1)
    fit = ventrola.fit_ml(choices, rts, model=model, free=["drift_rate", "boundary_separation", "non_decision_time",
                                                           "collapse_time"],
                          fixed={"collapse_shape": 3.0, "collapse_floor": 0.1})
    assert fit["n_free"] == 4 and fit["collapse_shape"] == 3.0 and fit["collapse_floor"] == 0.1
    assert set(fit["standard_errors"]) == {"drift_rate", "boundary_separation", "non_decision_time", "collapse_time"}


@pytest.mark.parametrize(
    ("arguments", "fragments"),
    [
        (dict(free=["drift_rate", "collapse_time"]), ["'collapse_time' in free", "linear and exponential", "DDM()"]),
        (dict(fixed={"automatic_time": 0.1}, model=DDM(bound="linear")),
         ["'automatic_time' in fixed", "dmc families", "DDM(bound='linear')"]),
        (dict(model=DDM(bound="linear"), free=["drift_rate", "boundary_separation"], fixed={"collapse_time": -1.0}),
         ["fixed collapse_time must be > 0"]),
        (dict(model=DDM(bound="linear"), fixed={"collapse_time": 1.0}), ["'collapse_time' is both free and fixed"]),
        (dict(model=DDM(bound="linear"), deadline=1.0), ["missing, deadline and rt_range", "timed trials"]),
        (dict(model=DDM(bound="linear"), rt_range=(0.1, 5.0)), ["rt_range"]),
        (dict(model="exponential"), ["model must be a ventrola.DDM"]),
    ],
)
def test_refusals_say_what_is_wrong(arguments, fragments):
    choices, rts, _ = ventrola.simulate_ddm(1.0, 1.5, 0.5, 0.3, 200, 1)
    if "deadline" in arguments:
        rts = np.where(rts > arguments["deadline"], np.nan, rts)
    with pytest.raises(ValueError) as caught:
        ventrola.fit_ml(choices, rts, **arguments)
    for fragment in fragments:
        assert fragment in str(caught.value)


def test_loglik_refuses_partial_observation_under_a_generalized_model(collapsing):
    _model, choices, rts, fit, _standard = collapsing
    with pytest.raises(ValueError, match="timed trials"):
        ventrola.loglik(choices, rts, fit, missing="choice")


# ---------------------------------------------------------------------------
# Designs


def conflict_trials(n=700):
    model = DDM(drift="dmc")
    parts = []
    for k, (level, amplitude) in enumerate((("congruent", 0.6), ("incongruent", -0.6))):
        choices, rts, _ = model.simulate(n, 20 + k, **BASE, automatic_amplitude=amplitude, automatic_time=0.05,
                                         automatic_shape=2.0)
        parts.append(pd.DataFrame({"subject": "s1", "congruency": level, "choice": choices, "rt": rts}))
    return model, pd.concat(parts, ignore_index=True)


def test_a_conflict_design_recovers_the_activation_with_opposite_signs():
    model, trials = conflict_trials()
    # The activation's shape held at its true value keeps the test quick; its time scale is free.
    fits = ventrola.fit_frame(trials, by="subject", method="ml", model=model, contamination=0.0,
                              free=["drift_rate", "boundary_separation", "non_decision_time", "automatic_amplitude",
                                    "automatic_time"], fixed={"automatic_shape": 2.0},
                              depends_on={"automatic_amplitude": "congruency"})
    assert list(fits["congruency"]) == ["congruent", "incongruent"] and fits["converged"].all()
    for column in ("automatic_amplitude", "automatic_time", "automatic_shape", "automatic_amplitude_se"):
        assert column in fits.columns
    assert "automatic_shape_se" not in fits.columns and (fits["automatic_shape"] == 2.0).all()
    amplitude, error = fits["automatic_amplitude"].to_numpy(), fits["automatic_amplitude_se"].to_numpy()
    assert np.all(np.abs(amplitude - [0.6, -0.6]) < 4 * error)
    # Shared parameters are one value on both rows.
    assert fits["automatic_time"].nunique() == 1 and fits["n_free"].iloc[0] == 6


def test_a_nearly_flat_direction_keeps_its_standard_errors():
    # With the activation's shape free as well, its time scale, its shape and the non-decision
    # time trade off: the information's smallest eigenvalue is about 1e-5 of its largest, and
    # differences of the gradient erring by their step (forward ones did) turned it negative.
    model = DDM(drift="dmc")
    shared = dict(drift_rate=1.4, boundary_separation=1.7, non_decision_time=0.3, automatic_time=0.05,
                  automatic_shape=2.0)
    parts = []
    for k, (level, amplitude) in enumerate((("congruent", 0.6), ("incongruent", -0.6))):
        choices, rts, _ = model.simulate(1500, 70 + k, automatic_amplitude=amplitude, **shared)
        parts.append(pd.DataFrame({"congruency": level, "choice": choices, "rt": rts}))
    fits = ventrola.fit_frame(pd.concat(parts, ignore_index=True), method="ml", model=model,
                              depends_on={"automatic_amplitude": "congruency"})
    assert fits["converged"].all() and fits["note"].isna().all()
    errors = fits[[column for column in fits.columns if column.endswith("_se")]].to_numpy()
    assert errors.shape[1] == 6 and np.isfinite(errors).all() and (errors > 0).all()
    amplitude = fits["automatic_amplitude"].to_numpy()
    assert np.all(np.abs(amplitude - [0.6, -0.6]) < 4 * fits["automatic_amplitude_se"].to_numpy())


def test_a_collapse_per_instruction_is_estimated_per_level():
    model = DDM(bound="exponential")
    parts = []
    for k, (instruction, tau) in enumerate((("speed", 0.35), ("accuracy", 1.5))):
        choices, rts, _ = model.simulate(900, 40 + k, **BASE, collapse_time=tau)
        parts.append(pd.DataFrame({"instruction": instruction, "choice": choices, "rt": rts}))
    trials = pd.concat(parts, ignore_index=True)
    fits = ventrola.fit_frame(trials, method="ml", model=model, contamination=0.0,
                              depends_on={"collapse_time": "instruction"})
    by_level = fits.set_index("instruction")
    for instruction, tau in (("speed", 0.35), ("accuracy", 1.5)):
        row = by_level.loc[instruction]
        assert abs(row["collapse_time"] - tau) < 4 * row["collapse_time_se"], (instruction, row["collapse_time"])
    assert by_level.loc["speed", "collapse_time"] < by_level.loc["accuracy", "collapse_time"]


def test_design_refusals():
    model, trials = conflict_trials(60)
    with pytest.raises(ValueError, match="'automatic_amplitude'.*not free"):
        ventrola.fit_frame(trials, method="ml", model=model, free=["drift_rate", "boundary_separation"],
                           depends_on={"automatic_amplitude": "congruency"})
    with pytest.raises(ValueError, match="applies only to method='ml'"):
        ventrola.fit_frame(trials, model=model)
    with pytest.raises(ValueError, match="depends_on names 'collapse_time'"):
        ventrola.fit_frame(trials, method="ml", model=model, depends_on={"collapse_time": "congruency"})


# ---------------------------------------------------------------------------
# Comparison


def test_compare_picks_the_generating_model_and_ranks_by_aic(collapsing):
    _model, choices, rts, fit, standard = collapsing
    table = ventrola.compare({"standard": standard, "collapsing": fit})
    assert list(table.index) == ["collapsing", "standard"]
    assert list(table.columns) == ["model", "loglik", "n_free", "aic", "bic", "delta_aic", "delta_bic",
                                   "aic_weight", "converged"]
    assert table["delta_aic"].iloc[0] == 0.0 and table["aic_weight"].sum() == pytest.approx(1.0)
    assert table.loc["collapsing", "aic"] == pytest.approx(2 * 4 - 2 * fit["loglik"])
    assert table.loc["standard", "bic"] == pytest.approx(3 * np.log(len(rts)) - 2 * standard["loglik"])
    assert table.loc["collapsing", "aic_weight"] > 0.99
    # And the other way round: data of the standard model do not need the collapse.
    choices, rts, _ = ventrola.simulate_ddm(1.0, 1.6, 0.5, 0.3, 1500, 8)
    fits = {"standard": ventrola.fit_ml(choices, rts), "collapsing": ventrola.fit_ml(choices, rts, model=DDM(bound="exponential"))}
    assert ventrola.compare(fits).index[0] == "standard"


def test_compare_refuses_fits_of_different_data_and_non_fits(collapsing):
    _model, choices, rts, fit, standard = collapsing
    other = ventrola.fit_ml(choices[::-1], rts[::-1])  # the same numbers in another order are other data
    with pytest.raises(ValueError, match="different data"):
        ventrola.compare({"a": fit, "b": other})
    with pytest.raises(ValueError, match="different data.*1500 and 1499"):
        ventrola.compare({"a": {"loglik": -1.0, "n_free": 3, "n_trials": 1500},
                          "b": {"loglik": -1.0, "n_free": 3, "n_trials": 1499}})
    with pytest.raises(ValueError, match="at least two fits"):
        ventrola.compare({"a": fit})
    with pytest.raises(ValueError, match="no 'loglik'"):
        ventrola.compare({"a": fit, "b": {"drift_rate": 1.0, "n_free": 3, "n_trials": 1500}})
