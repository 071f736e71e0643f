"""Array exchange: input arrays are tested and read in place, output arrays are
made around the extension's own buffers and owned by a PySliceContainer."""
import gc
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import _ventrola
import _ventrola_testing as testing

NOT_NDARRAY = "'ndarray' object is not an instance of 'ndarray'"
LOAD_FAILURE = "Failed to access NumPy array API capsule"


def not_contiguous(name):
    return f"`{name}` must be a contiguous 1-D array: The given array is not contiguous or is misaligned."


def catch_panic(call, *args):
    with pytest.raises(BaseException) as caught:
        call(*args)
    assert type(caught.value).__name__ == "PanicException"
    return caught.value


class Outer:
    class Inner:
        pass


class UnnamedMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name today")
        return super().__getattribute__(name)


class Unnamed(metaclass=UnnamedMeta):
    pass


def misaligned_doubles(n):
    raw = np.zeros(8 * n + 1, dtype=np.uint8)
    array = np.frombuffer(raw.data, dtype=np.float64, count=n, offset=1)
    assert not array.flags.aligned
    return array


# ---- inputs refused by kind -------------------------------------------------


@pytest.mark.parametrize(
    "obj, kind, message",
    [
        ([True, False], "bool", "'list' object is not an instance of 'ndarray'"),
        (None, "double", "'None' is not an instance of 'ndarray'"),
        ((0.5,), "double", "'tuple' object is not an instance of 'ndarray'"),
        (np.float64(0.5), "double", "'float64' object is not an instance of 'ndarray'"),
        (Outer.Inner(), "double", "'Outer.Inner' object is not an instance of 'ndarray'"),
        (Unnamed(), "double", "'<failed to extract type name>' object is not an instance of 'ndarray'"),
        (np.zeros(3, np.int64), "bool", NOT_NDARRAY),
        (np.zeros(3, np.uint8), "bool", NOT_NDARRAY),
        (np.zeros(3, np.float64), "bool", NOT_NDARRAY),
        (np.zeros(3, np.float32), "double", NOT_NDARRAY),
        (np.zeros(3, np.bool_), "double", NOT_NDARRAY),
        (np.zeros(3, ">f8"), "double", NOT_NDARRAY),
        (np.zeros((2, 2)), "double", NOT_NDARRAY),
        (np.zeros((0, 3)), "double", NOT_NDARRAY),
        (np.array(0.5), "double", NOT_NDARRAY),
        (np.ma.masked_array([0.5, 1.0], dtype=np.float32), "double", "'MaskedArray' object is not an instance of 'ndarray'"),
    ],
)
def test_refused_inputs_name_the_argument_in_a_note(obj, kind, message):
    name = "choices" if kind == "bool" else "rts"
    with pytest.raises(TypeError) as caught:
        testing.borrow_and_view(obj, kind, name)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)
    assert caught.value.__notes__ == [f"while processing '{name}'"]


# ---- inputs accepted and read in place --------------------------------------


class Trials(np.ndarray):
    """A subclass whose Python-level element access lies: only the buffer counts."""

    def __getitem__(self, index):
        return -1.0

    def __len__(self):
        return 99


def read_only(values, dtype):
    array = np.array(values, dtype=dtype)
    array.flags.writeable = False
    return array


@pytest.mark.parametrize(
    "obj, kind, expected",
    [
        (np.array([True, False, True]), "bool", [True, False, True]),
        (np.array([0.25, -1.5, np.inf]), "double", [0.25, -1.5, np.inf]),
        (read_only([0.5, 0.75], np.float64), "double", [0.5, 0.75]),
        (read_only([False, True], np.bool_), "bool", [False, True]),
        (np.array([0.5, 2.0]).view(Trials), "double", [0.5, 2.0]),
        (np.array([1.0, 2.0, 3.0, 4.0, 5.0])[1:4], "double", [2.0, 3.0, 4.0]),
        (np.asfortranarray(np.array([1.0, 2.0])), "double", [1.0, 2.0]),
        (np.array([7.0, 8.0, 9.0])[::5], "double", [7.0]),
        (np.array([True, False, False])[1::7], "bool", [False]),
        (np.zeros(3, "<f8") + 1.5, "double", [1.5, 1.5, 1.5]),
        (np.array([0.5, 1.0], dtype=np.dtype(np.float64, metadata={"unit": "s"})), "double", [0.5, 1.0]),
        (np.empty(0), "double", []),
        (np.empty(0, np.bool_), "bool", []),
        (np.arange(10.0)[4:4:3], "double", []),
    ],
)
def test_accepted_inputs_are_read_through_the_buffer(obj, kind, expected):
    assert testing.borrow_and_view(obj, kind, "x") == expected


