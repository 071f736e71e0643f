"""Trial tables: fit_frame, simulate_frame and simulate_conditions."""
import concurrent.futures
import concurrent.futures.process
import sys

import numpy as np
import pandas as pd
import pytest

import ventrola
from ventrola import frames

PARAMETERS = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd"]


@pytest.fixture(scope="module")
def trials():
    """Two subjects by two conditions, 200 trials each, rows shuffled so groups interleave."""
    conditions = [
        {"subject": subject, "condition": condition, "drift": drift, "boundary": 1.4, "start": 0.5, "t0": 0.3}
        for subject in (12, 3)
        for condition, drift in (("hard", 0.7), ("easy", 1.6))
    ]
    table = ventrola.simulate_conditions(conditions, 200, 11)
    order = np.random.default_rng(5).permutation(len(table))
    return table.iloc[order].reset_index(drop=True)


def group_arrays(table, subject, condition):
    rows = table[(table["subject"] == subject) & (table["condition"] == condition)]
    return rows["choice"].to_numpy(dtype=bool), rows["rt"].to_numpy(dtype=np.float64)


# ---------------------------------------------------------------------------
# fit_frame: results


def test_ez_fits_each_group_like_fit_ez(trials):
    fits = ventrola.fit_frame(trials, rt="rt", choice="choice", by=["subject", "condition"])
    assert list(fits.columns) == ["subject", "condition", *PARAMETERS, "n_trials", "error"]
    assert list(zip(fits["subject"], fits["condition"])) == [(3, "easy"), (3, "hard"), (12, "easy"), (12, "hard")]
    assert fits["subject"].dtype == trials["subject"].dtype
    for _, row in fits.iterrows():
        choices, rts = group_arrays(trials, row["subject"], row["condition"])
        expected = ventrola.fit_ez(choices, rts)
        assert {name: row[name] for name in PARAMETERS} == expected
        assert row["n_trials"] == 200
        assert row["error"] is None


def test_sim_fits_each_group_like_fit_sim(trials):
    guess = {"drift_rate": 1.0, "boundary_separation": 1.0, "non_decision_time": 0.2}
    subset = trials[trials["subject"] == 3]
    fits = ventrola.fit_frame(subset, by="condition", method="sim", max_iters=3, initial_guess=guess)
    assert list(fits.columns) == ["condition", *PARAMETERS, "iterations", "final_cost", "n_trials", "error"]
    assert fits["iterations"].dtype == "Int64"
    for _, row in fits.iterrows():
        choices, rts = group_arrays(trials, 3, row["condition"])
        expected = ventrola.fit_sim(choices, rts, initial_guess=guess, max_iters=3)
        assert {name: row[name] for name in [*PARAMETERS, "iterations", "final_cost"]} == expected


@pytest.mark.parametrize("by", [None, []])
def test_no_grouping_fits_the_whole_table(trials, by):
    fits = ventrola.fit_frame(trials, by=by)
    assert list(fits.columns) == [*PARAMETERS, "n_trials", "error"]
    assert len(fits) == 1
    expected = ventrola.fit_ez(trials["choice"].to_numpy(), trials["rt"].to_numpy())
    assert {name: fits.loc[0, name] for name in PARAMETERS} == expected
    assert fits.loc[0, "n_trials"] == len(trials)


def test_a_failing_group_reports_its_error_and_the_others_are_fitted(trials):
    table = trials[trials["subject"] == 3].copy()
    # No correct response in the "easy" group: EZ cannot be fitted there.
    table.loc[table["condition"] == "easy", "choice"] = False
    fits = ventrola.fit_frame(table, by="condition").set_index("condition")
    choices, rts = table.loc[table["condition"] == "easy", "choice"].to_numpy(), table.loc[
        table["condition"] == "easy", "rt"
    ].to_numpy()
    with pytest.raises(ventrola.VentrolaError) as raised:
        ventrola.fit_ez(choices, rts)
    assert fits.loc["easy", "error"] == str(raised.value)
    assert fits.loc["easy", PARAMETERS].isna().all()
    assert fits.loc["easy", "n_trials"] == 200
    assert fits.loc["hard", "error"] is None
    assert fits.loc["hard", PARAMETERS].notna().all()


# ---------------------------------------------------------------------------
# fit_frame: choice encodings and units


