"""Single-thread speed of the simulation core: 64-bit draws of each refill
variant, standard normal variates, and diffusion steps of one typical trial at
a time. The clocks run inside the extension, so Python's overhead is not
counted. Prints medians (and the best) of several runs.
"""
import os
import statistics

import _ventrola_testing as t

RUNS = 7
DRAWS = 50_000_000
NORMALS = 20_000_000
TRIALS = 100_000
TYPICAL = (1.0, 1.5, 0.5, 0.0, 1.0)  # drift, boundary, start, t0, noise_sd
TARGETS = {"draws": 450e6, "steps": 170e6}


def rates(measure, runs=RUNS):
    measure()  # warm up: caches, page faults, the processor's clock
    return [measure() for _ in range(runs)]


def line(label, values, unit, target=None):
    median = statistics.median(values)
    verdict = ""
    if target is not None:
        verdict = f"   target {target / 1e6:.0f} M: {'met' if median >= target else 'NOT MET'}"
    print(f"{label:<28} median {median / 1e6:8.1f} M {unit}/s   best {max(values) / 1e6:8.1f}{verdict}")


def main():
    print(f"threads: 1 (of {os.cpu_count()} logical processors); median of {RUNS} runs")
    print(f"refill variants here: {', '.join(t.refill_variants())} (default {t.active_refill_variant()})")
    print(f"trial loops here: {', '.join(t.trial_kernels())}")

    best = t.refill_variants()[-1]
    for variant in t.refill_variants():
        values = rates(lambda: DRAWS / t.bench_draws(variant, DRAWS))
        line(f"draws ({variant})", values, "draws", TARGETS["draws"] if variant == best else None)

    line("standard normal variates", rates(lambda: NORMALS / t.bench_normals(NORMALS)), "variates")

    def steps_per_second():
        seconds, steps = t.bench_trials(*TYPICAL, 7, TRIALS)
        return steps / seconds

    line("diffusion steps (typical)", rates(steps_per_second), "steps", TARGETS["steps"])
    print(f"typical trial: drift {TYPICAL[0]}, boundary {TYPICAL[1]}, start {TYPICAL[2]}, noise {TYPICAL[4]}")


if __name__ == "__main__":
    main()
