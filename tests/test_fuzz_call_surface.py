"""Property-based calls of simulate, fit_ez and fit_sim with arbitrary Python
values: every outcome must be the documented one for the first thing wrong in
call order, and the interpreter must carry on.

Each generated argument carries what converting it must do (`Arg.outcome`), so
the expected outcome of a whole call is worked out from the call order alone:
argument matching, the conversions in parameter order, then the checks that
follow them, then the operation. Where the operation's own outcome depends on
the data (a fit that may or may not succeed), only its documented kinds are
allowed.
"""
import collections
import dataclasses
import math
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import _ventrola

simulate = _ventrola.simulate
fit_ez = _ventrola.fit_ez
fit_sim = _ventrola.fit_sim
VentrolaError = _ventrola.VentrolaError

pytestmark = pytest.mark.skipif(sys.version_info < (3, 11), reason="the expected notes arrived in 3.11")

FUZZ = settings(
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

KEYS = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd"]
REQUIRED_KEYS = ["drift_rate", "boundary_separation", "non_decision_time"]
SIZE_CHANGED = "dictionary changed size during iteration"
KEYS_CHANGED = "dictionary keys changed during iteration"
U64_MAX = 2**64 - 1


def is_panic(error):
    return type(error).__name__ == "PanicException" and type(error).__bases__ == (BaseException,)


# ---------------------------------------------------------------- outcomes

# What converting an argument does: None (it converts), TYPE, OVERFLOW, or a
# Raiser whose own exception instance must come out unchanged.
TYPE = "TypeError"
OVERFLOW = "OverflowError"
CLASS_OF = {TYPE: TypeError, OVERFLOW: OverflowError}


@dataclasses.dataclass
class Arg:
    value: object
    outcome: object = None  # None, TYPE, OVERFLOW, "custom-float" or a Raiser
    number: object = None  # the converted value when it converts
    message: object = None  # the exact message, where it is ours
    layout_ok: bool = True  # arrays: passes the contiguity test
    length: int = 0  # arrays: element count

    def __repr__(self):
        return f"Arg({self.value!r}, outcome={self.outcome!r})"


class CustomError(Exception):
    pass


class CustomBaseError(BaseException):
    """Not an Exception: must still come out unchanged."""


RAISED_CLASSES = [ZeroDivisionError, KeyError, RuntimeError, ValueError, TypeError, OverflowError,
                  MemoryError, CustomError, CustomBaseError, VentrolaError]


class Raiser:
    """A number whose conversion raises a fresh instance of `kind` each time."""

    def __init__(self, kind, via):
        self.kind = kind
        self.via = via
        self.last = None

    def _raise(self):
        self.last = self.kind("raised by a conversion hook")
        raise self.last

    def __repr__(self):
        return f"Raiser({self.kind.__name__}, {self.via})"


class FloatRaiser(Raiser):
    def __init__(self, kind):
        super().__init__(kind, "__float__")

    def __float__(self):
        self._raise()


class IndexRaiser(Raiser):
    def __init__(self, kind):
        super().__init__(kind, "__index__")

    def __index__(self):
        self._raise()


class FloatLike:
    def __init__(self, x):
        self.x = x

    def __float__(self):
        return self.x

    def __repr__(self):
        return f"FloatLike({self.x!r})"


class IndexLike:
    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i

    def __repr__(self):
        return f"IndexLike({self.i!r})"


class FloatReturnsText:
    def __float__(self):
        return "1.0"


class IndexReturnsFloat:
    def __index__(self):
        return 1.0


class IntWithBrokenIndex(int):
    """An int subclass is read as the int it is; its __index__ is never asked."""

    def __index__(self):
        raise AssertionError("__index__ of an int subclass must not be called")


class IntWithBrokenFloat(int):
    def __float__(self):
        raise CustomError("used by doubles")


NOT_NUMBERS = st.sampled_from(
    [None, "1.0", b"1", [], [1.0], (1,), {}, {"a": 1}, object(), 1j, np.array([1.0, 2.0]), slice(1), str]
)


def raisers(cls):
    return st.sampled_from(RAISED_CLASSES).map(cls)


def raiser_arg(raiser):
    return Arg(raiser, outcome=raiser)


def mostly(ok, bad, odds):
    """`ok`, except once in `odds` draws `bad`: each argument of a call is
    usually fine, so that the later stages of the call are reached too."""
    return st.sampled_from([False] * (odds - 1) + [True]).flatmap(lambda is_bad: bad if is_bad else ok)


def double_args(low=None, high=None, plausible=None, odds=10):
    """Arguments converted to a double. `low`/`high` bound the finite values
    that convert (fit_sim guesses: far-out values make every cost slow);
    `plausible` values, drawn half of the time, pass simulate's validation."""
    if low is None:
        finite = st.floats(allow_nan=False, allow_infinity=False)
        finite32 = st.floats(allow_nan=False, allow_infinity=False, width=32)
        small_ints = st.integers(-(2**62), 2**62)
        ints = st.one_of(small_ints, st.integers(-(2**1000), 2**1000))
    else:
        finite = st.floats(low, high)
        finite32 = st.floats(low, high, width=32)
        ints = small_ints = st.integers(math.ceil(low), math.floor(high))
    if plausible is not None:
        finite = st.one_of(plausible, finite)
    special = st.sampled_from([math.nan, math.inf, -math.inf, -0.0, -1.0])
    ok = st.one_of(
        st.one_of(finite, special).map(lambda x: Arg(x, number=x)),
        ints.map(lambda i: Arg(i, number=float(i))),
        st.booleans().map(lambda b: Arg(b, number=float(b))),
        finite.map(lambda x: Arg(np.float64(x), number=x)),
        finite32.map(lambda x: Arg(np.float32(x), number=x)),
        small_ints.map(lambda i: Arg(np.int64(i), number=float(i))),
        finite.map(lambda x: Arg(FloatLike(x), number=x)),
        small_ints.map(lambda i: Arg(IndexLike(i), number=float(i))),
        small_ints.map(lambda i: Arg(IntWithBrokenIndex(i), number=float(i))),
        finite.map(lambda x: Arg(np.array(x), number=x)),
    )
    huge = st.integers(2**1025, 2**1100).flatmap(lambda i: st.sampled_from([i, -i]))
    bad = st.one_of(
        huge.map(lambda i: Arg(i, outcome=OVERFLOW)),
        huge.map(lambda i: Arg(IndexLike(i), outcome=OVERFLOW)),
        NOT_NUMBERS.map(lambda v: Arg(v, outcome=TYPE)),
        st.just(None).map(lambda _: Arg(FloatReturnsText(), outcome=TYPE)),
        raisers(FloatRaiser).map(raiser_arg),
        raisers(IndexRaiser).map(raiser_arg),
        st.integers(0, 5).map(lambda i: Arg(IntWithBrokenFloat(i), outcome="custom-float")),
    )
    return mostly(ok, bad, odds)


def u64_args(ok_ints, odds=8):
    """Arguments converted to an unsigned 64-bit integer; `ok_ints` are the
    values in range that may be drawn (n stays small)."""
    ok = st.one_of(
        ok_ints.map(lambda i: Arg(i, number=i)),
        ok_ints.map(lambda i: Arg(IndexLike(i), number=i)),
        ok_ints.map(lambda i: Arg(IntWithBrokenIndex(i), number=i)),
        ok_ints.map(lambda i: Arg(np.int64(i) if i < 2**63 else np.uint64(i), number=i)),
        ok_ints.map(lambda i: Arg(np.uint64(i), number=i)),
        st.booleans().map(lambda b: Arg(b, number=int(b))),
    )
    negative = st.integers(-(2**70), -1)
    too_big = st.integers(2**64, 2**80)
    bad = st.one_of(
        st.one_of(negative, too_big).map(lambda i: Arg(i, outcome=OVERFLOW)),
        st.one_of(negative, too_big).map(lambda i: Arg(IndexLike(i), outcome=OVERFLOW)),
        st.integers(-(2**62), -1).map(lambda i: Arg(np.int64(i), outcome=OVERFLOW)),
        st.floats().map(lambda x: Arg(x, outcome=TYPE)),
        st.floats(allow_nan=False).map(lambda x: Arg(np.float64(x), outcome=TYPE)),
        st.floats(allow_nan=False).map(lambda x: Arg(FloatLike(x), outcome=TYPE)),
        NOT_NUMBERS.map(lambda v: Arg(v, outcome=TYPE)),
        st.just(None).map(lambda _: Arg(IndexReturnsFloat(), outcome=TYPE)),
        raisers(IndexRaiser).map(raiser_arg),
    )
    return mostly(ok, bad, odds)


# ------------------------------------------------------------------- arrays


class SubArray(np.ndarray):
    pass


def layout_ok_of(array):
    """The documented layout rule, read from NumPy's own flags."""
    flags = array.flags
    return array.size == 0 or (flags.aligned and (flags.c_contiguous or flags.f_contiguous))


def array_message(value):
    if value is None:
        return "'None' is not an instance of 'ndarray'"
    return f"'{type(value).__qualname__}' object is not an instance of 'ndarray'"


@st.composite
def array_args(draw, dtype, elements):
    """Arrays for `choices` (bool) or `rts` (float64), accepted or not."""
    values = draw(st.lists(elements, max_size=40))
    base = np.array(values, dtype=dtype)
    shape = draw(
        mostly(
            st.sampled_from(["plain", "readonly", "subclass", "fortran"]),
            st.sampled_from(["strided", "reversed", "misaligned", "zero-length", "2-D", "0-D", "wrong dtype",
                             "big-endian", "list", "not an array"]),
            3,
        )
    )
    if shape == "plain":
        return Arg(base, length=len(base))
    if shape == "readonly":
        base.flags.writeable = False
        return Arg(base, length=len(base))
    if shape == "subclass":
        return Arg(base.view(SubArray), length=len(base))
    if shape == "fortran":
        return Arg(np.asfortranarray(base), length=len(base))
    if shape == "zero-length":
        return Arg(np.empty(0, dtype=dtype)[::3], length=0)
    if shape in ("strided", "reversed", "misaligned"):
        if shape == "misaligned":
            raw = np.zeros(base.nbytes + 1, dtype=np.uint8)
            view = raw[1:].view(dtype)
            view[:] = base
        else:
            view = base[::2] if shape == "strided" else base[::-1]
        return Arg(view, length=len(view), layout_ok=layout_ok_of(view))
    if shape == "2-D":
        wrong = np.zeros((len(base), draw(st.integers(0, 2))), dtype=dtype)
    elif shape == "0-D":
        wrong = np.zeros((), dtype=dtype)
    elif shape == "wrong dtype":
        other = draw(st.sampled_from([np.int8, np.uint8, np.int64, np.float32, np.float16, np.complex128, object,
                                      np.bool_, np.float64]).filter(lambda d: np.dtype(d) != np.dtype(dtype)))
        wrong = np.zeros(len(base), dtype=other)
    elif shape == "big-endian":
        if np.dtype(dtype).itemsize == 1:
            return Arg(base, length=len(base))  # a one-byte type has no byte order
        wrong = base.astype(np.dtype(dtype).newbyteorder(">"))
    elif shape == "list":
        wrong = values
    else:
        wrong = draw(NOT_NUMBERS.filter(lambda v: not isinstance(v, np.ndarray)))
    return Arg(wrong, outcome=TYPE, message=array_message(wrong))


def choices_args(elements=mostly(st.just(True), st.just(False), 3)):
    return array_args(np.bool_, elements)


def rts_args(elements=None):
    if elements is None:
        elements = mostly(st.floats(0.0, 3.0), st.floats(allow_nan=True, allow_infinity=True), 10)
    return array_args(np.float64, elements)


# ----------------------------------------------------------- initial guesses


class Meddler:
    """A guess value whose conversion runs `action` on the dictionary being
    read (or on the observed `rts` array) and records what it did."""

    def __init__(self, action, via):
        self.action = action
        self.via = via
        self.dictionary = None
        self.array = None
        self.ran = False
        self.size_changed = False
        self.keys_changed = False
        self.raised = None

    def _meddle(self):
        if self.ran:
            return 1.0
        self.ran = True
        size, keys = dict.__len__(self.dictionary), list(dict.keys(self.dictionary))
        try:
            self.action(self)
        except Exception as error:  # noqa: BLE001 - it must come out of the call unchanged
            self.raised = error
            raise
        finally:
            self.size_changed = dict.__len__(self.dictionary) != size
            self.keys_changed = list(dict.keys(self.dictionary)) != keys
        return 1.0

    def __repr__(self):
        return f"Meddler({self.action.__name__}, {self.via})"


class FloatMeddler(Meddler):
    def __init__(self, action):
        super().__init__(action, "__float__")

    def __float__(self):
        return self._meddle()


class IndexMeddler(Meddler):
    def __init__(self, action):
        super().__init__(action, "__index__")

    def __index__(self):
        return int(self._meddle())


def fresh(text):
    return "".join(list(text))


def add_key(m):
    m.dictionary[fresh("added")] = 1.0


def remove_first_key(m):
    del m.dictionary[next(iter(dict.keys(m.dictionary)))]


def clear_all(m):
    m.dictionary.clear()


def replace_first_key(m):
    del m.dictionary[next(iter(dict.keys(m.dictionary)))]
    m.dictionary[fresh("replacement")] = 2.0


def replace_last_key(m):
    del m.dictionary[list(dict.keys(m.dictionary))[-1]]
    m.dictionary[fresh("replacement")] = 2.0


def set_values_in_place(m):
    for key in list(dict.keys(m.dictionary)):
        m.dictionary[key] = 0.5


def pop_and_reinsert_all(m):
    items = list(dict.items(m.dictionary))
    m.dictionary.clear()
    m.dictionary.update(items)


def overwrite_rts_with_nan(m):
    if isinstance(m.array, np.ndarray) and m.array.flags.writeable:
        m.array[...] = np.nan


def resize_rts(m):
    if isinstance(m.array, np.ndarray) and m.array.base is None and m.array.flags.owndata:
        m.array.resize(10_000)  # refused while anyone else holds the array


MEDDLING_ACTIONS = [add_key, remove_first_key, clear_all, replace_first_key, replace_last_key,
                    set_values_in_place, pop_and_reinsert_all, overwrite_rts_with_nan, resize_rts]


class DictWithLies(dict):
    """A dict subclass whose Python-level methods lie: only the entries count."""

    def __len__(self):
        return 3

    def __iter__(self):
        return iter(["drift_rate"])

    def keys(self):
        return ["drift_rate"]

    def items(self):
        return [("drift_rate", 1.0)]

    def __getitem__(self, key):
        raise AssertionError("not to be called")


class Key(str):
    pass


DICT_KINDS = [dict, dict, collections.OrderedDict, DictWithLies,
              lambda: collections.defaultdict(lambda: 0.25), collections.Counter]


def guess_value_args():
    # Finite values stay within a few units so that every cost stays quick.
    meddlers = st.sampled_from(MEDDLING_ACTIONS).flatmap(
        lambda action: st.sampled_from([FloatMeddler(action), IndexMeddler(action)])
    ).map(lambda m: Arg(m, number=1.0))
    return mostly(double_args(-3.0, 3.0, odds=25), meddlers, 5)


@st.composite
def guess_args(draw):
    kind = draw(st.sampled_from(["dict"] * 8 + ["none", "not a dict"]))
    if kind == "none":
        return Arg(None)
    if kind == "not a dict":
        value = draw(st.sampled_from([[], [("drift_rate", 1.0)], (), "drift_rate", 1.0, object(),
                                      collections.ChainMap({"drift_rate": 1.0}), frozenset()]))
        return Arg(value, outcome=TYPE, message=f"'{type(value).__qualname__}' object is not an instance of 'dict'")
    names = st.one_of(
        st.sampled_from(KEYS + ["iterations", "final_cost", "Drift_rate", "drift_rate ", ""]),
        st.text(max_size=8),
        st.sampled_from(KEYS).map(Key),
    )
    keys = draw(st.lists(mostly(names, st.just(None), 15), max_size=6))
    if draw(st.integers(0, 3)):
        keys = REQUIRED_KEYS + keys
    guess = draw(st.sampled_from(DICT_KINDS))()
    tags = {}  # the same keys, each with the tag of the value stored under it
    for key in keys:
        if key is None:
            key = draw(st.sampled_from([1, 2.5, b"drift_rate", ("drift_rate",), None, "\ud800drift", Key("\udfff")]))
        value = draw(guess_value_args())
        guess[key] = value.value
        tags[key] = value
    return Arg(guess, number=[(key, tags[key]) for key in dict.keys(guess)])


# ------------------------------------------------------------- call forms

MISSING = object()


@dataclasses.dataclass
class CallForm:
    args: tuple
    kwargs: dict


@st.composite
def call_forms(draw, names, required, values, always=()):
    """Positional prefix, then keywords in any order; sometimes a matching
    mistake: an omitted required argument, an unknown or duplicated keyword,
    one positional too many, a keyword that cannot be encoded."""
    present = [
        draw(mostly(st.just(True), st.just(False), 80)) if i < required else names[i] in always or draw(st.booleans())
        for i in range(len(names))
    ]
    given = [v.value for v in values]
    prefix = 0
    limit = draw(st.integers(0, len(names)))
    while prefix < limit and present[prefix]:
        prefix += 1
    args = list(given[:prefix])
    keyword_names = [names[i] for i in range(prefix, len(names)) if present[i]]
    keyword_names = draw(st.permutations(keyword_names))
    kwargs = {name: given[names.index(name)] for name in keyword_names}
    mistake = draw(mostly(st.just("none"), st.sampled_from(["unknown", "duplicate", "extra positional", "surrogate"]), 12))
    if mistake == "extra positional" and prefix == len(names):
        args.append(1.0)
    elif mistake == "unknown":
        items = list(kwargs.items())
        items.insert(draw(st.integers(0, len(items))), (draw(st.sampled_from(["noise", "Drift", "n_trials", "é"])), 1))
        kwargs = dict(items)
    elif mistake == "duplicate" and prefix:
        kwargs[names[draw(st.integers(0, prefix - 1))]] = 1.0
    elif mistake == "surrogate":
        items = list(kwargs.items())
        items.insert(draw(st.integers(0, len(items))), ("\udcff", 1))
        kwargs = dict(items)
    slots = [MISSING] * len(names)
    for i in range(prefix):
        slots[i] = values[i]
    for name in keyword_names:
        slots[names.index(name)] = values[names.index(name)]
    return CallForm(tuple(args), kwargs), slots


def twin_message(twin, *args, **kwargs):
    try:
        twin(*args, **kwargs)
    except TypeError as error:
        return str(error).replace("twin_", "", 1)
    return None


def matching_failure(twin, names, form):
    """The matching error the call must raise, as (class, message), or None.
    The interpreter's own binding of a pure-Python twin gives the messages."""
    if len(form.args) > len(names):
        return TypeError, twin_message(twin, *form.args)
    filled = set(names[: len(form.args)])
    so_far = {}
    for key, value in form.kwargs.items():
        so_far[key] = value
        try:
            key.encode()
        except UnicodeEncodeError:
            return UnicodeEncodeError, None
        if key not in names or key in filled:
            return TypeError, twin_message(twin, *form.args, **so_far)
        filled.add(key)
    message = twin_message(twin, *form.args, **form.kwargs)
    return (TypeError, message) if message else None


def twin_simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0):
    pass