def test_choice_encodings_give_the_same_fit(trials):
    reference = ventrola.fit_frame(trials, by=["subject", "condition"])
    as_int = trials.assign(choice=trials["choice"].astype(np.int64))
    as_float = trials.assign(choice=trials["choice"].astype(np.float64))
    as_object = trials.assign(choice=trials["choice"].astype(object))
    # Python booleans and 0/1 numbers mixed in one column, as hand-edited data may have them.
    mixed = trials["choice"].astype(object).where(np.arange(len(trials)) % 3 != 0, trials["choice"].astype(int))
    as_mixed = trials.assign(choice=mixed)
    labels = np.where(trials["choice"], "correct", np.where(np.arange(len(trials)) % 2, "error", "slip"))
    as_labels = trials.assign(choice=labels)
    for table, upper in [(as_int, None), (as_float, None), (as_object, None), (as_mixed, None), (as_labels, "correct")]:
        fits = ventrola.fit_frame(table, by=["subject", "condition"], upper=upper)
        pd.testing.assert_frame_equal(fits, reference)


def test_upper_label_selects_the_upper_boundary(trials):
    # Mapping the other label swaps the boundaries: accuracy p becomes 1 - p.
    labels = trials.assign(choice=np.where(trials["choice"], "A", "B"))
    upper_a = ventrola.fit_frame(labels, by="condition", upper="A")
    upper_b = ventrola.fit_frame(labels, by="condition", upper="B")
    swapped = trials.assign(choice=~trials["choice"])
    pd.testing.assert_frame_equal(upper_b, ventrola.fit_frame(swapped, by="condition"))
    assert not upper_a["drift_rate"].equals(upper_b["drift_rate"])


def test_milliseconds_are_converted_to_seconds(trials):
    in_ms = trials.assign(rt=trials["rt"] * 1000.0)
    seconds = ventrola.fit_frame(trials, by=["subject", "condition"])
    millis = ventrola.fit_frame(in_ms, by=["subject", "condition"], rt_unit="ms")
    pd.testing.assert_frame_equal(millis, seconds, rtol=1e-9, atol=0)
    # Read as seconds, the same times are refused with the fix in the message.
    with pytest.raises(ValueError, match=r'median response time is \d+(\.\d+)? s.*pass rt_unit="ms"$'):
        ventrola.fit_frame(in_ms, by=["subject", "condition"])


def test_other_column_names(trials):
    renamed = trials.rename(columns={"rt": "RT (s)", "choice": "response", "subject": "pid"})
    fits = ventrola.fit_frame(renamed, rt="RT (s)", choice="response", by=["pid"])
    pd.testing.assert_frame_equal(fits, ventrola.fit_frame(trials, by="subject").rename(columns={"subject": "pid"}))


# ---------------------------------------------------------------------------
# fit_frame: bad tables and arguments


def bad_tables(trials):
    small = trials.head(50).copy()
    text_rt = small.assign(rt=small["rt"].astype(str))
    text_rt.loc[text_rt.index[3], "rt"] = "0.4s"
    missing_rt = small.copy()
    missing_rt.loc[missing_rt.index[2], "rt"] = np.nan
    missing_subject = small.astype({"subject": float})
    missing_subject.loc[missing_subject.index[0], "subject"] = np.nan
    missing_choice = small.assign(choice=small["choice"].astype(object))
    missing_choice.loc[missing_choice.index[1], "choice"] = None
    relabelled = small.set_axis(range(100, 150))
    return [
        (small.drop(columns="rt"), {}, "column 'rt' is not in the table"),
        (small.drop(columns="choice"), {}, "column 'choice' is not in the table"),
        (small, {"by": ["subject", "session"]}, "column 'session' is not in the table"),
        (text_rt, {}, "column 'rt' must hold numeric response times.*'0.4s'"),
        (small.assign(rt=small["choice"]), {}, "column 'rt' must hold numeric response times"),
        (small.assign(choice=small["choice"] * 2), {}, "column 'choice' must hold booleans or 0/1"),
        (small.assign(choice=np.where(small["choice"], "c", "e")), {}, "column 'choice'.*upper=LABEL"),
        (small.assign(choice=np.where(small["choice"], "c", "e")), {"upper": "C"}, "no row of column 'choice'"),
        (small.iloc[:0], {}, "table is empty"),
        (missing_rt, {}, "column 'rt' has 1 missing value"),
        (missing_subject, {}, "column 'subject' has 1 missing value"),
        (missing_choice, {}, "column 'choice' has 1 missing value"),
        (relabelled.assign(rt=changed(relabelled["rt"], {120: 0.0, 104: -0.3})), {},
         r"^column 'rt' holds 2 impossible response times \(NaN, infinite, zero or negative\): the first is -0.3 "
         r"at index 104$"),
        (small.assign(rt=changed(small["rt"], {small.index[7]: np.inf})), {}, "1 impossible response time .*inf"),
        (relabelled.assign(choice=changed(relabelled["choice"].astype(int), {131: 2})), {},
         "column 'choice' must hold booleans or 0/1 choices, found 2.0 at index 131; pass upper=LABEL"),
        (small, {"rt_unit": "ms"}, r'median response time is 0.\d+ ms, far below .* leave out rt_unit="ms"$'),
        (small.assign(rt=small["rt"] * 1e6), {"rt_unit": "ms"}, "far beyond any two-choice task; check the unit"),
    ]


