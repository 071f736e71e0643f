"""Parameter dictionaries: the result format of the fits and the reading of an
`initial_guess`."""
import collections
import math
import struct
import types

import numpy as np
import pytest

import _ventrola_testing as testing

KEYS = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd"]
NOTE = ["while processing 'initial_guess'"]


def catch_panic(call, *args):
    with pytest.raises(BaseException) as caught:
        call(*args)
    assert type(caught.value).__name__ == "PanicException"
    return caught.value


def interpreter_error(value):
    """What the interpreter raises converting `value` to a double (math takes its
    float arguments the same way)."""
    try:
        math.copysign(value, 1.0)
    except Exception as error:  # noqa: BLE001 - the error itself is the result
        return type(error), str(error)
    raise AssertionError(f"{value!r} converts")


def same_bits(first, second):
    return struct.pack("<d", first) == struct.pack("<d", second)


# ---- the result dictionary ------------------------------------------------------


@pytest.mark.parametrize(
    "params",
    [
        (1.25, 0.8, 0.5, 0.3, 1.0),
        (-0.0, math.inf, -math.inf, 5e-324, 1.7976931348623157e308),
        (math.nan, 0.1 + 0.2, -1.0, 0.0, 2.0),
    ],
)
def test_result_dictionary_has_the_five_keys_in_order(params):
    result = testing.params_to_dict(params)
    assert type(result) is dict
    assert list(result) == KEYS
    assert all(type(value) is float for value in result.values())
    assert all(same_bits(got, want) for got, want in zip(result.values(), params))


def test_a_result_dictionary_is_a_valid_guess():
    params = (0.7, 1.3, 0.25, 0.31, 0.9)
    assert testing.guess_to_params(testing.params_to_dict(params)) == params


# ---- reading an initial guess: the container ------------------------------------


class GuessDict(dict):
    # Only the dictionary's own entries count, not what Python-level access says.
    def __getitem__(self, key):
        return 99.0

    def items(self):
        return []


def test_none_gives_no_guess():
    assert testing.read_initial_guess(None) is None


@pytest.mark.parametrize(
    "guess",
    [
        GuessDict(drift_rate=1.0, non_decision_time=0.25),
        collections.OrderedDict(drift_rate=1.0, non_decision_time=0.25),
        collections.defaultdict(float, drift_rate=1.0, non_decision_time=0.25),
    ],
)
def test_dict_subclasses_are_read_by_their_entries(guess):
    assert testing.read_initial_guess(guess) == {"drift_rate": 1.0, "non_decision_time": 0.25}


class MappingLike:
    def keys(self):
        return ["drift_rate"]

    def __getitem__(self, key):
        return 1.0


@pytest.mark.parametrize(
    "obj, qualname",
    [
        ([("drift_rate", 1.0)], "list"),
        ((("drift_rate", 1.0),), "tuple"),
        (types.MappingProxyType({"drift_rate": 1.0}), "mappingproxy"),
        (MappingLike(), "MappingLike"),
        ("drift_rate", "str"),
        (1.0, "float"),
    ],
)
def test_anything_but_a_dict_is_refused(obj, qualname):
    with pytest.raises(TypeError) as caught:
        testing.read_initial_guess(obj)
    assert type(caught.value) is TypeError
    assert caught.value.args == (f"'{qualname}' object is not an instance of 'dict'",)
    assert caught.value.__notes__ == NOTE


# ---- reading an initial guess: keys ---------------------------------------------


class Key(str):
    pass


@pytest.mark.parametrize(
    "key, qualname",
    [(1, "int"), (None, "NoneType"), (b"drift_rate", "bytes"), (("drift_rate",), "tuple"), (1.5, "float")],
)
def test_keys_must_be_str(key, qualname):
    with pytest.raises(TypeError) as caught:
        testing.read_initial_guess({"drift_rate": 1.0, key: 1.0})
    assert caught.value.args == (f"'{qualname}' object is not an instance of 'str'",)
    assert caught.value.__notes__ == NOTE


def test_str_subclass_keys_count_by_their_text():
    assert testing.guess_to_params({Key("drift_rate"): 1.0, Key("boundary_separation"): 2.0,
                                    "non_decision_time": 0.25}) == (1.0, 2.0, 0.5, 0.25, 1.0)


