"""The ventrola command line, run in-process through main() and once as the installed script."""
import concurrent.futures
import io
import multiprocessing
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import types

import numpy as np
import pandas as pd
import pytest
from conftest import run_python

import ventrola
from ventrola import cli, frames
from ventrola.cli import main


def read_back(path):
    return pd.read_csv(path)


@pytest.fixture(scope="module")
def trials_csv(tmp_path_factory):
    """Two subjects by two conditions, response labels and times in milliseconds."""
    conditions = [
        {"subject": subject, "condition": condition, "drift": drift, "boundary": 1.4, "start": 0.5, "t0": 0.3}
        for subject in ("p01", "p02")
        for condition, drift in (("hard", 0.8), ("easy", 1.7))
    ]
    table = ventrola.simulate_conditions(conditions, 150, 21)
    table["response"] = np.where(table["choice"], "correct", "error")
    table["rt_ms"] = table["rt"] * 1000.0
    path = tmp_path_factory.mktemp("data") / "trials.csv"
    table.drop(columns=["choice", "rt"]).to_csv(path, index=False)
    return path


FIT_ARGUMENTS = ["--rt", "rt_ms", "--choice", "response", "--by", "subject,condition", "--rt-unit", "ms",
                 "--upper", "correct"]


def expected_fits(path, **arguments):
    table = pd.read_csv(path, dtype={"response": str})
    return ventrola.fit_frame(table, rt="rt_ms", choice="response", rt_unit="ms", upper="correct", **arguments)


def assert_same_table(written, expected):
    # CSV has no None: an empty error cell reads back as NaN.
    expected = expected.assign(error=expected["error"].astype(float) if expected["error"].isna().all() else expected["error"])
    pd.testing.assert_frame_equal(written, expected, check_dtype=False)


def assert_one_error_line(stderr, *fragments):
    lines = stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("ventrola: error: "), stderr
    for fragment in fragments:
        assert fragment in lines[0]


# ---------------------------------------------------------------------------
# Successful runs


def test_fit_writes_the_fit_frame_table(trials_csv, tmp_path, capsys):
    out = tmp_path / "params.csv"
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "--method", "ez", "-o", str(out)]) == 0
    written = read_back(out)
    expected = expected_fits(trials_csv, by=["subject", "condition"])
    assert_same_table(written, expected)
    assert list(written["subject"]) == ["p01", "p01", "p02", "p02"]
    assert capsys.readouterr().err == ""


def test_fit_by_simulation_writes_iterations_and_cost(tmp_path):
    path = tmp_path / "one.csv"
    ventrola.simulate_frame(1.0, 1.2, 0.5, 0.3, 150, 4).to_csv(path, index=False)
    out = tmp_path / "params.csv"
    assert main(["fit", str(path), "--method", "sim", "--max-iters", "2", "-o", str(out), "--quiet"]) == 0
    written = read_back(out)
    expected = ventrola.fit_frame(pd.read_csv(path), method="sim", max_iters=2)
    assert list(written.columns) == list(expected.columns)
    assert_same_table(written, expected)


def test_fit_writes_to_standard_output_without_o(trials_csv, capsys):
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS]) == 0
    written = pd.read_csv(io.StringIO(capsys.readouterr().out))
    assert_same_table(written, expected_fits(trials_csv, by=["subject", "condition"]))


def test_fit_notes_failed_groups_and_keeps_them(tmp_path, capsys):
    table = ventrola.simulate_frame(1.0, 1.2, 0.5, 0.3, 200, 4)
    table["group"] = np.where(np.arange(200) < 100, "a", "b")
    table.loc[table["group"] == "b", "choice"] = False
    path = tmp_path / "trials.csv"
    table.to_csv(path, index=False)
    out = tmp_path / "params.csv"
    assert main(["fit", str(path), "--by", "group", "-o", str(out)]) == 0
    written = read_back(out)
    assert written["error"].isna().tolist() == [True, False]
    assert written.loc[1, "error"].startswith("not enough correct responses")
    assert capsys.readouterr().err == "ventrola: 1 of 2 groups could not be fitted (see the error column)\n"
    assert main(["fit", str(path), "--by", "group", "-o", str(out), "--quiet"]) == 0
    assert capsys.readouterr().err == ""


