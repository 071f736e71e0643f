"""Generalized models: the summed log-likelihood of 2,000 trials on one thread,
with and without its gradient, for an exponentially collapsing bound, the
conflict-task drift and a leak; how far that sum is from the reference
solution's (tests/generalized_reference.py, an independent solver run to
1e-10); and Euler steps per second of a collapsing-bound simulation on one and
two threads. Each time is the median of several calls, by the wall clock and
by processor time, measured in a fresh process with the thread count set.
"""
import json
import os
import pathlib
import statistics
import subprocess
import sys

RUNS = 9
BASE = dict(drift_rate=1.0, boundary_separation=1.8, starting_point=0.5, non_decision_time=0.3)
MODELS = {
    "exponential bound": (dict(bound="exponential"), dict(collapse_time=1.0)),
    "dmc drift": (dict(drift="dmc"), dict(automatic_amplitude=0.5, automatic_time=0.05, automatic_shape=2.0)),
    "leak": (dict(leak=True), dict(leak=2.0)),
}
TARGETS_MS = {"loglik": 2.0, "gradient": 8.0}
STEPS_TARGET = 150e6
TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests"

LIKELIHOOD = """
import json, statistics, sys, time
import ventrola
structure, params, runs = json.loads(sys.argv[1]), json.loads(sys.argv[2]), int(sys.argv[3])
model = ventrola.DDM(**structure)
choices, rts, _ = model.simulate(2000, 17, **params)
model.loglik(choices, rts, params)
out = {"sum": model.loglik(choices, rts, params), "latest": float(rts.max())}
for kind in ("loglik", "gradient"):
    wall, processor = [], []
    for _ in range(runs):
        start, start_processor = time.perf_counter(), time.process_time()
        if kind == "loglik":
            model.loglik(choices, rts, params)
        else:
            model.logpdf_grad(choices, rts, **params)
        wall.append(1e3 * (time.perf_counter() - start))
        processor.append(1e3 * (time.process_time() - start_processor))
    out[kind] = [statistics.median(wall), statistics.median(processor)]
print(json.dumps(out))
"""

REFERENCE = """
import json, sys
import numpy as np
sys.path.insert(0, sys.argv[3])
import generalized_reference as ref
import ventrola
structure, params = json.loads(sys.argv[1]), json.loads(sys.argv[2])
model = ventrola.DDM(**structure)
choices, rts, _ = model.simulate(2000, 17, **params)
solution = ref.solve(params, bound=structure.get("bound", "constant"), drift=structure.get("drift", "constant"))
grid = solution.on_grid(rts)
log_f = np.where(choices, grid["log_density_upper"], grid["log_density_lower"])
print(json.dumps(float(np.sum(log_f))))
"""

SIMULATION = """
import json, statistics, sys, time
import numpy as np
import ventrola
n, runs = int(sys.argv[1]), int(sys.argv[2])
model = ventrola.DDM(bound="exponential")
params = dict(drift_rate=1.0, boundary_separation=1.8, starting_point=0.5, non_decision_time=0.3, collapse_time=1.0)
choices, rts, excluded = model.simulate(n, 3, **params)
steps = float(np.sum(np.round((rts - 0.3) / 0.001))) + excluded * 10000.0
wall, processor = [], []
for _ in range(runs):
    start, start_processor = time.perf_counter(), time.process_time()
    model.simulate(n, 3, **params)
    wall.append(steps / (time.perf_counter() - start))
    processor.append(steps / (time.process_time() - start_processor))
print(json.dumps([statistics.median(wall), statistics.median(processor), steps / n]))
"""


def run(code, *arguments, threads=1):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", code, *arguments], env=env, check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out)


def verdict(value, target, smaller_is_better=True):
    met = value <= target if smaller_is_better else value >= target
    return "met" if met else "NOT MET"


def main():
    print(f"{os.cpu_count()} logical processors; 2,000 trials simulated from each model "
          f"(drift 1.0, separation 1.8, start 0.5, t0 0.3); one thread; medians of {RUNS} calls")
    for label, (structure, extra) in MODELS.items():
        params = {**BASE, **extra}
        figures = run(LIKELIHOOD, json.dumps(structure), json.dumps(params), str(RUNS))
        reference = run(REFERENCE, json.dumps(structure), json.dumps(params), str(TESTS))
        print(f"  {label} ({', '.join(f'{k} {v}' for k, v in extra.items())}; slowest response "
              f"{figures['latest']:.2f} s):")
        for kind in ("loglik", "gradient"):
            wall, processor = figures[kind]
            print(f"    {kind:<9} wall {wall:6.2f} ms   processor {processor:6.2f} ms   "
                  f"target {TARGETS_MS[kind]:.0f} ms (processor): {verdict(processor, TARGETS_MS[kind])}")
        error = figures["sum"] - reference
        print(f"    summed log-likelihood {figures['sum']:.6f}, reference {reference:.6f}: off by {error:.2e} "
              f"(target 0.02: {verdict(abs(error), 0.02)})")
    print("Euler steps of 1 ms, exponential bound (collapse_time 1.0), 200,000 trials:")
    one = run(SIMULATION, "200000", "5", threads=1)
    two = run(SIMULATION, "200000", "5", threads=2)
    print(f"  one thread   wall {one[0] / 1e6:6.1f} M steps/s   processor {one[1] / 1e6:6.1f} M steps/s   "
          f"target {STEPS_TARGET / 1e6:.0f} M (processor): {verdict(one[1], STEPS_TARGET, False)}   "
          f"({one[2]:.0f} steps a trial)")
    print(f"  two threads  wall {two[0] / 1e6:6.1f} M steps/s   speed-up {two[0] / one[0]:.2f}x by the wall clock "
          f"(target 1.85x: {verdict(two[0] / one[0], 1.85, False)})")


if __name__ == "__main__":
    main()
