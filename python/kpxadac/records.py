"""Triggered records through the library's records engine (kpxadac_records.h).

    records = board.records(edge="rising", level=1000, pre=256, post=768, count=100)
    records.samples        # (count, pre + post) int16
    records.trigger_index  # uint64 board indexes of the trigger samples

    with board.iter_records(edge="either", level=0, pre=64, post=192) as run:
        for record in run:          # open-ended; run.stop() from another thread
            record.samples, record.trigger_index, record.counts

The engine's thread reads the stream and keeps whole records in a queue;
a consumer slower than the triggers loses whole records, each one counted
(counts.skipped_slow), never samples inside one. Records whose window meets
a gap of the stream are dropped and counted (counts.lost_to_gaps).
"""

import ctypes

import numpy as np

from . import _checks
from ._binding import KpxRecord, KpxRecords, KpxRecordsConfig, KpxRecordsStatus, lib
from ._context import OpenedInWith
from .errors import RecordsError
# The data classes live in kpxadac.recording; their names stay importable from here.
from .recording import FALLING, UNTRIGGERED, Counts, Record, Records  # noqa: F401
from .stream import Stream, wait_in_steps

EDGES = {"rising": 0, "falling": 1, "either": 2}
_TIMEOUT, _STOPPED, _COMPLETE, _BOARD_FAILED = 1, 2, 3, 4  # KPXRECORDS_*: no refusals


def _counts(c):
    return Counts(c.triggersSeen, c.recordsDelivered, c.lostToGaps, c.skippedSlow, c.cutAtEnd)


def _config(edge, level, pre, post, count, hysteresis, holdoff, auto_ms, queue):
    if edge not in EDGES:
        raise ValueError(f"edge must be one of {sorted(EDGES)}, not {edge!r}")
    config = KpxRecordsConfig()
    config.edge = EDGES[edge]
    # Range checks are the library's (RecordsError with its code); only the types
    # and what would not fit the C fields are checked here.
    for name, value, limit in (("level", level, 1 << 31), ("hysteresis", hysteresis, 1 << 31),
                               ("auto_ms", auto_ms, 1 << 31), ("queue", queue, 1 << 31),
                               ("pre", pre, 1 << 63), ("post", post, 1 << 63),
                               ("count", count, 1 << 63), ("holdoff", holdoff, 1 << 63)):
        number = _checks.integer(value, name)
        if not -limit <= number < limit:
            raise OverflowError(f"{name} {number} does not fit")
        setattr(config, {"auto_ms": "autoMs", "queue": "queueRecords"}.get(name, name), number)
    lib.KpxRecords_CheckConfig(config)
    return config


class RecordsRun(OpenedInWith):
    """The records engine on a receive stream of its own; iterate it for Records one by
    one (`next_record`), stop it from any thread, close it (or leave the `with`)."""

    def __init__(self, board, edge="rising", level=0, pre=256, post=768, count=0,
                 hysteresis=0, holdoff=0, auto_ms=0, queue=0, block_samples=65536, blocks=32,
                 setup=None, samples=0, timeout=1.0):
        self._config = _config(edge, level, pre, post, count, hysteresis, holdoff, auto_ms,
                               queue)
        self._stream = Stream(board, block_samples, blocks, setup=setup,
                              samples=samples, timeout=timeout)
        self._timeout_ms = max(1, int(timeout * 1000))
        self._records = ctypes.POINTER(KpxRecords)()
        self.settings = {"edge": edge, "level": int(level), "hysteresis": int(hysteresis),
                         "holdoff": int(holdoff)}
        self.pre, self.post = int(pre), int(post)
        self.rate = None

    def open(self):
        if self._records:
            raise RecordsError("opening records", -9, "already open")
        self._stream.open(start=False)
        try:
            self.rate = self._stream.rate
            lib.KpxRecords_Open(self._stream._stream, self._config, ctypes.byref(self._records))
            lib.KpxRecords_Start(self._records)
        except BaseException:
            self.close()
            raise
        return self

    def _live(self):
        if not self._records:
            raise RecordsError("using records", -9, "not open")
        return self._records

    def next_record(self, timeout=None):
        """The next Record (its samples a copy), or None once the run has ended.
        `timeout` (seconds) bounds the wait; a time-out raises TimeoutError."""
        records = self._live()
        wait = None if timeout is None else _checks.wait_ms(timeout)
        record = KpxRecord()
        result = wait_in_steps(lambda ms: lib.KpxRecords_Acquire(records, record, ms), wait,
                               self._timeout_ms, _TIMEOUT)
        if result == _TIMEOUT:
            raise TimeoutError(f"no record within {timeout} s")
        if result in (_STOPPED, _COMPLETE):
            return None
        if result == _BOARD_FAILED:
            self._stream._raise_board_failed(result)
        samples = np.ctypeslib.as_array(record.samples, shape=(record.length,)).copy()
        lib.KpxRecords_Release(records, record)
        return Record(samples, record.triggerIndex, record.firstIndex, record.number,
                      record.flags, record.hostTimeNs, _counts(record.counts))

    def __iter__(self):
        while True:
            record = self.next_record()
            if record is None:
                return
            yield record

    def stop(self):
        """Ends the run and its stream (from any thread); queued records still come."""
        lib.KpxRecords_Stop(self._live())

    def counts(self):
        status = KpxRecordsStatus()
        lib.KpxRecords_GetStatus(self._live(), status)
        return _counts(status.counts)

    def close(self):
        """Stops and frees the engine, then its stream. Twice is fine."""
        if self._records:
            lib.KpxRecords_Close(self._records)
            self._records = ctypes.POINTER(KpxRecords)()
        self._stream.close()


def records(board, edge="rising", level=0, pre=256, post=768, count=1, hysteresis=0,
            holdoff=0, auto_ms=0, queue=0, block_samples=65536, blocks=32, setup=None, samples=0,
            timeout=None):
    """Takes `count` records (or, with count=0, those until `samples` samples have
    been read) into Records. `timeout` (seconds) bounds the wait for each record."""
    count = _checks.integer(count, "count")
    if count == 0 and not samples:
        raise ValueError("count=0 needs a sample limit (samples=...); use iter_records for "
                         "an open-ended run")
    length = _checks.integer(pre, "pre") + _checks.integer(post, "post")
    taken = []
    with RecordsRun(board, edge, level, pre, post, count, hysteresis, holdoff, auto_ms, queue,
                    block_samples, blocks, setup, samples) as run:
        while True:
            record = run.next_record(timeout)
            if record is None:
                break
            taken.append(record)
        counts = run.counts()
        rate = run.rate
    data = (np.stack([r.samples for r in taken]) if taken
            else np.zeros((0, max(length, 0)), np.int16))
    return Records(data, [r.trigger_index for r in taken], pre,
                   flags=[r.flags for r in taken], host_time_ns=[r.host_time_ns for r in taken],
                   counts=counts, rate=rate, settings=run.settings)
