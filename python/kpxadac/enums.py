"""The library's codes as IntEnums: board type, state and last error, the
refusals of the queries and of the FPGA loads, the front-end results and the
acquisition API's codes."""

from enum import IntEnum

from . import _checks


class BoardType(IntEnum):
    ADC = 0
    DAC = 1


class BoardState(IntEnum):
    NONE = 0  # only reported for an unregistered handle
    IDLE = 1
    READING = 2
    WRITING = 3
    QUERY = 4
    CANCEL = 6
    PROGRAMMING = 8


class BoardError(IntEnum):
    """Reason of the last failure of a guarded operation (a board's `last_error`)."""

    NOT_IDLE = 0
    CANCELLED = 1
    REQUEST_FAILED = 2
    READ_FAILED = 3
    WRITE_FAILED = 4
    NO_BOARD = 7


class StatusResult(IntEnum):
    """Refusals of the status and fixed-clock queries (Kpxadac16_GetBoardStatus,
    Kpxadac16_GetFixedClock)."""

    NOT_IDLE = -1
    REQUEST_FAILED = -2
    UNREGISTERED = -3


class InfoResult(IntEnum):
    """Refusals of the identification query; -1 and -2 are the reverse of StatusResult's."""

    REQUEST_FAILED = -1
    NOT_IDLE = -2
    UNREGISTERED = -3


class FixedClock(IntEnum):
    """What the fixed-clock query says the board's ADC runs from."""

    SYNTHESIZER = 0
    FIXED = 1  # any nonzero clock byte


class BitstreamFileResult(IntEnum):
    """Refusals of Kpxadac16_LoadBitstreamFile. Any other nonzero result is the
    driver's own result word (which may also coincide with one of these)."""

    DOWNLOAD_FAILED = -1
    FILE_NOT_OPENED = 1
    NOT_IDLE = 2
    UNREGISTERED = 3
    NO_PART_FOR_BOARD = 4
    IDENTIFICATION_FAILED = 6
    PART_MISMATCH = 7
    NOT_A_BIT_FILE = 8
    UNREADABLE = 9
    TOO_LARGE = 10
    NO_MEMORY = 11
    BAD_HEADER = 12
    PART_TOO_LONG = 13


class BitstreamImageResult(IntEnum):
    """Refusals of Kpxadac16_LoadBitstream (an image, unchecked)."""

    MISSING = -6
    NO_MEMORY = -5
    TOO_LARGE = -4
    UNREGISTERED = -3
    NOT_IDLE = -2
    DOWNLOAD_FAILED = -1


class SequenceStart(IntEnum):
    STARTED = 1
    ADC_NOT_RUNNING = 4


class SequenceWait(IntEnum):
    """Result of waiting for the front-end sequence; 8 to 15 are the board's error codes."""

    DONE = 1
    TIMEOUT = 2
    BOARD_ERROR_8 = 8
    BOARD_ERROR_9 = 9
    BOARD_ERROR_10 = 10
    BOARD_ERROR_11 = 11
    BOARD_ERROR_12 = 12
    BOARD_ERROR_13 = 13
    BOARD_ERROR_14 = 14
    BOARD_ERROR_15 = 15


class StreamSetup(IntEnum):
    """The clock choice of a receive set-up (KPXSTREAM_SETUP_*): the one way the package
    says it, in Board.stream, capture, records and start_receiving alike."""

    NONE = 0  # leave the board as it was set
    AUTO_CLOCK = 1  # the clock the board reports (KpxBoard_ReportedClock) chooses
    FIXED_CLOCK = 2
    SYNTHESIZER = 3  # the library's synthesizer setting


# The old spelling of start_receiving's clock choice, still accepted everywhere.
SETUP_WORDS = {"fixed": StreamSetup.FIXED_CLOCK, "synthesizer": StreamSetup.SYNTHESIZER}


def setup_choice(value, name="setup"):
    """A clock choice as a StreamSetup: None is AUTO_CLOCK; "fixed" and "synthesizer"
    (the old words of start_receiving) are FIXED_CLOCK and SYNTHESIZER."""
    if value is None:
        return StreamSetup.AUTO_CLOCK
    if isinstance(value, str):
        if value not in SETUP_WORDS:
            raise ValueError(f'{name} must be a StreamSetup, "fixed", "synthesizer" or None, '
                             f"not {value!r}")
        return SETUP_WORDS[value]
    number = _checks.integer(value, name)
    try:
        return StreamSetup(number)
    except ValueError:
        raise ValueError(f"{name} must be a StreamSetup (0 to 3), not {number}") from None


class StreamClock(IntEnum):
    AS_SET = 0
    FIXED = 1
    SYNTHESIZER = 2


class StreamEnd(IntEnum):
    NONE = 0
    STOPPED = 1
    COMPLETE = 2
    BOARD_FAILED = 3


class StreamResult(IntEnum):
    OK = 0
    TIMEOUT = 1
    STOPPED = 2
    COMPLETE = 3
    BOARD_FAILED = 4
    ERR_NULL = -1
    ERR_BLOCK_SIZE = -2
    ERR_BLOCK_COUNT = -3
    ERR_DIRECTION = -4
    ERR_NO_BOARD = -5
    ERR_BOARD_BUSY = -6
    ERR_NO_MEMORY = -7
    ERR_ARGUMENT = -8
    ERR_STATE = -9
    ERR_WRONG_DIRECTION = -10
    ERR_NOT_HELD = -11
    ERR_SYNTHESIZER = -12
    ERR_FIXED_CLOCK = -13
    ERR_RESET = -14
    ERR_COUNTERS = -15
    ERR_THREAD = -16


def as_enum(enum_type, value):
    """The member for `value`, or the plain int when the enum has none."""
    try:
        return enum_type(value)
    except ValueError:
        return value
