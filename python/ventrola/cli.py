"""The ``ventrola`` command: simulate trials into a CSV file, fit a CSV file.

    ventrola simulate --drift 1 --boundary 1.5 --t0 0.3 -n 1000 --seed 7 -o trials.csv
    ventrola simulate --drift 1 --boundary 1.5 --t0 0.3 --drift-sd 0.8 --t0-range 0.1 \\
        --method exact -n 1000 --seed 7 -o trials.csv
    ventrola fit trials.csv --rt rt --choice response --by subject,condition \\
        --method ez -o params.csv
    ventrola fit trials.csv --by subject --method ml --depends-on drift_rate=condition \\
        --free drift_rate,boundary_separation,non_decision_time --contamination 0.02 -o params.csv
    ventrola fit trials.csv --by subject --method ml --formula "drift_rate=1 + coherence" \\
        --deadline 1.5 -o params.csv
    ventrola fit trials.csv --by subject --method ml --bound exponential \\
        --depends-on collapse_time=instruction -o params.csv
    ventrola simulate --drift 1 --boundary 2 --t0 0.3 --bound exponential --collapse-time 0.8 \\
        -n 1000 --seed 7 -o trials.csv

Errors are one line on stderr (``ventrola: error: ...``). Exit status: 0 on
success, 1 when a file or its data cannot be used, 2 for bad arguments, 130
when interrupted (Ctrl-C), 128 + the signal's number when terminated (SIGTERM,
SIGHUP), and 141 without a word when standard output was closed early (as by
``| head``), as Unix tools end.
Every output is checked before the work starts (its directory, the picture's
format), and output files are written whole or not at all.
"""

from __future__ import annotations

import argparse
import errno
import functools
import importlib.util
import os
import signal
import sys
import tempfile
import threading
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import BrokenExecutor
from contextlib import contextmanager
from typing import Any, NoReturn, Optional

from ventrola import parameters

PROG = "ventrola"
EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_SIGNALLED = 128  # plus the signal's number
EXIT_CLOSED_OUTPUT = 141  # 128 + SIGPIPE: what a shell reports for a tool that a closed pipe ended
# Termination requests that end the run as Ctrl-C does, after the clean-up.
TERMINATING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class CommandError(Exception):
    """A failure reported as one line with exit status EXIT_DATA."""


class UsageError(Exception):
    """Arguments that do not go together, reported as one line with exit status EXIT_USAGE."""


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived; raised wherever the run is, so that clean-up runs on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class ClosedOutput(Exception):
    """Standard output was closed by its reader (``| head``)."""


class ArgumentParser(argparse.ArgumentParser):
    """Reports argument errors as one line instead of usage plus message."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{PROG}: error: {message}\n")


def count(text: str) -> int:
    """An argument that is a non-negative integer (trial counts, seeds, budgets)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    return value


# More worker processes than any machine this runs on has processors for: a typo, refused.
MOST_JOBS = 1000
# Processes per processor worth starting: more only share the same cores.
JOBS_PER_PROCESSOR = 4


def jobs(text: str) -> int:
    """A number of worker processes: a positive integer up to MOST_JOBS."""
    value = count(text)
    if value == 0:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    if value > MOST_JOBS:
        raise argparse.ArgumentTypeError(f"must be at most {MOST_JOBS}: {text!r}")
    return value


def names(text: str) -> list[str]:
    """A comma-separated list of names."""
    found = [name.strip() for name in text.split(",") if name.strip()]
    if not found:
        raise argparse.ArgumentTypeError(f"no names in {text!r}")
    return found


def pairs(text: str) -> list[tuple[str, str]]:
    found = []
    for item in text.split(","):
        if not item.strip():
            continue
        name, equals, value = item.partition("=")
        if not equals or not name.strip() or not value.strip():
            raise argparse.ArgumentTypeError(f"expected NAME=VALUE, not {item.strip()!r}")
        found.append((name.strip(), value.strip()))
    if not found:
        raise argparse.ArgumentTypeError(f"no NAME=VALUE in {text!r}")
    return found


def assignments(text: str) -> dict[str, float]:
    """NAME=NUMBER pairs, comma-separated."""
    values = {}
    for name, value in pairs(text):
        try:
            values[name] = float(value)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {name}={value!r}") from None
    return values


