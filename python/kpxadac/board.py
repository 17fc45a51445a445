"""A registered board, as kpxadac16.h and kpxadac_board.h: registers, FPGA
memory, queries, FPGA configuration, diagnostics, streaming transfers, the
receive set-up and its clock, and the streams. The ADC board's register front
end (kpxadc.h) is kpxadac.adc's, whose methods every Board has.

Every method checks its arguments before it calls the library; a refusal of the
library raises in the binding's check of its family (kpxadac._binding); a board
of a closed Rack refuses every call with RackError.
"""

import ctypes
import os
from collections import namedtuple

import numpy as np

from . import _checks
from ._binding import KpxBoardDescription, KpxClockPlan, ProfilingRecord, TalvoErrorCounts, V360DebugRecord, lib
from ._buffers import pool
# CLOCK_SOURCES, OPTION_BITS and CustomRegisters were this module's; still importable from it.
from .adc import CLOCK_SOURCES, OPTION_BITS, AdcFrontEnd, CustomRegisters, as_pointer  # noqa: F401
from .enums import (BoardError, BoardState, BoardType, FixedClock, StreamClock, StreamSetup,
                    as_enum, setup_choice)
from .errors import RackError
from .playback import Playback
from .records import RecordsRun, records as _records
from .stream import Stream, TransmitStream, capture as _capture

ErrorCounts = namedtuple("ErrorCounts", "rx_overrun tx_underrun")
ClockPlan = namedtuple("ClockPlan", "clock rate_hz name key")

V360_FIELDS = ("field0", "field2", "field6", "field8", "field12", "field16", "field20", "field24",
               "field26", "field28", "field30", "field32", "field33", "field36", "field40")
V360Snapshot = namedtuple("V360Snapshot", V360_FIELDS)
V360Snapshot.__doc__ = "The V360 debug snapshot, each field named after its byte offset."


class Registers:
    """`board.registers[offset]` reads and `board.registers[offset] = value` writes the
    32-bit register at byte `offset`. A failed read gives 0xFFFFFFFF (as does a
    register holding all ones); a failed write raises RequestError."""

    def __init__(self, board):
        self._board = board

    def __getitem__(self, offset):
        offset = _checks.unsigned(offset, "register offset")
        return lib.Kpxadac16_ReadReg(self._board.handle, offset)

    def __setitem__(self, offset, value):
        offset = _checks.unsigned(offset, "register offset")
        value = _checks.unsigned(value, "register value")
        lib.Kpxadac16_WriteReg(self._board.handle, offset, value)


