"""Argument checks done before any call into the library, so that a wrong
argument is a Python exception and never reaches C."""

import math
import numbers
import operator

import numpy as np

UINT8_MAX = 0xFF
UINT32_MAX = 0xFFFFFFFF
INT32_MAX = 0x7FFFFFFF
INT64_MAX = 0x7FFFFFFFFFFFFFFF
UINT64_MAX = 0xFFFFFFFFFFFFFFFF
INT16_MIN, INT16_MAX = -0x8000, 0x7FFF


def integer(value, name):
    """`value` as a Python int; TypeError for None, bool, float or anything else."""
    if value is None or isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def unsigned(value, name, maximum=UINT32_MAX):
    """An integer from 0 to `maximum`; OverflowError when it does not fit."""
    number = integer(value, name)
    if not 0 <= number <= maximum:
        raise OverflowError(f"{name} {number} does not fit in 0..{maximum:#x}")
    return number


def integers(values, name, dtype):
    """Whole numbers that fit `dtype` as an array of it (an array of that dtype as it
    is); TypeError for anything else, OverflowError for a number outside: never wrapped."""
    dtype = np.dtype(dtype)
    if isinstance(values, np.ndarray) and values.dtype == dtype:
        return values
    if values is None or isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of integers, not {type(values).__name__}")
    limits = np.iinfo(dtype)
    result = [integer(value, name) for value in values]
    for number in result:
        if not limits.min <= number <= limits.max:
            raise OverflowError(f"{name} {number} does not fit in {limits.min}..{limits.max}")
    return np.array(result, dtype=dtype)


def index(value, name, count):
    """An index from 0 to count - 1; IndexError outside."""
    number = integer(value, name)
    if not 0 <= number < count:
        raise IndexError(f"{name} {number} is out of range 0..{count - 1}")
    return number


def choice(value, name, allowed):
    number = integer(value, name)
    if number not in allowed:
        raise ValueError(f"{name} must be one of {sorted(allowed)}, not {number}")
    return number


def number(value, name, low=-math.inf, high=math.inf):
    """`value` as a finite float from `low` to `high`: TypeError for None, bool or a
    non-number; ValueError for NaN, an infinity or a value outside (NaN fails every
    comparison, so it is refused by name, never by a range test)."""
    if value is None or isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    try:
        result = float(value)
    except OverflowError:  # an int beyond the floats
        raise ValueError(f"{name} must be a finite number, not {value}") from None
    if not math.isfinite(result):
        raise ValueError(f"{name} must be a finite number, not {result!r}")
    if not low <= result <= high:
        raise ValueError(f"{name} must be from {low:g} to {high:g}, not {result!r}")
    return result


def positive(value, name, high=math.inf):
    """A finite number above 0 (and at most `high`), as a float."""
    result = number(value, name, 0.0, high)
    if result <= 0:
        raise ValueError(f"{name} must be above 0, not {result!r}")
    return result


def wait_ms(value, name="timeout"):
    """A wait in seconds (0 to the library's int32 milliseconds) as whole milliseconds."""
    return int(number(value, name, 0.0, INT32_MAX / 1000) * 1000)


def flag(value, name):
    """A truth value for a 0/1 flag argument; None, NaN and infinities are refused, not
    taken as a value."""
    if value is None:
        raise TypeError(f"{name} must be a truth value, not None")
    if isinstance(value, numbers.Real) and not math.isfinite(value):
        raise ValueError(f"{name} must be a truth value, not {value!r}")
    return 1 if value else 0


def array(value, name, dtype, writable=False, max_bytes=UINT32_MAX):
    """A C-contiguous numpy array of exactly `dtype` (None: any) whose size fits in
    `max_bytes`."""
    if value is None:
        raise TypeError(f"{name} must be a numpy array, not None")
    if not isinstance(value, np.ndarray):
        raise TypeError(f"{name} must be a numpy array, not {type(value).__name__}")
    if dtype is not None and value.dtype != np.dtype(dtype):
        raise TypeError(f"{name} must have dtype {np.dtype(dtype)}, not {value.dtype}")
    if not value.flags.c_contiguous:
        raise ValueError(f"{name} must be C-contiguous (use numpy.ascontiguousarray)")
    if writable and not value.flags.writeable:
        raise ValueError(f"{name} must be writable")
    if value.nbytes > max_bytes:
        raise OverflowError(f"{name} has {value.nbytes} bytes, more than {max_bytes} fit")
    return value


def samples(value, name, writable=False, convert=False, ndim=None, max_bytes=UINT32_MAX):
    """16-bit samples, the one check of every sample array.

    For the board (`convert` False): a C-contiguous numpy array of native int16, used
    in place (the library reads or fills its memory). For a recording (`convert` True):
    int16 of either byte order as it is (a memory map stays one); any other array of
    integers, or a sequence of them, as a new int16 array once every value fits
    -32768..32767. Floats, bools and other types are a TypeError, a value outside the
    range a ValueError: nothing is wrapped or cut."""
    if not convert:
        return array(value, name, np.int16, writable=writable, max_bytes=max_bytes)
    if value is None:
        raise TypeError(f"{name} must be an array of 16-bit samples, not None")
    if not isinstance(value, np.ndarray):
        if isinstance(value, (str, bytes, bytearray, memoryview)):
            raise TypeError(f"{name} must be an array of 16-bit samples, not "
                            f"{type(value).__name__}")
        value = np.asarray(value)
    if ndim is not None and value.ndim != ndim:
        raise ValueError(f"{name} must have {ndim} dimension(s), not {value.ndim}")
    kind, size = value.dtype.kind, value.dtype.itemsize
    if kind == "i" and size == 2:
        return value
    if kind not in ("i", "u"):
        raise TypeError(f"{name} must hold 16-bit integer samples (int16), not {value.dtype}"
                        " (scale and convert floats with numpy first)")
    if value.size:
        low, high = value.min(), value.max()
        if low < INT16_MIN or high > INT16_MAX:
            bad = int(low) if low < INT16_MIN else int(high)
            raise ValueError(f"{name} holds {bad}, outside the 16-bit range "
                             f"{INT16_MIN}..{INT16_MAX}")
    return value.astype(np.int16)


def byte_array(value, name):
    """bytes, bytearray, a contiguous buffer or a contiguous numpy array, as a uint8 array
    over the same memory (no copy)."""
    if value is None:
        raise TypeError(f"{name} must be bytes, not None")
    if isinstance(value, np.ndarray):
        array(value, name, None)
        return value.reshape(-1).view(np.uint8)
    if isinstance(value, str):
        raise TypeError(f"{name} must be bytes, not str")
    try:
        view = memoryview(value)
    except TypeError:
        raise TypeError(f"{name} must be bytes or a buffer, not {type(value).__name__}") from None
    if not view.contiguous:
        raise ValueError(f"{name} must be contiguous")
    return np.frombuffer(view.cast("B"), np.uint8)
