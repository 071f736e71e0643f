"""Trials as users pass them: array-likes converted once to boolean choices and
float64 seconds, and refused in one sentence when no experiment could have
produced them; and the digest by which fits of different trials are told apart."""

from __future__ import annotations

import decimal
import hashlib
import numbers
import warnings
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]

# Medians outside these bounds (seconds) are no two-choice task: times given in
# milliseconds read as seconds land above the first, seconds read as
# milliseconds below the second. Counting the times beyond a bound finds such a
# median without sorting.
SLOWEST_MEDIAN = 20.0
FASTEST_MEDIAN = 0.02


def plain(value: Any) -> Any:
    """A NumPy scalar as the Python value it holds, so that messages show ``2.0``, not ``np.float64(2.0)``."""
    return value.item() if isinstance(value, np.generic) else value


def place(name: str, array: np.ndarray, flat_position: int) -> str:
    if array.ndim == 0:
        return name
    index = np.unravel_index(flat_position, array.shape)
    return f"{name}[{', '.join(str(int(i)) for i in index)}]"


def as_array(values: Any, name: str) -> np.ndarray:
    try:
        return np.asarray(values)
    except (TypeError, ValueError):
        # Ragged nesting, mostly.
        raise ValueError(f"{name} must be an array of numbers, not {type(values).__name__} "
                         "that NumPy cannot make one array of") from None


def is_zero_or_one(value: Any) -> bool:
    if isinstance(value, (bool, np.bool_)):
        return True
    return isinstance(value, numbers.Real) and (value == 0 or value == 1)


def not_choices(array: np.ndarray) -> BoolArray:
    """True where a value is none of True, False, 1 and 0."""
    if array.dtype == np.bool_:
        return np.zeros(array.shape, dtype=np.bool_)
    if array.dtype.kind in "iuf":
        return np.asarray((array != 0) & (array != 1), dtype=np.bool_)
    if array.dtype.kind == "O":
        return np.array([not is_zero_or_one(value) for value in array.flat], dtype=np.bool_).reshape(array.shape)
    return np.ones(array.shape, dtype=np.bool_)


def choice_flags(choices: Any, name: str = "choices") -> BoolArray:
    """True for the upper boundary, from booleans or from numbers that are all 0 or 1 (any shape)."""
    array = as_array(choices, name)
    if array.dtype == np.bool_:
        return array
    bad = not_choices(array)
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        raise ValueError(
            f"{name} must be True/False or 1/0 (True or 1 for the upper boundary): "
            f"{place(name, array, first)} is {plain(array.flat[first])!r}"
        )
    return np.asarray(array == 1, dtype=np.bool_)


def is_real_number(value: Any) -> bool:
    """A real number that is not a boolean (Python's or NumPy's numbers, Fraction, Decimal)."""
    return not isinstance(value, (bool, np.bool_)) and isinstance(value, (numbers.Real, decimal.Decimal))


def pandas_numbers(values: Any) -> Optional[FloatArray]:
    """A pandas column or array of numbers as float64, its missing values (of nullable dtypes) NaN;
    None for anything else."""
    numeric_pandas = getattr(getattr(values, "dtype", None), "kind", None) in ("i", "u", "f")
    if numeric_pandas and hasattr(values, "to_numpy") and not isinstance(values, np.ndarray):
        converted: FloatArray = values.to_numpy(dtype=np.float64, na_value=np.nan)
        return converted
    return None


def seconds_array(rts: Any, name: str = "rts") -> FloatArray:
    """Real numbers of any dtype as float64 (any shape); missing values of pandas' nullable dtypes become NaN."""
    converted = pandas_numbers(rts)
    if converted is not None:
        return converted
    array = as_array(rts, name)
    kind = array.dtype.kind
    if kind in "iuf":
        return array.astype(np.float64, copy=False)
    if kind == "b":
        raise ValueError(f"{name} must hold response times in seconds, not booleans")
    if kind == "O":
        for position, value in enumerate(array.flat):
            if not is_real_number(value):
                raise ValueError(f"{name} must hold numbers of seconds: {place(name, array, position)} is {plain(value)!r}")
        return array.astype(np.float64)
    if kind in "US" and array.size:
        for position, value in enumerate(array.flat):
            if not reads_as_number(value):
                raise ValueError(f"{name} must hold numbers of seconds: {place(name, array, position)} is {plain(value)!r}")
        raise ValueError(f"{name} must hold numbers of seconds, not text such as {plain(array.flat[0])!r}")
    example = f" such as {plain(array.flat[0])!r}" if array.size else ""
    raise ValueError(f"{name} must hold real numbers of seconds, not {array.dtype} values{example}")


