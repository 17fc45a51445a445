"""A registered board: registers, FPGA memory, queries, FPGA configuration,
diagnostics, streaming transfers, and on ADC boards the clock, run and
front-end registers.

Every method checks its arguments before it calls the library; a board of a
closed Rack refuses every call with RackError.
"""

import ctypes
import os
from collections import namedtuple

import numpy as np

from . import _checks
from ._binding import (FPGA_MEM_MAX_CHUNK, ClockSetting, KpxBoardDescription, ProfilingRecord,
                       TalvoErrorCounts, V360DebugRecord, lib)
from ._buffers import pool
from .enums import (BitstreamFileResult, BitstreamImageResult, BoardError, BoardState, BoardType,
                    FixedClock, InfoResult, SequenceStart, SequenceWait, StatusResult, as_enum)
from .errors import (BitstreamError, BoardBusyError, RackError, RequestError, TransferError)

ErrorCounts = namedtuple("ErrorCounts", "rx_overrun tx_underrun")

V360_FIELDS = ("field0", "field2", "field6", "field8", "field12", "field16", "field20", "field24",
               "field26", "field28", "field30", "field32", "field33", "field36", "field40")
V360Snapshot = namedtuple("V360Snapshot", V360_FIELDS)
V360Snapshot.__doc__ = "The V360 debug snapshot, each field named after its byte offset."

IMAGE_MEANINGS = {
    BitstreamImageResult.MISSING: "no image",
    BitstreamImageResult.NO_MEMORY: "out of memory",
    BitstreamImageResult.TOO_LARGE: "the image is too large",
    BitstreamImageResult.UNREGISTERED: "the board is not registered",
    BitstreamImageResult.NOT_IDLE: "the board was busy",
    BitstreamImageResult.DOWNLOAD_FAILED: "the download request failed",
}
DRIVER_REFUSAL = "the driver refused the image"

OPTION_BITS = (1, 2, 3, 4, 5, 7)
# The library's clock codes (KPXBOARD_CLOCK_*) and the set-up choices of
# KpxBoard_SetupClock (KPXSTREAM_SETUP_*).
_CLOCK_FIXED, _CLOCK_SYNTHESIZER = 1, 2
_SETUP_CHOICES = {None: 1, "fixed": 2, "synthesizer": 3}
CLOCK_SOURCES = (0, 1, 2, 4, 5, 6, 7)


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
        result = lib.Kpxadac16_WriteReg(self._board.handle, offset, value)
        # The result is the value written, or -1; a value of all ones cannot tell them apart.
        if result == -1 and value != 0xFFFFFFFF:
            raise RequestError(f"register write at {offset:#x}", result, "the request failed")


class CustomRegisters:
    """`board.custom_registers[n]`, n 0 to 3: the ADC board's cReg<n>."""

    def __init__(self, board):
        self._board = board

    def __len__(self):
        return 4

    def __getitem__(self, n):
        n = _checks.index(n, "custom register", 4)
        return lib.KPXADC_ReadCustomReg(self._board.handle, n)

    def __setitem__(self, n, value):
        n = _checks.index(n, "custom register", 4)
        value = _checks.unsigned(value, "custom register value")
        lib.KPXADC_WriteCustomReg(self._board.handle, n, value)


