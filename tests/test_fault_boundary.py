"""Internal faults surface as PanicException and leave the interpreter usable."""
import sys

import pytest

import _ventrola_testing as testing


def catch_panic(call, *args):
    with pytest.raises(BaseException) as caught:
        call(*args)
    assert type(caught.value).__name__ == "PanicException"
    return caught.value


def test_fault_becomes_panic_exception_with_its_message():
    panic = catch_panic(testing.raise_internal_fault, "invariant broken: 3 > 2")
    assert panic.args == ("invariant broken: 3 > 2",)
    assert isinstance(panic, BaseException)
    assert not isinstance(panic, Exception)
    assert type(panic).__bases__ == (BaseException,)
    assert "BaseException" in type(panic).__doc__


def test_panic_is_not_swallowed_by_except_exception():
    def careless_caller():
        try:
            testing.raise_internal_fault("deliberate")
        except Exception:  # noqa: BLE001 - this handler must not see the panic
            return "swallowed"
        return "no fault"

    catch_panic(careless_caller)


def test_fault_without_text_gets_a_generic_message():
    panic = catch_panic(testing.raise_internal_fault, "")
    assert panic.args[0] != ""


def test_null_from_a_call_that_must_not_fail(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    panic = catch_panic(testing.fail_checked_call)
    assert panic.args == ("PyObject pointer is null",)
    # The pending AttributeError is reported as unraisable, not lost silently.
    assert [type(r.exc_value) for r in reported] == [AttributeError]


def test_foreign_exception_is_contained():
    catch_panic(testing.throw_foreign_exception)


def test_interpreter_and_module_usable_after_faults():
    for _ in range(3):
        catch_panic(testing.raise_internal_fault, "again")
    import _ventrola

    choices, rts, excluded = _ventrola.simulate(1.0, 1.0, 0.5, 0.2, 5, 1)
    assert len(choices) + excluded == 5