def test_a_key_that_is_not_utf8_is_the_interpreters_encoding_error():
    with pytest.raises(UnicodeEncodeError) as caught:
        testing.read_initial_guess({"drift_rate": 1.0, "bad\ud800key": 1.0})
    with pytest.raises(UnicodeEncodeError) as expected:
        "bad\ud800key".encode("utf-8")
    assert str(caught.value) == str(expected.value)
    assert caught.value.__notes__ == NOTE


def test_non_ascii_keys_are_read_as_utf8():
    assert testing.read_initial_guess({"drift_raté": 1.0, "δ": 2.0}) == {"drift_raté": 1.0, "δ": 2.0}


class SameText(str):
    # Equal only to itself: a dictionary can hold it next to a plain str of the same text.
    def __eq__(self, other):
        return self is other

    def __hash__(self):
        return id(self)


def test_entries_with_the_same_text_keep_the_last_in_dictionary_order():
    guess = {"drift_rate": 1.0, SameText("drift_rate"): 2.0}
    assert len(guess) == 2
    assert testing.read_initial_guess(guess) == {"drift_rate": 2.0}


# ---- reading an initial guess: values -------------------------------------------


class Real:
    def __float__(self):
        return 0.125


class Integral:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "value, expected",
    [
        (2, 2.0),
        (True, 1.0),
        (False, 0.0),
        (-1, -1.0),
        (-1.0, -1.0),
        (Real(), 0.125),
        (Integral(), 3.0),
        (np.float32(0.5), 0.5),
        (np.int64(-7), -7.0),
        (np.float64("inf"), math.inf),
        (-math.inf, -math.inf),
        (2**53 + 1, 9007199254740992.0),
    ],
)
def test_values_convert_like_double_arguments(value, expected):
    assert testing.read_initial_guess({"drift_rate": value}) == {"drift_rate": expected}


def test_nan_is_accepted():
    [(key, value)] = testing.read_initial_guess({"drift_rate": math.nan}).items()
    assert key == "drift_rate" and math.isnan(value)


@pytest.mark.parametrize("value", ["0.5", None, [0.5], 1j, 2**1100, b"1"])
def test_values_that_do_not_convert_fail_with_the_interpreters_error(value):
    with pytest.raises(Exception) as caught:
        testing.read_initial_guess({"drift_rate": value})
    assert (type(caught.value), str(caught.value)) == interpreter_error(value)
    assert caught.value.__notes__ == NOTE


def test_an_unused_entry_must_still_convert():
    guess = {"drift_rate": 1.0, "boundary_separation": 1.0, "non_decision_time": 0.2, "comment": "first try"}
    with pytest.raises(TypeError) as caught:
        testing.guess_to_params(guess)
    assert caught.value.__notes__ == NOTE
    del guess["comment"]
    guess["weight"] = 4
    assert testing.guess_to_params(guess) == (1.0, 1.0, 0.5, 0.2, 1.0)


def test_the_first_bad_entry_in_dictionary_order_is_reported():
    with pytest.raises(TypeError) as caught:
        testing.read_initial_guess({"drift_rate": "x", 7: 1.0})
    assert str(caught.value) == interpreter_error("x")[1]
    with pytest.raises(TypeError) as caught:
        testing.read_initial_guess({7: 1.0, "drift_rate": "x"})
    assert str(caught.value) == "'int' object is not an instance of 'str'"


# ---- a dictionary that changes while it is read ---------------------------------


class Meddler:
    """A value whose conversion runs `action` on the dictionary being read."""

    def __init__(self, action):
        self.action = action
        self.target = None

    def __float__(self):
        self.action(self.target)
        return 1.0


def guess_with(entries, meddler):
    guess = dict(entries)
    meddler.target = guess
    return guess


def fresh(text):
    # A key string not shared with the test's constants, so that only the
    # dictionary and the reader keep it alive.
    return "".join(list(text))


def add_key(d):
    d[fresh("extra")] = 2.0


def remove_drift_rate(d):
    del d["drift_rate"]


def replace_drift_rate(d):
    del d["drift_rate"]
    d[fresh("boundary_separation")] = 2.0


def replace_noise_sd(d):
    del d["noise_sd"]
    d[fresh("boundary_separation")] = 2.0


SIZE_CHANGED = "dictionary changed size during iteration"
KEYS_CHANGED = "dictionary keys changed during iteration"


