"""Playing an int16 array on a DAC board: Board.play returns a Playback.

    with dac.play(kpxadac.waveforms.tone(1050, frequency=1e6), loop=True) as playing:
        time.sleep(1)
    print(playing.samples_played, playing.underruns)

The samples go through the library's transmit stream (a TransmitStream), fed
by a thread of this module; the board's underruns are the stream's, each
with its place.
"""

import threading
from collections import namedtuple

import ctypes

import numpy as np

from . import _checks
from ._binding import KpxStreamGap, lib
from .enums import StreamResult
from .errors import StreamError

Underrun = namedtuple("Underrun", "index samples")
Underrun.__doc__ = """The board missed `samples` samples starting at board index `index`
(the DAC's time line: samples played and missed before counted)."""


class Playback:
    """A playing array: `stop()`, `wait(timeout)`, `running`, `samples_played`,
    `underruns` (a list of Underrun) and `error` (what ended it, if anything
    failed). A context manager: leaving the block stops it."""

    def __init__(self, board, samples, loop=False, block_samples=1 << 18, blocks=16):
        samples = _checks.samples(samples, "samples", max_bytes=_checks.UINT64_MAX)
        if samples.ndim != 1 or samples.size == 0:
            raise ValueError("samples must be a non-empty one-dimensional int16 array")
        loop = bool(_checks.flag(loop, "loop"))
        block_samples = _checks.integer(block_samples, "block_samples")
        if loop:
            # Whole copies, an even number of samples (the board moves pairs),
            # and at least a block, so that each write is a full one.
            copies = max(1, -(-block_samples // samples.size))
            copies += copies * samples.size % 2
            samples = np.tile(samples, copies)
        elif samples.size % 2:
            samples = np.append(samples, np.int16(0))  # an odd count ends with one 0
        else:
            samples = np.ascontiguousarray(samples)
        self._stream = board.transmit(block_samples=block_samples, blocks=blocks,
                                      samples=0 if loop else samples.size)
        self._samples = samples
        self._loop = loop
        self._stop = threading.Event()
        self._underruns = []
        self._lock = threading.Lock()
        self.error = None
        self._stream.open()
        self._thread = threading.Thread(target=self._play, name="kpxadac-play", daemon=True)
        self._thread.start()

    def _collect(self):
        gap = KpxStreamGap()
        with self._lock:
            while lib.KpxStream_TakeUnderrun(self._stream._stream, ctypes.byref(gap)) == 0:
                self._underruns.append(Underrun(gap.index, gap.samples))

    def _play(self):
        try:
            while not self._stop.is_set():
                self._stream.send(self._samples)
                self._collect()
                if not self._loop:
                    break
        except StreamError as error:
            if error.code not in (StreamResult.STOPPED, StreamResult.COMPLETE):
                self.error = error
        except Exception as error:  # noqa: BLE001  (kept for wait() to raise)
            self.error = error
        # What is queued still plays; the stream ends after it.
        try:
            self._stream.stop()
            while not self._stream.status().ended:
                self._collect()
                self._stop.wait(0.005)
            self._collect()
        except StreamError as error:
            self.error = self.error or error

    def stop(self):
        """Stops queuing (a loop ends at once); what is queued still plays. Waits for
        the end and closes the stream."""
        self._stop.set()
        if self._stream._stream:
            lib.KpxStream_Stop(self._stream._stream)
        self._thread.join()
        self._finish()

    def wait(self, timeout=None):
        """Waits until the array has played (a loop: until stopped); True when it
        has. Raises what ended the playback, if it failed."""
        if timeout is not None:
            timeout = _checks.number(timeout, "timeout", 0.0, threading.TIMEOUT_MAX)
        self._thread.join(timeout)
        if self._thread.is_alive():
            return False
        self._finish()
        if self.error is not None:
            raise self.error
        return True

    def _finish(self):
        if self._stream._stream:
            status = self._stream.status()
            self._played = status.samples_moved
            self._stream.close()

    @property
    def running(self):
        return self._thread.is_alive()

    @property
    def samples_played(self):
        """Samples written to the board so far."""
        if self._stream._stream:
            return self._stream.status().samples_moved
        return self._played

    @property
    def underruns(self):
        """Where the board missed samples, as Underrun(index, samples), in order."""
        if self._stream._stream and self._thread.is_alive() is False:
            self._collect()
        with self._lock:
            return list(self._underruns)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False