def changed(column, at):
    column = column.copy()
    for label, value in at.items():
        column.loc[label] = value
    return column


def test_bad_tables_raise_value_error_naming_the_column(trials):
    for table, extra, message in bad_tables(trials):
        arguments = {"by": ["subject"], **extra}
        with pytest.raises(ValueError, match=message):
            ventrola.fit_frame(table, **arguments)


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"method": "mle"}, "method must be 'ez', 'sim' or 'ml'"),
        ({"rt_unit": "min"}, "rt_unit must be 's' or 'ms'"),
        ({"method": "sim", "max_iters": -1}, "max_iters must be a non-negative integer"),
        ({"method": "sim", "max_iters": 2.5}, "max_iters must be a non-negative integer"),
        ({"method": "sim", "initial_guess": {"drift_rate": 1.0}}, "initial_guess is missing 'boundary_separation'"),
        ({"by": ["subject", "subject"]}, "more than once"),
    ],
)
def test_bad_arguments_raise_value_error(trials, arguments, message):
    with pytest.raises(ValueError, match=message):
        ventrola.fit_frame(trials.head(40), **arguments)


# ---------------------------------------------------------------------------
# fit_frame: executors and progress


class RecordingExecutor(concurrent.futures.Executor):
    """Runs each task at once and keeps its arguments."""

    def __init__(self):
        self.calls = []

    def submit(self, fn, /, *args, **kwargs):
        self.calls.append(args)
        future = concurrent.futures.Future()
        future.set_result(fn(*args, **kwargs))
        return future


def test_executor_gets_one_task_of_plain_arrays_per_group(trials):
    executor = RecordingExecutor()
    fits = ventrola.fit_frame(trials, by=["subject", "condition"], executor=executor)
    assert len(executor.calls) == len(fits) == 4
    for call, (_, row) in zip(executor.calls, fits.iterrows()):
        choices, rts = call[0], call[1]
        assert isinstance(choices, np.ndarray) and choices.dtype == np.bool_ and choices.flags.c_contiguous
        assert isinstance(rts, np.ndarray) and rts.dtype == np.float64 and rts.flags.c_contiguous
        expected_choices, expected_rts = group_arrays(trials, row["subject"], row["condition"])
        assert np.array_equal(choices, expected_choices) and np.array_equal(rts, expected_rts)
        assert not any(isinstance(argument, (pd.DataFrame, pd.Series)) for argument in call)


def test_thread_and_process_pools_give_the_serial_result(trials):
    serial = ventrola.fit_frame(trials, by=["subject", "condition"])
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        threaded = ventrola.fit_frame(trials, by=["subject", "condition"], executor=pool)
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        processes = ventrola.fit_frame(trials, by=["subject", "condition"], executor=pool)
    pd.testing.assert_frame_equal(threaded, serial)
    pd.testing.assert_frame_equal(processes, serial)


def test_dask_cluster_of_worker_processes_gives_the_serial_result(trials):
    distributed = pytest.importorskip("distributed")
    # One group fitted by simulation, one failing, one too small: each in its place.
    table = pd.concat([
        trials[(trials["subject"] == 3) & (trials["condition"] == "hard")],
        trials[(trials["subject"] == 12) & (trials["condition"] == "hard")].assign(choice=False),
        trials[(trials["subject"] == 12) & (trials["condition"] == "easy")].head(1),
    ])
    serial = ventrola.fit_frame(table, by=["subject", "condition"], method="sim", max_iters=2)
    assert list(serial["error"].isna()) == [True, False, False]
    with distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        on_cluster = ventrola.fit_frame(
            table, by=["subject", "condition"], method="sim", max_iters=2, executor=client.get_executor()
        )
        workers_used = client.run(lambda: "ventrola.frames" in sys.modules)
    pd.testing.assert_frame_equal(on_cluster, serial)
    assert len(workers_used) == 2 and any(workers_used.values())