def test_simulate_writes_the_trials(tmp_path, capsys):
    out = tmp_path / "trials.csv"
    arguments = ["simulate", "--drift", "1.1", "--boundary", "1.3", "--t0", "0.25", "-n", "400", "--seed", "8"]
    assert main([*arguments, "--noise-sd", "0.9", "-o", str(out)]) == 0
    expected = ventrola.simulate_frame(1.1, 1.3, 0.5, 0.25, 400, 8, 0.9)
    pd.testing.assert_frame_equal(read_back(out), expected)
    assert main(arguments + ["--start", "0.7"]) == 0
    printed = pd.read_csv(io.StringIO(capsys.readouterr().out))
    pd.testing.assert_frame_equal(printed, ventrola.simulate_frame(1.1, 1.3, 0.7, 0.25, 400, 8))


def test_simulate_passes_variability_and_method_to_simulate_frame(tmp_path):
    out = tmp_path / "trials.csv"
    base = ["simulate", "--drift", "1.1", "--boundary", "1.3", "--t0", "0.25", "-n", "300", "--seed", "8",
            "-o", str(out)]
    plain = ventrola.simulate_frame(1.1, 1.3, 0.5, 0.25, 300, 8)
    cases = [
        (["--drift-sd", "0.6", "--start-range", "0.2", "--t0-range", "0.1", "--method", "euler"],
         dict(drift_rate_sd=0.6, starting_point_range=0.2, non_decision_time_range=0.1, method="euler")),
        (["--t0-range", "0.1"], dict(non_decision_time_range=0.1)),
        (["--method", "exact"], dict(method="exact")),
    ]
    for options, keywords in cases:
        assert main([*base, *options]) == 0
        written = read_back(out)
        pd.testing.assert_frame_equal(written, ventrola.simulate_frame(1.1, 1.3, 0.5, 0.25, 300, 8, **keywords))
        assert not written.equals(plain), options


def test_simulate_reports_excluded_trials_unless_quiet(tmp_path, capsys):
    arguments = ["simulate", "--drift", "0", "--boundary", "8", "--t0", "0.2", "-n", "30", "--seed", "3",
                 "-o", str(tmp_path / "t.csv")]
    n_excluded = ventrola.simulate(0.0, 8.0, 0.5, 0.2, 30, 3)[2]
    assert n_excluded > 0
    assert main(arguments) == 0
    assert capsys.readouterr().err == f"ventrola: {n_excluded} trials hit the 10 s cap and were left out\n"
    assert main([*arguments, "--quiet"]) == 0
    assert capsys.readouterr().err == ""


class TerminalStream(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_only_on_a_terminal_and_not_with_quiet(trials_csv, tmp_path, monkeypatch):
    out = str(tmp_path / "params.csv")
    terminal = TerminalStream()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "-o", out]) == 0
    assert "fitting" in terminal.getvalue() and "4/4" in terminal.getvalue()
    quiet = TerminalStream()
    monkeypatch.setattr(sys, "stderr", quiet)
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "-o", out, "--quiet"]) == 0
    assert quiet.getvalue() == ""


def test_plot_option_hands_trials_and_fits_to_the_plotting_module(trials_csv, tmp_path, monkeypatch):
    calls = []
    fake = types.ModuleType("ventrola.plotting")
    fake.save_fit_plots = lambda *args, **kwargs: calls.append((args, kwargs))
    monkeypatch.setitem(sys.modules, "ventrola.plotting", fake)
    out, picture = tmp_path / "params.csv", tmp_path / "fits.png"
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "-o", str(out), "--plot", str(picture)]) == 0
    (trials_df, fits_df, path), keywords = calls[0]
    assert len(calls) == 1 and path == str(picture)
    assert keywords == {"rt": "rt_ms", "choice": "response", "by": ["subject", "condition"], "rt_unit": "ms",
                        "upper": "correct"}
    pd.testing.assert_frame_equal(trials_df, pd.read_csv(trials_csv, dtype={"response": str}))
    assert_same_table(read_back(out), fits_df)


