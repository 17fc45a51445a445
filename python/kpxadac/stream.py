"""Continuous acquisition through the library's KpxStream API.

    with board.stream(block_samples=1 << 20, blocks=16) as stream:
        for block in stream:
            block.samples, block.index, block.lost

The library's own thread reads the board block by block into its ring; this
module only takes the filled blocks out (KpxStream_AcquireRead) and gives
them back, and keeps no reading loop of its own.

`block.samples` is, by default, a new int16 array with the block's samples
(one copy out of the ring, which goes back to the library at once, so the
consumer never holds a ring slot). With `zero_copy=True` it is instead a
read-only view of the ring's memory, whose samples are only valid until the
next block is taken: keep them longer with `block.samples.copy()`. A view
never points at freed memory: the ring lives as long as any view of it.
"""

import ctypes
import datetime as _datetime
import math
import time
from collections import namedtuple

import numpy as np

from . import _checks
from ._context import OpenedInWith
from ._binding import (TALVO_MAX_CHUNK, KpxStream, KpxStreamBlock, KpxStreamConfig,
                       KpxStreamReadInfo, KpxStreamStatus, lib)
from ._buffers import pool
from .enums import (BoardError, BoardType, StreamClock, StreamEnd, StreamResult, as_enum,
                    setup_choice)
from .errors import StreamError
from .recording import Gap, Recording, format_time

RECEIVE = 0
TRANSMIT = 1
COUNTERS_UNREAD = 1  # KPXSTREAM_BLOCK_COUNTERS_UNREAD

Block = namedtuple("Block", "samples index lost lost_total host_time_ns counters_unread")
Block.__doc__ = """One block of a stream: `samples` (int16), `index` (board index of the first
sample, lost samples counted), `lost` (samples lost right before it), `lost_total`,
`host_time_ns` (wall clock at the end of its transfer) and `counters_unread` (the
channel's counters could not be read after it, so a gap may show only later)."""

StreamStatus = namedtuple("StreamStatus", "samples_moved blocks_waiting block_bytes block_count "
                          "running ended end_reason overrun_events overrun_samples "
                          "underrun_events underrun_samples counters_unread board_error "
                          "platform_error clock sample_rate thread_priority ring_locked")


def wait_in_steps(acquire, total_ms, step_ms, timed_out):
    """Calls acquire(ms) with waits of at most `step_ms` (Python delivers a Ctrl+C between
    them) until it gives a result other than `timed_out` or `total_ms` (None: no end) have
    passed, and returns its last result."""
    deadline = None if total_ms is None else time.monotonic() + total_ms / 1000
    while True:
        step = step_ms
        if deadline is not None:
            step = min(step_ms, max(0, int((deadline - time.monotonic()) * 1000)))
        result = acquire(step)
        if result != timed_out or (deadline is not None and time.monotonic() >= deadline):
            return result


def _raise_ended(operation, result):
    """The stream took no more (STOPPED, COMPLETE): a StreamError with that code, as
    callers of send() expect (the refusals raise in the binding's check)."""
    raise StreamError(operation, as_enum(StreamResult, result),
                      lib.KpxStream_ResultText(result).decode("utf-8", "replace"))


class _StreamHandle:
    """Owns one KpxStream. The stream object and every zero-copy view of its ring
    hold it, so the ring is freed only once nothing can read it any more."""

    def __init__(self):
        self.pointer = ctypes.POINTER(KpxStream)()

    def __del__(self):
        if self.pointer and lib is not None:
            lib.KpxStream_Close(self.pointer)


class _RingView:
    """Exposes one ring block to numpy through the array interface, without a copy;
    numpy keeps it as the array's base, and it keeps the ring alive."""

    def __init__(self, handle, address, count):
        self._handle = handle
        self.__array_interface__ = {"data": (address, True), "shape": (count,),
                                    "typestr": "<i2", "version": 3}


