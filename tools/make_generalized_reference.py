"""Writes tests/data/generalized-reference.json: log-densities, distribution
functions and choice probabilities of generalized diffusion models (collapsing
bounds, the automatic drift of the DMC, leak) at points spread over every
family and its hard edges, computed by tests/generalized_reference.py.

    python tools/make_generalized_reference.py [--quick] [--output PATH]

Some minutes on one core (it prints how long). The points come from a fixed
seed, so a rerun writes the same file. Every point's log-density is at least
RELIABLE_LOG_DENSITY (-20): the reference vouches for all of them. A share of
the parameter sets of every family is solved a second time with tenfold
tighter tolerances and two more stages (the first set of each pair of bound
and drift families among them); the tool stops if any value moves by more
than a tenth of the reference's targets, and the table records the largest
moves.
"""
import argparse
import json
import math
import os
import random
import sys
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # one core: the matrices are small

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import generalized_reference as reference  # noqa: E402

SEED = 20261207
# Every REFINE_EVERY-th parameter set, the first of each pair of families and
# every set of the rarer kinds is solved again with refined settings.
REFINE_EVERY = 4
LOG_TARGET = 1e-7  # log f: absolute, times max(1, |log f|)
CDF_TARGET = 1e-9


class Draw:
    """Parameter sets in user units, rounded so that the file reads well."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def uniform(self, lo, hi, digits=3):
        return round(self.rng.uniform(lo, hi), digits)

    def pick(self, levels):
        return self.rng.choice(levels)

    def base(self, **fixed):
        p = dict(
            drift_rate=self.uniform(-3, 3, 2),
            boundary_separation=self.uniform(0.5, 3, 2),
            starting_point=self.pick([0.3, 0.4, 0.5, 0.5, 0.6, 0.7]),
            non_decision_time=self.uniform(0, 0.5, 2),
        )
        p.update(fixed)
        return p

    def bound(self, family, speed):
        """Family parameters; speed 'fast' (0.05-0.2 s) or 'slow' (1-3 s)."""
        T = self.uniform(0.05, 0.2) if speed == "fast" else self.uniform(1.0, 3.0, 2)
        if family == "constant":
            return {}
        if family == "weibull":
            return dict(collapse_time=T, collapse_shape=self.pick([0.5, 0.7, 3.5, 5.0]), collapse_floor=self.pick([0.0, 0.5]))
        return dict(collapse_time=T)

    def dmc(self, shape=None, sign=None):
        shape = shape if shape is not None else self.pick([1.5, 1.8, 2.5, 3.0, 4.0])
        sign = sign if sign is not None else self.pick([-1, 1])
        return dict(automatic_amplitude=sign * self.uniform(0.05, 0.3), automatic_time=self.uniform(0.02, 0.2),
                    automatic_shape=shape)


def parameter_sets(quick):
    """(bound, drift, params, kind) for every set; kind names what it covers."""
    d = Draw(SEED)
    sets = []

    def add(bound, drift, p, kind):
        sets.append((bound, drift, p, kind))

    # The standard model, as a control, with each variability.
    add("constant", "constant", d.base(), "standard")
    add("constant", "constant", d.base(drift_rate_sd=1.0), "standard sv")
    add("constant", "constant", d.base(starting_point_range=0.3), "standard sz")
    add("constant", "constant", d.base(non_decision_time_range=0.2), "standard st0")
    for family in ("linear", "exponential", "hyperbolic", "weibull"):
        for speed in ("fast", "slow"):
            for _ in range(2 if quick else 4):
                add(family, "constant", d.base(**d.bound(family, speed)), f"{family} {speed}")
    # Weibull shapes below 1 and above 3, floors 0 and 0.5, all four.
    for shape in (0.5, 4.0):
        for floor in (0.0, 0.5):
            add("weibull", "constant", d.base(collapse_time=d.uniform(0.2, 1.0, 2), collapse_shape=shape, collapse_floor=floor),
                f"weibull shape {shape} floor {floor}")
    # The automatic drift: shapes below and above 2, both signs.
    for shape in (1.5, 1.8, 2.5, 4.0):
        for sign in (-1, 1):
            for _ in range(1 if quick else 2):
                add("constant", "dmc", d.base(drift_rate=d.uniform(-1, 2, 2), **d.dmc(shape, sign)), f"dmc shape {shape}")
    for family in ("linear", "weibull"):
        add(family, "dmc", d.base(drift_rate=d.uniform(0, 2, 2), **d.bound(family, "slow"), **d.dmc()), f"{family} with dmc")
    # Leak: strong, and self-exciting, alone and with the other families.
    for leak in (5.0, 8.0, 10.0, -3.0):
        add("constant", "constant", d.base(leak=leak), f"leak {leak}")
    for family, leak in (("linear", 6.0), ("exponential", -3.0), ("hyperbolic", 8.0), ("weibull", -3.0)):
        add(family, "constant", d.base(leak=leak, **d.bound(family, "slow")), f"{family} with leak {leak}")
    add("weibull", "constant", d.base(leak=-3.0, collapse_time=0.5, collapse_shape=3.5, collapse_floor=0.5),
        "weibull floor with self-excitation")
    add("constant", "dmc", d.base(leak=7.0, **d.dmc(1.5, 1)), "dmc with leak")
    add("constant", "dmc", d.base(leak=-3.0, **d.dmc(2.5, -1)), "dmc with self-excitation")
    # Each family with the variabilities and another noise.
    combos = [
        ("linear", dict(drift_rate_sd=1.2)),
        ("exponential", dict(starting_point_range=0.4)),
        ("hyperbolic", dict(non_decision_time_range=0.25)),
        ("weibull", dict(noise_sd=0.5)),
        ("linear", dict(starting_point_range=0.3, non_decision_time_range=0.15)),
        ("exponential", dict(drift_rate_sd=0.8, noise_sd=2.0)),
        ("weibull", dict(drift_rate_sd=1.0, non_decision_time_range=0.2)),
        ("hyperbolic", dict(starting_point_range=0.3, noise_sd=0.1)),
    ]
    for family, extra in combos:
        p = d.base(**d.bound(family, d.pick(["fast", "slow"])), **extra)
        if "noise_sd" in extra:
            p["drift_rate"] = round(p["drift_rate"] * extra["noise_sd"], 4)
            p["boundary_separation"] = round(p["boundary_separation"] * extra["noise_sd"], 4)
            p["drift_rate_sd"] = round(p.get("drift_rate_sd", 0.0) * extra["noise_sd"], 4)
        add(family, "constant", p, f"{family} with {', '.join(sorted(extra))}")
    add("constant", "dmc", d.base(drift_rate_sd=0.6, **d.dmc(1.8, 1)), "dmc with sv")
    add("constant", "dmc", d.base(starting_point_range=0.3, non_decision_time_range=0.1, **d.dmc(3.0, -1)), "dmc with sz, st0")
    # Drift variability where it is averaged node by node: with a leak, with
    # a starting-point range.
    add("constant", "constant", d.base(drift_rate=1.0, boundary_separation=1.5, leak=4.0, drift_rate_sd=0.8), "sv with leak")
    add("exponential", "constant", d.base(drift_rate=0.5, boundary_separation=1.5, starting_point_range=0.3, drift_rate_sd=0.6,
                                          collapse_time=1.5), "sv with sz")
    # Starting points next to a bound.
    for w in (0.1, 0.9):
        for family in ("constant", "linear", "exponential", "weibull"):
            add(family, "constant", d.base(starting_point=w, **d.bound(family, d.pick(["fast", "slow"]))), f"{family} w = {w}")
        add("constant", "dmc", d.base(starting_point=w, **d.dmc()), f"dmc w = {w}")
    return sets, d.rng


def leading_edge(solution, choice, t0, target, horizon):
    """A response time just after t0 whose log-density is about target (from
    below): the first crossing on a log grid of decision times, refined by
    bisection. None if the density never gets that high before horizon."""
    grid = [t0 + x for x in [horizon * 10 ** (-k / 8) for k in range(40, -1, -1)]]
    previous = None
    for rt in grid:
        if solution.log_density(choice, rt) >= target:
            if previous is None:
                return None
            lo, hi = previous, rt
            for _ in range(30):
                mid = (lo + hi) / 2
                if solution.log_density(choice, mid) >= target:
                    hi = mid
                else:
                    lo = mid
            return round(hi, 6)
        previous = rt
    return None


def quantile(solution, choice, share, t0, span):
    """The response time by which the given share of this response's trials
    have ended (bisection on the distribution function), or None for a
    response too rare to matter."""
    total = solution.probability(choice)
    if total < 1e-3:
        return None
    hi = t0 + span
    while solution.cdf(choice, hi) < share * total:
        hi = t0 + 2 * (hi - t0)
    lo = t0
    for _ in range(40):
        mid = (lo + hi) / 2
        if solution.cdf(choice, mid) < share * total:
            lo = mid
        else:
            hi = mid
    return hi


def closing_edge(solution, choice, t0, T, target):
    """A response time shortly before linear bounds meet at t0 + T, with a
    log-density of about target if it falls that low, else 0.99 T."""
    late = t0 + T * 0.999
    if solution.log_density(choice, late) >= target:
        return round(late, 6)
    lo, hi = t0 + 0.5 * T, late
    if solution.log_density(choice, lo) < target:
        return None
    for _ in range(40):
        mid = (lo + hi) / 2
        if solution.log_density(choice, mid) >= target:
            lo = mid
        else:
            hi = mid
    return round(lo, 6)


def points_of(bound, drift, p, rng):
    """The response times of one parameter set: a leading edge, a body point
    or two, and for linear bounds one just before they meet."""
    solution = reference.solve(p, bound, drift)
    t0, st0 = p.get("non_decision_time", 0.0), p.get("non_decision_time_range", 0.0)
    scale = min(3.0, max(0.3, (p["boundary_separation"] / p.get("noise_sd", 1.0)) ** 2 / 2))
    T = p.get("collapse_time") if bound == "linear" else None
    horizon = T if T else 4 * scale
    chosen = []
    choice = rng.random() < 0.5
    edge = leading_edge(solution, choice, t0, -rng.uniform(6, 18), horizon)
    if edge is not None:
        chosen.append((choice, edge, "leading edge"))
    for _ in range(2):
        choice = rng.random() < 0.5
        rt = quantile(solution, choice, rng.uniform(0.05, 0.95), t0, st0 + horizon)
        if rt is not None:
            chosen.append((choice, round(rt, 4), "body"))
    if T:
        choice = rng.random() < 0.5
        rt = closing_edge(solution, choice, t0 + st0, T, -rng.uniform(8, 18))
        if rt is not None:
            chosen.append((choice, rt, "closing"))
    return solution, chosen


def evaluate(solution, choice, rt):
    log_f = solution.log_density(choice, rt)
    return dict(log_density=log_f if math.isfinite(log_f) else None, cdf=solution.cdf(choice, rt))


def refinement_moves(bound, drift, p, entries):
    """The largest changes of log f (scaled as the target) and F when the set
    is solved with refined settings; the tool stops past a tenth of the targets."""
    fine = reference.solve(p, bound, drift, settings=reference.DEFAULT_SETTINGS.refined())
    worst_log = worst_cdf = 0.0
    for e in entries:
        if e["log_density"] is not None:
            better = fine.log_density(e["choice"], e["rt"])
            worst_log = max(worst_log, abs(e["log_density"] - better) / max(1.0, abs(better)))
        worst_cdf = max(worst_cdf, abs(e["cdf"] - fine.cdf(e["choice"], e["rt"])))
    worst_cdf = max(worst_cdf, abs(entries[0]["p_upper"] - fine.probability_upper()))
    if worst_log > LOG_TARGET / 10 or worst_cdf > CDF_TARGET / 10:
        raise reference.ReferenceFailure(f"refinement moved the values by {worst_log:.2e} (log f), {worst_cdf:.2e} (F): {bound} {drift} {p}")
    return worst_log, worst_cdf


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer random sets of each bound family")
    parser.add_argument("--output", type=Path, default=ROOT / "tests" / "data" / "generalized-reference.json")
    args = parser.parse_args()

    sets, rng = parameter_sets(args.quick)
    started = time.perf_counter()
    entries, refinement, seconds = [], {}, {}
    for i, (bound, drift, p, kind) in enumerate(sets):
        tic = time.perf_counter()
        full = reference.check(p, bound, drift)
        solution, chosen = points_of(bound, drift, full, rng)
        mine = []
        for choice, rt, where in chosen:
            value = evaluate(solution, choice, rt)
            if value["log_density"] is None or value["log_density"] < reference.RELIABLE_LOG_DENSITY:
                continue  # only points the reference vouches for
            mine.append(dict(kind=kind, where=where, bound=bound, drift=drift, params=full, choice=choice, rt=rt,
                             **value, p_upper=solution.probability_upper()))
        if not mine:
            raise reference.ReferenceFailure(f"no point of {kind} {p} has a log-density >= -20")
        family = f"{bound}/{drift}"
        rare = any(word in kind for word in ("sv with", "shape", "self", "w = 0.1"))
        if i % REFINE_EVERY == 0 or rare or family not in refinement:
            moves = refinement_moves(bound, drift, full, mine)
            old = refinement.get(family, (0.0, 0.0))
            refinement[family] = (max(old[0], moves[0]), max(old[1], moves[1]))
        entries += mine
        seconds[kind.split()[0]] = seconds.get(kind.split()[0], 0.0) + time.perf_counter() - tic
        print(f"\r{i + 1}/{len(sets)} sets, {len(entries)} points", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    elapsed = time.perf_counter() - started

    table = {
        "description": (
            "Reference values of generalized diffusion models (bound families constant, linear, "
            "exponential, hyperbolic, weibull; drift families constant, dmc; leak): log_density "
            "(natural log of the joint density of the response and its time), cdf = P(response = "
            "choice and RT <= rt), p_upper = P(upper response). Every log_density is >= -20; the "
            "reference holds log_density to 1e-7 max(1, |log_density|) and cdf, p_upper to 1e-9. "
            "Written by tools/make_generalized_reference.py from tests/generalized_reference.py; "
            "do not edit by hand."
        ),
        "reference": {
            "method": "forward equation for u = q / G in z = y / b(t): Chebyshev elements, Radau IIA panels",
            "settings": vars(reference.DEFAULT_SETTINGS),
            "seed": SEED,
            "refinement": {k: {"largest_log_density_move": v[0], "largest_cdf_move": v[1]} for k, v in sorted(refinement.items())},
        },
        "parameters": list(reference.PARAMETERS),
        "points": [{"id": i, **e} for i, e in enumerate(entries)],
    }
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(table, indent=1) + "\n")

    print(f"{len(entries)} points from {len(sets)} parameter sets in {elapsed:.0f} s -> {args.output}")
    for name, s in sorted(seconds.items()):
        print(f"  {name:12s} {s:7.1f} s")
    for family, (log_move, cdf_move) in sorted(refinement.items()):
        print(f"  refined {family:22s} log f moved <= {log_move:.1e}, F <= {cdf_move:.1e}")


if __name__ == "__main__":
    main()
