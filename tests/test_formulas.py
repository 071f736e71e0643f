"""Formulas on the parameters: design matrices and their refusals, the maximum-likelihood fit's
gradient through them, recovery of regression coefficients within their standard errors, and
formulas through fit_frame and the command line."""
import math

import numpy as np
import pandas as pd
import pytest
from scipy.optimize import approx_fprime

import ventrola
from ventrola import parameters
from ventrola.formulas import Link, parse_formulas

COHERENCES = (0.0, 0.1, 0.2, 0.4)


def regression_trials(seed, n_per_cell=250, intercept=0.3, slope=2.5, boundaries=(1.2, 1.6), t0=0.3):
    """Drift linear in coherence and a boundary per condition; exact trials, one seed per cell."""
    pieces = []
    for k, (coherence, (condition, boundary)) in enumerate(
        (c, b) for c in COHERENCES for b in zip("ab", boundaries)
    ):
        choices, rts, _ = ventrola.simulate_ddm(intercept + slope * coherence, boundary, 0.5, t0, n_per_cell,
                                                seed * 100 + k)
        pieces.append(pd.DataFrame({"coherence": coherence, "condition": condition, "rt": rts, "choice": choices}))
    return pd.concat(pieces, ignore_index=True)


@pytest.fixture(scope="module")
def table():
    frame = pd.DataFrame({
        "coherence": np.tile([0.0, 0.2, 0.4], 4),
        "condition": np.repeat(["easy", "hard"], 6),
        "subject": np.tile(["s1", "s2"], 6),
    })
    return frame


# ---------------------------------------------------------------------------
# Reading formulas


def test_a_formula_becomes_named_columns_and_group_terms(table):
    parsed = parse_formulas({"drift_rate": "1 + coherence + condition + (1 + coherence | subject)"}, table, 12,
                            allow_groups=True)["drift_rate"]
    assert parsed.names == ("Intercept", "coherence", "condition[hard]")
    assert parsed.intercepts == (0,)
    assert np.array_equal(parsed.common[:, 1], table["coherence"])
    assert np.array_equal(parsed.common[:, 2], (table["condition"] == "hard").astype(float))
    labels = [term.label for term in parsed.groups]
    assert labels == ["1|subject", "coherence|subject"]
    slope = parsed.groups[1]
    assert slope.levels == ("s1", "s2")
    assert np.array_equal(np.asarray(slope.levels)[slope.level_of_trial], table["subject"])
    # Each trial's value of the term, even where it is 0 (its level still comes from the column).
    assert np.array_equal(slope.values[:, 0], table["coherence"])


def test_without_an_intercept_each_level_of_the_factor_sets_the_level(table):
    parsed = parse_formulas({"boundary_separation": "0 + condition"}, table, 12, allow_groups=False)
    assert parsed["boundary_separation"].names == ("condition[easy]", "condition[hard]")
    assert parsed["boundary_separation"].intercepts == (0, 1)


def test_the_links_are_the_parameter_table_s(table):
    links = {name: parse_formulas({name: "1"}, table, 12, allow_groups=False)[name].link.kind
             for name in parameters.TABLE.with_formulas()}
    assert links == {"drift_rate": "identity", "boundary_separation": "log", "starting_point": "logit",
                     "non_decision_time": "log", "drift_rate_sd": "log", "non_decision_time_range": "log"}


@pytest.mark.parametrize("link", [Link("identity"), Link("log"), Link("logit"), Link("logit", 0.1, 0.9)])
def test_each_link_inverts_and_its_slope_is_the_derivative(link):
    eta = np.linspace(-3, 3, 13)
    value = link.value(eta)
    assert np.allclose(link.predictor(value), eta, atol=1e-12)
    step = 1e-6
    numeric = (link.value(eta + step) - link.value(eta - step)) / (2 * step)
    assert np.allclose(link.slope(eta, value), numeric, rtol=1e-7, atol=1e-10)


BAD_FORMULAS = [
    ({"drift": "1"}, "formulas names 'drift', which is not a parameter of the model; formulas apply to drift_rate,"),
    ({"noise_sd": "1"}, "formulas names 'noise_sd', which cannot have a formula (it sets the units"),
    ({"contamination": "1"}, "which cannot have a formula (the lapse weight is one number per fit)"),
    ({"starting_point_range": "1"}, "its room depends on the starting point"),
    ({"drift_rate": "1 + coherense"},
     "the formula for drift_rate ('1 + coherense'): 'coherense' is not a column of the data (columns: coherence,"),
    ({"drift_rate": "1 + (1 | participant)"},
     "the group-specific term groups by 'participant', which is not a column of the data"),
    ({"drift_rate": "1 + (1 + coherence | )"},
     "the group-specific term (1 + coherence | ) names no grouping column; write the column after '|'"),
    ({"drift_rate": "1 + coherence +"}, "('1 + coherence +') is not a formula"),
    ({"drift_rate": "condition + C(condition)"}, "has a column the others already determine"),
    ({"drift_rate": "v ~ 1 + coherence"}, "has 'v' left of '~'; write only the right-hand side, as in '1 + coherence'"),
    ({"drift_rate": ""}, "the formula for drift_rate must be a non-empty string"),
    ({"drift_rate": "1 + np.log(coherence)"}, "gives infinite or NaN covariates"),
]