@pytest.mark.parametrize(
    "keys, action, message",
    [
        (["drift_rate", None], add_key, SIZE_CHANGED),
        (["drift_rate", None, "starting_point"], add_key, SIZE_CHANGED),
        (["drift_rate", None], remove_drift_rate, SIZE_CHANGED),
        (["drift_rate", None], replace_drift_rate, KEYS_CHANGED),
        ([None, "drift_rate"], replace_noise_sd, KEYS_CHANGED),
    ],
    ids=["adds-a-key-last", "adds-a-key-midway", "removes-a-key", "replaces-a-key", "replaces-its-own-key"],
)
def test_a_dictionary_changed_while_read_is_a_fault(keys, action, message):
    meddler = Meddler(action)
    # The meddling value sits under "noise_sd" (None in `keys`), made fresh so
    # that only the dictionary and the reader keep the key alive.
    guess = guess_with([(fresh("noise_sd"), meddler) if key is None else (key, 1.0) for key in keys], meddler)
    before = dict(guess)
    panic = catch_panic(testing.read_initial_guess, guess)
    assert panic.args == (message,)
    assert not hasattr(panic, "__notes__")
    assert guess.keys() != before.keys()
    # The interpreter and the reader carry on.
    assert testing.read_initial_guess({"drift_rate": 0.5}) == {"drift_rate": 0.5}


def set_boundary_separation(d):
    d["boundary_separation"] = 2.5


def test_changing_a_value_in_place_is_read_as_it_stands():
    meddler = Meddler(set_boundary_separation)
    guess = guess_with([("drift_rate", meddler), ("boundary_separation", 1.0)], meddler)
    assert testing.read_initial_guess(guess) == {"drift_rate": 1.0, "boundary_separation": 2.5}


# ---- start parameters from a guess ----------------------------------------------


@pytest.mark.parametrize(
    "guess, expected",
    [
        ({"drift_rate": 1.5, "boundary_separation": 1.2, "non_decision_time": 0.3}, (1.5, 1.2, 0.5, 0.3, 1.0)),
        ({"non_decision_time": 0.3, "noise_sd": 0.1, "boundary_separation": 1.2, "starting_point": 0.9,
          "drift_rate": -1.5}, (-1.5, 1.2, 0.9, 0.3, 0.1)),
        ({"drift_rate": 2, "boundary_separation": True, "non_decision_time": 0, "other": -5},
         (2.0, 1.0, 0.5, 0.0, 1.0)),
        ({"drift_rate": -math.inf, "boundary_separation": -1.0, "non_decision_time": -0.5, "starting_point": 7.0},
         (-math.inf, -1.0, 7.0, -0.5, 1.0)),
    ],
)
def test_start_parameters_take_values_as_they_are(guess, expected):
    assert testing.guess_to_params(guess) == expected


@pytest.mark.parametrize(
    "guess, missing",
    [
        ({}, "drift_rate"),
        ({"starting_point": 0.5, "noise_sd": 1.0}, "drift_rate"),
        ({"drift_rate": 1.0, "non_decision_time": 0.2}, "boundary_separation"),
        ({"drift_rate": 1.0, "boundary_separation": 1.0}, "non_decision_time"),
        ({"Drift_rate": 1.0, "boundary_separation": 1.0, "non_decision_time": 0.2}, "drift_rate"),
        ({"drift_rate ": 1.0, "boundary_separation": 1.0, "non_decision_time": 0.2}, "drift_rate"),
        ({"drift_rate": 1.0, "boundary-separation": 1.0, "non_decision_time": 0.2}, "boundary_separation"),
        ({"drift_rate": 1.0, "boundary_separation": 1.0, "non_decision_time\x00": 0.2}, "non_decision_time"),
    ],
)
def test_a_missing_required_key_is_a_plain_value_error(guess, missing):
    with pytest.raises(ValueError) as caught:
        testing.guess_to_params(guess)
    assert type(caught.value) is ValueError
    assert caught.value.args == (f"initial_guess is missing '{missing}'",)
    assert not hasattr(caught.value, "__notes__")


def test_nan_start_values_pass_through():
    params = testing.guess_to_params({"drift_rate": math.nan, "boundary_separation": 1.0,
                                      "non_decision_time": 0.2, "noise_sd": math.nan})
    assert math.isnan(params[0]) and math.isnan(params[4])
    assert params[1:4] == (1.0, 0.5, 0.2)