# ---------------------------------------------------------------------------
# Failures: one line on stderr, exit status, no output file


@pytest.fixture
def broken_files(tmp_path, trials_csv):
    garbage = tmp_path / "garbage.csv"
    garbage.write_bytes(b"rt,choice\n\xff\xfe\x00\x81,1\n")
    bad_quote = tmp_path / "quote.csv"
    bad_quote.write_text('rt,choice\n0.5,"1\n0.6,0\n')
    empty = tmp_path / "empty.csv"
    empty.write_text("")
    text_rt = tmp_path / "text_rt.csv"
    text_rt.write_text("rt,choice\n0.5,1\nslow,0\n0.7,1\n")
    files = {"garbage": garbage, "quote": bad_quote, "empty": empty, "text_rt": text_rt, "trials": trials_csv,
             "directory": tmp_path}
    for name, text in NEW_USER_FILES.items():
        files[name] = tmp_path / f"{name}.csv"
        files[name].write_text(text)
    return files


# A new user's first files: a negative time, milliseconds read as seconds, a stray choice code.
NEW_USER_FILES = {
    "negative": "rt,choice\n0.52,1\n0.61,0\n0.7,1\n-0.3,0\n0.8,1\n0,1\n",
    "milliseconds": "rt,choice\n500,1\n620,0\n710,1\n840,1\n930,0\n",
    "seconds": "rt,choice\n0.5,1\n0.62,0\n0.71,1\n0.84,1\n0.93,0\n",
    "choice_two": "rt,choice\n0.5,1\n0.6,0\n0.7,2\n",
}


@pytest.mark.parametrize(
    "name, extra, fragments",
    [
        ("missing", [], ["missing.csv", "no such file"]),
        ("directory", [], ["is a directory"]),
        ("garbage", [], ["garbage.csv", "not a readable CSV file"]),
        ("quote", [], ["quote.csv", "not a readable CSV file"]),
        ("empty", [], ["empty.csv", "the file is empty"]),
        ("text_rt", [], ["column 'rt' must hold numeric response times", "'slow'"]),
        ("trials", ["--choice", "response", "--by", "subject"], ["column 'rt' is not in the table"]),
        ("trials", ["--rt", "rt_ms", "--choice", "response"], ["column 'response' must hold booleans or 0/1"]),
        ("trials", ["--rt", "rt_ms", "--choice", "response", "--upper", "right"], ["no row of column 'response'"]),
        ("trials", [*FIT_ARGUMENTS[:-4], "--by", "subject,session"], ["column 'session' is not in the table"]),
        ("trials", ["--rt", "rt_ms", "--choice", "response", "--upper", "right"], ["equals --upper right"]),
        ("negative", [], ["negative.csv: column 'rt' holds 2 impossible response times (NaN, infinite, zero or "
                          "negative): the first is -0.3 in data row 4"]),
        ("milliseconds", [], ["milliseconds.csv: column 'rt': the median response time is 710 s, far beyond any "
                              "two-choice task; if the times are in milliseconds, pass --rt-unit ms"]),
        ("seconds", ["--rt-unit", "ms"], ["the median response time is 0.71 ms", "leave out --rt-unit ms"]),
        ("choice_two", [], ["column 'choice' must hold booleans or 0/1 choices, found 2.0 in data row 3; "
                            "pass --upper LABEL"]),
    ],
)
def test_bad_files_fail_with_one_line_and_leave_no_output(broken_files, tmp_path, capsys, name, extra, fragments):
    source = broken_files.get(name, tmp_path / f"{name}.csv")
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    out = out_dir / "params.csv"
    assert main(["fit", str(source), *extra, "-o", str(out)]) == 1
    captured = capsys.readouterr()
    assert_one_error_line(captured.err, *fragments)
    assert captured.out == ""
    assert os.listdir(out_dir) == []