def formula(text: str) -> tuple[str, str]:
    """NAME=FORMULA: one parameter's formula (it may hold commas and '+')."""
    name, equals, right = text.partition("=")
    if not equals or not name.strip() or not right.strip():
        raise argparse.ArgumentTypeError(f"expected NAME=FORMULA, not {text!r}")
    return name.strip(), right.strip()


def deadline(text: str) -> Any:
    """SECONDS (a number, in --rt-unit) or the name of a column of deadlines."""
    try:
        return float(text)
    except ValueError:
        return text


def window(text: str) -> tuple[float, float]:
    """LOW,HIGH response times (in --rt-unit)."""
    parts = [part.strip() for part in text.split(",")]
    try:
        low, high = (float(part) for part in parts)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LOW,HIGH (two numbers), not {text!r}") from None
    return low, high


def assignments_of_columns(text: str) -> dict[str, list[str]]:
    """NAME=COLUMN pairs, comma-separated; COLUMN+COLUMN for a combination of columns."""
    return {name: [column.strip() for column in value.split("+")] for name, value in pairs(text)}


# `ventrola simulate` requires these; the variabilities are left out unless given, since giving
# one chooses exact simulation.
REQUIRED_PARAMETERS = ("drift_rate", "boundary_separation", "non_decision_time")
OPTIONAL_DEFAULTS = ("starting_point", "noise_sd")


def add_model_options(parser: argparse.ArgumentParser, drift_option: str) -> None:
    """The generalized model's structure: its bound, its drift and (on `fit`) whether it leaks."""
    from ventrola.models import BOUNDS, DRIFTS

    parser.add_argument("--bound", choices=tuple(BOUNDS), default="constant",
                        help="the bounds over decision time (constant): " + "; ".join(
                            f"{name}: {text}" for name, text in BOUNDS.items() if name != "constant"))
    parser.add_argument(drift_option, dest="drift_family", choices=tuple(DRIFTS), default="constant",
                        help="the drift over decision time (constant); dmc: " + DRIFTS["dmc"])


def chosen_model(args: argparse.Namespace, leak: bool) -> Any:
    from ventrola.models import DDM

    return DDM(bound=args.bound, drift=args.drift_family, leak=leak)


def add_parameter_options(parser: argparse.ArgumentParser) -> None:
    """One option per model parameter that has one, worded from the parameter table; a family's
    parameters say which families have them."""
    for parameter in parameters.table().entries:
        if parameter.option is None:
            continue
        help_text = f"{parameter.meaning} ({parameter.unit})"
        if parameter.families is not None:
            chooser = "--leak RATE" if parameter.name == "leak" else "--bound/--drift-family"
            help_text = (f"{help_text[:-1]}; {' and '.join(parameter.families)} only, chosen with {chooser}; "
                         f"{parameter.default:g} if not given)")
            if parameter.name == "leak":
                help_text = f"{parameter.meaning} ({parameter.unit}); giving it makes the accumulation leak"
            parser.add_argument(parameter.option, type=float, help=help_text)
        elif parameter.name in REQUIRED_PARAMETERS:
            parser.add_argument(parameter.option, type=float, required=True, help=help_text)
        elif parameter.name in OPTIONAL_DEFAULTS:
            parser.add_argument(parameter.option, type=float, default=parameter.default,
                                help=f"{help_text[:-1]}; {parameter.default:g} if not given)")
        else:
            parser.add_argument(parameter.option, type=float, help=help_text)


