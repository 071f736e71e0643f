"""Prints the accuracy of the generalized models' likelihood against the
reference table (tests/data/generalized-reference.json, written by
tools/make_generalized_reference.py) as a Markdown table of worst errors per
bound and drift family, for the README.

    python tools/generalized_accuracy_table.py [--table PATH]

Errors as the accuracy contract states them: log-density |error| / max(1, |log f|)
where the reference's log f >= -20; distribution function and P(upper) |error|.
The seven-parameter points are evaluated through the solver (as DDM(leak=True)
at a leak of 0), not the exact series DDM() itself uses.
"""
import argparse
import json
import math
from collections import defaultdict
from pathlib import Path

import numpy as np

import ventrola

ROOT = Path(__file__).resolve().parent.parent


def family(point):
    leak = point["params"].get("leak", 0.0) != 0.0
    name = f"{point['bound']} bound, {point['drift']} drift" + (", leak" if leak else "")
    return name, leak


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--table", type=Path, default=ROOT / "tests" / "data" / "generalized-reference.json")
    table = json.loads(parser.parse_args().table.read_text())
    rows = defaultdict(lambda: {"points": 0, "log": 0.0, "cdf": 0.0, "upper": 0.0})
    sets = defaultdict(list)
    for point in table["points"]:
        sets[(point["bound"], point["drift"], tuple(sorted(point["params"].items())))].append(point)
    for (bound, drift, _), points in sets.items():
        name, leak = family(points[0])
        model = ventrola.DDM(bound=bound, drift=drift, leak=leak or (bound == drift == "constant"))
        params = {k: v for k, v in points[0]["params"].items() if k in model.parameter_names}
        choices = np.array([p["choice"] for p in points])
        rts = np.array([p["rt"] for p in points])
        log_f = model.logpdf(choices, rts, **params)
        cdf = model.cdf(choices, rts, **params)
        upper = float(model.cdf(True, math.inf, **params))
        row = rows[name]
        for point, value, distribution in zip(points, log_f, cdf):
            row["points"] += 1
            if point["log_density"] >= -20.0:
                row["log"] = max(row["log"], abs(value - point["log_density"]) / max(1.0, abs(point["log_density"])))
            row["cdf"] = max(row["cdf"], abs(distribution - point["cdf"]))
        row["upper"] = max(row["upper"], abs(upper - points[0]["p_upper"]))
    print("| model | points | log-density worst | cdf worst | P(upper) worst |")
    print("|---|---|---|---|---|")
    for name in sorted(rows):
        row = rows[name]
        print(f"| {name} | {row['points']} | {row['log']:.1e} | {row['cdf']:.1e} | {row['upper']:.1e} |")


if __name__ == "__main__":
    main()