class LostWorkerExecutor(concurrent.futures.Executor):
    """The first task fails as if its worker died; the others stay queued."""

    def __init__(self):
        self.futures = []

    def submit(self, fn, /, *args, **kwargs):
        future = concurrent.futures.Future()
        if not self.futures:
            future.set_exception(concurrent.futures.process.BrokenProcessPool("worker died"))
        self.futures.append(future)
        return future


def test_a_failed_task_ends_the_call_and_cancels_the_queued_ones(trials):
    executor = LostWorkerExecutor()
    with pytest.raises(concurrent.futures.process.BrokenProcessPool, match="worker died"):
        ventrola.fit_frame(trials, by=["subject", "condition"], executor=executor)
    assert len(executor.futures) == 4
    assert all(future.cancelled() for future in executor.futures[1:])


def test_progress_wraps_the_finished_groups(trials):
    seen = []

    def progress(iterable, total):
        seen.append(total)
        for item in iterable:
            seen.append(item)
            yield item

    fits = ventrola.fit_frame(trials, by="subject", progress=progress)
    assert seen[0] == 2
    assert [item["drift_rate"] for item in seen[1:]] == list(fits["drift_rate"])


# ---------------------------------------------------------------------------
# fit_frame: maximum likelihood and designs

ML_SUMMARY = ["loglik", "aic", "bic", "n_trials", "n_free", "iterations", "converged", "note", "error"]


@pytest.fixture(scope="module")
def design_trials():
    """Two subjects by three conditions of different drift and one boundary, 500 exact trials each."""
    levels = [(subject, condition, drift) for subject in ("s1", "s2")
              for condition, drift in (("hard", 0.5), ("medium", 1.2), ("easy", 2.2))]
    pieces = [ventrola.simulate_frame(drift, 1.3, 0.5, 0.28, 500, seed, method="exact").assign(
                  subject=subject, condition=condition)
              for seed, (subject, condition, drift) in enumerate(levels, start=17)]
    return pd.concat(pieces, ignore_index=True)[["subject", "condition", "trial", "choice", "rt"]]


def test_ml_fits_each_group_like_fit_ml(trials):
    fits = ventrola.fit_frame(trials, by=["subject", "condition"], method="ml", contamination=0.01)
    free = ["drift_rate", "boundary_separation", "non_decision_time"]
    assert list(fits.columns) == ["subject", "condition", *PARAMETERS[:4], "drift_rate_sd", "starting_point_range",
                                  "non_decision_time_range", "noise_sd", "contamination",
                                  *[f"{name}_se" for name in free], *ML_SUMMARY]
    for _, row in fits.iterrows():
        expected = ventrola.fit_ml(*group_arrays(trials, row["subject"], row["condition"]), contamination=0.01)
        for name in ["drift_rate", "boundary_separation", "starting_point", "non_decision_time", "contamination",
                     "loglik", "aic", "bic", "n_trials", "n_free", "iterations", "converged"]:
            assert row[name] == expected[name], name
        assert [row[f"{name}_se"] for name in free] == [expected["standard_errors"][name] for name in free]
        assert row["error"] is None


