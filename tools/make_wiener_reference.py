"""Writes tests/data/wiener-reference.json: the log-density, distribution
function and gradient of the diffusion model at points spread over the
parameter space and its edges, computed by the mpmath reference in
tests/wiener_reference.py.

    python tools/make_wiener_reference.py [--quick] [--output PATH]

A few minutes on one core; installing gmpy2 makes mpmath about a third
faster. The points come from a fixed seed, so a rerun writes the same file.
"""
import argparse
import json
import random
import sys
import time
from pathlib import Path

import mpmath
from mpmath import mp, mpf

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import wiener_reference as reference  # noqa: E402

SEED = 20240611

# Levels of the noise-1 parameters the random points draw from.
BOUNDARIES = [0.4, 0.8, 1.5, 2.5, 4.0]
DRIFTS = [-8.0, -4.0, -1.5, -0.3, 0.0, 0.7, 2.0, 5.0, 8.0]
STARTS = [0.05, 0.2, 0.5, 0.7, 0.95]
DECISION_TIMES = [0.001, 0.003, 0.01, 0.03, 0.1, 0.3, 0.7, 1.5, 4.0, 12.0, 30.0]
NON_DECISION_TIMES = [0.0, 0.15, 0.4]
DRIFT_SDS = [0.3, 1.0, 2.0, 4.0]
START_RANGE_FRACTIONS = [0.2, 0.5, 0.9, 0.999]  # of the largest valid range
NON_DECISION_RANGES = [0.02, 0.1, 0.3, 0.8]
NOISES = [0.1, 2.0]

# Where the reference averages over the start in closed form (sz with sv or
# st0), decision times stay below this many a^2: its series needs more terms
# and more digits as they grow (see MAX_START_AVERAGE_U).
CLOSED_START_AVERAGE_U = 2


def params(v, a, w=0.5, t0=0.0, sv=0.0, sz=0.0, st0=0.0, s=1.0):
    """User parameters of the model whose noise-1 version has v, a, sv."""
    return {
        "drift_rate": v * s,
        "boundary_separation": a * s,
        "starting_point": w,
        "non_decision_time": t0,
        "drift_rate_sd": sv * s,
        "starting_point_range": sz,
        "non_decision_time_range": st0,
        "noise_sd": s,
    }


def point(choice, rt, p, gradient=True):
    return {"choice": choice, "rt": rt, "params": p, "gradient": gradient}


def region(p):
    sz, st0 = p["starting_point_range"], p["non_decision_time_range"]
    if sz > 0 and st0 > 0:
        return "all"
    if sz > 0:
        return "sz"
    if st0 > 0:
        return "st0"
    return "sv" if p["drift_rate_sd"] > 0 else "base"


def times(rt, p):
    """Where rt falls: at or below t0, inside the non-decision window, or a
    short (< 0.1 s), medium or long (> 2 s) decision time beyond it."""
    t0, st0 = p["non_decision_time"], p["non_decision_time_range"]
    if rt <= t0:
        return "impossible"
    if rt < t0 + st0:
        return "window"
    decision = rt - t0 - st0 / 2
    return "short" if decision < 0.1 else ("long" if decision > 2 else "medium")