@pytest.mark.parametrize(("formulas", "message"), BAD_FORMULAS)
def test_every_bad_formula_is_refused_with_what_is_wrong(table, formulas, message):
    with pytest.raises(ValueError) as refused:
        parse_formulas(formulas, table, 12, allow_groups=True)
    assert message in str(refused.value)


def test_bad_data_for_formulas_is_refused(table):
    with pytest.raises(ValueError, match="data must have one row per trial: 12 rows for 10 trials"):
        parse_formulas({"drift_rate": "1 + coherence"}, table, 10, allow_groups=False)
    gaps = table.assign(coherence=table["coherence"].where(table.index != 3))
    with pytest.raises(ValueError, match=r"missing values in the columns it uses: 'coherence' \(1\)"):
        parse_formulas({"drift_rate": "1 + coherence"}, gaps, 12, allow_groups=False)
    with pytest.raises(ValueError, match="data must be a pandas DataFrame"):
        parse_formulas({"drift_rate": "1 + coherence"}, {"coherence": [0.0]}, 1, allow_groups=False)


def test_a_maximum_likelihood_fit_refuses_group_specific_terms(table):
    trials = regression_trials(1, n_per_cell=20)
    with pytest.raises(ValueError, match=r"has group-specific terms \(1\|condition\): .*hierarchical_model"):
        ventrola.fit_ml(trials["choice"], trials["rt"], formulas={"drift_rate": "1 + (1 | condition)"}, data=trials)


def test_fit_ml_refuses_conflicting_formula_arguments():
    trials = regression_trials(1, n_per_cell=20)
    choices, rts = trials["choice"], trials["rt"]
    with pytest.raises(ValueError, match="'drift_rate' has a formula, so it is estimated: leave it out of fixed"):
        ventrola.fit_ml(choices, rts, fixed={"drift_rate": 1.0}, formulas={"drift_rate": "1"}, data=trials)
    with pytest.raises(ValueError, match="starting_point cannot have a formula while starting_point_range is free"):
        ventrola.fit_ml(choices, rts, free=["drift_rate", "boundary_separation", "non_decision_time",
                                            "starting_point_range"],
                        formulas={"starting_point": "1 + condition"}, data=trials)


# ---------------------------------------------------------------------------
# The maximum-likelihood fit


def test_the_objective_s_gradient_runs_through_the_design_matrix():
    """The analytic gradient in the coefficients against finite differences of the objective."""
    from ventrola import censoring
    from ventrola.ml.coordinates import Layout
    from ventrola.ml.formula_design import ml_formulas
    from ventrola.ml.model_spec import model_spec
    from ventrola.ml.objective import Objective, TrialLikelihood
    from ventrola.ml.trial_summary import TrialSummary

    trials = regression_trials(2, n_per_cell=30)
    formulas = {"drift_rate": "1 + coherence", "boundary_separation": "1 + condition",
                "starting_point": "1 + coherence", "non_decision_time": "1 + condition"}
    spec = model_spec(None, None, 0.02, formulas)
    regressions = ml_formulas(formulas, trials, len(trials), spec)
    summary = TrialSummary(trials["choice"].to_numpy(), trials["rt"].to_numpy())
    layout = Layout(spec, summary, {}, regressions)
    objective = Objective(layout, TrialLikelihood(summary, censoring.complete(len(trials))), len(trials))
    x = np.array([0.2, 2.0, 0.2, 0.3, 0.1, -0.2, np.log(0.25), 0.05])
    assert layout.size == len(x)
    _value, gradient = objective.value_and_gradient(x)
    numeric = approx_fprime(x, objective.value, 1e-7)
    assert np.allclose(gradient, numeric, rtol=1e-5, atol=1e-7)


@pytest.mark.parametrize("seed", [3, 4])
def test_regression_coefficients_are_recovered_within_their_standard_errors(seed):
    trials = regression_trials(seed)
    fit = ventrola.fit_ml(trials["choice"], trials["rt"], contamination=0.0, data=trials,
                          formulas={"drift_rate": "1 + coherence", "boundary_separation": "0 + condition"})
    assert fit["converged"]
    truth = {"drift_rate": {"Intercept": 0.3, "coherence": 2.5},
             "boundary_separation": {"condition[a]": math.log(1.2), "condition[b]": math.log(1.6)}}
    for name, terms in truth.items():
        for term, value in terms.items():
            estimate, error = fit["coefficients"][name][term], fit["standard_errors"][name][term]
            assert 0 < error < 0.5
            assert abs(estimate - value) < 3.5 * error, (name, term, estimate, value, error)
    assert abs(fit["non_decision_time"] - 0.3) < 3.5 * fit["standard_errors"]["non_decision_time"]
    # Each trial's value follows its covariates, and loglik reads the result as it stands.
    expected = fit["coefficients"]["drift_rate"]["Intercept"] + fit["coefficients"]["drift_rate"]["coherence"] * \
        trials["coherence"].to_numpy()
    assert np.allclose(fit["drift_rate"], expected)
    assert ventrola.loglik(trials["choice"], trials["rt"], fit) == pytest.approx(fit["loglik"], rel=1e-12)
    assert fit["n_free"] == 5


