"""Argument checks done before any call into the library, so that a wrong
argument is a Python exception and never reaches C."""

import operator

import numpy as np

UINT8_MAX = 0xFF
UINT32_MAX = 0xFFFFFFFF
INT32_MAX = 0x7FFFFFFF
UINT64_MAX = 0xFFFFFFFFFFFFFFFF


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


def flag(value, name):
    """A truth value for a 0/1 flag argument; None is refused, not taken as false."""
    if value is None:
        raise TypeError(f"{name} must be a truth value, not None")
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
