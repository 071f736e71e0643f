"""Trials observed in part: each term against integrals of the density, lapses' shares, the
partial derivatives against finite differences, recovery where ignoring the censoring fails,
and the refusals, through the arrays, the tables and the command line."""
import math

import numpy as np
import pandas as pd
import pytest
from scipy import integrate

import ventrola
from ventrola import censoring
from ventrola.parameters import PARAMETER_NAMES

BASE = dict(drift_rate=0.9, boundary_separation=1.4, starting_point=0.45, non_decision_time=0.3,
            drift_rate_sd=0.0, starting_point_range=0.0, non_decision_time_range=0.0, noise_sd=1.0)
VARIED = {**BASE, "drift_rate_sd": 0.8, "starting_point_range": 0.2, "non_decision_time_range": 0.1, "noise_sd": 1.2}


def mass(params, choice, low, high):
    """P(response `choice` with a time in [low, high]) by quadrature of the density."""
    start = max(low, params["non_decision_time"])
    if high <= start:
        return 0.0
    value, _ = integrate.quad(lambda t: float(ventrola.wiener_pdf(choice, t, **params)), start, high,
                              epsabs=1e-12, epsrel=1e-10, limit=200)
    return value


# ---------------------------------------------------------------------------
# The terms against integrals of the density


@pytest.mark.parametrize("params", [BASE, VARIED], ids=["base", "variability"])
def test_each_kind_of_trial_is_the_integral_of_the_density(params):
    rts = np.array([0.62, np.nan, np.nan, 0.81])
    choices = np.array([True, False, True, False])
    deadline, window = 1.1, (0.4, 1.6)
    timed_density = ventrola.wiener_logpdf(choices[[0, 3]], rts[[0, 3]], **params)

    omitted = censoring.trial_terms(choices, rts, params, censoring.observation(rts, deadline=deadline)).log_p
    no_decision = 1 - mass(params, True, 0, deadline) - mass(params, False, 0, deadline)
    assert omitted[1:3] == pytest.approx([math.log(no_decision)] * 2, abs=1e-6)
    assert omitted[[0, 3]] == pytest.approx(timed_density, abs=1e-12)

    chosen = censoring.trial_terms(choices, rts, params, censoring.observation(rts, missing="choice")).log_p
    assert chosen[1] == pytest.approx(math.log(mass(params, False, 0, 50)), abs=1e-6)
    assert chosen[2] == pytest.approx(math.log(mass(params, True, 0, 50)), abs=1e-6)

    timed = rts[[0, 3]]
    trimmed = censoring.trial_terms(choices[[0, 3]], timed, params, censoring.observation(timed, rt_range=window))
    inside = mass(params, True, *window) + mass(params, False, *window)
    assert trimmed.log_p == pytest.approx(timed_density - math.log(inside), abs=1e-6)
    # The renormalised density integrates to 1 over the window.
    grid = np.linspace(*window, 4001)
    total = sum(np.trapezoid(np.exp(censoring.trial_terms(np.full(grid.size, c), grid, params,
                                                          censoring.observation(grid, rt_range=window)).log_p), grid)
                for c in (True, False))
    assert total == pytest.approx(1.0, abs=1e-5)


def test_loglik_sums_the_same_terms():
    rts = np.array([0.62, np.nan, 0.81])
    choices = np.array([True, False, False])
    terms = censoring.trial_terms(choices, rts, BASE, censoring.observation(rts, deadline=1.0), 0.04, 0.81)
    assert ventrola.loglik(choices, rts, BASE, 0.04, deadline=1.0) == pytest.approx(terms.log_p.sum(), rel=1e-14)
    # Without a reason, a missing time stays refused as before.
    with pytest.raises(ValueError, match="impossible response time .* a trial without a time needs a reason"):
        ventrola.loglik(choices, rts, BASE, missing=None, rt_range=(0.1, 2.0))


# ---------------------------------------------------------------------------
# Lapses