def twin_fit_ez(choices, rts):
    pass


def twin_fit_sim(choices, rts, initial_guess=None, max_iters=200):
    pass


# ------------------------------------------------------------ expectations


class Expect:
    """The expected outcome of one call."""

    def __init__(self, kind, cls=None, message=None, note=None, instance=None, contains=None):
        self.kind = kind  # "error", "result" or "operation" (result or the operation's failure)
        self.cls = cls
        self.message = message  # the exact text, or None when it is the interpreter's
        self.contains = contains  # a text the message must contain
        self.note = note  # the one note, or None for no note
        self.instance = instance  # a Raiser whose exception must come out

    def __repr__(self):
        return f"Expect({self.kind}, {self.cls}, {self.message!r}, {self.note!r})"


def conversion_failure(name, arg):
    """Expect for a failed conversion of `arg` as parameter `name`, or None."""
    note = f"while processing '{name}'"
    outcome = arg.outcome
    if outcome is None:
        return None
    if isinstance(outcome, Raiser):
        return Expect("error", outcome.kind, note=note, instance=outcome)
    if outcome == "custom-float":
        return None if name in ("n", "seed", "max_iters") else Expect("error", CustomError, note=note)
    return Expect("error", CLASS_OF[outcome], message=arg.message, note=note)


