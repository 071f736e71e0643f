"""Parameter recovery in one minute.

For a few known parameter sets: simulate trials, recover the parameters with
the closed-form EZ estimator and with the simulation-based fit, and print the
true and recovered values side by side with the time each step took. The
last fit is drawn against its data in build/recovery-demo.png.
"""
import os
import pathlib
import time

import ventrola

FIGURE = pathlib.Path("build") / "recovery-demo.png"

TRIALS = 2000
SEED = 20261207

# (label, drift rate, boundary separation, non-decision time in seconds)
PARAMETER_SETS = [
    ("easy task", 2.0, 1.2, 0.30),
    ("typical", 1.0, 1.5, 0.30),
    ("cautious", 0.6, 2.2, 0.25),
]


def timed(function, *args):
    started = time.perf_counter()
    result = function(*args)
    return result, time.perf_counter() - started


def main():
    threads = os.environ.get("RAYON_NUM_THREADS") or str(len(os.sched_getaffinity(0)))
    print(f"ventrola {ventrola.__version__}: {TRIALS} simulated trials per set, seed {SEED}, {threads} threads")
    print()
    header = f"{'set':<10} {'method':<9} {'drift':>7} {'bound':>7} {'t0':>7} {'seconds':>8}"
    print(header)
    print("-" * len(header))
    for label, drift, boundary, t0 in PARAMETER_SETS:
        (choices, rts, excluded), sim_time = timed(ventrola.simulate, drift, boundary, 0.5, t0, TRIALS, SEED)
        print(f"{label:<10} {'true':<9} {drift:7.3f} {boundary:7.3f} {t0:7.3f} {sim_time:8.3f}")
        ez, ez_time = timed(ventrola.fit_ez, choices, rts)
        print(f"{'':<10} {'fit_ez':<9} {ez['drift_rate']:7.3f} {ez['boundary_separation']:7.3f} "
              f"{ez['non_decision_time']:7.3f} {ez_time:8.3f}")
        fit, fit_time = timed(ventrola.fit_sim, choices, rts)
        print(f"{'':<10} {'fit_sim':<9} {fit['drift_rate']:7.3f} {fit['boundary_separation']:7.3f} "
              f"{fit['non_decision_time']:7.3f} {fit_time:8.3f}   "
              f"({fit['iterations']} iterations, cost {fit['final_cost']:.2e})")
        if excluded:
            print(f"{'':<10} ({excluded} trials hit the 10 s cap and were excluded)")
    print()
    print("'true' times the simulation; fit_sim simulates 5000 trials per cost evaluation.")
    save_figure(label, choices, rts, fit)


def save_figure(label, choices, rts, fit):
    try:
        from ventrola.plotting import plot_fit

        figure = plot_fit((choices, rts), fit, title=f"{label}: data and the fit_sim prediction")
    except ImportError as missing:
        print(f"(no figure: {missing})")
        return
    FIGURE.parent.mkdir(exist_ok=True)
    figure.savefig(FIGURE, dpi=110)
    print(f"figure of the last fit: {FIGURE}")


if __name__ == "__main__":
    main()