def test_a_lapse_s_share_of_each_kind_of_trial():
    p, longest = 0.1, 1.5
    rts = np.array([np.nan, np.nan])
    choices = np.array([True, False])
    model = censoring.trial_terms(choices, rts, BASE, censoring.observation(rts, missing="choice")).log_p
    mixed = censoring.trial_terms(choices, rts, BASE, censoring.observation(rts, missing="choice"), p, longest).log_p
    # Either choice with probability 1/2.
    assert np.exp(mixed) == pytest.approx((1 - p) * np.exp(model) + p / 2, rel=1e-14)

    # An omission: a lapse responds by D unless its uniform time on [0, T] falls after D.
    for deadline, late_share in ((2.0, 0.0), (1.2, 1 - 1.2 / longest)):
        observed = censoring.observation(rts, deadline=deadline)
        alone = censoring.trial_terms(choices, rts, BASE, observed).log_p
        with_lapses = censoring.trial_terms(choices, rts, BASE, observed, p, longest).log_p
        assert np.exp(with_lapses) == pytest.approx((1 - p) * np.exp(alone) + p * late_share, rel=1e-14)

    # A trimmed trial: the mixture renormalised by the share of both components in the window.
    window = (0.4, 2.0)
    rt = np.array([0.7])
    observed = censoring.observation(rt, rt_range=window)
    f = float(ventrola.wiener_pdf(True, 0.7, **BASE))
    inside = mass(BASE, True, *window) + mass(BASE, False, *window)
    lapse_inside = (longest - window[0]) / longest
    expected = ((1 - p) * f + p / (2 * longest)) / ((1 - p) * inside + p * lapse_inside)
    got = censoring.trial_terms(np.array([True]), rt, BASE, observed, p, longest).log_p[0]
    assert math.exp(got) == pytest.approx(expected, rel=1e-6)


# ---------------------------------------------------------------------------
# Partial derivatives


@pytest.mark.parametrize("kind", ["choice", "deadline", "window"])
@pytest.mark.parametrize("params", [BASE, VARIED], ids=["base", "variability"])
def test_partial_derivatives_match_finite_differences(kind, params):
    rts = np.array([0.55, np.nan, 0.9, np.nan]) if kind != "window" else np.array([0.55, 0.7, 0.9, 1.3])
    choices = np.array([True, False, False, True])
    options = {"choice": {"missing": "choice"}, "deadline": {"deadline": np.array([1.0, 1.2, 1.0, 0.8])},
               "window": {"rt_range": (0.45, 1.5)}}[kind]
    observed = censoring.observation(rts, **options)
    wrt = [*PARAMETER_NAMES, "noise_sd"]
    p, longest = 0.05, 1.4
    terms = censoring.trial_terms(choices, rts, params, observed, p, longest, wrt=wrt, lapse_partials=True)

    def at(name, value):
        if name == "contamination":
            return censoring.trial_terms(choices, rts, params, observed, value, longest).log_p
        if name == "max_rt":
            return censoring.trial_terms(choices, rts, params, observed, p, value).log_p
        return censoring.trial_terms(choices, rts, {**params, name: value}, observed, p, longest).log_p

    values = {**params, "contamination": p, "max_rt": longest}
    analytic = {**terms.partials, "contamination": terms.d_contamination, "max_rt": terms.d_longest}
    loose = params is VARIED  # the start and non-decision ranges' distribution function holds about 1e-9
    for name, partial in analytic.items():
        if name in ("drift_rate_sd", "starting_point_range", "non_decision_time_range") and params[name] == 0:
            continue  # at the edge of the range: only the one-sided difference exists
        h = 1e-5 * max(1.0, abs(values[name]))
        numeric = (at(name, values[name] + h) - at(name, values[name] - h)) / (2 * h)
        assert partial == pytest.approx(numeric, rel=2e-3 if loose else 1e-5, abs=2e-3 if loose else 1e-6), name


# ---------------------------------------------------------------------------
# Recovery


