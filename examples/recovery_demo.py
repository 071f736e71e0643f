"""Parameter recovery in one minute.

For a few known parameter sets: simulate trials, recover the parameters with the closed-form
EZ estimator, the simulation-based fit and the maximum-likelihood fit, and print the true and
recovered values side by side with the time each step took and the standard errors of the
maximum-likelihood estimates. Then one fit of a model with a biased starting point and
across-trial drift variability. The last fits are drawn against their data in build/.
"""
import os
import pathlib
import time

import ventrola

FIGURES = pathlib.Path("build")

TRIALS = 2000
SEED = 20261207

# (label, drift rate, boundary separation, non-decision time in seconds)
PARAMETER_SETS = [
    ("easy task", 2.0, 1.2, 0.30),
    ("typical", 1.0, 1.5, 0.30),
    ("cautious", 0.6, 2.2, 0.25),
]
# A biased start towards the lower boundary and drift that varies from trial to trial.
BIASED = {"drift_rate": 1.0, "boundary_separation": 1.6, "starting_point": 0.4, "non_decision_time": 0.3,
          "drift_rate_sd": 1.0}


def timed(function, *args, **kwargs):
    started = time.perf_counter()
    result = function(*args, **kwargs)
    return result, time.perf_counter() - started


def row(label, method, values, seconds=None, extra=""):
    drift, boundary, t0 = values
    timing = f"{seconds:8.3f}" if seconds is not None else " " * 8
    return f"{label:<10} {method:<9} {drift:7.3f} {boundary:7.3f} {t0:7.3f} {timing}   {extra}".rstrip()


def main():
    threads = os.environ.get("RAYON_NUM_THREADS") or str(len(os.sched_getaffinity(0)))
    print(f"ventrola {ventrola.__version__}: {TRIALS} simulated trials per set, seed {SEED}, {threads} threads")
    print()
    header = f"{'set':<10} {'method':<9} {'drift':>7} {'bound':>7} {'t0':>7} {'seconds':>8}"
    print(header)
    print("-" * len(header))
    for label, drift, boundary, t0 in PARAMETER_SETS:
        (choices, rts, excluded), sim_time = timed(ventrola.simulate_ddm, drift, boundary, 0.5, t0, TRIALS, SEED,
                                                   method="exact")
        print(row(label, "true", (drift, boundary, t0), sim_time))
        ez, ez_time = timed(ventrola.fit_ez, choices, rts)
        print(row("", "fit_ez", values(ez), ez_time))
        fit, fit_time = timed(ventrola.fit_sim, choices, rts)
        print(row("", "fit_sim", values(fit), fit_time,
                  f"({fit['iterations']} iterations, cost {fit['final_cost']:.2e})"))
        ml, ml_time = timed(ventrola.fit_ml, choices, rts)
        errors = ml["standard_errors"]
        print(row("", "fit_ml", values(ml), ml_time, f"({ml['iterations']} iterations, loglik {ml['loglik']:.1f})"))
        print(row("", "  ± SE", values(errors)))
        if excluded:
            print(f"{'':<10} ({excluded} trials hit the 10 s cap and were excluded)")
    print()
    print("'true' times the exact simulation (simulate_ddm); fit_sim simulates 5000 trials per cost")
    print("evaluation by Euler steps of 1 ms, which end a little past the boundary, so its boundary tends")
    print("to come out a little narrow; fit_ml uses the exact likelihood with a 2 % lapse component, and")
    print("± SE are its standard errors.")
    save_figure("ml-fit.png", (choices, rts), ml, f"{label}: data and the fit_ml prediction (exact density)")

    print()
    choices, rts = simulate_biased(BIASED, TRIALS, SEED)
    free = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time", "drift_rate_sd"]
    # The lapse weight is estimated too: a fixed weight these lapse-free data do
    # not have would pull the other estimates.
    ml, ml_time = timed(ventrola.fit_ml, choices, rts, free=[*free, "contamination"])
    print(f"biased start and drift variability, {TRIALS} trials: fit_ml with {len(free) + 1} free parameters "
          f"in {ml_time:.3f} s ({ml['iterations']} iterations, converged: {ml['converged']})")
    print(f"  {'parameter':<20} {'true':>7} {'fitted':>8} {'SE':>7}")
    for name in free:
        print(f"  {name:<20} {BIASED[name]:7.3f} {ml[name]:8.3f} {ml['standard_errors'][name]:7.3f}")
    print(f"  {'contamination':<20} {0.0:7.3f} {ml['contamination']:8.3f} {ml['standard_errors']['contamination']:7.3f}")
    if ml["note"]:
        print(f"  note: {ml['note']}")
    save_figure("ml-biased-fit.png", (choices, rts), ml, "biased start and drift variability: data and fit_ml")


def values(result):
    return result["drift_rate"], result["boundary_separation"], result["non_decision_time"]


def simulate_biased(params, n, seed):
    """The model with drift variability, sampled exactly."""
    choices, rts, _ = ventrola.simulate_ddm(
        params["drift_rate"], params["boundary_separation"], params["starting_point"],
        params["non_decision_time"], n, seed, drift_rate_sd=params["drift_rate_sd"], method="exact",
    )
    return choices, rts


def save_figure(name, data, fit, title):
    try:
        from ventrola.plotting import plot_fit

        figure = plot_fit(data, fit, title=title)
    except ImportError as missing:
        print(f"(no figure: {missing})")
        return
    FIGURES.mkdir(exist_ok=True)
    figure.savefig(FIGURES / name, dpi=110)
    print(f"figure: {FIGURES / name}")


if __name__ == "__main__":
    main()
