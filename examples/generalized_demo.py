"""Generalized models in two minutes: a collapsing bound and a conflict task.

First, trials from a model whose bounds collapse exponentially are fitted with the standard
model and with the collapsing one; the comparison table picks the true one, and the recovered
parameters are printed with their standard errors. Second, a conflict task: congruent and
incongruent trials of a model with an early automatic activation (drift="dmc"), fitted jointly
with the activation's amplitude per condition, which comes back with opposite signs; its delta
plot compares the conditions' quantiles as conflict-task researchers read them. The figures go
to build/.
"""
import pathlib
import time

import pandas as pd

import ventrola
from ventrola import DDM

FIGURES = pathlib.Path("build")
SEED = 20261208
TRIALS = 2000

COLLAPSE = {"drift_rate": 1.0, "boundary_separation": 2.2, "non_decision_time": 0.3, "collapse_time": 0.6}
CONFLICT = {"drift_rate": 1.4, "boundary_separation": 1.7, "non_decision_time": 0.3, "automatic_time": 0.05,
            "automatic_shape": 2.0}
AMPLITUDE = {"congruent": 0.6, "incongruent": -0.6}


def timed(function, *args, **kwargs):
    started = time.perf_counter()
    result = function(*args, **kwargs)
    return result, time.perf_counter() - started


def save(figure, name):
    FIGURES.mkdir(exist_ok=True)
    figure.savefig(FIGURES / name, dpi=110)
    print(f"figure: {FIGURES / name}")


def collapsing_bound():
    model = DDM(bound="exponential")
    choices, rts, _ = model.simulate(TRIALS, SEED, **COLLAPSE)
    print(f"{TRIALS} trials of {model!r} with {COLLAPSE}")
    fits = {}
    for label, candidate in (("standard", DDM()), ("exponential collapse", model)):
        fits[label], seconds = timed(ventrola.fit_ml, choices, rts, model=candidate)
        print(f"  fit_ml with {candidate!r}: {seconds:.2f} s, {fits[label]['iterations']} iterations, "
              f"converged: {fits[label]['converged']}")
    print()
    table = ventrola.compare(fits)
    with pd.option_context("display.width", 160, "display.max_columns", 20, "display.precision", 4):
        print(table.drop(columns="converged"))
    print(f"best: {table.index[0]} (Akaike weight {table['aic_weight'].iloc[0]:.4f})")
    # Another shape of collapse, for honesty: the data decide between collapsing and not far more
    # easily than between two shapes of collapse.
    linear = ventrola.fit_ml(choices, rts, model=DDM(bound="linear"))
    versus = ventrola.compare({"exponential collapse": fits["exponential collapse"], "linear collapse": linear})
    print(f"a linear collapse fitted to the same trials: AIC {versus.loc['linear collapse', 'aic']:.1f} against "
          f"{versus.loc['exponential collapse', 'aic']:.1f}; {TRIALS} trials barely tell the two shapes apart")
    print()
    best = fits["exponential collapse"]
    print(f"  {'parameter':<22} {'true':>7} {'fitted':>8} {'SE':>7}")
    for name, value in COLLAPSE.items():
        print(f"  {name:<22} {value:7.3f} {best[name]:8.3f} {best['standard_errors'][name]:7.3f}")
    try:
        save(ventrola.plot_fit((choices, rts), fits["standard"], title="collapsing-bound data, standard model"),
             "collapse-standard-fit.png")
        save(ventrola.plot_fit((choices, rts), best, title="collapsing-bound data, exponential collapse"),
             "collapse-exponential-fit.png")
        save(ventrola.plot_model(best, seed=1), "collapse-model.png")
    except ImportError as missing:
        print(f"(no figures: {missing})")


def conflict_task():
    model = DDM(drift="dmc")
    parts = []
    for k, (condition, amplitude) in enumerate(AMPLITUDE.items()):
        choices, rts, _ = model.simulate(TRIALS // 2 + 500, SEED + 1 + k, automatic_amplitude=amplitude, **CONFLICT)
        parts.append(pd.DataFrame({"congruency": condition, "choice": choices, "rt": rts}))
    trials = pd.concat(parts, ignore_index=True)
    print(f"conflict task: {len(trials)} trials of {model!r}, automatic_amplitude {AMPLITUDE}, "
          f"time scale {CONFLICT['automatic_time']} s, shape {CONFLICT['automatic_shape']}")
    fits, seconds = timed(ventrola.fit_frame, trials, method="ml", model=model,
                          depends_on={"automatic_amplitude": "congruency"})
    print(f"  fit_frame(method='ml', depends_on={{'automatic_amplitude': 'congruency'}}): {seconds:.2f} s, "
          f"{int(fits['iterations'].iloc[0])} iterations, converged: {bool(fits['converged'].iloc[0])}")
    print(f"  {'condition':<12} {'amplitude':>9} {'SE':>7}   (true)")
    for _, row in fits.iterrows():
        print(f"  {row['congruency']:<12} {row['automatic_amplitude']:9.3f} {row['automatic_amplitude_se']:7.3f}"
              f"   ({AMPLITUDE[row['congruency']]:+.1f})")
    shared = fits.iloc[0]
    print("  shared: " + "   ".join(f"{name} {shared[name]:.3f} ± {shared[name + '_se']:.3f} (true {value})"
                                    for name, value in CONFLICT.items()))
    try:
        save(ventrola.plot_delta(trials, fits, factor="congruency", model=model), "conflict-delta.png")
        save(ventrola.plot_model(fits.iloc[1].to_dict(), model=model, seed=2,
                                 title="incongruent trials: the fitted activation pulls towards the error first"),
             "conflict-model.png")
    except ImportError as missing:
        print(f"(no figures: {missing})")


def main():
    collapsing_bound()
    print()
    conflict_task()


if __name__ == "__main__":
    main()