def build_parser() -> ArgumentParser:
    parser = ArgumentParser(prog=PROG, description="Simulate and fit the drift-diffusion model.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    simulate = commands.add_parser("simulate", help="simulate trials into a CSV file (trial, choice, rt in s)")
    add_parameter_options(simulate)
    add_model_options(simulate, "--drift-family")
    simulate.add_argument("-n", type=count, required=True, help="number of trials")
    simulate.add_argument("--seed", type=count, required=True, help="random seed")
    simulate.add_argument("--method", choices=("exact", "euler"),
                          help="exact first passages or Euler steps of 1 ms (without it: Euler steps, "
                               "but exact with --drift-sd or a range; a generalized model takes steps only)")
    simulate.add_argument("-o", "--output", default="-", help="output CSV file ('-': standard output)")
    simulate.add_argument("--quiet", action="store_true", help="do not report excluded trials")

    fit = commands.add_parser("fit", help="fit every group of a CSV file of trials")
    fit.add_argument("trials", help="CSV file with one row per trial")
    fit.add_argument("--rt", default="rt", help="response-time column (rt)")
    fit.add_argument("--choice", default="choice", help="choice column (choice)")
    fit.add_argument("--by", default="", help="grouping columns, comma-separated (none: one group)")
    fit.add_argument("--method", choices=("ez", "sim", "ml"), default="ez",
                     help="closed-form EZ, simulation or maximum-likelihood fit (ez)")
    fit.add_argument("--rt-unit", choices=("s", "ms"), default="s", help="unit of the response times (s)")
    fit.add_argument("--upper", metavar="LABEL", help="choice label of upper-boundary responses")
    fit.add_argument("--max-iters", type=count, default=200, help="iteration budget of --method sim (200)")
    fit.add_argument("--free", type=names, metavar="NAMES",
                     help="--method ml: parameters to estimate, comma-separated, of "
                          f"{','.join(parameters.table().estimable())} ({','.join(parameters.DEFAULT_FREE)})")
    fit.add_argument("--fixed", type=assignments, default={}, metavar="NAME=VALUE,...",
                     help="--method ml: values of parameters not estimated")
    fit.add_argument("--depends-on", type=assignments_of_columns, action="append", metavar="NAME=COLUMN,...",
                     help="--method ml: one value of NAME per level of COLUMN within each group "
                          "(COLUMN+COLUMN for combinations; may be repeated)")
    fit.add_argument("--contamination", type=float, metavar="WEIGHT",
                     help="--method ml: weight of lapse trials (0.02; 0 for none)")
    fit.add_argument("--formula", type=formula, action="append", metavar="NAME=FORMULA",
                     help="--method ml: a formula on the file's columns for one parameter, e.g. "
                          "'drift_rate=1 + coherence' (may be repeated)")
    fit.add_argument("--missing", choices=("choice",),
                     help="--method ml: an empty response time is a trial known by its choice only "
                          "(go/no-go: withholding is the lower boundary)")
    fit.add_argument("--deadline", type=deadline, metavar="COLUMN|SECONDS",
                     help="--method ml: an empty response time had no response by this deadline "
                          "(a column of deadlines or one number, in --rt-unit)")
    fit.add_argument("--rt-range", type=window, metavar="LOW,HIGH",
                     help="--method ml: only response times in this window were kept (in --rt-unit)")
    model_options = fit.add_argument_group("the model (--method ml; its own parameters are free by default and "
                                           "may go in --free, --fixed and --depends-on)")
    add_model_options(model_options, "--drift")
    model_options.add_argument("--drift-family", dest="drift_family", choices=("constant", "dmc"),
                               help=argparse.SUPPRESS)
    model_options.add_argument("--leak", action="store_true", help="the accumulation leaks (the parameter leak, 1/s)")
    fit.add_argument("--jobs", type=jobs, default=1,
                     help=f"groups fitted at once in worker processes (1; at most one per group and "
                          f"{JOBS_PER_PROCESSOR} per processor)")
    fit.add_argument("-o", "--output", default="-", help="output CSV file ('-': standard output)")
    fit.add_argument("--plot", metavar="PATH", help="also draw the observed and fitted distributions to PATH")
    fit.add_argument("--quiet", action="store_true", help="no progress bar and no notes on stderr")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line ``argv`` (default ``sys.argv[1:]``); returns the exit status."""
    try:
        with terminating_signals_raise():
            args = build_parser().parse_args(argv)
            if args.command == "simulate":
                run_simulate(args)
            else:
                run_fit(args)
    except SystemExit as stop:
        # argparse exits for --help and for bad arguments.
        return stop.code if isinstance(stop.code, int) else EXIT_USAGE
    except (CommandError, UsageError, MemoryError, BrokenExecutor) as error:
        print(f"{PROG}: error: {error_line(error)}", file=sys.stderr)
        return EXIT_USAGE if isinstance(error, UsageError) else EXIT_DATA
    except ClosedOutput:
        return EXIT_CLOSED_OUTPUT
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Terminated as stop:
        print(f"{PROG}: terminated by {signal.Signals(stop.signum).name}", file=sys.stderr)
        return EXIT_SIGNALLED + stop.signum
    return 0


def error_line(error: BaseException) -> str:
    if isinstance(error, MemoryError):
        return f"out of memory: {error}" if str(error) else "out of memory"
    if isinstance(error, BrokenExecutor):
        return "a worker process ended abruptly (killed, or out of memory?); nothing was written"
    return str(error)


@contextmanager
def terminating_signals_raise() -> Iterator[None]:
    """SIGTERM and SIGHUP raise Terminated while the run lasts, instead of ending the process where it
    stands (with a temporary file half written, say). Only the main thread can set handlers."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def raise_terminated(signum: int, frame: Any) -> None:
        raise Terminated(signum)

    previous = {signum: signal.signal(signum, raise_terminated) for signum in TERMINATING_SIGNALS}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def run_simulate(args: argparse.Namespace) -> None:
    frames = import_frames()
    model, family_values = simulated_model(args)
    check_output(args.output)
    try:
        trials = frames.simulate_frame(
            args.drift, args.boundary, args.start, args.t0, args.n, args.seed, args.noise_sd,
            drift_rate_sd=args.drift_sd, starting_point_range=args.start_range,
            non_decision_time_range=args.t0_range, method=args.method,
            **({"model": model, **family_values} if model is not None else {}),
        )
    except (ValueError, TypeError, OverflowError) as error:
        raise CommandError(str(error)) from error
    with StagedFiles() as outputs:
        write_csv(trials, args.output, outputs)
        outputs.commit()
    n_excluded = trials.attrs["n_excluded"]
    if n_excluded and not args.quiet:
        print(f"{PROG}: {n_excluded} trials hit the 10 s cap and were left out", file=sys.stderr)


def simulated_model(args: argparse.Namespace) -> tuple[Any, dict[str, float]]:
    """The model `simulate` was asked for (None: the seven-parameter one) and its families' values;
    a family's parameter given without that family is refused."""
    model = chosen_model(args, leak=args.leak is not None)
    given = {parameter.name: getattr(args, parameter.option.lstrip("-").replace("-", "_"))
             for parameter in parameters.table().entries
             if parameter.families is not None and parameter.option is not None}
    given = {name: value for name, value in given.items() if value is not None}
    unused = [name for name in given if name not in model.parameter_names]
    if unused:
        entry = parameters.table()[unused[0]]
        raise UsageError(f"{entry.option} is a parameter of the {' and '.join(entry.families or ())} "
                         f"families, which {model!r} does not use: choose one with --bound or --drift-family")
    if model.is_standard:
        return None, {}
    if args.method == "exact":
        raise UsageError(f"--method exact samples the seven-parameter model; {model!r} is simulated by steps "
                         "(leave out --method or give --method euler)")
    return model, given


def run_fit(args: argparse.Namespace) -> None:
    frames = import_frames()
    by = [column.strip() for column in args.by.split(",") if column.strip()]
    ml_options = ml_arguments(args)
    save_plots = import_plotting() if args.plot else None
    check_output(args.output)
    if args.plot is not None:
        check_plot(args.plot, args.output)
    trials = read_trials(args.trials, choice=args.choice, upper=args.upper)
    try:
        with worker_pool(worker_count(args.jobs, count_groups(trials, by))) as executor:
            fits = frames.fit_frame(
                trials,
                rt=args.rt,
                choice=args.choice,
                by=by,
                method=args.method,
                rt_unit=args.rt_unit,
                upper=args.upper,
                max_iters=args.max_iters,
                executor=executor,
                progress=progress_bar(args.quiet),
                **ml_options,
            )
    except ValueError as error:
        # Table errors have a wording of their own for the command line (options, data rows).
        raise CommandError(f"{args.trials}: {getattr(error, 'command_line', error)}") from error
    with StagedFiles() as outputs:
        # The table waits in its temporary file until the picture is drawn too.
        write_csv(fits, args.output, outputs)
        if save_plots is not None:
            try:
                # With a design, each group and level of the design columns gets its own panel.
                design_columns = [c for columns in (ml_options.get("depends_on") or {}).values() for c in columns]
                save_plots(
                    trials, fits, args.plot,
                    rt=args.rt, choice=args.choice, by=[*by, *dict.fromkeys(design_columns)], rt_unit=args.rt_unit,
                    upper=args.upper, **({"model": ml_options["model"]} if "model" in ml_options else {}),
                )
            except (ImportError, OSError, ValueError) as error:
                raise CommandError(f"cannot draw {args.plot}: {error}") from error
        outputs.commit()
    n_failed = int(fits["error"].notna().sum())
    if n_failed and not args.quiet:
        print(f"{PROG}: {n_failed} of {len(fits)} groups could not be fitted (see the error column)", file=sys.stderr)


def ml_arguments(args: argparse.Namespace) -> dict[str, Any]:
    """fit_frame's keywords of --method ml; the options are refused with another method."""
    depends_on: dict[str, list[str]] = {}
    for given in args.depends_on or []:
        for name, columns in given.items():
            if name in depends_on:
                raise UsageError(f"--depends-on names {name!r} more than once")
            depends_on[name] = columns
    formulas: dict[str, str] = {}
    for name, text in args.formula or []:
        if name in formulas:
            raise UsageError(f"--formula names {name!r} more than once")
        formulas[name] = text
    model = chosen_model(args, leak=args.leak)
    options = {"free": args.free, "fixed": args.fixed or None, "contamination": args.contamination,
               "depends_on": depends_on or None, "formulas": formulas or None, "missing": args.missing,
               "deadline": args.deadline, "rt_range": args.rt_range}
    structure = {"bound": args.bound != "constant", "drift": args.drift_family != "constant", "leak": args.leak}
    if args.method != "ml":
        given = [f"--{name.replace('_', '-')}" for name, value in options.items() if value is not None]
        given += [f"--{name}" for name, chosen in structure.items() if chosen]
        if given:
            raise UsageError(f"{', '.join(given)} {'applies' if len(given) == 1 else 'apply'} only to --method ml")
        return {}
    if not model.is_standard:
        options["model"] = model
        unfit = [option for option, value in (("--missing", args.missing), ("--deadline", args.deadline),
                                               ("--rt-range", args.rt_range)) if value is not None]
        if unfit:
            raise UsageError(f"{', '.join(unfit)} {'fits' if len(unfit) == 1 else 'fit'} the seven-parameter model "
                             f"only; {model!r} takes timed trials")
    if args.plot:
        # The pictures draw one parameter set per panel against timed trials.
        unfit = [option for option, value in (("--formula", formulas), ("--missing", args.missing),
                                               ("--deadline", args.deadline)) if value]
        if unfit:
            raise UsageError(f"--plot draws one parameter set per group against timed trials: it cannot go with "
                             f"{', '.join(unfit)}")
    return options


def available_processors() -> int:
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def count_groups(trials: Any, by: list[str]) -> int:
    """The groups fit_frame will fit; 1 when a grouping column is missing (fit_frame then says so)."""
    if not by or any(column not in trials.columns for column in by):
        return 1
    return int(trials.groupby(by, observed=True, sort=False).ngroups)


def worker_count(jobs: int, groups: int) -> int:
    """The processes worth starting for --jobs: a group is one task, and processes beyond a few per
    processor only take turns on the same cores."""
    return max(1, min(jobs, groups, JOBS_PER_PROCESSOR * available_processors()))


def default_signals_in_worker() -> None:
    # A forked worker inherits the handler that raises Terminated; the pool ends its workers with
    # SIGTERM, which must simply end them.
    for signum in TERMINATING_SIGNALS:
        signal.signal(signum, signal.SIG_DFL)


class worker_pool:
    """A process pool of `jobs` workers for the groups, or no executor for one job."""

    def __init__(self, jobs: int) -> None:
        self.jobs = jobs
        self.pool: Any = None

    def __enter__(self) -> Any:
        if self.jobs > 1:
            from concurrent.futures import ProcessPoolExecutor

            self.pool = ProcessPoolExecutor(max_workers=self.jobs, initializer=default_signals_in_worker)
        return self.pool

    def __exit__(self, *exc_info: Any) -> None:
        if self.pool is not None:
            self.pool.shutdown(wait=True, cancel_futures=True)


def import_frames() -> Any:
    try:
        import pandas  # noqa: F401
    except ImportError as error:
        raise CommandError('the command line needs pandas: pip install "ventrola[cli]"') from error
    from ventrola import frames

    return frames


def import_plotting() -> Callable[..., Any]:
    # Checked before fitting so that a missing extra does not waste a fit.
    try:
        if importlib.util.find_spec("matplotlib") is None:
            raise ImportError("No module named 'matplotlib'")
        from ventrola.plotting import save_fit_plots
    except ImportError as error:
        raise CommandError(f'--plot needs matplotlib: pip install "ventrola[plot]" ({error})') from error
    return save_fit_plots


def read_trials(path: str, *, choice: str, upper: Optional[str]) -> Any:
    import pandas as pd

    # With --upper the labels are compared as text, as they appear in the file.
    dtype = {choice: str} if upper is not None else None
    try:
        return pd.read_csv(path, dtype=dtype)
    except FileNotFoundError:
        raise CommandError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise CommandError(f"{path}: is a directory") from None
    except PermissionError:
        raise CommandError(f"{path}: permission denied") from None
    except pd.errors.EmptyDataError:
        raise CommandError(f"{path}: the file is empty") from None
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError, OSError) as error:
        first_line = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        raise CommandError(f"{path}: not a readable CSV file ({first_line})") from None