def u64_failure(name, arg):
    if arg.outcome == "custom-float":  # an int subclass: read as the int it is
        arg.number = int(arg.value)
        return None
    return conversion_failure(name, arg)


def guess_failure(arg, observed_rts):
    """Reads a guess as the module must: the first bad entry in dictionary
    order fails; a dictionary changed while read is a fault. Returns (Expect or
    None, guess map or None, meddler or None); once a meddler has run, only the
    documented kinds of outcome can be checked (check_meddled)."""
    if arg.value is None:
        return None, None, None
    if arg.outcome is not None:
        return conversion_failure("initial_guess", arg), None, None
    note = "while processing 'initial_guess'"
    read = {}
    for key, value in arg.number:
        if not isinstance(key, str):
            qualname = type(key).__qualname__
            return Expect("error", TypeError, f"'{qualname}' object is not an instance of 'str'", note), None, None
        try:
            key.encode()
        except UnicodeEncodeError:
            return Expect("error", UnicodeEncodeError, note=note), None, None
        if isinstance(value.value, Meddler):
            value.value.dictionary = arg.value
            value.value.array = observed_rts
            return None, None, value.value
        failure = conversion_failure("initial_guess", value)
        if failure:
            return failure, None, None
        read[str(key)] = value.number  # by its text, also for a str subclass
    return None, read, None