def test_milliseconds_file_fits_with_rt_unit_ms(broken_files, capsys):
    assert main(["fit", str(broken_files["milliseconds"]), "--rt-unit", "ms", "--quiet"]) == 0
    written = pd.read_csv(io.StringIO(capsys.readouterr().out))
    table = pd.read_csv(broken_files["milliseconds"])
    expected = ventrola.fit_ez(table["choice"], table["rt"] / 1000.0)
    assert written.loc[0, list(expected)].to_dict() == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize(
    "arguments, fragments",
    [
        (["simulate", "--drift", "abc", "--boundary", "1", "--t0", "0.3", "-n", "10", "--seed", "1"],
         ["--drift", "invalid float value: 'abc'"]),
        (["simulate", "--drift", "1", "--t0", "0.3", "-n", "10", "--seed", "1"], ["--boundary"]),
        (["simulate", "--drift", "1", "--boundary", "1", "--t0", "0.3", "-n", "1.5", "--seed", "1"], ["-n"]),
        (["simulate", "--drift", "1", "--boundary", "1", "--t0", "0.3", "-n", "-5", "--seed", "1"],
         ["argument -n", "must not be negative"]),
        (["simulate", "--drift", "1", "--boundary", "1", "--t0", "0.3", "-n", "5", "--seed", "1", "--method", "ez"],
         ["--method", "invalid choice: 'ez'"]),
        (["simulate", "--drift", "1", "--boundary", "1", "--t0", "0.3", "-n", "5", "--seed", "1", "--t0-range", "x"],
         ["--t0-range", "invalid float value: 'x'"]),
        (["fit", "x.csv", "--max-iters", "-1"], ["--max-iters", "must not be negative"]),
        (["fit", "x.csv", "--method", "mle"], ["--method", "invalid choice: 'mle'"]),
        (["fit", "x.csv", "--max-iters", "many"], ["--max-iters"]),
        (["fit"], ["trials"]),
        (["plot"], ["invalid choice: 'plot'"]),
        ([], ["COMMAND"]),
    ],
)
def test_bad_arguments_exit_2_with_one_line(capsys, arguments, fragments):
    assert main(arguments) == 2
    assert_one_error_line(capsys.readouterr().err, *fragments)


@pytest.mark.parametrize(
    "arguments, fragments",
    [
        (["--boundary", "-1"], ["boundary must be > 0"]),
        (["--boundary", "1", "--start", "1.5"], ["start"]),
        (["--boundary", "1", "--t0", "-0.3"], ["t0"]),
        (["--boundary", "1", "--start", "0.3", "--start-range", "0.8"], ["starting_point_range"]),
        (["--boundary", "1", "--drift-sd", "-0.5"], ["drift_rate_sd"]),
        (["--boundary", "1", "--t0-range", "-0.1", "--method", "euler"], ["non_decision_time_range"]),
    ],
)
def test_bad_simulation_parameters_exit_1(tmp_path, capsys, arguments, fragments):
    out = tmp_path / "trials.csv"
    base = ["simulate", "--drift", "1", "--t0", "0.3", "-n", "10", "--seed", "1", "-o", str(out)]
    assert main(base + arguments) == 1
    assert_one_error_line(capsys.readouterr().err, *fragments)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "option, value, message",
    [
        ("--drift", "nan", "drift_rate must be finite, got nan"),
        ("--drift", "inf", "drift_rate must be finite, got inf"),
        ("--drift", "-inf", "drift_rate must be finite, got -inf"),
        ("--boundary", "inf", "boundary_separation must be > 0 and finite, got inf"),
        ("--t0", "inf", "non_decision_time must be >= 0 and finite, got inf"),
        ("--start", "nan", "starting_point must be strictly between 0 and 1, got nan"),
        ("--noise-sd", "inf", "noise_sd must be > 0 and finite, got inf"),
    ],
)
def test_non_finite_simulation_parameters_exit_1_naming_them(tmp_path, capsys, option, value, message):
    # Without a variability these reach simulate, which would step them as numbers.
    out = tmp_path / "trials.csv"
    arguments = {"--drift": "1", "--boundary": "1.5", "--t0": "0.3", option: value}
    assert main(["simulate", *(f"{name}={number}" for name, number in arguments.items()), "-n", "10", "--seed", "1",
                 "-o", str(out)]) == 1
    assert capsys.readouterr().err == f"ventrola: error: {message}\n"
    assert os.listdir(tmp_path) == []