def recovery_error(fit, truth):
    return sum(abs(fit[name] - value) / abs(value) for name, value in truth.items())


TRUTH = {"drift_rate": 1.0, "boundary_separation": 1.6, "non_decision_time": 0.3}


def test_go_no_go_recovers_the_model_from_choices_of_the_lower_boundary_alone():
    choices, rts, _ = ventrola.simulate_ddm(1.0, 1.6, 0.5, 0.3, 3000, 21)
    withheld = np.where(choices, rts, np.nan)
    fit = ventrola.fit_ml(choices, withheld, missing="choice", contamination=0.0)
    assert fit["converged"]
    for name, value in TRUTH.items():
        assert abs(fit[name] - value) < 4 * fit["standard_errors"][name], name
    # Without the statement, missing times are refused as they always were.
    with pytest.raises(ValueError, match=r"rts holds \d+ impossible response times \(NaN, .*: the first is nan"):
        ventrola.fit_ml(choices, withheld)


def test_a_deadline_recovers_what_dropping_the_omissions_distorts():
    choices, rts, _ = ventrola.simulate_ddm(0.5, 2.0, 0.5, 0.3, 3000, 22)
    deadline = 1.0
    late = rts > deadline
    assert 0.2 < late.mean() < 0.5
    observed_rts = np.where(late, np.nan, rts)
    truth = {"drift_rate": 0.5, "boundary_separation": 2.0, "non_decision_time": 0.3}
    censored = ventrola.fit_ml(choices, observed_rts, deadline=deadline, contamination=0.0)
    dropped = ventrola.fit_ml(choices[~late], rts[~late], contamination=0.0)
    for name, value in truth.items():
        assert abs(censored[name] - value) < 4 * censored["standard_errors"][name], name
    assert abs(dropped["boundary_separation"] - 2.0) > 8 * dropped["standard_errors"]["boundary_separation"]
    assert recovery_error(censored, truth) < recovery_error(dropped, truth) / 3


def test_trimmed_times_recover_with_the_window_and_not_without():
    choices, rts, _ = ventrola.simulate_ddm(1.0, 1.6, 0.5, 0.3, 6000, 23)
    window = (0.45, 0.9)
    kept = (rts >= window[0]) & (rts <= window[1])
    with_window = ventrola.fit_ml(choices[kept], rts[kept], rt_range=window, contamination=0.0)
    ignored = ventrola.fit_ml(choices[kept], rts[kept], contamination=0.0)
    assert with_window["converged"]
    assert recovery_error(with_window, TRUTH) < 0.25
    assert recovery_error(ignored, TRUTH) > 2 * recovery_error(with_window, TRUTH)
    assert abs(ignored["boundary_separation"] - 1.6) > 5 * ignored["standard_errors"]["boundary_separation"]


# ---------------------------------------------------------------------------
# Refusals, tables and the command line


REFUSED = [
    ({"deadline": 0.7}, [0.5, 0.9], "rts[1] is 0.9 s, after its deadline of 0.7 s"),
    ({"rt_range": (0.6, 2.0)}, [0.5, 0.9], "rts[0] is 0.5 s, outside rt_range (0.6, 2.0)"),
    ({"rt_range": (0.6, 0.2)}, [0.5, 0.9], "rt_range must be (low, high) with 0 <= low < high"),
    ({"rt_range": (0.1, 2.0), "missing": "choice"}, [0.5, np.nan], "rt_range describes trimmed response times"),
    ({"missing": "choice", "deadline": 2.0}, [0.5, np.nan], "give either missing='choice'"),
    ({"missing": "time"}, [0.5, np.nan], "missing must be None or 'choice'"),
    ({"deadline": [1.0, -1.0]}, [0.5, np.nan], "the deadline of trial 1 is -1.0"),
    ({"deadline": [1.0, 2.0, 3.0]}, [0.5, np.nan], "3 values for 2 trials"),
    ({"missing": "choice"}, [-0.5, np.nan], "rts holds 1 impossible response time"),
]


