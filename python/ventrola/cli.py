"""The ``ventrola`` command: simulate trials into a CSV file, fit a CSV file.

    ventrola simulate --drift 1 --boundary 1.5 --t0 0.3 -n 1000 --seed 7 -o trials.csv
    ventrola fit trials.csv --rt rt --choice response --by subject,condition \\
        --method ez -o params.csv

Errors are one line on stderr (``ventrola: error: ...``). Exit status: 0 on
success, 1 when a file or its data cannot be used, 2 for bad arguments, 130
when interrupted.
Output files are written whole or not at all.
"""

from __future__ import annotations

import argparse
import functools
import importlib.util
import os
import sys
import tempfile
from collections.abc import Callable, Sequence
from typing import Any, NoReturn, Optional

PROG = "ventrola"
EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A failure reported as one line with exit status EXIT_DATA."""


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


def build_parser() -> ArgumentParser:
    parser = ArgumentParser(prog=PROG, description="Simulate and fit the drift-diffusion model.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    simulate = commands.add_parser("simulate", help="simulate trials into a CSV file (trial, choice, rt in s)")
    simulate.add_argument("--drift", type=float, required=True, help="drift rate")
    simulate.add_argument("--boundary", type=float, required=True, help="boundary separation")
    simulate.add_argument("--start", type=float, default=0.5, help="starting point, fraction of the boundary (0.5)")
    simulate.add_argument("--t0", type=float, required=True, help="non-decision time in seconds")
    simulate.add_argument("-n", type=count, required=True, help="number of trials")
    simulate.add_argument("--seed", type=count, required=True, help="random seed")
    simulate.add_argument("--noise-sd", type=float, default=1.0, help="noise standard deviation (1.0)")
    simulate.add_argument("-o", "--output", default="-", help="output CSV file ('-': standard output)")
    simulate.add_argument("--quiet", action="store_true", help="do not report excluded trials")

    fit = commands.add_parser("fit", help="fit every group of a CSV file of trials")
    fit.add_argument("trials", help="CSV file with one row per trial")
    fit.add_argument("--rt", default="rt", help="response-time column (rt)")
    fit.add_argument("--choice", default="choice", help="choice column (choice)")
    fit.add_argument("--by", default="", help="grouping columns, comma-separated (none: one group)")
    fit.add_argument("--method", choices=("ez", "sim"), default="ez", help="closed-form EZ or simulation fit (ez)")
    fit.add_argument("--rt-unit", choices=("s", "ms"), default="s", help="unit of the response times (s)")
    fit.add_argument("--upper", metavar="LABEL", help="choice label of upper-boundary responses")
    fit.add_argument("--max-iters", type=count, default=200, help="iteration budget of --method sim (200)")
    fit.add_argument("-o", "--output", default="-", help="output CSV file ('-': standard output)")
    fit.add_argument("--plot", metavar="PATH", help="also draw the observed and fitted distributions to PATH")
    fit.add_argument("--quiet", action="store_true", help="no progress bar and no notes on stderr")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line ``argv`` (default ``sys.argv[1:]``); returns the exit status."""
    try:
        args = build_parser().parse_args(argv)
        if args.command == "simulate":
            run_simulate(args)
        else:
            run_fit(args)
    except SystemExit as stop:
        # argparse exits for --help and for bad arguments.
        return stop.code if isinstance(stop.code, int) else EXIT_USAGE
    except CommandError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return EXIT_DATA
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return 0


def run_simulate(args: argparse.Namespace) -> None:
    frames = import_frames()
    try:
        trials = frames.simulate_frame(args.drift, args.boundary, args.start, args.t0, args.n, args.seed, args.noise_sd)
    except (ValueError, TypeError, OverflowError) as error:
        raise CommandError(str(error)) from error
    write_csv(trials, args.output)
    n_excluded = trials.attrs["n_excluded"]
    if n_excluded and not args.quiet:
        print(f"{PROG}: {n_excluded} trials hit the 10 s cap and were left out", file=sys.stderr)


def run_fit(args: argparse.Namespace) -> None:
    frames = import_frames()
    by = [column.strip() for column in args.by.split(",") if column.strip()]
    save_plots = import_plotting() if args.plot else None
    trials = read_trials(args.trials, choice=args.choice, upper=args.upper)
    try:
        fits = frames.fit_frame(
            trials,
            rt=args.rt,
            choice=args.choice,
            by=by,
            method=args.method,
            rt_unit=args.rt_unit,
            upper=args.upper,
            max_iters=args.max_iters,
            progress=progress_bar(args.quiet),
        )
    except ValueError as error:
        raise CommandError(f"{args.trials}: {error}") from error
    write_csv(fits, args.output)
    n_failed = int(fits["error"].notna().sum())
    if n_failed and not args.quiet:
        print(f"{PROG}: {n_failed} of {len(fits)} groups could not be fitted (see the error column)", file=sys.stderr)
    if save_plots is not None:
        try:
            save_plots(
                trials, fits, args.plot,
                rt=args.rt, choice=args.choice, by=by, rt_unit=args.rt_unit, upper=args.upper,
            )
        except (ImportError, OSError, ValueError) as error:
            raise CommandError(f"cannot draw {args.plot}: {error}") from error


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


def write_csv(table: Any, path: str) -> None:
    """Writes through a temporary file in the same directory, renamed into place when complete."""
    if path == "-":
        table.to_csv(sys.stdout, index=False)
        return
    directory = os.path.dirname(os.path.abspath(path))
    try:
        handle, temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
    try:
        with os.fdopen(handle, "w", newline="") as stream:
            table.to_csv(stream, index=False)
        # mkstemp makes the file private; give it the permissions of a plain new file.
        os.chmod(temporary, 0o666 & ~current_umask())
        os.replace(temporary, path)
    except BaseException as error:
        os.unlink(temporary)
        if isinstance(error, OSError):
            raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
        raise


if __name__ == "__main__":
    sys.exit(main())
