"""What `import _ventrola` and `import ventrola` give a user."""
import importlib
import inspect
import pickle
import sys

import pytest

import _ventrola
import ventrola

SIMULATE_DOC = (
    "simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0)\n"
    "\n"
    "Simulate `n` drift-diffusion trials. Returns `(choices, rts, n_excluded)`:\n"
    "\n"
    "* `choices` \u2014 `np.ndarray` of `bool`, `True` if the trial hit the upper\n"
    "  boundary;\n"
    "* `rts` \u2014 `np.ndarray` of `float64`, response times in seconds;\n"
    "* `n_excluded` \u2014 how many trials hit the 10 s simulation cap and were\n"
    "  dropped from both arrays (their choice/RT are unreliable).\n"
    "\n"
    "The two arrays are built in one pass over the filtered trials \u2014 no\n"
    "intermediate Python objects."
)

FIT_EZ_DOC = (
    "fit_ez(choices, rts) -> dict\n"
    "\n"
    "Recover parameters from `(choices, rts)` arrays with closed-form\n"
    "EZ-diffusion. Raises `VentrolaError` (a `ValueError` subclass) with a\n"
    "specific message when the data cannot be fitted."
)

FIT_SIM_DOC = (
    "fit_sim(choices, rts, initial_guess=None, max_iters=200) -> dict\n"
    "\n"
    "Recover parameters by simulation-based Nelder-Mead fitting. `initial_guess`\n"
    "is a params dict (e.g. the return value of `fit_ez`); when omitted the fit\n"
    "warm-starts from the EZ estimate. The result dict adds `iterations` and\n"
    "`final_cost` to the usual params keys. Raises `VentrolaError` on failure."
)


def test_module_attributes():
    assert _ventrola.__version__ == "0.1.0"
    assert _ventrola.__all__ == ["__version__", "VentrolaError", "simulate", "fit_ez", "fit_sim"]
    assert _ventrola.__doc__ == ""
    assert not hasattr(_ventrola, "PanicException")


@pytest.mark.parametrize(
    ("name", "signature", "doc"),
    [
        ("simulate", "(drift, boundary, start, t0, n, seed, noise_sd=1.0)", SIMULATE_DOC),
        ("fit_ez", "(choices, rts)", FIT_EZ_DOC),
        ("fit_sim", "(choices, rts, initial_guess=None, max_iters=200)", FIT_SIM_DOC),
    ],
)
def test_function_objects(name, signature, doc):
    function = getattr(_ventrola, name)
    assert function.__name__ == name
    assert function.__module__ == "_ventrola"
    assert function.__self__ is None
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


def test_ventrola_error_class():
    error = _ventrola.VentrolaError
    assert error.__module__ == "ventrola"
    assert error.__name__ == "VentrolaError"
    assert error.__bases__ == (ValueError,)
    assert error.__doc__ == "Raised when parameter recovery fails on bad or degenerate input data."
    instance = error("not enough data")
    assert instance.args == ("not enough data",)


def test_package_reexports_simulate_and_fronts_the_fits():
    assert ventrola.VentrolaError is _ventrola.VentrolaError
    assert ventrola.simulate is _ventrola.simulate
    assert ventrola.__version__ == "0.1.0"
    for name in ("fit_ez", "fit_sim"):
        function = getattr(ventrola, name)
        assert function is not getattr(_ventrola, name)
        assert (function.__module__, function.__qualname__) == ("ventrola", name)
        assert pickle.loads(pickle.dumps(function)) is function
    # The compiled functions' parameters, so that keyword calls keep working.
    for name in ("fit_ez", "fit_sim"):
        ours = inspect.signature(getattr(ventrola, name)).parameters.values()
        compiled = inspect.signature(getattr(_ventrola, name)).parameters.values()
        assert [(p.name, p.kind, p.default) for p in ours] == [(p.name, p.kind, p.default) for p in compiled]


def test_ventrola_error_pickles_through_the_package():
    restored = pickle.loads(pickle.dumps(ventrola.VentrolaError("accuracy is exactly 0.5")))
    assert type(restored) is ventrola.VentrolaError
    assert restored.args == ("accuracy is exactly 0.5",)


def test_reimport_gives_new_module_with_same_error_class():
    first = sys.modules.pop("_ventrola")
    try:
        second = importlib.import_module("_ventrola")
        assert second is not first
        assert second.VentrolaError is first.VentrolaError
        assert second.__all__ == first.__all__
        assert second.simulate is not first.simulate
    finally:
        sys.modules["_ventrola"] = first
