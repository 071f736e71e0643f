"""Prints the accuracy of ventrola's likelihood functions against the mpmath
reference table (tests/data/wiener-reference.json) as a Markdown table of
worst and mean errors per region of the parameter space, for the README.

    python tools/accuracy_table.py [--table PATH]

Errors are measured as the accuracy contract states them:
- log-density: |error| / max(1, |log f|);
- distribution function: |error|;
- gradient: |error| / max(|d log f / d parameter|, 0.01), the worst over the
  seven partial derivatives (so 1e-6 and below meets the contract's 1e-6
  relative or 1e-8 absolute).
"""
import argparse
import json
from pathlib import Path

import numpy as np

from ventrola import wiener_cdf, wiener_logpdf, wiener_logpdf_grad
from ventrola.likelihood import PARAMETER_NAMES

ROOT = Path(__file__).resolve().parent.parent
REGIONS = [
    ("base", "no variability"),
    ("sv", "drift variability"),
    ("sz", "start variability"),
    ("st0", "non-decision variability"),
    ("all", "all seven parameters"),
]
TIMES = [("short", "< 0.1 s"), ("medium", "0.1-2 s"), ("long", "> 2 s"), ("window", "inside t0 + st0")]
KEYWORDS = (*PARAMETER_NAMES, "noise_sd")


def call(function, points):
    choices = np.array([p["choice"] for p in points])
    rts = np.array([p["rt"] for p in points], dtype=np.float64)
    keywords = {k: np.array([p["params"][k] for p in points], dtype=np.float64) for k in KEYWORDS}
    return function(choices, rts, **keywords)


def errors(points, parameters):
    """Per point: the log-density, distribution and gradient errors (NaN where
    the table has no gradient)."""
    log_f = call(wiener_logpdf, points)
    expected = np.array([p["log_density"] for p in points], dtype=np.float64)
    log_error = np.abs(log_f - expected) / np.maximum(1.0, np.abs(expected))
    cdf_error = np.abs(call(wiener_cdf, points) - np.array([p["cdf"] for p in points]))
    gradient_error = np.full(len(points), np.nan)
    with_gradient = [i for i, p in enumerate(points) if p["gradient"] is not None]
    if with_gradient:
        chosen = [points[i] for i in with_gradient]
        _, gradient = call(wiener_logpdf_grad, chosen)
        worst = np.zeros(len(chosen))
        for name in parameters:
            reference = np.array([p["gradient"][name] for p in chosen])
            worst = np.maximum(worst, np.abs(gradient[name] - reference) / np.maximum(np.abs(reference), 0.01))
        gradient_error[with_gradient] = worst
    return log_error, cdf_error, gradient_error


def cell(values):
    values = values[~np.isnan(values)]
    if values.size == 0:
        return "", ""
    return f"{values.max():.1e}", f"{values.mean():.1e}"


def row(label, times, mask, log_error, cdf_error, gradient_error):
    n_gradient = int(np.sum(~np.isnan(gradient_error[mask])))
    cells = [*cell(log_error[mask]), *cell(cdf_error[mask]), *cell(gradient_error[mask])]
    return f"| {label} | {times} | {int(mask.sum())} ({n_gradient}) | " + " | ".join(cells) + " |"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--table", type=Path, default=ROOT / "tests" / "data" / "wiener-reference.json")
    args = parser.parse_args()
    table = json.loads(args.table.read_text())

    points = [p for p in table["points"] if p["times"] != "impossible"]
    impossible = [p for p in table["points"] if p["times"] == "impossible"]
    log_error, cdf_error, gradient_error = errors(points, table["parameters"])
    regions = np.array([p["region"] for p in points])
    times = np.array([p["times"] for p in points])

    print("| model | decision time | points (with gradient) | log-density worst | mean | cdf worst | mean | gradient worst | mean |")
    print("|---|---|---|---|---|---|---|---|---|")
    for region, label in REGIONS:
        for kind, span in TIMES:
            mask = (regions == region) & (times == kind)
            if mask.any():
                print(row(label, span, mask, log_error, cdf_error, gradient_error))
    print(row("every model", "every time", np.ones(len(points), dtype=bool), log_error, cdf_error, gradient_error))

    log_f = call(wiener_logpdf, impossible)
    cdf = call(wiener_cdf, impossible)
    exact = bool(np.all(np.isneginf(log_f)) and np.all(cdf == 0))
    print(f"\nResponse times at or below t0: {len(impossible)} points, log-density -inf and cdf 0: {'yes' if exact else 'NO'}.")
    reference = table["reference"]
    print(
        f"Reference: mpmath {reference['mpmath']}, {reference['digits']} digits "
        f"({reference['quadrature_digits']} with quadrature)."
    )


if __name__ == "__main__":
    main()