def check_error(error, expect):
    assert error is not None, f"no exception, expected {expect}"
    assert type(error) is expect.cls, (error, expect)
    if expect.instance is not None:
        assert error is expect.instance.last, "the hook's own exception must come out unchanged"
    if expect.message is not None:
        assert str(error) == expect.message
    if expect.contains is not None:
        assert expect.contains in str(error)
    if expect.note is not None:
        assert getattr(error, "__notes__", None) == [expect.note]
    else:
        assert not hasattr(error, "__notes__"), error.__notes__


def call(function, form):
    try:
        result, error = function(*form.args, **form.kwargs), None
    except BaseException as caught:  # noqa: BLE001 - every outcome is examined
        result, error = None, caught
    # Tallied in the statistics (--hypothesis-show-statistics).
    if error is None:
        event("outcome: result")
    elif is_panic(error):
        event(f"outcome: PanicException {error.args[0]!r}")
    else:
        event(f"outcome: {type(error).__name__}{' with note' if hasattr(error, '__notes__') else ''}")
    return result, error


def check_meddled(meddler, error, allowed, hooks):
    """After a meddling value ran: a changed size is a fault; otherwise the call
    goes on, and only the documented outcomes are allowed."""
    assert meddler.ran
    if meddler.raised is not None:
        assert error is meddler.raised and error.__notes__ == ["while processing 'initial_guess'"]
        return
    if meddler.size_changed:
        assert is_panic(error), (error, meddler)
        assert error.args == (SIZE_CHANGED,)
        assert not hasattr(error, "__notes__")
        return
    if is_panic(error):
        assert meddler.keys_changed and error.args == (KEYS_CHANGED,), (error, meddler)
        return
    if error is not None:
        assert isinstance(error, allowed) or any(error is hook.last for hook in hooks), error


