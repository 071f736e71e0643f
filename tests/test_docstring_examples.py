"""The examples in the public docstrings run and print what they show."""
import doctest
import inspect

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
    # The model object's methods and properties are public too; their examples run like the rest.
    for name, member in vars(ventrola.DDM).items():
        if not name.startswith("_"):
            yield f"ventrola.DDM.{name}", member


@pytest.mark.parametrize(("name", "obj"), list(public_objects()), ids=lambda value: value if isinstance(value, str) else "")
def test_docstring_examples(name, obj):
    if isinstance(obj, property):
        obj = obj.fget
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
        if isinstance(obj, property):  # a property says what it holds, and takes nothing
            assert (obj.__doc__ or "").strip(), f"{name} has no docstring"
            continue
        if not callable(obj) or isinstance(obj, str):
            continue
        doc = obj.__doc__ or ""
        try:
            takes = [p for p in inspect.signature(obj).parameters if p != "self"]
        except ValueError:  # a compiled callable without a signature
            takes = ["unknown"]
        sections = ("Parameters\n", "Returns\n") if not isinstance(obj, type) else ("Parameters\n",)
        for section in sections if takes else ("Returns\n",):
            assert section in doc, f"{name} lacks a {section.strip()} section"