def test_nan_is_read_like_any_value():
    [value] = testing.borrow_and_view(np.array([np.nan]), "double", "rts")
    assert np.isnan(value)


# ---- layout -------------------------------------------------------------------


@pytest.mark.parametrize(
    "obj, kind, name",
    [
        (np.arange(10.0)[::2], "double", "rts"),
        (np.arange(4.0)[::-1], "double", "rts"),
        (np.array([True, False, True, True])[::2], "bool", "choices"),
        (np.broadcast_to(np.array([0.5]), (4,)), "double", "rts"),
        (np.zeros((3, 3))[:, 0], "double", "rts"),
        (misaligned_doubles(3), "double", "rts"),
    ],
)
def test_strided_or_misaligned_inputs_are_a_value_error(obj, kind, name):
    with pytest.raises(ValueError) as caught:
        testing.borrow_and_view(obj, kind, name)
    assert type(caught.value) is ValueError
    assert caught.value.args == (not_contiguous(name),)
    assert not hasattr(caught.value, "__notes__")


def test_a_refused_input_keeps_no_reference():
    array = np.arange(4.0)[::2]
    before = sys.getrefcount(array)
    for _ in range(100):
        with pytest.raises(ValueError):
            testing.borrow_and_view(array, "double", "rts")
        testing.borrow_and_view(np.arange(3.0), "double", "rts")
    assert sys.getrefcount(array) == before


# ---- output arrays ------------------------------------------------------------


@pytest.mark.parametrize(
    "kind, values, dtype, itemsize",
    [
        ("double", [0.5, -2.25, np.inf, 1e300], np.float64, 8),
        ("bool", [True, False, False, True, True], np.bool_, 1),
        ("double", [], np.float64, 8),
        ("bool", [], np.bool_, 1),
    ],
)
def test_output_arrays_wrap_the_buffer(kind, values, dtype, itemsize):
    array = testing.make_output_array(kind, values)
    assert type(array) is np.ndarray
    assert array.dtype == dtype
    assert array.shape == (len(values),)
    assert array.strides == (itemsize,)
    assert array.tolist() == values
    assert array.flags.writeable and array.flags.aligned and array.flags.c_contiguous
    assert not array.flags.owndata

    owner = type(array.base)
    assert owner.__name__ == "PySliceContainer"
    assert owner.__qualname__ == "PySliceContainer"
    assert owner.__module__ == "builtins"
    assert owner.__bases__ == (object,)
    assert "owned buffer" in owner.__doc__ and "Python heap" in owner.__doc__


def test_output_arrays_are_writable_in_place():
    array = testing.make_output_array("double", [1.0, 2.0, 3.0])
    view = array[1:]
    array[1] = 42.0
    assert view[0] == 42.0
    flags = testing.make_output_array("bool", [False, False])
    flags[:] = True
    assert flags.tolist() == [True, True]


def test_every_output_array_has_its_own_container_of_one_type():
    first = testing.make_output_array("double", [1.0])
    second = testing.make_output_array("bool", [True])
    assert first.base is not second.base
    assert type(first.base) is type(second.base)


def test_a_container_made_from_python_holds_nothing():
    container_type = type(testing.make_output_array("double", [1.0]).base)
    container = container_type()
    del container  # its deallocation must not try to free a buffer
    gc.collect()