def test_failed_run_leaves_an_existing_output_untouched(broken_files, tmp_path, capsys):
    out = tmp_path / "keep.csv"
    out.write_text("earlier results\n")
    before = sorted(os.listdir(tmp_path))
    assert main(["fit", str(broken_files["text_rt"]), "-o", str(out)]) == 1
    assert out.read_text() == "earlier results\n"
    assert sorted(os.listdir(tmp_path)) == before


def test_failure_while_writing_removes_the_partial_file(trials_csv, tmp_path, monkeypatch, capsys):
    def write_half_then_fail(self, stream, **kwargs):
        stream.write("subject,condition,drift")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(pd.DataFrame, "to_csv", write_half_then_fail)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "-o", str(out_dir / "params.csv")]) == 1
    assert_one_error_line(capsys.readouterr().err, "cannot write", "No space left on device")
    assert os.listdir(out_dir) == []


def test_interrupt_while_writing_removes_the_partial_file(trials_csv, tmp_path, monkeypatch, capsys):
    def write_half_then_interrupt(self, stream, **kwargs):
        stream.write("subject,condition,drift")
        raise KeyboardInterrupt

    monkeypatch.setattr(pd.DataFrame, "to_csv", write_half_then_interrupt)
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "-o", str(tmp_path / "params.csv")]) == 130
    assert capsys.readouterr().err == "ventrola: interrupted\n"
    assert os.listdir(tmp_path) == []


def test_output_in_a_missing_directory_fails_cleanly(trials_csv, tmp_path, capsys):
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "-o", str(tmp_path / "nowhere" / "p.csv")]) == 1
    assert_one_error_line(capsys.readouterr().err, "cannot write", "nowhere")


def test_written_file_has_ordinary_permissions(trials_csv, tmp_path):
    out = tmp_path / "params.csv"
    mask = os.umask(0o022)
    try:
        assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "-o", str(out)]) == 0
    finally:
        os.umask(mask)
    assert (os.stat(out).st_mode & 0o777) == 0o644


# ---------------------------------------------------------------------------
# Maximum likelihood


def assert_same_ml_table(written, expected):
    # An empty note reads back as NaN, and the nullable boolean column as plain bools.
    expected = expected.assign(
        note=expected["note"].astype(float) if expected["note"].isna().all() else expected["note"],
        converged=expected["converged"].astype(bool),
    )
    assert_same_table(written, expected)


def test_fit_by_maximum_likelihood_with_a_design(trials_csv, tmp_path):
    out = tmp_path / "params.csv"
    arguments = ["--rt", "rt_ms", "--choice", "response", "--rt-unit", "ms", "--upper", "correct", "--by", "subject"]
    assert main(["fit", str(trials_csv), *arguments, "--method", "ml", "--depends-on", "drift_rate=condition",
                 "--free", "drift_rate,boundary_separation,non_decision_time,starting_point",
                 "--fixed", "drift_rate_sd=0.1", "--contamination", "0.01", "--quiet", "-o", str(out)]) == 0
    expected = expected_fits(
        trials_csv, by=["subject"], method="ml", depends_on={"drift_rate": ["condition"]}, contamination=0.01,
        free=["drift_rate", "boundary_separation", "non_decision_time", "starting_point"],
        fixed={"drift_rate_sd": 0.1},
    )
    written = read_back(out)
    assert list(written.columns[:2]) == ["subject", "condition"] and "starting_point_se" in written.columns
    assert_same_ml_table(written, expected)