def test_design_recovers_condition_drifts_with_a_shared_boundary(design_trials):
    fits = ventrola.fit_frame(design_trials, by="subject", method="ml", contamination=0.0,
                              depends_on={"drift_rate": "condition"})
    assert list(fits[["subject", "condition"]].itertuples(index=False, name=None)) == [
        (s, c) for s in ("s1", "s2") for c in ("easy", "hard", "medium")]
    truth = {"easy": 2.2, "hard": 0.5, "medium": 1.2}
    for subject, rows in fits.groupby("subject"):
        # One joint fit per subject: everything but the drift is shared by its rows.
        for column in ["boundary_separation", "non_decision_time", "boundary_separation_se", "loglik", "n_trials"]:
            assert rows[column].nunique() == 1, column
        assert rows["n_trials"].iloc[0] == 1500 and rows["n_free"].iloc[0] == 5
        assert rows["converged"].all()
        for _, row in rows.iterrows():
            assert abs(row["drift_rate"] - truth[row["condition"]]) < 4 * row["drift_rate_se"]
        assert abs(rows["boundary_separation"].iloc[0] - 1.3) < 4 * rows["boundary_separation_se"].iloc[0]
        assert abs(rows["non_decision_time"].iloc[0] - 0.28) < 4 * rows["non_decision_time_se"].iloc[0]
        # Nested models: one shared drift <= the design <= separate fits of each condition.
        own = design_trials[design_trials["subject"] == subject]
        shared = ventrola.fit_ml(own["choice"].to_numpy(), own["rt"].to_numpy(), contamination=0.0)
        separate = ventrola.fit_frame(own, by="condition", method="ml", contamination=0.0)
        assert shared["loglik"] < rows["loglik"].iloc[0] < separate["loglik"].sum()


def test_parameters_may_depend_on_different_columns(design_trials):
    table = design_trials.assign(block=np.where(design_trials["trial"] < 250, "first", "second"))
    fits = ventrola.fit_frame(table, by="subject", method="ml", contamination=0.0,
                              depends_on={"drift_rate": "condition", "non_decision_time": ["block"]})
    assert list(fits.columns[:3]) == ["subject", "condition", "block"]
    assert len(fits) == 2 * 3 * 2 and (fits["n_free"] == 3 + 2 + 1).all()
    for _, rows in fits.groupby("subject"):
        assert rows.groupby("condition")["drift_rate"].nunique().eq(1).all()
        assert rows.groupby("block")["non_decision_time"].nunique().eq(1).all()
        assert rows["drift_rate"].nunique() == 3 and rows["non_decision_time"].nunique() == 2
        assert rows["boundary_separation"].nunique() == 1


def test_a_design_column_with_one_level_gives_the_plain_fit(trials):
    one = trials[trials["subject"] == 3]
    plain = ventrola.fit_frame(one, by="condition", method="ml")
    design = ventrola.fit_frame(one, by="condition", method="ml", depends_on={"drift_rate": "subject"})
    assert list(design["subject"]) == [3, 3]
    np.testing.assert_allclose(design["loglik"], plain["loglik"], rtol=1e-10)
    np.testing.assert_allclose(design["drift_rate"], plain["drift_rate"], rtol=1e-6)


def test_a_failing_design_group_keeps_one_row_per_level(design_trials):
    table = pd.concat([design_trials[design_trials["subject"] == "s1"],
                       design_trials[design_trials["subject"] == "s2"].groupby("condition").head(2)])
    fits = ventrola.fit_frame(table, by="subject", method="ml", depends_on={"drift_rate": "condition"})
    failed = fits[fits["subject"] == "s2"]
    assert list(failed["condition"]) == ["easy", "hard", "medium"]
    assert failed["error"].str.startswith("too few trials: 6").all()
    assert failed[["drift_rate", "drift_rate_se", "loglik"]].isna().all().all()
    assert failed["converged"].isna().all() and (failed["n_trials"] == 6).all()
    assert fits.loc[fits["subject"] == "s1", "error"].isna().all()


def test_process_pool_gives_the_serial_design_fit(design_trials):
    options = dict(by="subject", method="ml", depends_on={"drift_rate": "condition"})
    serial = ventrola.fit_frame(design_trials, **options)
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        pooled = ventrola.fit_frame(design_trials, executor=pool, **options)
    pd.testing.assert_frame_equal(pooled, serial)


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"method": "ez", "free": ["drift_rate"]}, "free applies only to method='ml'"),
        ({"method": "sim", "depends_on": {"drift_rate": "condition"}, "contamination": 0.0},
         "contamination, depends_on apply only to method='ml'"),
        ({"method": "ml", "depends_on": {"starting_point": "condition"}}, "'starting_point', which is not free"),
        ({"method": "ml", "depends_on": {"contamination": "condition"}, "free": ["drift_rate", "boundary_separation", "contamination"]},
         "cannot depend on a column"),
        ({"method": "ml", "depends_on": {"drift_rate": "subject"}, "by": "subject"}, "also a by column"),
        ({"method": "ml", "depends_on": {"drift_rate": "session"}}, "column 'session' is not in the table"),
        ({"method": "ml", "depends_on": {"drift_rate": []}}, "must be a column name or a list"),
        ({"method": "ml", "depends_on": {"drift_rate": 5}, "by": "subject"},
         r"^depends_on\['drift_rate'\] must be a column name or a list of them, not 5$"),
        ({"method": "ml", "depends_on": ["drift_rate"]}, "depends_on must map parameter names"),
        ({"method": "ml", "free": ["speed"]}, "unknown parameter 'speed'"),
        ({"method": "ml", "contamination": 2.0}, "contamination must be"),
    ],
)
def test_bad_ml_arguments_raise_value_error(trials, arguments, message):
    with pytest.raises(ValueError, match=message):
        ventrola.fit_frame(trials, **arguments)