def progress_bar(quiet: bool) -> Optional[Callable[..., Any]]:
    if quiet or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    return functools.partial(tqdm, desc="fitting", unit="group", file=sys.stderr)


def current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def check_output(path: str) -> None:
    """Refuses, before any work, an output file that could not be written: a missing or unwritable
    directory, or a directory in its place."""
    if path == "-":
        return
    directory = os.path.dirname(os.path.abspath(path))
    problem = None
    if os.path.isdir(path):
        problem = os.strerror(errno.EISDIR)
    elif not os.path.isdir(directory):
        problem = os.strerror(errno.ENOENT)
    elif not os.access(directory, os.W_OK | os.X_OK):
        problem = os.strerror(errno.EACCES)
    if problem is not None:
        raise CommandError(f"cannot write {path}: {problem}")


def check_plot(path: str, table_path: str) -> None:
    """Refuses, before fitting, a picture matplotlib cannot write or one that would overwrite the table."""
    check_output(path)
    if table_path != "-" and os.path.abspath(path) == os.path.abspath(table_path):
        raise UsageError(f"--plot and -o name the same file, {path}")
    from matplotlib.backend_bases import FigureCanvasBase

    # As the plotting module reads it: the suffix, PNG without one.
    extension = os.path.splitext(path)[1].lstrip(".").lower() or "png"
    formats = FigureCanvasBase.get_supported_filetypes()
    if extension not in formats:
        raise UsageError(f"--plot {path}: cannot draw .{extension} files; use one of {', '.join(sorted(formats))}")