# ------------------------------------------------------------------ checks


def check_simulate_result(result, n):
    assert type(result) is tuple and len(result) == 3
    choices, rts, excluded = result
    assert type(choices) is np.ndarray and choices.dtype == np.bool_ and choices.ndim == 1
    assert type(rts) is np.ndarray and rts.dtype == np.float64 and rts.ndim == 1
    assert type(excluded) is int
    assert len(choices) == len(rts) and len(rts) + excluded == n


def check_fit_result(result, extra):
    assert type(result) is dict
    assert list(result) == KEYS + extra
    assert all(type(result[key]) is float for key in KEYS)
    assert result["starting_point"] == 0.5 and result["noise_sd"] == 1.0


SIMULATE_NAMES = ["drift", "boundary", "start", "t0", "n", "seed", "noise_sd"]
# drift, boundary, start, t0, noise_sd
PLAUSIBLE = [st.floats(-3, 3), st.floats(0.1, 3), st.floats(0, 1), st.floats(0, 1), st.floats(0.1, 2)]
SMALL_N = st.one_of(st.integers(0, 16), st.integers(0, 2000))


def address_sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# Counts past the largest possible vector fail before any allocation; smaller
# ones reach operator new, where AddressSanitizer aborts instead of throwing.
HUGE_N = st.sampled_from([2**61, 2**62, U64_MAX - 1, U64_MAX] + ([] if address_sanitizer_loaded() else [2**44, 2**50]))