def test_numeric_upper_labels_match_by_value(trials):
    reference = ventrola.fit_frame(trials, by="condition")
    signed = trials.assign(choice=np.where(trials["choice"], 1.0, -1.0))
    as_text = signed.assign(choice=signed["choice"].astype(str))  # "1.0" and "-1.0", as a CSV may give them
    for table, upper in [(signed, 1), (signed, "1"), (as_text, 1), (as_text, "1")]:
        pd.testing.assert_frame_equal(ventrola.fit_frame(table, by="condition", upper=upper), reference)
    labels = trials.assign(choice=np.where(trials["choice"], "1a", "2b"))
    with pytest.raises(ValueError, match="no row of column 'choice' equals upper=1"):
        ventrola.fit_frame(labels, by="condition", upper=1)


# ---------------------------------------------------------------------------
# simulate_frame and simulate_conditions


def test_simulate_frame_holds_the_simulated_trials():
    table = ventrola.simulate_frame(1.2, 1.5, 0.4, 0.25, 300, 9)
    choices, rts, n_excluded = ventrola.simulate(1.2, 1.5, 0.4, 0.25, 300, 9)
    assert list(table.columns) == ["trial", "choice", "rt"]
    assert table["trial"].dtype == np.int64 and table["choice"].dtype == np.bool_ and table["rt"].dtype == np.float64
    assert np.array_equal(table["trial"], np.arange(300))
    assert np.array_equal(table["choice"], choices) and np.array_equal(table["rt"], rts)
    assert table.attrs["n_excluded"] == n_excluded == 0


def test_simulate_frame_counts_excluded_trials():
    # Without drift, a wide boundary is rarely reached within the 10 s cap.
    table = ventrola.simulate_frame(0.0, 8.0, 0.5, 0.2, 40, 3)
    assert table.attrs["n_excluded"] == ventrola.simulate(0.0, 8.0, 0.5, 0.2, 40, 3)[2]
    assert table.attrs["n_excluded"] > 0
    assert len(table) + table.attrs["n_excluded"] == 40


def test_simulate_frame_passes_on_argument_errors():
    with pytest.raises(ValueError, match="boundary must be > 0"):
        ventrola.simulate_frame(1.0, -1.0, 0.5, 0.3, 10, 1)
    with pytest.raises(ValueError, match="starting_point_range"):
        ventrola.simulate_frame(1.0, 1.0, 0.3, 0.3, 10, 1, starting_point_range=0.7)
    with pytest.raises(ValueError, match="method"):
        ventrola.simulate_frame(1.0, 1.0, 0.5, 0.3, 10, 1, method="milstein")
    # simulate itself steps NaN and infinite values as numbers; a table of such trials is refused.
    for arguments, name in (((np.nan, 1.0, 0.5, 0.3), "drift_rate"), ((1.0, np.inf, 0.5, 0.3), "boundary_separation"),
                            ((1.0, 1.0, 0.5, np.inf), "non_decision_time")):
        with pytest.raises(ValueError, match=f"^{name} must .*, got (nan|inf)$"):
            ventrola.simulate_frame(*arguments, 10, 1)
        with pytest.raises(ValueError, match=f"^{name} must "):
            ventrola.simulate_conditions([dict(zip(("drift", "boundary", "start", "t0"), arguments))], 10, 1)