class _StreamBase(OpenedInWith):
    """What receive and transmit streams share: opening, status, stop and close."""

    _direction = RECEIVE
    _board_type = BoardType.ADC

    def __init__(self, board, block_samples, blocks, setup=None, samples=0, timeout=1.0):
        block_samples = _checks.integer(block_samples, "block_samples")
        if not 2 <= block_samples <= TALVO_MAX_CHUNK // 2 or block_samples % 2:
            raise ValueError(f"block_samples must be even, from 2 to {TALVO_MAX_CHUNK // 2}, "
                             f"not {block_samples}")
        blocks = _checks.integer(blocks, "blocks")
        if not 2 <= blocks <= 65536:
            raise ValueError(f"blocks must be from 2 to 65536, not {blocks}")
        setup = setup_choice(setup)
        samples = _checks.unsigned(samples, "samples", _checks.UINT64_MAX // 4)
        timeout = _checks.positive(timeout, "timeout", _checks.INT32_MAX / 1000)
        if board.type != self._board_type:
            raise ValueError(f"{type(self).__name__} is for {self._board_type.name} boards")
        self._board = board
        self._config = KpxStreamConfig(board=board.handle, direction=self._direction,
                                       blockBytes=block_samples * 2, blockCount=blocks,
                                       setup=setup, sampleLimit=samples)
        self._timeout_ms = max(1, int(timeout * 1000))
        self._stream = ctypes.POINTER(KpxStream)()
        self._handle = None  # owns the stream while it is open
        self._held = None  # a block taken from the ring and not yet given back
        self.block_samples = block_samples

    def open(self, start=True):
        """Opens the stream (setting up the clock for receive) and, unless `start` is
        False, starts it."""
        if self._stream:
            raise StreamError("opening a stream", StreamResult.ERR_STATE, "already open")
        self._config.board = self._board.handle
        handle = _StreamHandle()
        lib.KpxStream_Open(self._config, ctypes.byref(handle.pointer))
        self._handle = handle
        self._stream = handle.pointer
        self._board._streams.add(self)
        if start:
            self.start()
        return self

    def set_sample_limit(self, samples):
        """Changes the samples to move before the stream completes (0: until stopped);
        only before it starts."""
        samples = _checks.unsigned(samples, "samples", _checks.UINT64_MAX // 4)
        lib.KpxStream_SetSampleLimit(self._live(), samples)

    def start(self):
        """Starts moving blocks (a stream opened with start=False); closes it on refusal."""
        try:
            lib.KpxStream_Start(self._live())
        except StreamError:
            self.close()
            raise

    def _live(self):
        if not self._stream:
            raise StreamError("using a stream", StreamResult.ERR_STATE, "the stream is not open")
        return self._stream

    def _wait_ms(self, timeout):
        return self._timeout_ms if timeout is None else _checks.wait_ms(timeout)

    def _raise_board_failed(self, result):
        status = self.status()
        raise StreamError("moving the board's samples", StreamResult.BOARD_FAILED,
                          f"{lib.KpxStream_ResultText(result).decode()}: board error "
                          f"{status.board_error!r}, "
                          f"platform error {status.platform_error}")

    def stop(self):
        """Ends the stream (from any thread); receive: blocks already read can still be
        taken; transmit: blocks already sent are still written."""
        lib.KpxStream_Stop(self._live())

    def status(self):
        status = KpxStreamStatus()
        lib.KpxStream_GetStatus(self._live(), status)
        return StreamStatus(status.samplesMoved, status.blocksWaiting, status.blockBytes,
                            status.blockCount, bool(status.running), bool(status.ended),
                            as_enum(StreamEnd, status.endReason), status.overrunEvents,
                            status.overrunSamples, status.underrunEvents,
                            status.underrunSamples, status.countersUnread,
                            as_enum(BoardError, status.boardError), status.platformError,
                            as_enum(StreamClock, status.clock), status.sampleRateHz,
                            status.threadPriority, bool(status.ringLocked))

    def close(self):
        """Stops the stream and frees it. Twice is fine. While zero-copy views of its
        ring are alive the ring (and the board's stream) lasts until the last one goes."""
        if not self._stream:
            return
        lib.KpxStream_Stop(self._stream)
        self._held = None  # KpxStream_Close takes back what is held
        self._stream = ctypes.POINTER(KpxStream)()
        self._handle = None  # closes the stream now, or when its last view goes
        self._board._streams.discard(self)


class Stream(_StreamBase):
    """A receive stream on an ADC board; use as a context manager and iterate it."""

    def __init__(self, board, block_samples, blocks, setup=None, samples=0, timeout=1.0,
                 zero_copy=False):
        super().__init__(board, block_samples, blocks, setup, samples, timeout)
        self._zero_copy = bool(zero_copy)

    def _give_back(self):
        if self._held is not None:
            lib.KpxStream_ReleaseRead(self._stream, self._held)
            self._held = None

    def next_block(self, timeout=None):
        """The next block, or None when the stream has ended (stopped or complete).
        `timeout` (seconds) bounds the wait; a time-out raises TimeoutError. A failed
        board read raises StreamError(BOARD_FAILED) after the blocks read before it."""
        stream = self._live()
        self._give_back()
        wait = None if timeout is None else self._wait_ms(timeout)
        block = KpxStreamBlock()
        result = wait_in_steps(lambda ms: lib.KpxStream_AcquireRead(stream, block, ms), wait,
                               self._timeout_ms, StreamResult.TIMEOUT)
        if result == StreamResult.TIMEOUT:
            raise TimeoutError(f"no block within {timeout} s")
        if result in (StreamResult.STOPPED, StreamResult.COMPLETE):
            return None
        if result == StreamResult.BOARD_FAILED:
            self._raise_board_failed(result)
        count = block.bytes // 2
        if self._zero_copy:
            self._held = block
            samples = np.asarray(_RingView(self._handle, block.data, count))
        else:
            samples = pool.empty(count, np.int16)
            ctypes.memmove(samples.ctypes.data, block.data, count * 2)
            lib.KpxStream_ReleaseRead(stream, block)
        return Block(samples, block.index, block.lostBefore, block.lostTotal, block.hostTimeNs,
                     bool(block.flags & COUNTERS_UNREAD))

    def __iter__(self):
        while True:
            block = self.next_block()
            if block is None:
                return
            yield block

    def read(self, samples, timeout=None):
        """Copies up to `samples` samples that are contiguous on the board
        (KpxStream_Read) into a new int16 array; returns (array, index, lost),
        with array None once the stream has ended."""
        stream = self._live()
        samples = _checks.unsigned(samples, "samples", _checks.UINT64_MAX)
        if samples == 0:
            raise ValueError("samples must be positive")
        if self._held is not None:
            raise StreamError("KpxStream_Read", StreamResult.ERR_STATE,
                              "a zero-copy block is still held")
        array = pool.empty(samples, np.int16)
        info = KpxStreamReadInfo()
        wait = self._wait_ms(timeout)
        result = lib.KpxStream_Read(stream, array.ctypes.data_as(ctypes.POINTER(ctypes.c_int16)),
                                    samples, wait, info)
        if result in (StreamResult.STOPPED, StreamResult.COMPLETE):
            return None, None, None
        if result == StreamResult.TIMEOUT:
            raise TimeoutError("no samples within the time-out")
        if result == StreamResult.BOARD_FAILED:
            self._raise_board_failed(result)
        return array[:info.samples], info.index, info.lostBefore

    @property
    def rate(self):
        """The sample rate of the clock the stream set up (as the library gives it), None
        when unknown (a board left as set that the library never set up)."""
        return self.status().sample_rate or None


class TransmitStream(_StreamBase):
    """A transmit stream to a DAC board: `send(samples)` fills the ring's empty
    blocks with copies of the samples and queues them; the library's thread
    writes them to the board."""

    _direction = TRANSMIT
    _board_type = BoardType.DAC

    def send(self, samples, timeout=None):
        """Queues an int16 array (an even number of samples) block by block; returns
        the underrun samples the board reported since the previous send. Raises
        StreamError STOPPED or COMPLETE when the stream takes no more."""
        stream = self._live()
        samples = _checks.samples(samples, "samples", max_bytes=_checks.UINT64_MAX)
        if samples.size % 2:
            raise ValueError(f"samples must be an even number, not {samples.size}")
        underruns = 0
        block = KpxStreamBlock()
        sent = 0
        while sent < samples.size:
            result = lib.KpxStream_AcquireWrite(stream, block, self._wait_ms(timeout))
            if result == StreamResult.TIMEOUT:
                if timeout is not None:
                    raise TimeoutError(f"no empty block within {timeout} s")
                continue
            if result == StreamResult.BOARD_FAILED:
                self._raise_board_failed(result)
            if result != StreamResult.OK:
                _raise_ended("KpxStream_AcquireWrite", result)
            underruns += block.lostBefore
            count = min(block.capacity // 2, samples.size - sent)
            ctypes.memmove(block.data, samples.ctypes.data + sent * 2, count * 2)
            block.bytes = count * 2
            result = lib.KpxStream_SubmitWrite(stream, block)
            if result != StreamResult.OK:
                _raise_ended("KpxStream_SubmitWrite", result)
            sent += count
        return underruns


def _duration_samples(seconds, rate):
    """ceil(seconds x rate), refused when a stream cannot count that many."""
    samples = math.ceil(seconds * rate)
    if samples > _checks.UINT64_MAX // 4:
        raise ValueError(f"seconds {seconds!r} at {rate!r} samples/s is {samples} samples, "
                         "more than a stream counts")
    return samples


def capture(board, samples=None, seconds=None, block_samples=2 * 1024 * 1024, blocks=16,
            setup=None, rate=None):
    """Captures `samples` samples, or ceil(`seconds` x rate), into a Recording whose
    gaps are where the board's FIFO lost samples. `rate` overrides the rate the
    clock set-up implies (needed with StreamSetup.NONE)."""
    if (samples is None) == (seconds is None):
        raise TypeError("give exactly one of samples and seconds")
    setup = setup_choice(setup)
    rate = _checks.positive(rate, "rate") if rate is not None else None
    if seconds is not None:
        seconds = _checks.positive(seconds, "seconds")
        if rate is not None:  # refused before the board is touched
            samples = _duration_samples(seconds, rate)
    else:
        samples = _checks.integer(samples, "samples")
        if samples <= 0:
            raise ValueError(f"samples must be positive, not {samples}")
    stream = Stream(board, block_samples, blocks, setup=setup)
    stream.open(start=False)
    try:
        # The clock Open set up tells the rate, and with it the count of a duration.
        rate = rate or stream.rate
        if samples is None:
            if rate is None:
                raise ValueError("with StreamSetup.NONE the rate must be given for seconds")
            samples = _duration_samples(seconds, rate)
        stream.set_sample_limit(samples)
        data = np.empty(samples, np.int16)
        gaps = []
        filled = 0
        stream.start()
        started = _datetime.datetime.now(_datetime.timezone.utc)
        pointer = data.ctypes.data
        info = KpxStreamReadInfo()
        while filled < samples:
            result = lib.KpxStream_Read(
                stream._stream, ctypes.cast(pointer + filled * 2, ctypes.POINTER(ctypes.c_int16)),
                samples - filled, stream._timeout_ms, info)
            if result == StreamResult.TIMEOUT:
                continue
            if result in (StreamResult.STOPPED, StreamResult.COMPLETE):
                break
            if result == StreamResult.BOARD_FAILED:
                stream._raise_board_failed(result)
            if info.lostBefore:
                gaps.append(Gap(filled, info.index, info.lostBefore))
            filled += info.samples
    finally:
        stream.close()
    hw = (f"KPX-ADAC {board.type.name} board {board.index}, board ID 0x{board.board_id:02X}, "
          f"FPGA part {board.expected_part or '(none)'}")
    return Recording(data[:filled], rate, gaps=gaps, datetime=format_time(started),
                     metadata={"core:hw": hw, "core:recorder": "kpxadac (Python)"})
