"""The ADC board's register front end, as kpxadc.h: the clock, run, control,
status, table, option, custom and sequence registers.

`AdcFrontEnd` gives these methods to kpxadac.Board (every board has them, as
every handle takes the KPXADC_* calls; on a DAC board they raise RackError).
Each is one library call on a register; the bits without a known meaning keep
the header's bit numbers.
"""

import ctypes

import numpy as np

from . import _checks
from ._binding import ClockSetting, lib
from .enums import BoardType, SequenceStart, SequenceWait, as_enum
from .errors import RackError

OPTION_BITS = (1, 2, 3, 4, 5, 7)
CLOCK_SOURCES = (0, 1, 2, 4, 5, 6, 7)
CUSTOM_REGISTERS = 4
TABLE_ENTRIES = 16
SEQUENCES = 16
STATUS_BITS = 17  # 0 to 15, and 16: any of them


def as_pointer(array, c_type):
    return array.ctypes.data_as(ctypes.POINTER(c_type))


class CustomRegisters:
    """`board.custom_registers[n]`, n 0 to 3: the ADC board's cReg<n>."""

    def __init__(self, board):
        self._board = board

    def __len__(self):
        return CUSTOM_REGISTERS

    def __getitem__(self, n):
        n = _checks.index(n, "custom register", CUSTOM_REGISTERS)
        return lib.KPXADC_ReadCustomReg(self._board.handle, n)

    def __setitem__(self, n, value):
        n = _checks.index(n, "custom register", CUSTOM_REGISTERS)
        value = _checks.unsigned(value, "custom register value")
        lib.KPXADC_WriteCustomReg(self._board.handle, n, value)


class AdcFrontEnd:
    """The KPXADC_* calls as methods of a board (needs `handle`, `type` and `index`)."""

    def _adc(self):
        handle = self.handle
        if self.type != BoardType.ADC:
            raise RackError(f"{self!r}: the clock, run and front-end registers are ADC board's")
        return handle

    # ---- Clock and run control -------------------------------------------------

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

    # ---- Front-end and auxiliary registers ---------------------------------------

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
        return lib.KPXADC_GetStatusBit(self._adc(),
                                       _checks.index(bit, "status bit", STATUS_BITS)) == 1

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
        if table.size != TABLE_ENTRIES:
            raise ValueError(f"entries must be {TABLE_ENTRIES}, not {table.size}")
        return lib.KPXADC_LoadTable(self._adc(), mode, as_pointer(table, ctypes.c_uint16)) == 1

    def set_table_bit18(self, value):
        lib.KPXADC_SetTableBit18(self._adc(), _checks.flag(value, "value"))

    def table_entry(self, n):
        return lib.KPXADC_GetTableEntry(self._adc(), _checks.index(n, "table entry",
                                                                   TABLE_ENTRIES))

    def read_table(self):
        """The sixteen table entries as a uint16 array."""
        handle = self._adc()
        return np.array([lib.KPXADC_GetTableEntry(handle, n) for n in range(TABLE_ENTRIES)],
                        np.uint16)

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
        lib.KPXADC_SetSequenceSelect(self._adc(), _checks.index(n, "sequence", SEQUENCES))

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
    def sequence_running(self):
        """True while a sequence runs: the sequence state register's bits 0-1 read 2
        (KPXADC_IsSequenceState2)."""
        return lib.KPXADC_IsSequenceState2(self._adc()) == 1

    # Old name, kept for scripts that use it.
    sequence_state2 = sequence_running