class Draw:
    """Random points from the levels above, the noise != 1 now and then."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def pick(self, levels):
        return self.rng.choice(levels)

    def noise(self):
        return self.pick(NOISES) if self.rng.random() < 0.1 else 1.0

    def base(self, **extra):
        return dict(v=self.pick(DRIFTS), a=self.pick(BOUNDARIES), w=self.pick(STARTS),
                    t0=self.pick(NON_DECISION_TIMES), s=self.noise(), **extra)

    def decision_time(self, a, limit_u=None):
        choices = [t for t in DECISION_TIMES if limit_u is None or t <= limit_u * a * a]
        return self.pick(choices)

    def start_range(self, w):
        return round(2 * min(w, 1 - w) * self.pick(START_RANGE_FRACTIONS), 6)

    def choice(self):
        return self.rng.random() < 0.5


def base_points(draw, count):
    points = []
    for _ in range(count):
        m = draw.base()
        points.append(point(draw.choice(), m["t0"] + draw.decision_time(m["a"]), params(**m)))
    edges = [
        # Density far below the smallest double: a wide boundary and 1 ms,
        # from a start far from the boundary reached.
        (False, 0.001, dict(v=0.0, a=4.0, w=0.95)),
        (True, 0.001, dict(v=0.0, a=4.0, w=0.05)),
        (False, 0.001, dict(v=8.0, a=4.0, w=0.5)),
        (True, 0.003, dict(v=-8.0, a=4.0, w=0.7)),
        # Deep in the tail: a narrow boundary and half a minute.
        (True, 30.0, dict(v=0.0, a=0.4, w=0.5)),
        (True, 30.0, dict(v=8.0, a=0.4, w=0.5)),
        (True, 30.0, dict(v=-8.0, a=0.4, w=0.5)),
        (False, 12.0, dict(v=-0.3, a=4.0, w=0.95)),
        # Against a strong drift with a wide boundary.
        (False, 2.0, dict(v=8.0, a=4.0, w=0.5)),
        (True, 0.5, dict(v=-8.0, a=4.0, w=0.2)),
        # Starts next to the boundary reached: the density peaks within 1 ms.
        (False, 0.001, dict(v=0.0, a=0.4, w=0.05)),
        (True, 0.001, dict(v=2.0, a=0.4, w=0.95)),
        (False, 0.01, dict(v=-8.0, a=0.4, w=0.05)),
        # Where the two series of the density take over from each other.
        (False, 2 / 3.141592653589793, dict(v=0.0, a=1.0, w=0.5)),
        (True, 0.9 * 2.5**2 * 2 / 3.141592653589793, dict(v=1.0, a=2.5, w=0.3)),
        # A drift next to 0, where P(upper) becomes w.
        (True, 0.7, dict(v=1e-7, a=2.0, w=0.3)),
        (False, 0.7, dict(v=-1e-7, a=2.0, w=0.3)),
        # The noise of older conventions.
        (True, 0.25, dict(v=2.5, a=1.2, w=0.5, s=0.1)),
        (False, 0.6, dict(v=2.5, a=1.2, w=0.45, s=0.1)),
        (True, 1.0, dict(v=1.0, a=1.5, w=0.6, s=2.0)),
    ]
    t0 = 0.2
    points += [point(c, t0 + dt, params(t0=t0, **m)) for c, dt, m in edges]
    return points


def drift_sd_points(draw, count):
    points = []
    for _ in range(count):
        m = draw.base(sv=draw.pick(DRIFT_SDS))
        points.append(point(draw.choice(), m["t0"] + draw.decision_time(m["a"]), params(**m)))
    edges = [
        (False, 30.0, dict(v=0.0, a=4.0, w=0.5, sv=4.0)),
        (True, 0.001, dict(v=1.0, a=4.0, w=0.05, sv=4.0)),
        (False, 12.0, dict(v=8.0, a=0.4, w=0.5, sv=4.0)),
        (True, 0.3, dict(v=-8.0, a=1.5, w=0.95, sv=4.0)),
        (True, 0.7, dict(v=1.0, a=1.5, w=0.5, sv=1e-6)),
        (False, 0.4, dict(v=2.5, a=1.2, w=0.5, sv=1.5, s=0.1)),
    ]
    t0 = 0.1
    points += [point(c, t0 + dt, params(t0=t0, **m)) for c, dt, m in edges]
    return points


def start_range_points(draw, count):
    points = []
    for i in range(count):
        sv = draw.pick(DRIFT_SDS) if i % 4 == 0 else 0.0
        m = draw.base(sv=sv)
        m["sz"] = draw.start_range(m["w"])
        limit = CLOSED_START_AVERAGE_U if sv > 0 else None
        points.append(point(draw.choice(), m["t0"] + draw.decision_time(m["a"], limit), params(**m)))
    edges = [
        # Ranges just inside the limit sz/2 < min(w, 1 - w).
        (False, 0.001, dict(v=0.0, a=4.0, w=0.05, sz=0.0999)),
        (True, 0.5, dict(v=1.0, a=1.5, w=0.05, sz=0.0999)),
        (True, 0.001, dict(v=-2.0, a=4.0, w=0.95, sz=0.0999)),
        (False, 30.0, dict(v=0.0, a=0.4, w=0.5, sz=0.999)),
        (True, 0.003, dict(v=8.0, a=0.4, w=0.5, sz=0.999)),
        (False, 1.0, dict(v=1.0, a=2.0, w=0.5, sz=0.9, sv=2.0)),
    ]
    t0 = 0.3
    points += [point(c, t0 + dt, params(t0=t0, **m)) for c, dt, m in edges]
    return points


def non_decision_range_points(draw, count):
    points = []
    for i in range(count):
        sv = draw.pick(DRIFT_SDS) if i % 4 == 0 else 0.0
        m = draw.base(sv=sv, st0=draw.pick(NON_DECISION_RANGES))
        if i % 3 == 0:
            # Inside the window: fewer than all non-decision times fit.
            rt = m["t0"] + m["st0"] * draw.pick([0.01, 0.3, 0.9])
        else:
            rt = m["t0"] + m["st0"] + draw.decision_time(m["a"])
        points.append(point(draw.choice(), rt, params(**m)))
    edges = [
        (False, 0.001, dict(v=0.0, a=1.0, w=0.5, st0=0.3)),
        (True, 0.299, dict(v=1.0, a=1.0, w=0.5, st0=0.3)),
        (True, 0.3, dict(v=1.0, a=1.0, w=0.5, st0=0.3)),
        (False, 0.002, dict(v=-3.0, a=4.0, w=0.8, st0=0.1)),
        (True, 30.8, dict(v=0.0, a=0.4, w=0.5, st0=0.8)),
        (False, 0.05, dict(v=1.0, a=0.4, w=0.05, st0=0.8, sv=4.0)),
    ]
    t0 = 0.25
    points += [point(c, t0 + dt, params(t0=t0, **m)) for c, dt, m in edges]
    return points


def all_seven_points(draw, count, gradients):
    points = []
    for i in range(count):
        m = draw.base(sv=draw.pick(DRIFT_SDS), st0=draw.pick(NON_DECISION_RANGES))
        m["sz"] = draw.start_range(m["w"])
        if i % 3 == 0:
            rt = m["t0"] + m["st0"] * draw.pick([0.01, 0.3, 0.9])
        else:
            rt = m["t0"] + m["st0"] + draw.decision_time(m["a"], CLOSED_START_AVERAGE_U)
        points.append(point(draw.choice(), rt, params(**m), gradient=i < gradients))
    edges = [
        (False, 0.01, dict(v=2.0, a=4.0, w=0.05, sz=0.0999, sv=4.0, st0=0.3)),
        (True, 0.5, dict(v=-1.0, a=1.0, w=0.5, sz=0.99, sv=2.0, st0=0.2)),
        (True, 0.3, dict(v=1.0, a=1.5, w=0.4, sz=0.3, sv=1.0, st0=0.2)),
    ]
    t0 = 0.2
    points += [point(c, t0 + dt, params(t0=t0, **m), gradient=False) for c, dt, m in edges]
    return points


def hard_corner_points(draw, count):
    """Where the averages over the ranges are hardest, from adversarial runs:
    a start next to a boundary with a range filling much of the room it
    leaves; a range reaching within 1e-4 of a boundary; a non-decision window
    far wider than the decision time; short times with wide boundaries; and
    scales where the exponents of the drift variability and of the nearest
    image cancel (large a sv)."""
    points = []
    for i in range(count):
        w = draw.pick([0.003, 0.006, 0.02, 0.98, 0.994])
        m = dict(v=draw.pick([-12.0, -4.0, 4.0, 12.0]), a=draw.pick([0.4, 0.9, 2.5]), w=w, t0=0.2,
                 sz=round(2 * min(w, 1 - w) * draw.pick([0.3, 0.7, 0.95]), 9),
                 sv=draw.pick([0.0, 1.0]), st0=draw.pick([0.0, 0.0, 0.05]), s=draw.noise())
        dt = m["st0"] + draw.pick([0.005, 0.02, 0.05, 0.2])
        points.append(point(draw.choice(), m["t0"] + dt, params(**m), gradient=i % 3 == 0))
    edges = [
        # A range reaching within 1e-4 of the lower boundary, with a window.
        (False, 0.03, dict(v=-1.5, a=1.5, w=0.1, sz=0.1998, st0=0.1, sv=0.3)),
        (True, 0.25, dict(v=1.0, a=1.5, w=0.1, sz=0.1998, st0=0.1)),
        (False, 0.5, dict(v=2.0, a=2.5, w=0.9, sz=0.1998, st0=0.3, sv=2.0)),
        # Windows far wider than the decision time.
        (False, 0.004, dict(v=1.0, a=1.2, w=0.4, st0=0.8)),
        (True, 0.01, dict(v=-2.0, a=0.8, w=0.6, sz=0.5, st0=0.8, sv=1.0)),
        (False, 0.05, dict(v=3.0, a=2.0, w=0.3, sz=0.4, st0=0.8)),
        (True, 0.4, dict(v=0.5, a=1.5, w=0.5, sz=0.9, st0=0.8, sv=2.0)),
        # Short times with wide boundaries.
        (False, 0.003, dict(v=0.0, a=4.0, w=0.1, sz=0.19, st0=0.002)),
        (True, 0.01, dict(v=-3.0, a=6.0, w=0.8, sz=0.3, st0=0.005, sv=3.0)),
        (False, 0.03, dict(v=2.0, a=5.0, w=0.5, sz=0.9, st0=0.02)),
        (True, 0.02, dict(v=8.0, a=4.0, w=0.3, sz=0.5, sv=4.0)),
    ]
    points += [point(c, 0.2 + dt, params(t0=0.2, **m), gradient=i % 2 == 0) for i, (c, dt, m) in enumerate(edges)]
    exact = [
        # The adversarial run's start next to the lower boundary (upper
        # response, 0.04 s decision time), as it was given.
        (True, 0.49983272915845084, dict(drift_rate=8.567888738518667, boundary_separation=0.6551518703373803,
                                         starting_point=0.006238878881939943, non_decision_time=0.4584745625654238,
                                         starting_point_range=0.008423921845953034, noise_sd=0.738326154592545)),
        # a sv large: noises of 1e-99 (1e-100 is refused) and 1e-10 with
        # drift variability.
        (False, 0.5, dict(drift_rate=0.0, boundary_separation=1.0, drift_rate_sd=1.0, noise_sd=1e-99)),
        (False, 0.5, dict(drift_rate=0.0, boundary_separation=1.0, drift_rate_sd=732.0, noise_sd=1e-10)),
    ]
    # Gradients only for the first: the differences behind the reference's
    # gradient cannot step a range at noise 1e-99.
    points += [point(c, rt, {**params(0.0, 1.0), **p}, gradient=i == 0) for i, (c, rt, p) in enumerate(exact)]
    return points


def impossible_points():
    """Response times at or below the smallest non-decision time."""
    return [
        point(True, 0.3, params(v=1.0, a=1.0, t0=0.3)),
        point(False, 0.1, params(v=1.0, a=1.0, t0=0.3)),
        point(True, 0.0, params(v=1.0, a=1.0)),
        point(False, -1.0, params(v=-2.0, a=2.0, w=0.3)),
        point(True, 0.2, params(v=1.0, a=1.0, t0=0.2, sv=1.0)),
        point(False, 0.2, params(v=1.0, a=1.0, t0=0.2, st0=0.3)),
        point(True, 0.19, params(v=1.0, a=1.0, t0=0.2, sz=0.4, st0=0.3, sv=1.0)),
        point(True, 0.25, params(v=1.0, a=1.0, t0=0.25, sz=0.4)),
    ]


def all_points(quick):
    draw = Draw(SEED)
    scale = 4 if quick else 1
    return (
        base_points(draw, 120 // scale)
        + drift_sd_points(draw, 50 // scale)
        + start_range_points(draw, 36 // scale)
        + non_decision_range_points(draw, 36 // scale)
        + all_seven_points(draw, 16 // scale, gradients=5 // scale)
        + impossible_points()
        + hard_corner_points(Draw(SEED + 1), 40 // scale)
    )


def as_float(x):
    """The double nearest the mpf (a decimal string of 20 digits rounds once)."""
    return float(mp.nstr(x, 20))


def evaluate(p, check_gradient):
    """The table entry of one point; with check_gradient the exact gradient
    must match finite differences."""
    choice, rt, q = p["choice"], p["rt"], p["params"]
    entry = {"region": region(q), "times": times(rt, q), "choice": choice, "rt": rt, "params": q}
    if p["gradient"]:
        log_f, gradient = reference.log_density_gradient(choice, rt, **q)
    else:
        log_f, gradient = reference.log_density(choice, rt, **q), None
    if gradient is not None and check_gradient and entry["region"] != "all":
        differences = reference.finite_difference_gradient(choice, rt, **q)
        for name, value in gradient.items():
            if abs(value - differences[name]) > 1e-8 * max(1, abs(value)):
                raise reference.ReferenceFailure(f"d/d{name}: {value} against differences {differences[name]} at {p}")
    entry["log_density"] = as_float(log_f) if mp.isfinite(log_f) else None
    entry["cdf"] = as_float(reference.distribution(choice, rt, **q))
    entry["gradient"] = None if gradient is None else {k: as_float(x) for k, x in gradient.items()}
    return entry


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a quarter of the random points")
    parser.add_argument("--output", type=Path, default=ROOT / "tests" / "data" / "wiener-reference.json")
    args = parser.parse_args()

    points = all_points(args.quick)
    entries, seconds = [], {}
    started = time.perf_counter()
    for i, p in enumerate(points):
        tic = time.perf_counter()
        entry = evaluate(p, check_gradient=i % 8 == 0)
        entries.append({"id": i, **entry})
        seconds[entry["region"]] = seconds.get(entry["region"], 0.0) + time.perf_counter() - tic
        print(f"\r{i + 1}/{len(points)} points", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)

    table = {
        "description": (
            "Reference values of the seven-parameter diffusion model: log_density (null where the "
            "density is 0), cdf = P(response = choice and RT <= rt), gradient = d log f / d parameter "
            "(null where not computed or log f is -inf). Written by tools/make_wiener_reference.py "
            "from tests/wiener_reference.py; do not edit by hand."
        ),
        "reference": {
            "mpmath": mpmath.__version__,
            "digits": reference.DPS,
            "quadrature_digits": reference.QUAD_DPS,
            "quadrature_relative_error": float(reference.QUAD_RTOL),
            "seed": SEED,
        },
        "parameters": list(reference.PARAMETERS),
        "points": entries,
    }
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(table, indent=1) + "\n")

    counts = {}
    for e in entries:
        counts[e["region"]] = counts.get(e["region"], 0) + 1
    print(f"{len(entries)} points in {time.perf_counter() - started:.0f} s -> {args.output}")
    for name, n in counts.items():
        print(f"  {name:5s} {n:4d} points {seconds[name]:7.1f} s")


if __name__ == "__main__":
    main()