def test_worker_processes_give_the_serial_table(trials_csv, tmp_path):
    serial, pooled = tmp_path / "serial.csv", tmp_path / "pooled.csv"
    arguments = ["fit", str(trials_csv), *FIT_ARGUMENTS, "--method", "ml", "--quiet"]
    assert main([*arguments, "-o", str(serial)]) == 0
    assert main([*arguments, "--jobs", "2", "-o", str(pooled)]) == 0
    pd.testing.assert_frame_equal(read_back(pooled), read_back(serial))


def test_upper_matches_numeric_labels_by_value(tmp_path):
    table = ventrola.simulate_frame(1.0, 1.2, 0.5, 0.3, 300, 5)
    signed = tmp_path / "signed.csv"
    table.assign(choice=np.where(table["choice"], 1.0, -1.0)).to_csv(signed, index=False)
    plain = tmp_path / "plain.csv"
    table.to_csv(plain, index=False)
    out_signed, out_plain = tmp_path / "a.csv", tmp_path / "b.csv"
    assert main(["fit", str(signed), "--upper", "1", "-o", str(out_signed)]) == 0
    assert main(["fit", str(plain), "-o", str(out_plain)]) == 0
    pd.testing.assert_frame_equal(read_back(out_signed), read_back(out_plain))


@pytest.mark.parametrize(
    "extra, fragments",
    [
        (["--free", "drift_rate"], ["--free applies only to --method ml"]),
        (["--contamination", "0", "--depends-on", "drift_rate=condition"],
         ["--contamination, --depends-on apply only to --method ml"]),
        (["--method", "ml", "--depends-on", "drift_rate=condition", "--depends-on", "drift_rate=subject"],
         ["--depends-on names 'drift_rate' more than once"]),
        (["--method", "ml", "--fixed", "starting_point"], ["--fixed", "expected NAME=VALUE"]),
        (["--method", "ml", "--fixed", "starting_point=high"], ["--fixed", "not a number"]),
        (["--method", "ml", "--free", ","], ["--free", "no names"]),
        (["--method", "ml", "--jobs", "0"], ["--jobs", "at least 1"]),
    ],
)
def test_bad_ml_options_exit_2_with_one_line(trials_csv, capsys, extra, fragments):
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, *extra]) == 2
    assert_one_error_line(capsys.readouterr().err, *fragments)


def test_bad_ml_values_exit_1_naming_them(trials_csv, capsys):
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "--method", "ml", "--free", "drift_rate,speed"]) == 1
    assert_one_error_line(capsys.readouterr().err, "unknown parameter 'speed'")


# ---------------------------------------------------------------------------
# Worker processes


class RecordingPool(concurrent.futures.Executor):
    """Stands in for the process pool: notes how many workers were asked for and runs tasks here."""

    sizes = []

    def __init__(self, max_workers, initializer=None):
        RecordingPool.sizes.append(max_workers)

    def submit(self, fn, /, *args, **kwargs):
        future = concurrent.futures.Future()
        future.set_result(fn(*args, **kwargs))
        return future


@pytest.fixture
def recorded_pools(monkeypatch):
    monkeypatch.setattr(concurrent.futures, "ProcessPoolExecutor", RecordingPool)
    monkeypatch.setattr(RecordingPool, "sizes", [])
    return RecordingPool.sizes