@st.composite
def simulate_calls(draw):
    values = [draw(double_args(plausible=p)) for p in PLAUSIBLE[:4]]
    values.append(draw(mostly(u64_args(SMALL_N), u64_args(HUGE_N), 6)))
    values.append(draw(u64_args(st.integers(0, U64_MAX))))
    values.append(draw(double_args(plausible=PLAUSIBLE[4])))
    return values, draw(call_forms(SIMULATE_NAMES, 6, values))


def validation_message(drift, boundary, start, t0, noise_sd):
    if not boundary > 0:
        return "boundary must be > 0"
    if not (start >= 0 and start <= 1):
        return "start must be in [0, 1]"
    if not t0 >= 0:
        return "t0 must be >= 0"
    if not noise_sd > 0:
        return "noise_sd must be > 0"
    return None


def expected_simulate(form, slots):
    mismatch = matching_failure(twin_simulate, SIMULATE_NAMES, form)
    if mismatch:
        return Expect("error", *mismatch)
    numbers = []
    for name, arg in zip(SIMULATE_NAMES, slots):
        if arg is MISSING:  # only noise_sd can be left out here
            numbers.append(1.0)
            continue
        failure = (u64_failure if name in ("n", "seed") else conversion_failure)(name, arg)
        if failure:
            return failure
        numbers.append(arg.number)
    drift, boundary, start, t0, n, seed, noise_sd = numbers
    message = validation_message(drift, boundary, start, t0, noise_sd)
    if message:
        return Expect("error", ValueError, message)
    if n >= 2**44:  # no machine of ours has 16 bytes times that to give
        return Expect("error", MemoryError, contains=str(n))
    return Expect("result", message=n)


