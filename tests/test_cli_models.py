"""The command line's model options: fitting and simulating generalized models, and the refusals
(an unknown family, a family's parameter the model lacks, options that need --method ml)."""
import numpy as np
import pandas as pd
import pytest

import ventrola
from ventrola.cli import main


def one_error_line(stderr, *fragments):
    lines = stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("ventrola: error: "), stderr
    for fragment in fragments:
        assert fragment in lines[0], lines[0]


@pytest.fixture(scope="module")
def instructed_csv(tmp_path_factory):
    """One participant under speed and accuracy instructions: an exponential collapse each."""
    model = ventrola.DDM(bound="exponential")
    parts = []
    for k, (instruction, tau) in enumerate((("speed", 0.4), ("accuracy", 1.5))):
        choices, rts, _ = model.simulate(500, 60 + k, drift_rate=1.2, boundary_separation=2.0,
                                         non_decision_time=0.3, collapse_time=tau)
        parts.append(pd.DataFrame({"subject": "p1", "instruction": instruction, "choice": choices, "rt": rts}))
    path = tmp_path_factory.mktemp("data") / "instructed.csv"
    pd.concat(parts, ignore_index=True).to_csv(path, index=False)
    return path


def test_fit_with_a_bound_and_a_design_writes_fit_frame_s_table(instructed_csv, tmp_path):
    out = tmp_path / "fits.csv"
    assert main(["fit", str(instructed_csv), "--by", "subject", "--method", "ml", "--bound", "exponential",
                 "--depends-on", "collapse_time=instruction", "--quiet", "-o", str(out)]) == 0
    written = pd.read_csv(out)
    expected = ventrola.fit_frame(pd.read_csv(instructed_csv), by="subject", method="ml",
                                  model=ventrola.DDM(bound="exponential"), depends_on={"collapse_time": "instruction"})
    assert list(written.columns) == list(expected.columns) and "collapse_time_se" in written.columns
    np.testing.assert_allclose(written["collapse_time"], expected["collapse_time"], rtol=1e-12)
    assert written.set_index("instruction").loc["speed", "collapse_time"] < 1.0


def test_simulate_takes_the_model_and_its_parameters(tmp_path):
    out = tmp_path / "trials.csv"
    assert main(["simulate", "--drift", "1", "--boundary", "2", "--t0", "0.3", "--bound", "weibull",
                 "--collapse-time", "0.7", "--collapse-shape", "2", "--drift-family", "dmc",
                 "--automatic-amplitude", "0.4", "--leak", "0.5", "-n", "300", "--seed", "4", "-o", str(out)]) == 0
    written = pd.read_csv(out)
    model = ventrola.DDM(bound="weibull", drift="dmc", leak=True)
    choices, rts, _ = model.simulate(300, 4, drift_rate=1.0, boundary_separation=2.0, non_decision_time=0.3,
                                     collapse_time=0.7, collapse_shape=2.0, automatic_amplitude=0.4, leak=0.5)
    np.testing.assert_array_equal(written["choice"].to_numpy(), choices)
    np.testing.assert_allclose(written["rt"].to_numpy(), rts, rtol=1e-15)


@pytest.mark.parametrize(
    ("arguments", "status", "fragments"),
    [
        (["fit", "{csv}", "--method", "ml", "--bound", "sigmoid"], 2, ["--bound", "invalid choice: 'sigmoid'"]),
        (["fit", "{csv}", "--method", "ml", "--drift", "ramp"], 2, ["--drift", "invalid choice: 'ramp'"]),
        (["fit", "{csv}", "--bound", "linear"], 2, ["--bound applies only to --method ml"]),
        (["fit", "{csv}", "--method", "sim", "--leak"], 2, ["--leak applies only to --method ml"]),
        (["fit", "{csv}", "--method", "ml", "--free", "drift_rate,boundary_separation,collapse_time"], 1,
         ["'collapse_time' in free", "linear and exponential", "DDM()"]),
        (["fit", "{csv}", "--method", "ml", "--bound", "linear", "--free", "drift_rate,automatic_time"], 1,
         ["'automatic_time' in free", "dmc families"]),
        (["fit", "{csv}", "--method", "ml", "--bound", "linear", "--rt-range", "0.1,5"], 2,
         ["--rt-range fits the seven-parameter model only"]),
        (["simulate", "--drift", "1", "--boundary", "2", "--t0", "0.3", "--collapse-time", "0.5", "-n", "5",
          "--seed", "1"], 2, ["--collapse-time is a parameter of the linear and exponential", "--bound"]),
        (["simulate", "--drift", "1", "--boundary", "2", "--t0", "0.3", "--bound", "linear", "--method", "exact",
          "-n", "5", "--seed", "1"], 2, ["--method exact samples the seven-parameter model"]),
        (["simulate", "--drift", "1", "--boundary", "2", "--t0", "0.3", "--bound", "linear", "--collapse-time",
          "-1", "-n", "5", "--seed", "1"], 1, ["collapse_time must be > 0"]),
    ],
)
def test_refusals_are_one_line_with_their_status(instructed_csv, capsys, arguments, status, fragments):
    arguments = [str(instructed_csv) if a == "{csv}" else a for a in arguments]
    assert main(arguments) == status
    one_error_line(capsys.readouterr().err, *fragments)


def test_help_lists_the_families(capsys):
    assert main(["fit", "--help"]) == 0
    text = " ".join(capsys.readouterr().out.split())
    for family in ventrola.models.BOUNDS:
        assert family in text
    assert "--drift {constant,dmc}" in text and "--leak" in text
