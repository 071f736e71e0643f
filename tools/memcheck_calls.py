"""A short run of every entry point for valgrind's memcheck (`make memcheck`).

Small sizes so that it finishes in minutes under valgrind: each function is
called a few times with good arguments and with arguments that fail in each
way (argument matching, conversion, validation, recovery), and internal faults
go through the PanicException path. Any unexpected outcome exits non-zero.
"""
import sys

import numpy as np

import _ventrola
import _ventrola_testing as testing

ROUNDS = 3


def expect(exception_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except BaseException as caught:  # PanicException derives from BaseException
        if type(caught).__name__ != exception_type:
            raise AssertionError(f"{call.__name__}: expected {exception_type}, got {caught!r}") from caught
        return
    raise AssertionError(f"{call.__name__}: expected {exception_type}, got a result")


def good_calls():
    choices, rts, excluded = _ventrola.simulate(1.0, 1.5, 0.5, 0.3, 400, 7)
    assert len(choices) == len(rts) == 400 - excluded
    _ventrola.simulate(0.5, 1.0, 0.5, 0.2, 50, 1, noise_sd=0.8)
    _ventrola.simulate(1.0, 1.0, 0.5, 0.2, 0, 3)
    fitted = _ventrola.fit_ez(choices, rts)
    assert set(fitted) >= {"drift_rate", "boundary_separation", "non_decision_time"}
    guess = {"drift_rate": 1.0, "boundary_separation": 1.2, "non_decision_time": 0.25}
    result = _ventrola.fit_sim(choices, rts, initial_guess=guess, max_iters=2)
    assert "final_cost" in result
    _ventrola.fit_sim(choices[:60], rts[:60], max_iters=1)
    return choices, rts


def failing_calls(choices, rts):
    expect("TypeError", _ventrola.simulate, 1.0, 1.0)
    expect("TypeError", _ventrola.simulate, 1.0, 1.0, 0.5, 0.2, 10, 1, bogus=1)
    expect("TypeError", _ventrola.simulate, "x", 1.0, 0.5, 0.2, 10, 1)
    expect("OverflowError", _ventrola.simulate, 1.0, 1.0, 0.5, 0.2, -1, 1)
    expect("ValueError", _ventrola.simulate, 1.0, -1.0, 0.5, 0.2, 10, 1)
    expect("ValueError", _ventrola.simulate, 1.0, 1.0, float("nan"), 0.2, 10, 1)
    expect("TypeError", _ventrola.fit_ez, [True], [0.5])
    expect("TypeError", _ventrola.fit_ez, choices.astype(np.int8), rts)
    expect("ValueError", _ventrola.fit_ez, choices[::2], rts[::2])
    expect("ValueError", _ventrola.fit_ez, choices[:5], rts[:4])
    expect("VentrolaError", _ventrola.fit_ez, choices[:0], rts[:0])
    expect("VentrolaError", _ventrola.fit_ez, np.ones(50, dtype=bool), np.full(50, 0.5))
    expect("ValueError", _ventrola.fit_sim, choices, rts, initial_guess={"drift_rate": 1.0})
    expect("TypeError", _ventrola.fit_sim, choices, rts, initial_guess={"drift_rate": "fast",
                                                                     "boundary_separation": 1.0,
                                                                     "non_decision_time": 0.2})
    expect("TypeError", _ventrola.fit_sim, choices, rts, max_iters="many")
    expect("VentrolaError", _ventrola.fit_sim, choices[:0], rts[:0], max_iters=1)


def faults():
    expect("PanicException", testing.raise_internal_fault, "deliberate fault")
    expect("PanicException", testing.raise_internal_fault, "")
    expect("PanicException", testing.throw_foreign_exception)
    hook, sys.unraisablehook = sys.unraisablehook, lambda report: None
    try:
        expect("PanicException", testing.fail_checked_call)
    finally:
        sys.unraisablehook = hook


def main():
    for _ in range(ROUNDS):
        choices, rts = good_calls()
        failing_calls(choices, rts)
        faults()
    print(f"memcheck calls: {ROUNDS} rounds done")


if __name__ == "__main__":
    main()