@settings(FUZZ, max_examples=700)
@given(simulate_calls())
def test_simulate_with_arbitrary_arguments(call_data):
    values, (form, slots) = call_data
    expect = expected_simulate(form, slots)
    result, error = call(simulate, form)
    if expect.kind == "result":
        assert error is None, (error, expect)
        check_simulate_result(result, expect.message)
    else:
        check_error(error, expect)


# ------------------------------------------------------------------ the fits

FIT_EZ_NAMES = ["choices", "rts"]
SIMULATED = simulate(0.8, 1.2, 0.5, 0.25, 120, 5)
FIT_SIM_NAMES = ["choices", "rts", "initial_guess", "max_iters"]


def layout_and_length_failure(choices, rts):
    for name, arg in (("choices", choices), ("rts", rts)):
        if not arg.layout_ok:
            return Expect("error", ValueError,
                          f"`{name}` must be a contiguous 1-D array: The given array is not contiguous or is misaligned.")
    if choices.length != rts.length:
        return Expect("error", ValueError, f"choices and rts must have equal length ({choices.length} vs {rts.length})")
    return None


@st.composite
def fit_ez_calls(draw):
    values = draw(st.one_of(simulated_data(), st.tuples(choices_args(), rts_args()).map(list)))
    if draw(mostly(st.just(True), st.just(False), 4)):
        # Mostly equal lengths, so that the estimator itself is reached.
        n = min(values[0].length, values[1].length)
        values = [fit_arg_of_length(values[0], n), fit_arg_of_length(values[1], n)]
    return values, draw(call_forms(FIT_EZ_NAMES, 2, values))


def fit_arg_of_length(arg, n):
    if arg.outcome is not None or arg.length == n or not isinstance(arg.value, np.ndarray):
        return arg
    shortened = arg.value[:n]
    return dataclasses.replace(arg, value=shortened, length=len(shortened), layout_ok=layout_ok_of(shortened))


def expected_fit_ez(form, slots):
    mismatch = matching_failure(twin_fit_ez, FIT_EZ_NAMES, form)
    if mismatch:
        return Expect("error", *mismatch)
    for name, arg in zip(FIT_EZ_NAMES, slots):
        failure = conversion_failure(name, arg)
        if failure:
            return failure
    return layout_and_length_failure(*slots) or Expect("operation")