class Board(AdcFrontEnd):
    """One registered board, from `rack.adc(i)` or `rack.dac(i)`; the ADC register
    front end is kpxadac.adc.AdcFrontEnd's."""

    def __init__(self, rack, handle, board_type, index, device=None):
        self._rack = rack
        self._handle = handle
        self.type = BoardType(board_type)
        self.index = index
        self.device = device
        self.board_id = lib.Kpxadac16_GetBoardId(self.type, index)
        part = lib.KpxBoard_ExpectedPart(self.board_id)
        self.expected_part = part.decode() if part else None
        self.registers = Registers(self)
        self.custom_registers = CustomRegisters(self)
        self._closed = False
        self._streams = set()

    def __repr__(self):
        return (f"<kpxadac.Board {self.type.name} {self.index}, device {self.device}, "
                f"board ID 0x{self.board_id & 0xFF:02X}>")

    @property
    def handle(self):
        """The library's BoardHandle; RackError once the board or its rack is closed."""
        if self._closed or self._rack.closed:
            raise RackError(f"{self!r} is closed")
        return self._handle

    # ---- Registry queries ----------------------------------------------------

    @property
    def status(self):
        """The status byte, 0 to 255."""
        return lib.Kpxadac16_GetBoardStatus(self.handle)

    @property
    def fixed_clock(self):
        """What the driver's fixed-clock query answers: FixedClock.FIXED when the board's
        ADC runs from its onboard fixed clock; a failed query raises. The clock a
        set-up would use is `reported_clock`."""
        result = lib.Kpxadac16_GetFixedClock(self.handle)
        return FixedClock.FIXED if result else FixedClock.SYNTHESIZER

    @property
    def identification(self):
        """The six identification bytes as the library gives them (bytes 3 and 4
        exchanged, the board ID in byte 5)."""
        info = (ctypes.c_uint8 * 6)()
        lib.Kpxadac16_GetBoardInfo(self.handle, info)
        return bytes(info)

    @property
    def state(self):
        return as_enum(BoardState, lib.Kpxadac16_GetState(self.handle))

    @property
    def last_error(self):
        return as_enum(BoardError, lib.Kpxadac16_GetLastError(self.handle))

    @property
    def record(self):
        """A copy of the board's registry record as a dict."""
        r = lib.Kpxadac16_GetBoardRecord(self.handle)
        return {"handle": r.handle, "board_id": r.boardId, "type_index": r.typeIndex,
                "state": as_enum(BoardState, r.state),
                "last_error": as_enum(BoardError, r.lastError),
                "type": as_enum(BoardType, r.type), "read_total": r.readTotal,
                "write_total": r.writeTotal, "read_requested": r.readRequested,
                "write_requested": r.writeRequested}

    @property
    def read_total(self):
        return lib.Kpxadac16_GetReadTotal(self.handle)

    @property
    def write_total(self):
        return lib.Kpxadac16_GetWriteTotal(self.handle)

    def close(self):
        """Closes the board's handle and forgets its registration (Kpxadac16_Close);
        the boards of the same type after it move down one index."""
        handle = self.handle
        for stream in list(self._streams):
            stream.close()
        lib.Kpxadac16_Close(handle)
        self._closed = True
        self._rack._forget(self)

    # ---- FPGA memory -----------------------------------------------------------

    def read_memory(self, address, words):
        """Reads `words` 32-bit words of FPGA memory from byte `address` into a new uint32 array."""
        address = _checks.unsigned(address, "address")
        words = _checks.integer(words, "words")
        if words < 0:
            raise ValueError(f"words must not be negative, not {words}")
        length = _checks.unsigned(words * 4, "memory length in bytes")
        array = np.zeros(words, np.uint32)
        lib.Kpxadac16_ReadFpgaMem(self.handle, address, length, as_pointer(array, ctypes.c_uint32))
        return array

    def write_memory(self, address, array):
        """Writes a uint32 array to FPGA memory at byte `address`."""
        address = _checks.unsigned(address, "address")
        array = _checks.array(array, "array", np.uint32)
        lib.Kpxadac16_WriteFpgaMem(self.handle, address, array.nbytes,
                                   as_pointer(array, ctypes.c_uint32))

    # ---- FPGA configuration ----------------------------------------------------

    def load_bitstream(self, path):
        """Loads the FPGA from a Xilinx .bit file, checked against the board's part.
        Raises BitstreamError (code: a BitstreamFileResult, or the driver's word)."""
        if path is None:
            raise TypeError("path must be a file name, not None")
        name = os.fsencode(path)
        if b"\0" in name:
            raise ValueError("path must not contain a NUL character")
        lib.Kpxadac16_LoadBitstreamFile(self.handle, name)

    def load_bitstream_image(self, image):
        """Loads the FPGA from the bytes of an image, unchecked (Kpxadac16_LoadBitstream)."""
        data = _checks.byte_array(image, "image")
        _checks.unsigned(data.size + 4, "image length with its length word")
        lib.Kpxadac16_LoadBitstream(self.handle, as_pointer(data, ctypes.c_uint8), data.size)

    # ---- Diagnostics -------------------------------------------------------------

    def lock(self):
        """Locks the board at the driver."""
        lib.Kpxadac16_LockBoard(self.handle)

    def unlock(self):
        lib.Kpxadac16_UnlockBoard(self.handle)

    def profiling(self):
        """The driver's five profiling words as {"word0": ..., ..., "word4": ...}."""
        record = ProfilingRecord()
        lib.Kpxadac16_GetProfiling(self.handle, record)
        return {f"word{i}": record.words[i] for i in range(5)}

    def reset_profiling(self, param1=0, param2=0):
        lib.Kpxadac16_ResetProfiling(self.handle, _checks.unsigned(param1, "param1", 0xFF),
                                     _checks.unsigned(param2, "param2", 0xFF))

    def v360_debug(self):
        """The V360 debug snapshot as a V360Snapshot."""
        record = V360DebugRecord()
        lib.Kpxadac16_V360Debug(self.handle, record)
        return V360Snapshot(*(getattr(record, name) for name in V360_FIELDS))

    def v360_reset(self):
        lib.Kpxadac16_V360Reset(self.handle)

    # ---- Streaming transfers (the Talvo channel) ---------------------------------

    def read(self, samples):
        """Reads `samples` 16-bit samples (an even number: the channel moves whole
        32-bit words) with one TalvoReadBuffer straight into a new int16 array.
        A read that moved fewer bytes gives a shorter array; one that moved
        nothing raises TransferError with the board's last error."""
        samples = _checks.integer(samples, "samples")
        if samples <= 0 or samples % 2:
            raise ValueError(f"samples must be a positive even number, not {samples}")
        _checks.unsigned(samples * 2, "read length in bytes")
        handle = self.handle
        array = pool.empty(samples, np.int16)
        moved = lib.TalvoReadBuffer(handle, array.ctypes.data, array.nbytes)
        return array if moved == array.nbytes else array[:moved // 2]

    def read_into(self, array):
        """Fills a C-contiguous, writable int16 array (an even number of samples: the
        channel moves whole 32-bit words) with one TalvoReadBuffer and returns the bytes
        moved. Another dtype is a TypeError: the board's bytes are 16-bit samples."""
        array = _checks.samples(array, "array", writable=True)
        if array.nbytes % 4 or array.nbytes == 0:
            raise ValueError(f"array must hold whole 32-bit words, not {array.nbytes} bytes")
        return lib.TalvoReadBuffer(self.handle, array.ctypes.data, array.nbytes)

    def write(self, samples):
        """Writes an int16 array (an even number of samples) with one TalvoWriteBuffer;
        returns the samples written."""
        samples = _checks.samples(samples, "samples")
        if samples.size == 0 or samples.size % 2:
            raise ValueError(f"samples must hold a positive even number, not {samples.size}")
        return lib.TalvoWriteBuffer(self.handle, samples.ctypes.data, samples.nbytes) // 2

    def cancel_read(self):
        """Asks a running read (in another thread) to stop; False if none was running."""
        return lib.TalvoCancelRead(self.handle) == 0

    def cancel_write(self):
        return lib.TalvoCancelWrite(self.handle) == 0

    def preload_write(self, data):
        """Passes one block (bytes or a contiguous array) to the driver's preload;
        returns the byte count the driver reports."""
        data = _checks.byte_array(data, "data")
        _checks.unsigned(data.size + 4, "preload length with its length word")
        return lib.TalvoPreloadWrite(self.handle, data.ctypes.data, data.size)

    def reset_channel(self, param1=0, param2=0):
        lib.TalvoReset(self.handle, _checks.unsigned(param1, "param1", 0xFF),
                       _checks.unsigned(param2, "param2", 0xFF))

    def flow_control(self, param1, param2):
        lib.TalvoFlowControl(self.handle, _checks.unsigned(param1, "param1", 0xFF),
                             _checks.unsigned(param2, "param2", 0xFF))

    def error_counts(self):
        """The channel's error counters as ErrorCounts(rx_overrun, tx_underrun)."""
        counts = TalvoErrorCounts()
        lib.TalvoGetError(self.handle, counts)
        return ErrorCounts(counts.rxOverrunCount, counts.txUnderrunCount)

    # ---- Acquisition (the KpxStream API) ------------------------------------------

    def stream(self, block_samples=2 * 1024 * 1024, blocks=16, setup=None, samples=0,
               timeout=1.0, zero_copy=False):
        """A receive stream of `blocks` blocks of `block_samples` samples, set up by
        `setup` (the clock choice: a StreamSetup, None for AUTO_CLOCK, or the words
        "fixed" and "synthesizer"), ending after `samples` (0: until stopped); see
        kpxadac.stream.Stream."""
        return Stream(self, block_samples=block_samples, blocks=blocks, setup=setup,
                      samples=samples, timeout=timeout, zero_copy=zero_copy)

    def transmit(self, block_samples=2 * 1024 * 1024, blocks=16, setup=None, samples=0,
                 timeout=1.0):
        """A transmit stream to a DAC board; see kpxadac.stream.TransmitStream."""
        return TransmitStream(self, block_samples=block_samples, blocks=blocks, setup=setup,
                              samples=samples, timeout=timeout)

    def play(self, samples, loop=False, block_samples=1 << 18, blocks=16):
        """Plays an int16 array on a DAC board through the transmit stream, once or
        (`loop`) again and again until stopped; returns a kpxadac.playback.Playback."""
        return Playback(self, samples, loop=loop, block_samples=block_samples, blocks=blocks)

    def capture(self, samples=None, seconds=None, block_samples=2 * 1024 * 1024, blocks=16,
                setup=None, rate=None):
        """Captures `samples` samples, or `seconds` of them, into a Recording."""
        return _capture(self, samples=samples, seconds=seconds, block_samples=block_samples,
                        blocks=blocks, setup=setup, rate=rate)

    def records(self, edge="rising", level=0, pre=256, post=768, count=1, hysteresis=0,
                holdoff=0, **options):
        """`count` triggered records into a kpxadac.recording.Records: `samples` as a
        (count, pre + post) int16 array, `trigger_index` as uint64, flags and loss
        counts. Further options: auto_ms, queue, block_samples, blocks, setup, samples
        (a stream sample limit), timeout; see kpxadac.records.records."""
        return _records(self, edge=edge, level=level, pre=pre, post=post, count=count,
                       hysteresis=hysteresis, holdoff=holdoff, **options)

    def iter_records(self, edge="rising", level=0, pre=256, post=768, count=0, hysteresis=0,
                     holdoff=0, **options):
        """The iterator form: a kpxadac.records.RecordsRun to use in `with` and iterate,
        one Record at a time, until `count` records (0: until stopped)."""
        return RecordsRun(self, edge=edge, level=level, pre=pre, post=post, count=count,
                          hysteresis=hysteresis, holdoff=holdoff, **options)

    # ---- The receive set-up and the clock (kpxadac_board.h) ------------------------

    def start_receiving(self, setup=None, *, clock=None):
        """Sets the board up as a receive stream does and returns the sample rate the
        library gives for the clock it set up. `setup` is the clock choice as in
        stream(): a StreamSetup (None: AUTO_CLOCK, the clock the board reports, a failed
        query meaning fixed), or the old words "fixed" and "synthesizer"; `clock=` is its
        old name. Then the run state, cReg0 and a channel reset. board.read needs this
        (or a stream's set-up) first; streams do it themselves."""
        if clock is not None:
            if setup is not None:
                raise TypeError("give setup or its old name clock, not both")
            setup = clock
        setup = setup_choice(setup, "setup")
        if setup == StreamSetup.NONE:
            raise ValueError("setup NONE sets nothing up; start_receiving needs a clock choice")
        handle = self._adc()
        chosen = ctypes.c_int32(0)
        lib.KpxBoard_SetupClock(handle, setup, ctypes.byref(chosen))
        lib.KpxBoard_StartReceiving(handle)
        lib.KpxBoard_ResetChannel(handle)
        return lib.KpxBoard_ClockRateHz(handle, chosen.value)

    @property
    def reported_clock(self):
        """The clock the board reports, which StreamSetup.AUTO_CLOCK chooses, as a
        StreamClock (KpxBoard_ReportedClock: a failed fixed-clock query means FIXED)."""
        return StreamClock(lib.KpxBoard_ReportedClock(self.handle))

    def clock_plan(self, setup=StreamSetup.AUTO_CLOCK):
        """The clock a receive set-up with `setup` would use, as the library rules it
        (KpxBoard_ClockPlan): a ClockPlan of clock (StreamClock), rate_hz, name and key."""
        setup = _checks.choice(setup, "setup", (StreamSetup.AUTO_CLOCK, StreamSetup.FIXED_CLOCK,
                                                StreamSetup.SYNTHESIZER))
        plan = KpxClockPlan()
        lib.KpxBoard_ClockPlan(self.handle, setup, ctypes.byref(plan))
        return ClockPlan(StreamClock(plan.clock), plan.rateHz, plan.name.decode(),
                         plan.key.decode())

    def clock_rate(self, clock):
        """The library's rate of a StreamClock on this board, in Hz (0 for AS_SET)."""
        clock = _checks.choice(clock, "clock", tuple(StreamClock))
        return lib.KpxBoard_ClockRateHz(self.handle, clock)

    @property
    def label(self):
        """The library's name of the board, e.g. "KPX-ADAC ADC 0 (board ID 0x8A, device 0)"."""
        return describe(self.handle).label.decode()

    @property
    def sample_rate(self):
        """The rate of the board's clock as far as the library can tell, or None when it
        cannot (the synthesizer at a setting the library did not make)."""
        rate = ctypes.c_double(0)
        result = lib.KpxBoard_GetSampleRate(self.handle, ctypes.byref(rate))
        return rate.value if result > 0 else None


def describe(handle):
    """The library's description of a registered board (KpxBoard_DescribeHandle)."""
    description = KpxBoardDescription()
    lib.KpxBoard_DescribeHandle(handle, ctypes.byref(description))
    return description
