"""Ctrl-C during a long simulation: the calling thread runs the interpreter's
signal handlers between blocks of work, so SIGINT raises KeyboardInterrupt
within moments, for one thread or several, and the process stays usable."""
import pytest
from conftest import run_python

# Sends SIGINT to its own process half a second into the call. A call that
# cannot be interrupted runs far longer than the subprocess is given.
INTERRUPTED = """
import math, os, signal, threading
import _ventrola, ventrola
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    {call}
except KeyboardInterrupt:
    print("KeyboardInterrupt")
else:
    print("finished")
choices, rts, excluded = ventrola.simulate_ddm(1.0, 1.5, 0.5, 0.3, 1000, 1, method="euler")
print(len(rts) + excluded)
"""

LONG_CALLS = {
    # Trials that never reach a boundary and have no cap: stopped within a trial.
    "endless Euler trials": 'ventrola.simulate_ddm(0.0, 1e6, 0.5, 0.3, 3, 1, method="euler", max_time=math.inf)',
    # Ten million trials of 10,000 steps each: stopped between blocks of trials.
    "many capped Euler trials": 'ventrola.simulate_ddm(0.0, 100.0, 0.5, 0.3, 10**7, 1, method="euler")',
    "many trials of simulate": "_ventrola.simulate(0.0, 100.0, 0.5, 0.3, 10**7, 1)",
    # A generalized model's trials of a million steps each: stopped within a trial.
    "long generalized trials": "ventrola.DDM(leak=True).simulate(10**6, 1, drift_rate=0.0, boundary_separation=100.0, "
                               "max_time=1000.0)",
    # Tens of thousands of parameter sets to solve: stopped between them.
    "a generalized likelihood of many sets": "ventrola.DDM(bound='exponential').logpdf(True, 1.0, drift_rate=1.0, "
                                             "boundary_separation=__import__('numpy').linspace(1, 2, 50000))",
    # Millions of sets that share one solve (a drift per trial): stopped between sets.
    "a generalized likelihood of many sets sharing a solve": "ventrola.DDM(bound='exponential').cdf(True, "
                                                             "__import__('numpy').linspace(0.5, 3, 3 * 10**6), "
                                                             "drift_rate=__import__('numpy').linspace(0, 2, 3 * 10**6), "
                                                             "boundary_separation=1.5)",
}


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("call", list(LONG_CALLS.values()), ids=list(LONG_CALLS))
def test_sigint_stops_a_long_simulation(call, threads):
    out = run_python(INTERRUPTED.format(call=call), {"RAYON_NUM_THREADS": threads}, timeout=60)
    assert out.decode().split() == ["KeyboardInterrupt", "1000"]


def test_the_caller_notices_a_signal_while_it_only_waits_for_workers():
    # The submitting thread's own pieces end at once; the worker's last until
    # the batch is stopped, which only the waiting submitter can ask for.
    code = INTERRUPTED.replace("import _ventrola, ventrola", "import _ventrola, ventrola, _ventrola_testing").format(
        call="_ventrola_testing.pieces_until_interrupted(16)"
    )
    out = run_python(code, {"RAYON_NUM_THREADS": "2"}, timeout=60)
    assert out.decode().split() == ["KeyboardInterrupt", "1000"]