def test_the_buffer_lives_exactly_as_long_as_its_array_and_views():
    for kind, n in [("double", 1000), ("bool", 1000), ("double", 0)]:
        released = testing.released_buffer_count()
        array = testing.make_counted_output_array(kind, n)
        expected = np.arange(n, dtype=np.float64) if kind == "double" else np.arange(n) % 3 == 0
        np.testing.assert_array_equal(array, expected)
        every_other = array[::2]
        del array
        gc.collect()
        assert testing.released_buffer_count() == released
        np.testing.assert_array_equal(every_other, expected[::2])
        del every_other
        assert testing.released_buffer_count() == released + 1


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def address_sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.skipif(address_sanitizer_loaded(), reason="AddressSanitizer keeps freed memory in quarantine")
def test_large_output_buffers_are_returned_to_the_system():
    rounds, elements = 32, 2 * 1024 * 1024  # 16 MiB per buffer, 512 MiB in all
    released = testing.released_buffer_count()
    baseline = resident_bytes()
    growth = 0
    for _ in range(rounds):
        array = testing.make_counted_output_array("double", elements)
        assert array[-1] == elements - 1  # the whole buffer was written
        del array
        growth = max(growth, resident_bytes() - baseline)
    assert testing.released_buffer_count() == released + rounds
    assert growth < 128 * 1024 * 1024, growth


# ---- loading NumPy's table ----------------------------------------------------


def test_numpy_is_loaded_on_first_array_use_not_at_import(python_subprocess):
    out = python_subprocess(
        textwrap.dedent(
            """
            import sys
            import _ventrola, _ventrola_testing as t
            assert "numpy" not in sys.modules
            assert not t.numpy_api_loaded()
            assert t.make_output_array("double", [2.5]).tolist() == [2.5]
            assert "numpy" in sys.modules and t.numpy_api_loaded()
            print("ok")
            """
        )
    )
    assert out.split() == [b"ok"]


def test_numpy_absent_is_a_fault_and_a_later_use_retries(python_subprocess):
    out = python_subprocess(
        textwrap.dedent(
            """
            import sys
            sys.modules["numpy"] = None
            import _ventrola, _ventrola_testing as t

            def panic_text(call, *args):
                try:
                    call(*args)
                except BaseException as e:
                    assert type(e).__name__ == "PanicException", repr(e)
                    return e.args[0]
                raise AssertionError("no fault")

            for call, args in [
                (t.borrow_and_view, ([0.5], "double", "rts")),
                (t.make_output_array, ("bool", [True])),
                (_ventrola.fit_ez, ([True], [0.5])),
                (t.load_numpy_api, ()),
            ]:
                text = panic_text(call, *args)
                assert text.startswith("Failed to access NumPy array API capsule"), text
                assert "ModuleNotFoundError" in text, text
                assert not t.numpy_api_loaded()

            # The output buffer made before the fault is not lost.
            released = t.released_buffer_count()
            panic_text(t.make_counted_output_array, "double", 10)
            assert t.released_buffer_count() == released + 1

            del sys.modules["numpy"]
            import numpy as np
            assert t.borrow_and_view(np.array([0.5]), "double", "rts") == [0.5]
            assert t.numpy_api_loaded()
            print("ok")
            """
        )
    )
    assert out.split() == [b"ok"]


FAKE_MULTIARRAY = """
import ctypes

C_VERSION = {c_version}
FEATURE_VERSION = {feature_version}
ENDIANNESS = {endianness}

_unsigned = ctypes.CFUNCTYPE(ctypes.c_uint)
_signed = ctypes.CFUNCTYPE(ctypes.c_int)
_functions = [
    _unsigned(lambda: C_VERSION),
    _unsigned(lambda: FEATURE_VERSION),
    _signed(lambda: ENDIANNESS),
]
_table = (ctypes.c_void_p * 300)()
for _slot, _function in zip((0, 211, 210), _functions):
    _table[_slot] = ctypes.cast(_function, ctypes.c_void_p).value

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
{capsule_line}
"""


def fake_numpy(root, version, core, c_version=0x2000000, feature_version=0xC, endianness=1,
               capsule_line="_ARRAY_API = _capsule_new(ctypes.addressof(_table), None, None)"):
    """A stand-in numpy package whose table answers the three loading checks."""
    package = root / "numpy"
    (package / "lib").mkdir(parents=True)
    (package / core).mkdir()
    (package / "__init__.py").write_text(f"__version__ = {version!r}\n")
    (package / "lib" / "__init__.py").write_text(
        "class NumpyVersion:\n"
        "    def __init__(self, text):\n"
        "        self.major = int(text.split('.')[0])\n"
    )
    (package / core / "__init__.py").write_text("")
    (package / core / "multiarray.py").write_text(
        FAKE_MULTIARRAY.format(c_version=c_version, feature_version=feature_version, endianness=endianness,
                               capsule_line=capsule_line)
    )
    return root


