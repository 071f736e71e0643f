"""Single-thread speed of the one-trial kernels behind the likelihood engine:
the log-density and its gradient for the base model and with each kind of
across-trial variability alone and together. Response times are a fixed
sample spread like a typical data set (decision times log-normal around
0.45 s, three in four at the upper boundary). The clock runs inside the
extension, without NumPy's argument handling, and counts processor time.
Prints medians (and the best) of several runs.
"""
import os
import statistics
import struct

import numpy as np

import _ventrola_testing as t

RUNS = 7
TRIALS = 20_000
TARGET = 2e6  # log-densities per second with all seven parameters
# v, a, w, t0, sv, sz, st0, s
MODELS = {
    "base (v, a, w, t0)": (1.0, 1.5, 0.5, 0.3, 0.0, 0.0, 0.0, 1.0),
    "+ drift variability": (1.0, 1.5, 0.5, 0.3, 0.8, 0.0, 0.0, 1.0),
    "+ start-point range": (1.0, 1.5, 0.5, 0.3, 0.8, 0.3, 0.0, 1.0),
    "+ non-decision range": (1.0, 1.5, 0.5, 0.3, 0.8, 0.0, 0.2, 1.0),
    "all seven": (1.0, 1.5, 0.5, 0.3, 0.8, 0.3, 0.2, 1.0),
}


def trials(seed=42):
    rng = np.random.default_rng(seed)
    rts = 0.3 + 0.2 * rng.random(TRIALS) + rng.lognormal(np.log(0.45), 0.55, TRIALS)
    uppers = (rng.random(TRIALS) < 0.75).astype(np.uint8)
    return struct.pack(f"<{TRIALS}d", *rts), uppers.tobytes()


def main():
    print(f"threads: 1 (of {os.cpu_count()} logical processors); median of {RUNS} runs of {TRIALS} trials")
    rts, uppers = trials()
    for name, params in MODELS.items():
        for gradient in (False, True):
            def rate():
                seconds, _ = t.bench_wiener(rts, uppers, gradient, *params)
                return TRIALS / seconds

            rate()  # warm up
            values = [rate() for _ in range(RUNS)]
            median = statistics.median(values)
            label = f"{name} {'gradient' if gradient else 'log-density'}"
            verdict = ""
            if name == "all seven" and not gradient:
                verdict = f"   target {TARGET / 1e6:.0f} M: {'met' if median >= TARGET else 'NOT MET'}"
            print(f"{label:<42} median {median / 1e6:7.2f} M/s ({1e9 / median:7.0f} ns)   best {max(values) / 1e6:7.2f}"
                  f"{verdict}")


if __name__ == "__main__":
    main()