class Board:
    """One registered board, from `rack.adc(i)` or `rack.dac(i)`."""

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

    def _adc(self):
        handle = self.handle
        if self.type != BoardType.ADC:
            raise RackError(f"{self!r}: the clock, run and front-end registers are ADC board's")
        return handle

    # ---- Registry queries ----------------------------------------------------

    @property
    def status(self):
        """The status byte, 0 to 255."""
        result = lib.Kpxadac16_GetBoardStatus(self.handle)
        if result < 0:
            _raise_query("status query", StatusResult(result))
        return result

    @property
    def fixed_clock(self):
        """FixedClock.FIXED when the board's ADC runs from its onboard fixed clock."""
        result = lib.Kpxadac16_GetFixedClock(self.handle)
        if result < 0:
            _raise_query("fixed-clock query", StatusResult(result))
        return FixedClock.FIXED if result else FixedClock.SYNTHESIZER

    @property
    def identification(self):
        """The six identification bytes as the library gives them (bytes 3 and 4
        exchanged, the board ID in byte 5)."""
        info = (ctypes.c_uint8 * 6)()
        result = lib.Kpxadac16_GetBoardInfo(self.handle, info)
        if result != 0:
            _raise_query("identification query", InfoResult(result))
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
        self._memory_result("FPGA memory read", lib.Kpxadac16_ReadFpgaMem(
            self.handle, address, length, _as_pointer(array, ctypes.c_uint32)))
        return array

    def write_memory(self, address, array):
        """Writes a uint32 array to FPGA memory at byte `address`."""
        address = _checks.unsigned(address, "address")
        array = _checks.array(array, "array", np.uint32)
        self._memory_result("FPGA memory write", lib.Kpxadac16_WriteFpgaMem(
            self.handle, address, array.nbytes, _as_pointer(array, ctypes.c_uint32)))

    @staticmethod
    def _memory_result(operation, result):
        if result == -1:
            raise RequestError(operation, result,
                               f"a request of at most {FPGA_MEM_MAX_CHUNK} bytes failed")

    # ---- FPGA configuration ----------------------------------------------------

    def load_bitstream(self, path):
        """Loads the FPGA from a Xilinx .bit file, checked against the board's part.
        Raises BitstreamError (code: a BitstreamFileResult, or the driver's word)."""
        if path is None:
            raise TypeError("path must be a file name, not None")
        name = os.fsencode(path)
        if b"\0" in name:
            raise ValueError("path must not contain a NUL character")
        result = lib.Kpxadac16_LoadBitstreamFile(self.handle, name)
        if result != 0:
            code = as_enum(BitstreamFileResult, result)
            raise BitstreamError(f"loading {os.fsdecode(name)}", code,
                                 lib.KpxBoard_BitstreamResultText(result).decode())

    def load_bitstream_image(self, image):
        """Loads the FPGA from the bytes of an image, unchecked (Kpxadac16_LoadBitstream)."""
        data = _checks.byte_array(image, "image")
        _checks.unsigned(data.size + 4, "image length with its length word")
        pointer = _as_pointer(data, ctypes.c_uint8)
        result = lib.Kpxadac16_LoadBitstream(self.handle, pointer, data.size)
        if result != 0:
            code = as_enum(BitstreamImageResult, result)
            raise BitstreamError("loading a bitstream image", code,
                                 IMAGE_MEANINGS.get(code, DRIVER_REFUSAL))

    # ---- Diagnostics -------------------------------------------------------------

    def lock(self):
        """Locks the board at the driver."""
        if lib.Kpxadac16_LockBoard(self.handle) != 0:
            raise RequestError("board lock", 1, "the request failed")

    def unlock(self):
        if lib.Kpxadac16_UnlockBoard(self.handle) != 0:
            raise RequestError("board unlock", 1, "the request failed")

    def profiling(self):
        """The driver's five profiling words as {"word0": ..., ..., "word4": ...}."""
        record = ProfilingRecord()
        _check_request("profiling query", lib.Kpxadac16_GetProfiling(self.handle, record))
        return {f"word{i}": record.words[i] for i in range(5)}

    def reset_profiling(self, param1=0, param2=0):
        _check_request("profiling reset", lib.Kpxadac16_ResetProfiling(
            self.handle, _checks.unsigned(param1, "param1", 0xFF),
            _checks.unsigned(param2, "param2", 0xFF)))

    def v360_debug(self):
        """The V360 debug snapshot as a V360Snapshot."""
        record = V360DebugRecord()
        _check_request("V360 debug query", lib.Kpxadac16_V360Debug(self.handle, record))
        return V360Snapshot(*(getattr(record, name) for name in V360_FIELDS))

    def v360_reset(self):
        _check_request("V360 reset", lib.Kpxadac16_V360Reset(self.handle))

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
        if moved == 0:
            raise TransferError("TalvoReadBuffer", self.last_error)
        return array if moved == array.nbytes else array[:moved // 2]

    def read_into(self, array):
        """Fills a C-contiguous, writable int16 array (an even number of samples: the
        channel moves whole 32-bit words) with one TalvoReadBuffer and returns the bytes
        moved. Another dtype is a TypeError: the board's bytes are 16-bit samples."""
        array = _checks.samples(array, "array", writable=True)
        if array.nbytes % 4 or array.nbytes == 0:
            raise ValueError(f"array must hold whole 32-bit words, not {array.nbytes} bytes")
        moved = lib.TalvoReadBuffer(self.handle, array.ctypes.data, array.nbytes)
        if moved == 0:
            raise TransferError("TalvoReadBuffer", self.last_error)
        return moved

    def write(self, samples):
        """Writes an int16 array (an even number of samples) with one TalvoWriteBuffer;
        returns the samples written."""
        samples = _checks.samples(samples, "samples")
        if samples.size == 0 or samples.size % 2:
            raise ValueError(f"samples must hold a positive even number, not {samples.size}")
        moved = lib.TalvoWriteBuffer(self.handle, samples.ctypes.data, samples.nbytes)
        if moved == 0:
            raise TransferError("TalvoWriteBuffer", self.last_error)
        return moved // 2

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
        moved = lib.TalvoPreloadWrite(self.handle, data.ctypes.data, data.size)
        if moved == 0 and data.size:
            raise RequestError("preload write", 0, "the request failed")
        return moved

    def reset_channel(self, param1=0, param2=0):
        _check_request("channel reset", lib.TalvoReset(
            self.handle, _checks.unsigned(param1, "param1", 0xFF),
            _checks.unsigned(param2, "param2", 0xFF)))

    def flow_control(self, param1, param2):
        _check_request("flow control", lib.TalvoFlowControl(
            self.handle, _checks.unsigned(param1, "param1", 0xFF),
            _checks.unsigned(param2, "param2", 0xFF)))

    def error_counts(self):
        """The channel's error counters as ErrorCounts(rx_overrun, tx_underrun)."""
        counts = TalvoErrorCounts()
        _check_request("error counter query", lib.TalvoGetError(self.handle, counts))
        return ErrorCounts(counts.rxOverrunCount, counts.txUnderrunCount)

    # ---- Acquisition (the KpxStream API) ------------------------------------------

    def stream(self, block_samples=2 * 1024 * 1024, blocks=16, setup=None, samples=0,
               timeout=1.0, zero_copy=False):
        """A receive stream of `blocks` blocks of `block_samples` samples, set up by
        `setup` (a StreamSetup; None: AUTO_CLOCK), ending after `samples` (0: until
        stopped); see kpxadac.stream.Stream."""
        from .stream import Stream
        return Stream(self, block_samples=block_samples, blocks=blocks, setup=setup,
                      samples=samples, timeout=timeout, zero_copy=zero_copy)

    def transmit(self, block_samples=2 * 1024 * 1024, blocks=16, setup=None, samples=0,
                 timeout=1.0):
        """A transmit stream to a DAC board; see kpxadac.stream.TransmitStream."""
        from .stream import TransmitStream
        return TransmitStream(self, block_samples=block_samples, blocks=blocks, setup=setup,
                              samples=samples, timeout=timeout)

    def play(self, samples, loop=False, block_samples=1 << 18, blocks=16):
        """Plays an int16 array on a DAC board through the transmit stream, once or
        (`loop`) again and again until stopped; returns a kpxadac.playback.Playback."""
        from .playback import Playback
        return Playback(self, samples, loop=loop, block_samples=block_samples, blocks=blocks)

    def capture(self, samples=None, seconds=None, block_samples=2 * 1024 * 1024, blocks=16,
                setup=None, rate=None):
        """Captures `samples` samples, or `seconds` of them, into a Recording."""
        from .stream import capture
        return capture(self, samples=samples, seconds=seconds, block_samples=block_samples,
                       blocks=blocks, setup=setup, rate=rate)

    def records(self, edge="rising", level=0, pre=256, post=768, count=1, hysteresis=0,
                holdoff=0, **options):
        """`count` triggered records into a kpxadac.records.Records: `samples` as a
        (count, pre + post) int16 array, `trigger_index` as uint64, flags and loss
        counts. Further options: auto_ms, queue, block_samples, blocks, setup, samples
        (a stream sample limit), timeout; see kpxadac.records.records."""
        from .records import records
        return records(self, edge=edge, level=level, pre=pre, post=post, count=count,
                       hysteresis=hysteresis, holdoff=holdoff, **options)

    def iter_records(self, edge="rising", level=0, pre=256, post=768, count=0, hysteresis=0,
                     holdoff=0, **options):
        """The iterator form: a kpxadac.records.RecordsRun to use in `with` and iterate,
        one Record at a time, until `count` records (0: until stopped)."""
        from .records import RecordsRun
        return RecordsRun(self, edge=edge, level=level, pre=pre, post=post, count=count,
                          hysteresis=hysteresis, holdoff=holdoff, **options)

    # ---- ADC clock and run control -------------------------------------------------

    def set_clock_source(self, source):
        """Selects clock source 0 to 7 (3 is refused)."""
        source = _checks.choice(source, "clock source", CLOCK_SOURCES)
        lib.KPXADC_SetClockSource(self._adc(), source)

    @property
    def clock_source(self):
        """The clock source field (a field of 3 reads as 8)."""
        return lib.KPXADC_GetClockSource(self._adc())

    def set_clock_mode(self, mode):
        """Sets clock mode 0, 1 or 2 and resets the clock; True when the clock became ready."""
        mode = _checks.choice(mode, "clock mode", (0, 1, 2))
        return lib.KPXADC_SetClockMode(self._adc(), mode) == 1

    def set_clock_flags(self, flag_a, flag_b):
        """Writes clock flags A and B; with A set the clock is reset and the result
        tells whether it became ready."""
        return lib.KPXADC_SetClockFlags(self._adc(), _checks.flag(flag_a, "flag_a"),
                                        _checks.flag(flag_b, "flag_b")) == 1

    def program_clock(self, setting):
        """Programs the synthesizer with 16 bytes (four little-endian words);
        True when it finished and the clock became ready."""
        data = _checks.byte_array(setting, "setting")
        if data.size != 16:
            raise ValueError(f"setting must be 16 bytes, not {data.size}")
        clock = ClockSetting()
        clock.bytes[:] = data.tobytes()
        return lib.KPXADC_ProgramClock(self._adc(), clock) == 1

    def reset_clock(self):
        """Pulses the clock reset; True when the ready bit came."""
        return lib.KPXADC_ResetClock(self._adc()) == 1

    @property
    def clock_ready(self):
        return lib.KPXADC_GetClockReady(self._adc()) == 1

    def clock_bit(self, bit):
        """Clock register bit 11, 14 or 15 as a bool."""
        bit = _checks.choice(bit, "clock bit", (11, 14, 15))
        getter = {11: lib.KPXADC_GetClockBit11, 14: lib.KPXADC_GetClockBit14,
                  15: lib.KPXADC_GetClockBit15}[bit]
        return getter(self._adc()) == 1

    def set_clock_bit(self, bit, value):
        """Sets or clears clock register bit 12 or 13."""
        bit = _checks.choice(bit, "clock bit", (12, 13))
        setter = {12: lib.KPXADC_SetClockBit12, 13: lib.KPXADC_SetClockBit13}[bit]
        setter(self._adc(), _checks.flag(value, "value"))

    def set_run_state(self, running):
        """Starts (True) or stops (False) the ADC."""
        lib.KPXADC_SetRunState(self._adc(), _checks.flag(running, "running"))

    @property
    def running(self):
        """Run register bit 0."""
        return bool(lib.Kpxadac16_ReadReg(self._adc(), 0x01C) & 1)

    def set_run_bit3(self, value):
        """Sets or clears run register bit 3; refused (False) while the ADC runs."""
        return lib.KPXADC_SetRunBit3(self._adc(), _checks.flag(value, "value")) == 1

    def start_receiving(self, clock=None):
        """Sets the board up as a receive stream does and returns the sample rate the
        library gives for the clock: the clock (`clock` "fixed" or "synthesizer"; None:
        as the fixed-clock query says, a failed query meaning fixed), the run state,
        cReg0 and a channel reset. board.read needs this (or a stream's set-up) first;
        streams do it themselves."""
        if clock not in _SETUP_CHOICES:
            raise ValueError(f'clock must be "fixed", "synthesizer" or None, not {clock!r}')
        handle = self._adc()
        chosen = ctypes.c_int32(0)
        result = lib.KpxBoard_SetupClock(handle, _SETUP_CHOICES[clock], ctypes.byref(chosen))
        if result == 0:
            result = lib.KpxBoard_StartReceiving(handle)
        if result == 0:
            result = lib.KpxBoard_ResetChannel(handle)
        if result != 0:
            raise RequestError("receive set-up", result,
                               lib.KpxStream_ResultText(result).decode())
        return lib.KpxBoard_ClockRateHz(handle, chosen.value)

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

    # ---- ADC front-end and auxiliary registers --------------------------------------

    def open_front_end(self):
        """Puts the sequence select register to its initial value (KPXADC_Open)."""
        if lib.KPXADC_Open(self.type, self.index) == -1:
            raise RackError(f"{self!r} is not registered")

    def control_bits(self):
        """The control register's readable fields as a dict."""
        h = self._adc()
        return {"bit1": lib.KPXADC_GetCtrlBit1(h) == 1, "bit10": lib.KPXADC_GetCtrlBit10(h) == 1,
                "bit11": lib.KPXADC_IsCtrlBit11Clear(h) == 0,
                "bit12": lib.KPXADC_GetCtrlBit12(h) != 0, "bit13": lib.KPXADC_GetCtrlBit13(h) == 1,
                "byte2": lib.KPXADC_GetCtrlByte2(h)}

    def set_control_bit_pair(self, pair, low, high):
        pair = _checks.choice(pair, "pair", (0, 1))
        lib.KPXADC_SetCtrlBitPair(self._adc(), pair, _checks.flag(low, "low"),
                                  _checks.flag(high, "high"))

    def set_control_bit(self, bit, value=True):
        """Sets or clears control register bit 3 or 10, or sets bit 8 (it cannot be cleared)."""
        bit = _checks.choice(bit, "control bit", (3, 8, 10))
        value = _checks.flag(value, "value")
        h = self._adc()
        if bit == 8:
            if not value:
                raise ValueError("control bit 8 can only be set")
            lib.KPXADC_SetCtrlBit8(h)
        elif bit == 3:
            lib.KPXADC_SetCtrlBit3(h, value)
        else:
            lib.KPXADC_SetCtrlBit10(h, value)

    def status_bit(self, bit):
        """Status register bit 0 to 15; bit 16 is "any of them"."""
        return lib.KPXADC_GetStatusBit(self._adc(), _checks.index(bit, "status bit", 17)) == 1

    def set_table_control(self, value):
        lib.KPXADC_SetTableControl(self._adc(), _checks.unsigned(value, "value", 0xFFFF))

    def load_table(self, mode, entries):
        """Writes the sixteen table entries (12 bits each) and waits for the load.
        `entries`: 16 integers or a uint16 array; True when the load finished."""
        mode = _checks.unsigned(mode, "mode")
        if entries is None:
            raise TypeError("entries must be 16 integers, not None")
        if isinstance(entries, np.ndarray):
            table = _checks.array(entries, "entries", np.uint16)
        else:
            values = [_checks.unsigned(v, "table entry", 0xFFFF) for v in entries]
            table = np.array(values, np.uint16)
        if table.size != 16:
            raise ValueError(f"entries must be 16, not {table.size}")
        return lib.KPXADC_LoadTable(self._adc(), mode, _as_pointer(table, ctypes.c_uint16)) == 1

    def set_table_bit18(self, value):
        lib.KPXADC_SetTableBit18(self._adc(), _checks.flag(value, "value"))

    def table_entry(self, n):
        return lib.KPXADC_GetTableEntry(self._adc(), _checks.index(n, "table entry", 16))

    def read_table(self):
        """The sixteen table entries as a uint16 array."""
        handle = self._adc()
        return np.array([lib.KPXADC_GetTableEntry(handle, n) for n in range(16)], np.uint16)

    def set_option_bit(self, bit, value):
        """Sets or clears option register bit 1, 2, 3, 4, 5 or 7."""
        bit = _checks.choice(bit, "option bit", OPTION_BITS)
        setter = getattr(lib, f"KPXADC_SetOptionBit{bit}")
        setter(self._adc(), _checks.flag(value, "value"))

    @property
    def option_bit0(self):
        return lib.KPXADC_IsOptionBit0Clear(self._adc()) == 0

    def select_sequence(self, n):
        """Adds sequence n (0 to 15) to the select mask."""
        lib.KPXADC_SetSequenceSelect(self._adc(), _checks.index(n, "sequence", 16))

    def set_sequence_word(self, value):
        lib.KPXADC_SetSequenceWord(self._adc(), _checks.unsigned(value, "value"))

    def set_sequence_mode(self, mode):
        lib.KPXADC_SetSequenceMode(self._adc(), _checks.choice(mode, "sequence mode", (0, 2)))

    def start_sequence(self):
        """Starts the selected sequence; SequenceStart.ADC_NOT_RUNNING when the ADC is stopped."""
        return as_enum(SequenceStart, lib.KPXADC_StartSequence(self._adc()))

    def wait_sequence(self, count=0):
        """Polls the sequence status up to `count` times 1 ms apart (0: 500000);
        a SequenceWait."""
        return as_enum(SequenceWait, lib.KPXADC_WaitSequence(self._adc(),
                                                            _checks.unsigned(count, "count")))

    @property
    def sequence_state2(self):
        return lib.KPXADC_IsSequenceState2(self._adc()) == 1


def _as_pointer(array, c_type):
    return array.ctypes.data_as(ctypes.POINTER(c_type))


def _check_request(operation, result):
    if result != 0:
        raise RequestError(operation, result, "the request failed")


def _raise_query(operation, code):
    meanings = {"NOT_IDLE": "the board was busy", "REQUEST_FAILED": "the request failed",
                "UNREGISTERED": "the board is not registered"}
    error = BoardBusyError if code.name == "NOT_IDLE" else RequestError
    raise error(operation, code, meanings[code.name])


def describe(handle):
    """The library's description of a registered board (KpxBoard_DescribeHandle)."""
    description = KpxBoardDescription()
    result = lib.KpxBoard_DescribeHandle(handle, ctypes.byref(description))
    if result != 0:
        raise RackError(f"board handle {handle}: {lib.KpxStream_ResultText(result).decode()}")
    return description