def test_jobs_start_at_most_one_worker_per_group_and_a_few_per_processor(trials_csv, tmp_path, monkeypatch,
                                                                         recorded_pools):
    out = str(tmp_path / "params.csv")
    one_group = [arg for arg in FIT_ARGUMENTS if arg not in ("--by", "subject,condition")]
    assert main(["fit", str(trials_csv), *one_group, "--jobs", "40", "-o", out]) == 0
    assert recorded_pools == []  # one group is fitted here, without a pool
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "--jobs", "40", "-o", out]) == 0
    assert recorded_pools == [4]  # four groups
    monkeypatch.setattr(cli, "available_processors", lambda: 1)
    monkeypatch.setattr(cli, "JOBS_PER_PROCESSOR", 3)
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "--jobs", "40", "-o", out]) == 0
    assert recorded_pools == [4, 3]


@pytest.mark.parametrize("count", ["1001", "100000", "999999999999", "99999999999999999999999"])
def test_absurd_job_counts_exit_2_with_one_line(trials_csv, capsys, recorded_pools, count):
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "--jobs", count]) == 2
    assert_one_error_line(capsys.readouterr().err, "--jobs", f"must be at most 1000: '{count}'")
    assert recorded_pools == []


def end_abruptly(*task):
    os.kill(os.getpid(), signal.SIGKILL)


@pytest.mark.skipif(multiprocessing.get_start_method() != "fork", reason="the patched task reaches forked workers")
def test_a_worker_that_dies_is_one_line_and_leaves_no_output(trials_csv, tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(frames, "fit_group", end_abruptly)
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "--jobs", "2", "-o", str(tmp_path / "params.csv")]) == 1
    assert_one_error_line(capsys.readouterr().err, "a worker process ended abruptly", "nothing was written")
    assert os.listdir(tmp_path) == []


# ---------------------------------------------------------------------------
# Outputs checked before the work, and the run's own failures


def test_outputs_are_checked_before_anything_is_fitted_or_written(trials_csv, tmp_path, monkeypatch, capsys):
    out = tmp_path / "params.csv"
    out.write_text("earlier results\n")

    def no_fit(*args, **kwargs):
        raise AssertionError("fitted although an output cannot be written")

    monkeypatch.setattr(frames, "fit_frame", no_fit)
    fit = ["fit", str(trials_csv), *FIT_ARGUMENTS]
    cases = [
        (["-o", str(out), "--plot", str(tmp_path / "fig.xyz")], 2, ["--plot", "cannot draw .xyz files", "png"]),
        (["-o", str(out), "--plot", str(out)], 2, ["--plot and -o name the same file"]),
        (["-o", str(tmp_path / "nowhere" / "p.csv")], 1, ["cannot write", "nowhere", "No such file or directory"]),
        (["-o", str(out), "--plot", str(tmp_path / "nowhere" / "fig.png")], 1, ["cannot write", "fig.png"]),
        (["-o", str(tmp_path)], 1, ["cannot write", "Is a directory"]),
    ]
    for options, status, fragments in cases:
        assert main([*fit, *options]) == status, options
        assert_one_error_line(capsys.readouterr().err, *fragments)
    assert out.read_text() == "earlier results\n" and sorted(os.listdir(tmp_path)) == ["params.csv"]
    assert main(["simulate", "--drift", "1", "--boundary", "1", "--t0", "0.3", "-n", "5", "--seed", "1",
                 "-o", str(tmp_path / "nowhere" / "t.csv")]) == 1
    assert_one_error_line(capsys.readouterr().err, "cannot write", "nowhere")


def test_a_picture_that_fails_leaves_the_table_as_it_was(trials_csv, tmp_path, monkeypatch, capsys):
    def cannot_draw(*args, **kwargs):
        raise ValueError("no fitted groups to plot")

    fake = types.ModuleType("ventrola.plotting")
    fake.save_fit_plots = cannot_draw
    monkeypatch.setitem(sys.modules, "ventrola.plotting", fake)
    out = tmp_path / "params.csv"
    out.write_text("earlier results\n")
    assert main(["fit", str(trials_csv), *FIT_ARGUMENTS, "-o", str(out), "--plot", str(tmp_path / "fits.png")]) == 1
    assert_one_error_line(capsys.readouterr().err, "cannot draw", "fits.png", "no fitted groups to plot")
    assert out.read_text() == "earlier results\n" and sorted(os.listdir(tmp_path)) == ["params.csv"]