@pytest.mark.parametrize(
    "keywords, expected",
    [
        # Any variability or a method hands the trials to simulate_ddm; exact is then the default.
        (dict(method="exact"), dict(method="exact")),
        (dict(drift_rate_sd=0.7), dict(drift_rate_sd=0.7, method="exact")),
        (dict(starting_point_range=0.2, non_decision_time_range=0.1),
         dict(starting_point_range=0.2, non_decision_time_range=0.1, method="exact")),
        (dict(drift_rate_sd=0.5, non_decision_time_range=0.1, method="euler"),
         dict(drift_rate_sd=0.5, non_decision_time_range=0.1, method="euler")),
    ],
)
def test_simulate_frame_with_variability_or_a_method_holds_simulate_ddm_trials(keywords, expected):
    table = ventrola.simulate_frame(1.2, 1.5, 0.4, 0.25, 300, 9, 0.9, **keywords)
    choices, rts, n_excluded = ventrola.simulate_ddm(1.2, 1.5, 0.4, 0.25, 300, 9, noise_sd=0.9, **expected)
    assert list(table.columns) == ["trial", "choice", "rt"]
    assert table["trial"].dtype == np.int64 and table["choice"].dtype == np.bool_ and table["rt"].dtype == np.float64
    assert np.array_equal(table["choice"], choices) and np.array_equal(table["rt"], rts)
    assert table.attrs["n_excluded"] == n_excluded


def test_simulate_frame_euler_without_variability_is_simulate():
    euler = ventrola.simulate_frame(1.2, 1.5, 0.4, 0.25, 300, 9, method="euler")
    pd.testing.assert_frame_equal(euler, ventrola.simulate_frame(1.2, 1.5, 0.4, 0.25, 300, 9))
    exact = ventrola.simulate_frame(1.2, 1.5, 0.4, 0.25, 300, 9, method="exact")
    assert not np.array_equal(exact["rt"], euler["rt"])


def test_simulate_frame_counts_trials_past_the_cap_for_every_method():
    for method in ("exact", "euler"):
        table = ventrola.simulate_frame(0.0, 8.0, 0.5, 0.2, 40, 3, method=method)
        assert table.attrs["n_excluded"] > 0 and len(table) + table.attrs["n_excluded"] == 40, method
        assert (table["rt"] <= 10.2 + 1e-9).all()


def test_simulate_conditions_uses_one_derived_seed_per_row():
    conditions = pd.DataFrame(
        {"subject": ["s1", "s1", "s2"], "block": [1, 2, 1], "drift": [1.0, 1.0, 0.5],
         "boundary": [1.2, 1.2, 2.0], "start": [0.5, 0.5, 0.6], "t0": [0.3, 0.3, 0.2], "noise_sd": [1.0, 1.0, 0.8]}
    )
    table = ventrola.simulate_conditions(conditions, 100, 42)
    assert list(table.columns) == ["subject", "block", "trial", "choice", "rt"]
    assert table["block"].dtype == np.int64
    children = np.random.SeedSequence(42).spawn(3)
    for position, child in enumerate(children):
        seed = int(child.generate_state(1, dtype=np.uint64)[0])
        row = conditions.iloc[position]
        expected = ventrola.simulate_frame(row["drift"], row["boundary"], row["start"], row["t0"], 100, seed, row["noise_sd"])
        got = table.iloc[100 * position : 100 * (position + 1)]
        assert (got["subject"] == row["subject"]).all() and (got["block"] == row["block"]).all()
        pd.testing.assert_frame_equal(got[["trial", "choice", "rt"]].reset_index(drop=True), expected, check_like=False)
    # The first two rows have the same parameters but their own streams.
    assert not np.array_equal(table["rt"].iloc[:100], table["rt"].iloc[100:200])
    assert table.attrs["n_excluded"] == 0


def test_simulate_conditions_accepts_dicts_and_needs_the_parameters():
    rows = [{"drift": 1.0, "boundary": 1.0, "start": 0.5, "t0": 0.2}]
    assert len(ventrola.simulate_conditions(rows, 20, 1)) == 20
    with pytest.raises(ValueError, match="'t0'"):
        ventrola.simulate_conditions([{"drift": 1.0, "boundary": 1.0, "start": 0.5}], 20, 1)


# ---------------------------------------------------------------------------
# pandas stays optional


def test_importing_ventrola_does_not_import_pandas(python_subprocess):
    out = python_subprocess("import sys, ventrola; print('pandas' in sys.modules)")
    assert out.strip() == b"False"


def test_missing_pandas_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    for call in (lambda: frames.fit_frame(None), lambda: frames.simulate_frame(1.0, 1.0, 0.5, 0.3, 10, 1)):
        with pytest.raises(ImportError, match=r'pip install "ventrola\[frames\]"'):
            call()