@pytest.mark.parametrize(("options", "rts", "message"), REFUSED)
def test_times_that_do_not_fit_the_statement_are_refused(options, rts, message):
    with pytest.raises(ValueError) as refused:
        ventrola.fit_ml([True, False], rts, **options)
    assert message in str(refused.value)


@pytest.fixture(scope="module")
def deadline_table():
    pieces = []
    for k, subject in enumerate(["s1", "s2"]):
        choices, rts, _ = ventrola.simulate_ddm(0.5, 2.0, 0.5, 0.3, 800, 30 + k)
        pieces.append(pd.DataFrame({"subject": subject, "rt": rts * 1000, "choice": choices.astype(object),
                                    "deadline": 1000.0}))
    table = pd.concat(pieces, ignore_index=True)
    late = table["rt"] > 1000
    table.loc[late, ["rt", "choice"]] = np.nan
    return table


def test_tables_mark_missing_times_as_empty_cells(deadline_table):
    by_column = ventrola.fit_frame(deadline_table, by="subject", method="ml", rt_unit="ms", deadline="deadline")
    by_number = ventrola.fit_frame(deadline_table, by="subject", method="ml", rt_unit="ms", deadline=1000)
    pd.testing.assert_frame_equal(by_column, by_number)
    rows = deadline_table["subject"] == "s1"
    arrays = ventrola.fit_ml(deadline_table.loc[rows, "choice"].fillna(False).astype(bool),
                             deadline_table.loc[rows, "rt"] / 1000, deadline=1.0)
    assert by_column["drift_rate"].iloc[0] == pytest.approx(arrays["drift_rate"], rel=1e-9)
    with pytest.raises(ValueError, match="column 'rt' has .* missing values"):
        ventrola.fit_frame(deadline_table, by="subject", method="ml", rt_unit="ms")
    with pytest.raises(ValueError, match="column 'choice' is empty at index 0, where column 'rt' has a response time"):
        ventrola.fit_frame(deadline_table.assign(choice=deadline_table["choice"].where(deadline_table.index != 0)),
                           by="subject", method="ml", rt_unit="ms", deadline=1000)
    with pytest.raises(ValueError, match="deadline applies only to method='ml'"):
        ventrola.fit_frame(deadline_table, by="subject", rt_unit="ms", deadline=1000)


def test_the_command_line_takes_deadlines_and_windows(tmp_path, deadline_table):
    from ventrola import cli

    path = tmp_path / "trials.csv"
    deadline_table.to_csv(path, index=False)
    out = tmp_path / "fits.csv"
    assert cli.main(["fit", str(path), "--by", "subject", "--method", "ml", "--rt-unit", "ms",
                     "--deadline", "deadline", "-o", str(out), "--quiet"]) == 0
    expected = ventrola.fit_frame(deadline_table, by="subject", method="ml", rt_unit="ms", deadline="deadline")
    assert pd.read_csv(out)["drift_rate"].to_numpy() == pytest.approx(expected["drift_rate"].to_numpy())
    trimmed = deadline_table.dropna()
    trimmed = trimmed[trimmed["rt"] > 400]
    trimmed.to_csv(path, index=False)
    assert cli.main(["fit", str(path), "--by", "subject", "--method", "ml", "--rt-unit", "ms",
                     "--rt-range", "400,1000", "-o", str(out), "--quiet"]) == 0
    expected = ventrola.fit_frame(trimmed, by="subject", method="ml", rt_unit="ms", rt_range=(400, 1000))
    assert pd.read_csv(out)["boundary_separation"].to_numpy() == pytest.approx(expected["boundary_separation"])
    assert cli.main(["fit", str(path), "--method", "ml", "--rt-range", "400"]) == cli.EXIT_USAGE
    assert cli.main(["fit", str(path), "--method", "ml", "--rt-unit", "ms", "--rt-range", "500,1000"]) == cli.EXIT_DATA