LOAD_SCRIPT = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, sys.argv[1])
    import _ventrola_testing as t
    try:
        t.load_numpy_api()
    except BaseException as e:
        assert type(e).__name__ == "PanicException", repr(e)
        assert not t.numpy_api_loaded()
        print(e.args[0])
    else:
        assert t.numpy_api_loaded()
        print("loaded")
    """
)


def run_load(root):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    completed = subprocess.run(
        [sys.executable, "-c", LOAD_SCRIPT, str(root)], env=env, capture_output=True, text=True, timeout=60
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout.strip()


@pytest.mark.parametrize(
    "version, core, settings, outcome",
    [
        ("2.3.1", "_core", {}, "loaded"),
        ("1.26.4", "core", {}, "loaded"),
        ("10.0.0", "_core", {}, "loaded"),
        ("2.0.0", "_core", {"c_version": 0x1000009, "feature_version": 0x13}, "loaded"),
        ("1.26.4", "_core", {}, "ModuleNotFoundError: No module named 'numpy.core'"),
        ("2.0.0", "core", {}, "ModuleNotFoundError: No module named 'numpy._core'"),
        ("2.5.0", "_core", {"c_version": 0x2000001},
         "RuntimeError: module compiled against ABI version 0x2000000 but this version of numpy is 0x2000001"),
        ("1.14.0", "core", {"feature_version": 0xB},
         "RuntimeError: module was compiled against NumPy C-API version 0xc (NumPy 1.15) "
         "but the running NumPy has C-API version 0xb"),
        ("2.0.0", "_core", {"endianness": 2},
         "RuntimeError: module compiled as little endian, but detected different endianness at runtime"),
        ("2.0.0", "_core", {"endianness": 0},
         "RuntimeError: module compiled as little endian, but detected different endianness at runtime"),
        ("2.0.0", "_core", {"capsule_line": "pass"}, "AttributeError"),
        ("2.0.0", "_core", {"capsule_line": "_ARRAY_API = 5"}, "ValueError"),
        ("300.0.0", "_core", {}, "OverflowError"),
    ],
)
def test_loading_checks_the_running_numpy(tmp_path, version, core, settings, outcome):
    result = run_load(fake_numpy(tmp_path, version, core, **settings))
    if outcome == "loaded":
        assert result == "loaded"
    else:
        assert result.startswith(LOAD_FAILURE + ": "), result
        assert outcome in result, result


def test_a_failed_check_is_not_remembered(tmp_path):
    root = fake_numpy(tmp_path, "2.0.0", "_core", c_version=0x3000000)
    script = textwrap.dedent(
        """
        import sys
        sys.path.insert(0, sys.argv[1])
        import _ventrola_testing as t
        try:
            t.load_numpy_api()
        except BaseException as e:
            assert type(e).__name__ == "PanicException", repr(e)
            assert e.args[0].endswith("this version of numpy is 0x3000000"), e.args[0]
        import numpy._core.multiarray as multiarray
        multiarray.C_VERSION = 0x2000000
        t.load_numpy_api()
        assert t.numpy_api_loaded()
        print("ok")
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    completed = subprocess.run([sys.executable, "-c", script, str(root)], env=env, capture_output=True, text=True,
                               timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.split() == ["ok"]


THREADED_LOAD = """
import sys, threading, time
import numpy.lib
import _ventrola_testing as t

FAIL_FIRST = {fail_first}
started, proceed = threading.Event(), threading.Event()
versions = []

class SlowVersion:
    # Holds the first loading in the middle of its work, without the lock.
    def __init__(self, text):
        versions.append(text)
        if len(versions) == 1:
            started.set()
            proceed.wait(60)
            if FAIL_FIRST:
                raise RuntimeError("first loading fails")
        self.major = 2

numpy.lib.NumpyVersion = SlowVersion
results = {{}}

def load(name):
    try:
        t.load_numpy_api()
        results[name] = "loaded"
    except BaseException as e:
        results[name] = type(e).__name__

first = threading.Thread(target=load, args=("first",))
first.start()
started.wait(60)
second = threading.Thread(target=load, args=("second",))
second.start()
time.sleep(0.3)  # lets the second thread reach its wait; this thread still runs
proceed.set()
first.join(60)
second.join(60)
print(results["first"], results["second"], len(versions))
"""


@pytest.mark.parametrize(
    "fail_first, expected",
    [(False, ["loaded", "loaded", "1"]), (True, ["PanicException", "loaded", "2"])],
)
def test_a_second_thread_waits_for_the_loading_without_the_lock(python_subprocess, fail_first, expected):
    # A waiter that kept the interpreter lock would stall the loading thread
    # and this script would never end.
    out = python_subprocess(THREADED_LOAD.format(fail_first=fail_first), timeout=60)
    assert out.decode().split() == expected


# ---- NumPy 1.x ------------------------------------------------------------------

NUMPY1_SITE = Path(__file__).resolve().parent.parent / "build" / "numpy1-site"

NUMPY1_SCRIPT = """
import numpy as np
assert np.__version__.startswith("1."), np.__version__
import _ventrola, _ventrola_testing as t

assert t.borrow_and_view(np.array([True, False]), "bool", "choices") == [True, False]
assert t.borrow_and_view(np.array([0.5, 0.25])[::-1][::-1], "double", "rts") == [0.5, 0.25]
try:
    t.borrow_and_view(np.arange(4.0)[::2], "double", "rts")
except ValueError as e:
    assert str(e).startswith("`rts` must be a contiguous 1-D array"), e
else:
    raise AssertionError("strided view accepted")
try:
    t.borrow_and_view(np.zeros(2, np.float32), "double", "rts")
except TypeError as e:
    assert str(e) == "'ndarray' object is not an instance of 'ndarray'", e
else:
    raise AssertionError("float32 accepted")

array = t.make_output_array("double", [1.5, 2.5])
assert array.tolist() == [1.5, 2.5] and not array.flags.owndata and array.flags.writeable
assert type(array.base).__name__ == "PySliceContainer"
assert t.make_output_array("bool", []).dtype == np.bool_

released = t.released_buffer_count()
counted = t.make_counted_output_array("bool", 4)
assert counted.tolist() == [True, False, False, True]
del counted
assert t.released_buffer_count() == released + 1

choices, rts, excluded = _ventrola.simulate(1.0, 1.0, 0.5, 0.2, 50, 7)
assert choices.dtype == np.bool_ and rts.dtype == np.float64 and len(rts) + excluded == 50
fit = _ventrola.fit_ez(np.array([True, True, False, True]), np.array([0.5, 0.6, 0.7, 0.65]))
assert list(fit)[:2] == ["drift_rate", "boundary_separation"]
print(np.__version__)
"""


def numpy1_site():
    """NumPy 1.x installed once into build/, apart from the test environment."""
    marker = NUMPY1_SITE / ".installed"
    if not marker.exists():
        shutil.rmtree(NUMPY1_SITE, ignore_errors=True)
        completed = subprocess.run(
            [sys.executable, "-m", "pip", "install", "--quiet", "--no-deps", "--target", str(NUMPY1_SITE),
             "numpy>=1.19,<2"],
            capture_output=True, text=True, timeout=300,
        )
        if completed.returncode != 0:
            pytest.skip(f"no NumPy 1.x wheel can be installed here: {completed.stderr.strip()[-300:]}")
        marker.touch()
    return NUMPY1_SITE


def test_works_with_numpy_1(tmp_path):
    site = numpy1_site()
    # Only the two extension modules and the library they share, so the test
    # environment's NumPy 2 stays out of reach.
    for module in (testing, _ventrola):
        shutil.copy(module.__file__, tmp_path)
    (tmp_path / "ventrola").mkdir()
    shutil.copy(Path(_ventrola.__file__).parent / "ventrola" / "libventrola_runtime.so", tmp_path / "ventrola")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), str(site)]))
    completed = subprocess.run(
        [sys.executable, "-S", "-c", NUMPY1_SCRIPT], env=env, capture_output=True, text=True, timeout=120
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.startswith("1.")