def test_a_formula_of_one_factor_is_the_depends_on_design():
    trials = regression_trials(5, n_per_cell=150)
    by_formula = ventrola.fit_frame(trials, method="ml", formulas={"drift_rate": "0 + C(coherence)"},
                                    contamination=0.0)
    by_levels = ventrola.fit_frame(trials, method="ml", depends_on={"drift_rate": "coherence"}, contamination=0.0)
    assert by_formula["loglik"].iloc[0] == pytest.approx(by_levels["loglik"].iloc[0], abs=1e-5)
    for level, coherence in enumerate(COHERENCES):
        column = f"drift_rate[C(coherence)[{coherence}]]"
        assert by_formula[column].iloc[0] == pytest.approx(by_levels["drift_rate"].iloc[level], abs=2e-3)
        assert by_formula[f"{column}_se"].iloc[0] == pytest.approx(by_levels["drift_rate_se"].iloc[level], rel=0.02)
    assert np.isnan(by_formula["drift_rate"]).all()


def test_fit_frame_fits_a_formula_in_each_group_and_reports_a_group_it_cannot():
    trials = pd.concat([regression_trials(6, n_per_cell=60).assign(subject="s1"),
                        regression_trials(7, n_per_cell=60).assign(subject="s2")], ignore_index=True)
    formulas = {"drift_rate": "1 + coherence", "boundary_separation": "1 + condition"}
    # s2 saw one condition only: its boundary has no condition term and its row no such coefficient.
    one_condition = trials[(trials["subject"] == "s1") | (trials["condition"] == "a")].reset_index(drop=True)
    fits = ventrola.fit_frame(one_condition, by="subject", method="ml", formulas=formulas)
    assert list(fits["subject"]) == ["s1", "s2"]
    assert fits["error"].isna().all()
    assert 1.5 < fits["drift_rate[coherence]"].iloc[0] < 3.5 and fits["drift_rate[coherence]_se"].iloc[0] > 0
    assert fits["boundary_separation[condition[b]]"].iloc[0] > 0
    assert np.isnan(fits["boundary_separation[condition[b]]"].iloc[1])
    # s2 saw one coherence only: its slope cannot be told from the intercept, and only s2 fails.
    one_coherence = trials[(trials["subject"] == "s1") | (trials["coherence"] == 0.2)].reset_index(drop=True)
    fits = ventrola.fit_frame(one_coherence, by="subject", method="ml", formulas=formulas)
    assert fits["error"].iloc[0] is None
    assert "has a column the others already determine ('coherence')" in fits["error"].iloc[1]
    assert np.isnan(fits.loc[1, "drift_rate[coherence]"])


def test_the_command_line_takes_formulas(tmp_path):
    from ventrola import cli

    trials = regression_trials(8, n_per_cell=60)
    path = tmp_path / "trials.csv"
    trials.to_csv(path, index=False)
    out = tmp_path / "fits.csv"
    status = cli.main(["fit", str(path), "--method", "ml", "--formula", "drift_rate=1 + coherence",
                       "--formula", "boundary_separation=1 + condition", "-o", str(out), "--quiet"])
    assert status == 0
    fits = pd.read_csv(out)
    expected = ventrola.fit_frame(trials, method="ml", formulas={"drift_rate": "1 + coherence",
                                                                 "boundary_separation": "1 + condition"})
    assert fits["drift_rate[coherence]"].iloc[0] == pytest.approx(expected["drift_rate[coherence]"].iloc[0])
    assert cli.main(["fit", str(path), "--method", "ez", "--formula", "drift_rate=1"]) == cli.EXIT_USAGE
    assert cli.main(["fit", str(path), "--method", "ml", "--formula", "drift_rate=1",
                     "--plot", str(tmp_path / "fits.png")]) == cli.EXIT_USAGE
    assert cli.main(["fit", str(path), "--method", "ml", "--formula", "drift_rate=1 + nope"]) == cli.EXIT_DATA


def test_without_formulae_a_formula_says_which_extra_to_install(python_subprocess):
    out = python_subprocess(
        "import sys\n"
        "sys.modules['formulae'] = None  # as if it were not installed\n"
        "import ventrola\n"
        "choices, rts, _ = ventrola.simulate_ddm(1.0, 1.5, 0.5, 0.3, 100, 1)\n"
        "print(ventrola.fit_ml(choices, rts)['converged'])\n"
        "try:\n"
        "    ventrola.fit_ml(choices, rts, formulas={'drift_rate': '1'})\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    assert out.decode().splitlines() == ["True", 'formulas need the formulae package: pip install "ventrola[formulas]"']