def reads_as_number(text: Any) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def impossible_times(seconds: FloatArray) -> tuple[int, int]:
    """How many times are NaN, infinite, zero or negative, and the flat position of the first (-1 for none)."""
    bad = ~((seconds > 0.0) & (seconds < np.inf))
    if not bad.any():
        return 0, -1
    positions = np.flatnonzero(bad)
    return len(positions), int(positions[0])


def impossible_times_message(subject: str, count: int, value: float, where: str) -> str:
    plural = "s" if count > 1 else ""
    return (f"{subject} holds {count} impossible response time{plural} (NaN, infinite, zero or negative): "
            f"the first is {value!r} {where}")


def slow_median(seconds: FloatArray) -> Optional[float]:
    """The median, when more than half the times are slower than any two-choice task."""
    if 2 * np.count_nonzero(seconds > SLOWEST_MEDIAN) <= seconds.size:
        return None
    return float(np.median(seconds))


def fast_median(seconds: FloatArray) -> Optional[float]:
    """The median, when more than half the times are faster than any two-choice response."""
    if 2 * np.count_nonzero(seconds < FASTEST_MEDIAN) <= seconds.size:
        return None
    return float(np.median(seconds))


def trial_arrays(choices: Any, rts: Any, allow_missing: bool = False) -> tuple[BoolArray, FloatArray]:
    """One-dimensional choices and response times of one length, contiguous, the times positive and finite
    (or NaN, a trial without a time, with ``allow_missing``)."""
    for name, values in (("choices", choices), ("rts", rts)):
        array = as_array(values, name)
        if array.ndim != 1:
            shape = f"a scalar {plain(array[()])!r}" if array.ndim == 0 else f"an array of shape {array.shape}"
            raise ValueError(f"{name} must be one-dimensional, one value per trial, not {shape}")
    flags = choice_flags(choices)
    times = seconds_array(rts)
    if len(flags) != len(times):
        raise ValueError(f"choices and rts must have one value per trial each, not {len(flags)} and {len(times)}")
    count, first = impossible_times(times[~np.isnan(times)] if allow_missing else times)
    if count:
        if allow_missing:
            first = int(np.flatnonzero(~np.isnan(times))[first])
        raise ValueError(impossible_times_message("rts", count, float(times[first]), f"at position {first}"))
    return np.ascontiguousarray(flags), np.ascontiguousarray(times)


def milliseconds_warning(times: FloatArray) -> Optional[str]:
    median = slow_median(times)
    if median is None:
        return None
    return (f"the median response time is {median:g} s, far beyond any two-choice task: are these times "
            "in milliseconds? Divide them by 1000 to pass seconds")


def refuse_t0_not_below_fastest(t0: float, fastest: float) -> None:
    """A fixed non-decision time at or above the fastest response leaves that trial no density in the
    model alone: a likelihood of 0, which no fit or sampler can start from."""
    if t0 >= fastest:
        raise ValueError(
            f"non_decision_time is fixed at {t0!r} s, not below the fastest response time {fastest!r} s: "
            "without contamination that trial has likelihood 0"
        )


def checked_trials(
    choices: Any, rts: Any, stacklevel: int = 3, allow_missing: bool = False
) -> tuple[BoolArray, FloatArray]:
    """The trials as :func:`trial_arrays` gives them; warns when the times look like milliseconds,
    ``stacklevel`` frames up (3: the caller of the function that called this)."""
    flags, times = trial_arrays(choices, rts, allow_missing)
    message = milliseconds_warning(times[~np.isnan(times)] if allow_missing else times)
    if message is not None:
        warnings.warn(message, UserWarning, stacklevel=stacklevel)
    return flags, times


def trials_digest(choices: npt.NDArray[np.bool_], rts: npt.NDArray[np.float64], *extra: Any) -> str:
    """A short hash of the trials (and anything else that decides what was fitted, as arrays)."""
    digest = hashlib.blake2b(digest_size=12)
    for array in (choices, rts, *extra):
        values = np.ascontiguousarray(array)
        digest.update(str(values.dtype).encode() + str(values.shape).encode())
        digest.update(values.tobytes())
    return digest.hexdigest()