class StagedFiles:
    """Output files written to hidden temporaries beside their targets and renamed into place once all
    are complete. On any failure, interruption or termination the temporaries go and every target
    stays as it was."""

    def __init__(self) -> None:
        self.staged: list[tuple[str, str]] = []  # (temporary, target)

    def __enter__(self) -> StagedFiles:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        for temporary, _ in self.staged:
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
        self.staged = []

    def stage(self, path: str, write: Callable[[Any], None]) -> None:
        """Calls ``write`` with a text stream on a new temporary file for ``path``."""
        try:
            handle, temporary = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(path)),
                                                 prefix=f".{os.path.basename(path)}.", suffix=".tmp")
        except OSError as error:
            raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
        self.staged.append((temporary, path))
        try:
            with os.fdopen(handle, "w", newline="") as stream:
                write(stream)
            # mkstemp makes the file private; give it the permissions of a plain new file.
            os.chmod(temporary, 0o666 & ~current_umask())
        except OSError as error:
            raise CommandError(f"cannot write {path}: {error.strerror or error}") from None

    def commit(self) -> None:
        while self.staged:
            temporary, path = self.staged[0]
            try:
                os.replace(temporary, path)
            except OSError as error:
                raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
            self.staged.pop(0)


def write_csv(table: Any, path: str, outputs: StagedFiles) -> None:
    """Stages the table for ``path``, or writes it to standard output for ``-``."""
    if path != "-":
        outputs.stage(path, lambda stream: table.to_csv(stream, index=False))
        return
    try:
        table.to_csv(sys.stdout, index=False)
        sys.stdout.flush()
    except BrokenPipeError:
        discard_standard_output()
        raise ClosedOutput from None
    except OSError as error:
        discard_standard_output()
        raise CommandError(f"cannot write to standard output: {error.strerror or error}") from None


def discard_standard_output() -> None:
    """Points standard output at the null device, so that the interpreter's last flush of what is still
    buffered neither fails nor reports it."""
    try:
        descriptor = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return  # not a file (a test's capture): nothing is flushed to a descriptor
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, descriptor)
    finally:
        os.close(null)


if __name__ == "__main__":
    sys.exit(main())
