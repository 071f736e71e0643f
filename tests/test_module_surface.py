"""What `import _ventrola` and `import ventrola` give a user."""
import importlib
import inspect
import pickle
import sys

import pytest

import _ventrola
import ventrola

def test_module_attributes():
    assert _ventrola.__version__ == "0.1.0"
    assert _ventrola.__all__ == ["__version__", "VentrolaError", "simulate", "fit_ez", "fit_sim"]
    assert _ventrola.__doc__ == ""
    assert not hasattr(_ventrola, "PanicException")


@pytest.mark.parametrize(
    ("name", "signature", "first_line", "facts"),
    [
        ("simulate", "(drift, boundary, start, t0, n, seed, noise_sd=1.0)",
         "simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0)",
         ["`(choices, rts, n_excluded)`", "`bool`", "`float64`", "seconds", "10 s", "upper"]),
        ("fit_ez", "(choices, rts)", "fit_ez(choices, rts) -> dict",
         ["EZ-diffusion", "`VentrolaError`", "`ValueError` subclass"]),
        ("fit_sim", "(choices, rts, initial_guess=None, max_iters=200)",
         "fit_sim(choices, rts, initial_guess=None, max_iters=200) -> dict",
         ["Nelder-Mead", "`initial_guess`", "`fit_ez`", "`iterations`", "`final_cost`", "`VentrolaError`"]),
    ],
)
def test_function_objects(name, signature, first_line, facts):
    """Names, signatures and what the documentation must say; its prose may change."""
    function = getattr(_ventrola, name)
    assert function.__name__ == name
    assert function.__module__ == "_ventrola"
    assert function.__self__ is None
    assert function.__text_signature__ == signature
    lines = function.__doc__.splitlines()
    assert lines[0] == first_line and lines[1] == ""
    text = " ".join(lines)
    for fact in facts:
        assert fact in text, fact


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