@settings(FUZZ, max_examples=700)
@given(fit_ez_calls())
def test_fit_ez_with_arbitrary_arguments(call_data):
    values, (form, slots) = call_data
    expect = expected_fit_ez(form, slots)
    result, error = call(fit_ez, form)
    if expect.kind == "operation":
        if error is None:
            check_fit_result(result, [])
        else:
            assert type(error) is VentrolaError and not hasattr(error, "__notes__"), error
    else:
        check_error(error, expect)




@st.composite
def simulated_data(draw):
    """Plausible data, cut so that some sets have too few upper-boundary
    trials; sometimes one of the two arrays is replaced by a fuzzed one."""
    n = draw(st.sampled_from([0, 1, 3, 40, 120]))
    values = [Arg(SIMULATED[0][:n].copy(), length=n), Arg(SIMULATED[1][:n].copy(), length=n)]
    if draw(mostly(st.just(False), st.just(True), 5)):
        which = draw(st.integers(0, 1))
        values[which] = draw(rts_args() if which else choices_args())
    return values


@st.composite
def fit_sim_calls(draw):
    values = draw(mostly(simulated_data(), st.tuples(choices_args(), rts_args(st.floats(0.2, 2.0))).map(list), 3))
    values.append(draw(guess_args()))
    values.append(draw(u64_args(st.integers(0, 3))))
    # max_iters is always given: its default of 200 makes a call take seconds.
    return values, draw(call_forms(FIT_SIM_NAMES, 2, values, always=("max_iters",)))


def expected_fit_sim(form, slots):
    """Returns (Expect, meddler or None)."""
    mismatch = matching_failure(twin_fit_sim, FIT_SIM_NAMES, form)
    if mismatch:
        return Expect("error", *mismatch), None
    for name, arg in zip(FIT_SIM_NAMES[:2], slots):
        failure = conversion_failure(name, arg)
        if failure:
            return failure, None
    guess = slots[2]
    read = None
    if guess is not MISSING:
        failure, read, meddler = guess_failure(guess, slots[1].value)
        if meddler:
            return None, meddler
        if failure:
            return failure, None
    if slots[3] is not MISSING:
        failure = u64_failure("max_iters", slots[3])
        if failure:
            return failure, None
    layout = layout_and_length_failure(slots[0], slots[1])
    if layout:
        return layout, None
    if read is not None:
        for key in REQUIRED_KEYS:
            if key not in read:
                return Expect("error", ValueError, f"initial_guess is missing '{key}'"), None
    return Expect("operation"), None


@settings(FUZZ, max_examples=600)
@given(fit_sim_calls())
def test_fit_sim_with_arbitrary_arguments(call_data):
    values, (form, slots) = call_data
    expect, meddler = expected_fit_sim(form, slots)
    result, error = call(fit_sim, form)
    if meddler is not None:
        hooks = [v.value for _, v in slots[2].number if isinstance(v.value, Raiser)]
        if isinstance(slots[3], Arg) and isinstance(slots[3].value, Raiser):
            hooks.append(slots[3].value)
        check_meddled(meddler, error, (TypeError, OverflowError, ValueError, UnicodeEncodeError, CustomError), hooks)
        if error is None:
            check_fit_result(result, ["iterations", "final_cost"])
        return
    if expect.kind == "operation":
        if error is None:
            check_fit_result(result, ["iterations", "final_cost"])
            assert type(result["iterations"]) is int and type(result["final_cost"]) is float
            max_iters = slots[3].number if slots[3] is not MISSING else 200
            assert result["iterations"] <= max(2, max_iters)
        else:
            assert type(error) is VentrolaError and not hasattr(error, "__notes__"), error
    else:
        check_error(error, expect)


def test_the_module_still_works_after_the_fuzzing():
    choices, rts, excluded = simulate(1.0, 1.5, 0.5, 0.3, 500, 3)
    assert len(rts) + excluded == 500
    assert list(fit_ez(choices, rts)) == KEYS
    assert list(fit_sim(choices, rts, max_iters=0)) == KEYS + ["iterations", "final_cost"]
