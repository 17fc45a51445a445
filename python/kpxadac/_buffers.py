"""Recycled memory for the arrays that board.read returns.

A fresh 64 MiB array costs more in page faults than the read that fills it,
so large arrays are views of a few kept base buffers. A base is handed out
again only when no array made from it is alive any more (its reference
count shows only this pool), so every returned array is new to its caller.
"""

import sys
import threading

import numpy as np

_KEEP = 4  # base buffers kept for reuse
_MIN_BYTES = 1 << 20  # smaller arrays are allocated normally


class _Pool:
    def __init__(self):
        self._bases = []
        self._lock = threading.Lock()

    def _unused(self, position):
        # References: the pool's list and getrefcount's own argument; any more is an array.
        return sys.getrefcount(self._bases[position]) <= 2

    def empty(self, count, dtype):
        dtype = np.dtype(dtype)
        nbytes = count * dtype.itemsize
        if nbytes < _MIN_BYTES:
            return np.empty(count, dtype)
        with self._lock:
            for position in range(len(self._bases)):
                size = self._bases[position].nbytes
                if nbytes <= size <= 2 * nbytes and self._unused(position):
                    return self._bases[position][:nbytes].view(dtype)
            free = [p for p in range(len(self._bases)) if self._unused(p)]
            if len(self._bases) >= _KEEP:
                # The oldest unused base leaves, or the oldest of all when every one is in use.
                del self._bases[free[0] if free else 0]
            self._bases.append(np.empty(nbytes, np.uint8))
            return self._bases[-1][:nbytes].view(dtype)

    def clear(self):
        with self._lock:
            self._bases.clear()


pool = _Pool()
