"""The examples in the public docstrings run and print what they show."""
import doctest

import pytest

import ventrola

MODULES = ["ventrola", "ventrola.bayes"]


def public_objects():
    import importlib

    for module_name in MODULES:
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            continue
        for name in module.__all__:
            yield f"{module_name}.{name}", getattr(module, name)


@pytest.mark.parametrize(("name", "obj"), list(public_objects()), ids=lambda value: value if isinstance(value, str) else "")
def test_docstring_examples(name, obj):
    tests = [test for test in doctest.DocTestFinder(recurse=False).find(obj, name) if test.examples]
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    for test in tests:
        result = runner.run(test)
        assert result.failed == 0, f"{name}: {result.failed} of {result.attempted} examples failed"


def test_every_public_function_documents_its_parameters_and_returns():
    """numpydoc sections on every public function of ventrola and ventrola.bayes (a documentation
    site is generated from them); simulate keeps the compiled module's own documentation."""
    for name, obj in public_objects():
        if name == "ventrola.simulate" or isinstance(obj, type) and issubclass(obj, BaseException):
            continue
        if not callable(obj) or isinstance(obj, str):
            continue
        doc = obj.__doc__ or ""
        for section in ("Parameters\n", "Returns\n") if not isinstance(obj, type) else ("Parameters\n",):
            assert section in doc, f"{name} lacks a {section.strip()} section"