def test_too_many_trials_to_hold_is_one_line(tmp_path, capsys):
    out = tmp_path / "trials.csv"
    assert main(["simulate", "--drift", "1", "--boundary", "1", "--t0", "0.3", "-n", "10000000000000", "--seed", "1",
                 "-o", str(out)]) == 1
    assert capsys.readouterr().err == (
        "ventrola: error: out of memory: cannot reserve memory for 10000000000000 trials\n")
    assert os.listdir(tmp_path) == []


# SIGTERM half a second into a long simulation, or while the file is being written.
TERMINATED = """
import os, signal, threading
import pandas as pd
from ventrola import cli
if {while_writing}:
    write = pd.DataFrame.to_csv
    def write_then_terminate(self, stream, **keywords):
        stream.write("trial,choice,rt\\n")
        os.kill(os.getpid(), signal.SIGTERM)
        write(self, stream, **keywords)
    pd.DataFrame.to_csv = write_then_terminate
else:
    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGTERM)).start()
n = 10 if {while_writing} else 10**7
print(cli.main(["simulate", "--drift", "0", "--boundary", "100", "--t0", "0.3", "-n", str(n), "--seed", "1",
                "-o", {path!r}]))
"""


@pytest.mark.parametrize("while_writing", [False, True], ids=["while simulating", "while writing"])
def test_sigterm_ends_the_run_with_its_status_and_no_temporary_file(tmp_path, while_writing):
    out = run_python(TERMINATED.format(while_writing=while_writing, path=str(tmp_path / "big.csv")), timeout=60)
    assert out.decode().split() == [str(128 + signal.SIGTERM)]
    assert os.listdir(tmp_path) == []


def command(*arguments, stdout):
    """The command in a fresh interpreter; returns the process (stderr piped)."""
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.Popen([sys.executable, "-m", "ventrola", *arguments], stdout=stdout, stderr=subprocess.PIPE,
                            env=environment)


SIMULATE_MANY = ["simulate", "--drift", "1", "--boundary", "1.5", "--t0", "0.3", "-n", "200000", "--seed", "1"]


def test_a_reader_that_stops_early_ends_the_run_silently():
    # As `ventrola simulate ... | head -1`: the reader closes the pipe after one line.
    with command(*SIMULATE_MANY, stdout=subprocess.PIPE) as process:
        assert process.stdout.readline() == b"trial,choice,rt\n"
        process.stdout.close()
        stderr = process.stderr.read()
        status = process.wait(timeout=60)
    assert (status, stderr) == (141, b"")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_full_standard_output_is_one_line():
    with open("/dev/full", "w") as full, command(*SIMULATE_MANY, stdout=full) as process:
        stderr = process.stderr.read()
        status = process.wait(timeout=60)
    assert status == 1
    assert stderr.decode() == "ventrola: error: cannot write to standard output: No space left on device\n"


# ---------------------------------------------------------------------------
# The installed console script


def test_installed_console_script(trials_csv, tmp_path):
    script = shutil.which("ventrola", path=sysconfig.get_paths()["scripts"])
    if script is None:
        pytest.skip("the ventrola script is not installed in this environment")
    out = tmp_path / "params.csv"
    done = subprocess.run([script, "fit", str(trials_csv), *FIT_ARGUMENTS, "-o", str(out)],
                          capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    assert_same_table(read_back(out), expected_fits(trials_csv, by=["subject", "condition"]))
    failed = subprocess.run([script, "fit", str(tmp_path / "missing.csv")], capture_output=True, text=True,
                            timeout=120, check=False)
    assert failed.returncode == 1
    assert_one_error_line(failed.stderr, "missing.csv", "no such file")
