"""The low layer: every exported function of kpxadac16.h, kpxadc.h,
kpxadac_stream.h, kpxadac_board.h, kpxadac_records.h, kpxadac_waveform.h and
kpxadac_group.h declared once, with the headers' types, and the structures
they pass.

`lib` is the loaded library with `restype` and `argtypes` set on each
declared function; it is loaded at its first use, so the package (and
kpxadac.sigmf) imports without it. The high layer calls only through it. A function that
the loaded library lacks (an older build) stays out of `lib` and calling it
raises MissingFunctionError; `missing` names them.

Each family of functions carries one error check (a ctypes `errcheck`, as libiio's
binding does): a refusal raises the family's exception with the library's text for
it, so that callers never test results for errors nor keep texts of their own. What
is no refusal (a time-out, a stopped or complete stream: the positive results) comes
back to the caller.
"""

import ctypes
import os
from ctypes import POINTER, Structure, c_char, c_char_p, c_double, c_int16, c_int32, c_int64
from ctypes import c_uint8, c_uint16, c_uint32, c_uint64, c_void_p

from ._library import load_library, loaded_file
from ._version import library_refusal
from .enums import (BitstreamFileResult, BitstreamImageResult, BoardError as BoardErrorCode,
                    InfoResult, StatusResult, StreamResult, as_enum)
from .errors import (BitstreamError, BoardBusyError, GroupError, LibraryVersionError,
                     MissingFunctionError, RecordsError, RequestError, StreamError, TransferError, WaveformError)

# ---- Shared types (kpxadac16.h) -------------------------------------------

BoardHandle = ctypes.c_ssize_t  # intptr_t
BoardType = c_int32
BoardState = c_int32
BoardError = c_int32
INVALID_HANDLE = -1

TALVO_MAX_CHUNK = 0x3F00000
FPGA_MEM_MAX_CHUNK = 0x3FF0000


class BoardRecord(Structure):
    pass


BoardRecord._fields_ = [
    ("handle", BoardHandle),
    ("mutex", c_void_p),
    ("boardId", c_int32),
    ("typeIndex", c_int32),
    ("state", BoardState),
    ("lastError", BoardError),
    ("type", BoardType),
    ("readTotal", c_uint32),
    ("writeTotal", c_uint32),
    ("readRequested", c_uint32),
    ("writeRequested", c_uint32),
    ("next", POINTER(BoardRecord)),
]


class TalvoErrorCounts(Structure):
    _fields_ = [("rxOverrunCount", c_uint32), ("txUnderrunCount", c_uint32)]


class ProfilingRecord(Structure):
    _fields_ = [("words", c_uint32 * 5)]


class V360DebugRecord(Structure):
    _fields_ = [
        ("field0", c_uint16),
        ("field2", c_uint16),
        ("notCopied4", c_uint8 * 2),
        ("field6", c_uint16),
        ("field8", c_uint32),
        ("field12", c_uint32),
        ("field16", c_uint32),
        ("field20", c_uint32),
        ("field24", c_uint16),
        ("field26", c_uint16),
        ("field28", c_uint16),
        ("field30", c_uint16),
        ("field32", c_uint8),
        ("field33", c_uint8),
        ("reserved34", c_uint8 * 2),
        ("field36", c_uint32),
        ("field40", c_uint32),
    ]


# ---- kpxadc.h --------------------------------------------------------------


class ClockSetting(Structure):
    _fields_ = [("bytes", c_uint8 * 16)]


# ---- kpxadac_stream.h ------------------------------------------------------


class KpxStream(Structure):
    """Opaque."""


class KpxStreamConfig(Structure):
    _fields_ = [
        ("board", BoardHandle),
        ("direction", c_int32),
        ("blockBytes", c_uint32),
        ("blockCount", c_uint32),
        ("setup", c_int32),
        ("sampleLimit", c_uint64),
        ("flags", c_uint32),
    ]


class KpxStreamBlock(Structure):
    _fields_ = [
        ("data", c_void_p),
        ("bytes", c_uint32),
        ("capacity", c_uint32),
        ("index", c_uint64),
        ("lostBefore", c_uint64),
        ("lostTotal", c_uint64),
        ("hostTimeNs", c_int64),
        ("flags", c_uint32),
        ("slot", c_uint32),
    ]


class KpxStreamStatus(Structure):
    _fields_ = [
        ("samplesMoved", c_uint64),
        ("blocksWaiting", c_uint32),
        ("blockBytes", c_uint32),
        ("blockCount", c_uint32),
        ("running", c_int32),
        ("ended", c_int32),
        ("endReason", c_int32),
        ("overrunEvents", c_uint64),
        ("overrunSamples", c_uint64),
        ("underrunEvents", c_uint64),
        ("underrunSamples", c_uint64),
        ("countersUnread", c_uint64),
        ("boardError", BoardError),
        ("platformError", c_uint32),
        ("clock", c_int32),
        ("sampleRateHz", c_double),
        ("threadPriority", c_int32),
        ("threadPriorityValue", c_int32),
        ("ringLocked", c_int32),
    ]


class KpxStreamReadInfo(Structure):
    _fields_ = [("samples", c_uint64), ("index", c_uint64), ("lostBefore", c_uint64)]


# ---- kpxadac_records.h -----------------------------------------------------


class KpxRecords(Structure):
    """Opaque."""


class KpxRecordsConfig(Structure):
    _fields_ = [
        ("edge", c_int32),
        ("level", c_int32),
        ("hysteresis", c_int32),
        ("autoMs", c_int32),
        ("pre", c_int64),
        ("post", c_int64),
        ("holdoff", c_int64),
        ("count", c_int64),
        ("queueRecords", c_int32),
    ]


class KpxRecordsCounts(Structure):
    _fields_ = [
        ("triggersSeen", c_uint64),
        ("recordsDelivered", c_uint64),
        ("lostToGaps", c_uint64),
        ("skippedSlow", c_uint64),
        ("cutAtEnd", c_uint64),
    ]


class KpxRecord(Structure):
    _fields_ = [
        ("samples", POINTER(c_int16)),
        ("length", c_uint32),
        ("pre", c_uint32),
        ("triggerIndex", c_uint64),
        ("firstIndex", c_uint64),
        ("number", c_uint64),
        ("hostTimeNs", c_int64),
        ("flags", c_uint32),
        ("slot", c_uint32),
        ("counts", KpxRecordsCounts),
    ]


class KpxRecordsStatus(Structure):
    _fields_ = [
        ("counts", KpxRecordsCounts),
        ("samplesScanned", c_uint64),
        ("queued", c_uint32),
        ("queueRecords", c_uint32),
        ("running", c_int32),
        ("ended", c_int32),
        ("endReason", c_int32),
    ]


# ---- kpxadac_board.h ---------------------------------------------------------

BOARD_PART_CHARS = 16
BOARD_LABEL_CHARS = 64


class KpxBoardDescription(Structure):
    _fields_ = [
        ("handle", BoardHandle),
        ("type", BoardType),
        ("index", c_int32),
        ("device", c_int32),
        ("boardId", c_int32),
        ("ident", c_uint8 * 6),
        ("fpgaPart", c_char * BOARD_PART_CHARS),
        ("label", c_char * BOARD_LABEL_CHARS),
    ]


class KpxClockPlan(Structure):
    _fields_ = [
        ("clock", c_int32),
        ("rateHz", c_double),
        ("name", c_char_p),
        ("key", c_char_p),
    ]


class KpxStreamGap(Structure):
    _fields_ = [("index", c_uint64), ("samples", c_uint64)]


# ---- kpxadac_group.h ---------------------------------------------------------

KPXGROUP_MAX_BOARDS = 64


class KpxGroup(Structure):
    """Opaque."""


class KpxGroupConfig(Structure):
    _fields_ = [
        ("direction", c_int32),
        ("count", c_uint32),
        ("boards", c_int32 * KPXGROUP_MAX_BOARDS),
        ("setup", c_int32),
        ("blockSamples", c_uint32),
        ("blockCount", c_uint32),
        ("gapPolicy", c_int32),
        ("sampleLimit", c_uint64),
        ("streamFlags", c_uint32),
    ]


class KpxGroupOpenInfo(Structure):
    _fields_ = [("position", c_int32), ("streamResult", c_int32)]


class KpxGroupAlignment(Structure):
    _fields_ = [
        ("result", c_int32),
        ("offset", c_double),
        ("drift", c_double),
        ("peak", c_double),
        ("secondPeak", c_double),
        ("peakToNoise", c_double),
    ]


class KpxGroupBoardBlock(Structure):
    _fields_ = [
        ("samples", POINTER(c_int16)),
        ("boardIndex", c_uint64),
        ("lost", c_uint32),
        ("firstLost", c_uint32),
        ("flags", c_uint32),
    ]


class KpxGroupBlock(Structure):
    _fields_ = [
        ("groupIndex", c_uint64),
        ("droppedBefore", c_uint64),
        ("samples", c_uint32),
        ("count", c_uint32),
        ("flags", c_uint32),
        ("sequence", c_uint32),
        ("boards", KpxGroupBoardBlock * KPXGROUP_MAX_BOARDS),
    ]


class KpxGroupStatus(Structure):
    _fields_ = [
        ("count", c_uint32),
        ("direction", c_int32),
        ("blockSamples", c_uint32),
        ("running", c_int32),
        ("ended", c_int32),
        ("endResult", c_int32),
        ("failedBoard", c_int32),
        ("sampleRateHz", c_double),
        ("startSkewNs", c_int64),
        ("startSkewSamples", c_uint64),
        ("groupSamples", c_uint64),
        ("droppedSamples", c_uint64),
        ("offsetsApplied", c_int32),
        ("offsetsMeasured", c_int32),
        ("offsets", c_double * KPXGROUP_MAX_BOARDS),
        ("skips", c_int64 * KPXGROUP_MAX_BOARDS),
        ("lostSamples", c_uint64 * KPXGROUP_MAX_BOARDS),
        ("droppedByGroup", c_uint64 * KPXGROUP_MAX_BOARDS),
    ]


# ---- kpxadac_waveform.h ------------------------------------------------------

KPXWAVE_MAX_TONES = 32
KPXWAVE_HARMONICS = 5


class KpxWave(Structure):
    pass


class KpxWaveSettings(Structure):
    _fields_ = [
        ("waveform", c_int32),
        ("sampleRateHz", c_double),
        ("frequencyCount", c_uint32),
        ("frequenciesHz", c_double * KPXWAVE_MAX_TONES),
        ("amplitudeDbfs", c_double),
        ("phaseDeg", c_double),
        ("harmonicsUsed", c_uint32),
        ("harmonicsDbc", c_double * KPXWAVE_HARMONICS),
        ("startHz", c_double),
        ("stopHz", c_double),
        ("sweepTimeS", c_double),
        ("duty", c_double),
        ("widthSamples", c_uint64),
        ("periodSamples", c_uint64),
        ("minIntervalSamples", c_uint64),
        ("maxIntervalSamples", c_uint64),
        ("baselineLsb", c_int32),
        ("noiseLsbRms", c_double),
        ("seed", c_uint64),
    ]


# ---- The declarations: (name, restype, argtypes), in header order ----------

_H = BoardHandle
_u8, _u32 = c_uint8, c_uint32

KPXADAC16_FUNCTIONS = (
    ("Kpxadac16_ReadReg", c_uint32, (_H, _u32)),
    ("Kpxadac16_WriteReg", c_int32, (_H, _u32, _u32)),
    ("Kpxadac16_ReadFpgaMem", c_int32, (_H, _u32, _u32, POINTER(c_uint32))),
    ("Kpxadac16_WriteFpgaMem", c_int32, (_H, _u32, _u32, POINTER(c_uint32))),
    ("Kpxadac16_SetTransferWords", c_int32, (_H, _u32)),
    ("Kpxadac16_Open", c_int32, ()),
    ("Kpxadac16_OpenBoard", c_int32, (_u8,)),
    ("Kpxadac16_Close", None, (_H,)),
    ("Kpxadac16_CloseAll", None, ()),
    ("Kpxadac16_GetHandle", BoardHandle, (BoardType, _u8)),
    ("Kpxadac16_GetBoardId", c_int32, (BoardType, _u8)),
    ("Kpxadac16_GetBoardStatus", c_int32, (_H,)),
    ("Kpxadac16_GetFixedClock", c_int32, (_H,)),
    ("Kpxadac16_GetBoardInfo", c_int32, (_H, POINTER(c_uint8))),
    ("Kpxadac16_GetState", BoardState, (_H,)),
    ("Kpxadac16_GetBoardRecord", BoardRecord, (_H,)),
    ("Kpxadac16_GetReadTotal", c_uint32, (_H,)),
    ("Kpxadac16_GetWriteTotal", c_uint32, (_H,)),
    ("Kpxadac16_GetLastError", BoardError, (_H,)),
    ("Kpxadac16_LoadBitstreamFile", c_int32, (_H, c_char_p)),
    ("Kpxadac16_LoadBitstream", c_int32, (_H, POINTER(c_uint8), _u32)),
    ("TalvoReadBuffer", c_uint32, (_H, c_void_p, _u32)),
    ("TalvoWriteBuffer", c_uint32, (_H, c_void_p, _u32)),
    ("TalvoCancelRead", c_int32, (_H,)),
    ("TalvoCancelWrite", c_int32, (_H,)),
    ("TalvoPreloadWrite", c_uint32, (_H, c_void_p, _u32)),
    ("TalvoReset", c_int32, (_H, _u8, _u8)),
    ("TalvoFlowControl", c_int32, (_H, _u8, _u8)),
    ("TalvoGetError", c_int32, (_H, POINTER(TalvoErrorCounts))),
    ("Kpxadac16_LockBoard", c_int32, (_H,)),
    ("Kpxadac16_UnlockBoard", c_int32, (_H,)),
    ("Kpxadac16_GetProfiling", c_int32, (_H, POINTER(ProfilingRecord))),
    ("Kpxadac16_ResetProfiling", c_int32, (_H, _u8, _u8)),
    ("Kpxadac16_V360Debug", c_int32, (_H, POINTER(V360DebugRecord))),
    ("Kpxadac16_V360Reset", c_int32, (_H,)),
    ("Kpxadac16_Sleep", None, (_H, _u32)),
)

_FLAG = (_H, _u32)
KPXADC_FUNCTIONS = (
    ("KPXADC_SetClockSource", c_int32, _FLAG),
    ("KPXADC_GetClockSource", c_int32, (_H,)),
    ("KPXADC_SetClockMode", c_int32, _FLAG),
    ("KPXADC_SetClockFlags", c_int32, (_H, _u32, _u32)),
    ("KPXADC_ProgramClock", c_int32, (_H, POINTER(ClockSetting))),
    ("KPXADC_ResetClock", c_int32, (_H,)),
    ("KPXADC_GetClockReady", c_int32, (_H,)),
    ("KPXADC_GetClockBit11", c_int32, (_H,)),
    ("KPXADC_GetClockBit14", c_int32, (_H,)),
    ("KPXADC_GetClockBit15", c_int32, (_H,)),
    ("KPXADC_SetClockBit12", c_int32, _FLAG),
    ("KPXADC_SetClockBit13", c_int32, _FLAG),
    ("KPXADC_SetRunState", c_int32, _FLAG),
    ("KPXADC_SetRunBit3", c_int32, _FLAG),
    ("KPXADC_Open", BoardHandle, (BoardType, _u8)),
    ("KPXADC_Close", None, (_H,)),
    ("KPXADC_GetCtrlBit1", c_int32, (_H,)),
    ("KPXADC_GetCtrlBit13", c_int32, (_H,)),
    ("KPXADC_GetCtrlBit10", c_int32, (_H,)),
    ("KPXADC_GetCtrlBit12", c_int32, (_H,)),
    ("KPXADC_IsCtrlBit11Clear", c_int32, (_H,)),
    ("KPXADC_GetCtrlByte2", c_int32, (_H,)),
    ("KPXADC_SetCtrlBitPair", c_int32, (_H, _u32, _u32, _u32)),
    ("KPXADC_SetCtrlBit3", c_int32, _FLAG),
    ("KPXADC_SetCtrlBit8", c_int32, (_H,)),
    ("KPXADC_SetCtrlBit10", c_int32, _FLAG),
    ("KPXADC_GetStatusBit", c_uint8, _FLAG),
    ("KPXADC_SetTableControl", c_int32, _FLAG),
    ("KPXADC_LoadTable", c_int32, (_H, _u32, POINTER(c_uint16))),
    ("KPXADC_SetTableBit18", c_int32, _FLAG),
    ("KPXADC_GetTableEntry", c_int32, _FLAG),
    ("KPXADC_SetOptionBit1", c_int32, _FLAG),
    ("KPXADC_SetOptionBit2", c_int32, _FLAG),
    ("KPXADC_SetOptionBit3", c_int32, _FLAG),
    ("KPXADC_SetOptionBit4", c_int32, _FLAG),
    ("KPXADC_SetOptionBit5", c_int32, _FLAG),
    ("KPXADC_SetOptionBit7", c_int32, _FLAG),
    ("KPXADC_IsOptionBit0Clear", c_int32, (_H,)),
    ("KPXADC_WriteCustomReg", c_int32, (_H, _u32, _u32)),
    ("KPXADC_ReadCustomReg", c_uint32, _FLAG),
    ("KPXADC_SetSequenceSelect", c_int32, _FLAG),
    ("KPXADC_SetSequenceWord", c_int32, _FLAG),
    ("KPXADC_SetSequenceMode", c_int32, _FLAG),
    ("KPXADC_StartSequence", c_int32, (_H,)),
    ("KPXADC_WaitSequence", c_int32, _FLAG),
    ("KPXADC_IsSequenceState2", c_int32, (_H,)),
)

_S = POINTER(KpxStream)
KPXSTREAM_FUNCTIONS = (
    ("KpxStream_Open", c_int32, (POINTER(KpxStreamConfig), POINTER(_S))),
    ("KpxStream_SetSampleLimit", c_int32, (_S, c_uint64)),
    ("KpxStream_Start", c_int32, (_S,)),
    ("KpxStream_Stop", c_int32, (_S,)),
    ("KpxStream_Close", None, (_S,)),
    ("KpxStream_AcquireRead", c_int32, (_S, POINTER(KpxStreamBlock), c_int32)),
    ("KpxStream_ReleaseRead", c_int32, (_S, POINTER(KpxStreamBlock))),
    ("KpxStream_Read", c_int32, (_S, POINTER(c_int16), c_uint64, c_int32,
                                 POINTER(KpxStreamReadInfo))),
    ("KpxStream_AcquireWrite", c_int32, (_S, POINTER(KpxStreamBlock), c_int32)),
    ("KpxStream_SubmitWrite", c_int32, (_S, POINTER(KpxStreamBlock))),
    ("KpxStream_TakeUnderrun", c_int32, (_S, POINTER(KpxStreamGap))),
    ("KpxStream_GetStatus", c_int32, (_S, POINTER(KpxStreamStatus))),
    ("KpxStream_ResultText", c_char_p, (c_int32,)),
)

_D = POINTER(KpxBoardDescription)
KPXBOARD_FUNCTIONS = (
    ("KpxBoard_Count", c_int32, ()),
    ("KpxBoard_PlatformProblem", c_char_p, ()),
    ("KpxBoard_Describe", c_int32, (c_int32, _D)),
    ("KpxBoard_DescribeHandle", c_int32, (_H, _D)),
    ("KpxBoard_ExpectedPart", c_char_p, (c_int32,)),
    ("KpxBoard_SynthesizerRateHz", c_double, ()),
    ("KpxBoard_FixedClockRateHz", c_double, (_H,)),
    ("KpxBoard_SetFixedClockRate", c_int32, (_H, c_double)),
    ("KpxBoard_ClockRateHz", c_double, (_H, c_int32)),
    ("KpxBoard_ReportedClock", c_int32, (_H,)),
    ("KpxBoard_ClockPlan", c_int32, (_H, c_int32, POINTER(KpxClockPlan))),
    ("KpxBoard_GetSampleRate", c_int32, (_H, POINTER(c_double))),
    ("KpxBoard_SetupClock", c_int32, (_H, c_int32, POINTER(c_int32))),
    ("KpxBoard_StartReceiving", c_int32, (_H,)),
    ("KpxBoard_ResetChannel", c_int32, (_H,)),
    ("KpxBoard_ReceiveCReg0Value", c_uint32, ()),
    ("KpxBoard_SynthesizerSetting", None, (POINTER(ClockSetting),)),
    ("KpxBoard_ErrorText", c_char_p, (BoardError,)),
    ("KpxBoard_BitstreamResultText", c_char_p, (c_int32,)),
    ("KpxBoard_ImageResultText", c_char_p, (c_int32,)),
    ("KpxBoard_QueryResultText", c_char_p, (c_int32, c_int32)),
    ("KpxBoard_SetMessageOutput", c_int32, (c_int32,)),
    ("KpxBoard_LibraryVersion", c_char_p, ()),
)

_W = POINTER(KpxWave)
KPXWAVE_FUNCTIONS = (
    ("KpxWave_DefaultSettings", None, (POINTER(KpxWaveSettings), c_int32, c_double)),
    ("KpxWave_Create", c_int32, (POINTER(KpxWaveSettings), POINTER(_W))),
    ("KpxWave_Destroy", None, (_W,)),
    ("KpxWave_Generate", c_int32, (_W, POINTER(c_int16), c_uint64)),
    ("KpxWave_GenerateLittleEndian", c_int32, (_W, POINTER(c_uint8), c_uint64)),
    ("KpxWave_Seek", c_int32, (_W, c_uint64)),
    ("KpxWave_Position", c_uint64, (_W,)),
    ("KpxWave_ActualFrequencyHz", c_double, (_W, c_uint32)),
    ("KpxWave_MaxFrequencyHz", c_double, (c_double,)),
    ("KpxWave_ResultText", c_char_p, (c_int32,)),
)

_R = POINTER(KpxRecords)
KPXRECORDS_FUNCTIONS = (
    ("KpxRecords_CheckConfig", c_int32, (POINTER(KpxRecordsConfig),)),
    ("KpxRecords_Open", c_int32, (_S, POINTER(KpxRecordsConfig), POINTER(_R))),
    ("KpxRecords_OpenFed", c_int32, (POINTER(KpxRecordsConfig), POINTER(_R))),
    ("KpxRecords_Feed", c_int32, (_R, POINTER(KpxStreamBlock))),
    ("KpxRecords_Start", c_int32, (_R,)),
    ("KpxRecords_Stop", c_int32, (_R,)),
    ("KpxRecords_Close", None, (_R,)),
    ("KpxRecords_Acquire", c_int32, (_R, POINTER(KpxRecord), c_int32)),
    ("KpxRecords_Release", c_int32, (_R, POINTER(KpxRecord))),
    ("KpxRecords_Read", c_int32, (_R, POINTER(c_int16), c_uint64, POINTER(KpxRecord), c_int32)),
    ("KpxRecords_GetStatus", c_int32, (_R, POINTER(KpxRecordsStatus))),
    ("KpxRecords_ResultText", c_char_p, (c_int32,)),
)

_G = POINTER(KpxGroup)
KPXGROUP_FUNCTIONS = (
    ("KpxGroup_Open", c_int32, (POINTER(KpxGroupConfig), POINTER(_G), POINTER(KpxGroupOpenInfo))),
    ("KpxGroup_OpenStreams", c_int32, (POINTER(_S), POINTER(KpxGroupConfig), POINTER(_G),
                                       POINTER(KpxGroupOpenInfo))),
    ("KpxGroup_Start", c_int32, (_G,)),
    ("KpxGroup_Stop", c_int32, (_G,)),
    ("KpxGroup_Close", None, (_G,)),
    ("KpxGroup_Measure", c_int32, (_G, c_uint64, POINTER(KpxGroupAlignment), c_int32, c_int32)),
    ("KpxGroup_SetOffsets", c_int32, (_G, POINTER(c_double), c_uint32)),
    ("KpxGroup_AcquireRead", c_int32, (_G, POINTER(KpxGroupBlock), c_int32)),
    ("KpxGroup_ReleaseRead", c_int32, (_G, POINTER(KpxGroupBlock))),
    ("KpxGroup_AcquireWrite", c_int32, (_G, POINTER(KpxGroupBlock), c_int32)),
    ("KpxGroup_SubmitWrite", c_int32, (_G, POINTER(KpxGroupBlock))),
    ("KpxGroup_GetStatus", c_int32, (_G, POINTER(KpxGroupStatus))),
    ("KpxGroup_Align", c_int32, (POINTER(c_int16), POINTER(c_int16), c_uint64,
                                 POINTER(KpxGroupAlignment))),
    ("KpxGroup_ResultText", c_char_p, (c_int32,)),
    ("KpxGroup_AlignText", c_char_p, (c_int32,)),
)

FUNCTIONS = (KPXADAC16_FUNCTIONS + KPXADC_FUNCTIONS + KPXSTREAM_FUNCTIONS + KPXBOARD_FUNCTIONS +
             KPXRECORDS_FUNCTIONS + KPXWAVE_FUNCTIONS + KPXGROUP_FUNCTIONS)


# ---- Error checks, one per family ---------------------------------------------
#
# A check is errcheck(result, function, arguments) of ctypes: it raises or gives the
# result back. `library` is the loaded _Library (for the texts and the board's last
# error).


def _text(library, text_function, *codes):
    text = getattr(library, text_function)(*codes)
    return text.decode("utf-8", "replace") if text else f"result {codes[-1]}"


def _negative(exception, text_function, enum=None):
    """Negative results are refusals (the KPXSTREAM_ERR_*, KPXRECORDS_ERR_* and
    KPXWAVE_ERR_* codes); the family's text function names them."""
    def check(library):
        def errcheck(result, function, arguments):
            if result < 0:
                code = as_enum(enum, result) if enum is not None else result
                raise exception(function.__name__, code,
                                _text(library, text_function, result))
            return result
        return errcheck
    return check


def _request(failed):
    """Driver requests, whose results say only that the request failed (`failed` tells
    it from the result and the arguments): the library's text of a failed request (it
    has no result texts of these)."""
    def check(library):
        def errcheck(result, function, arguments):
            if failed(result, arguments):
                raise RequestError(function.__name__, result, _text(
                    library, "KpxBoard_ErrorText", BoardErrorCode.REQUEST_FAILED))
            return result
        return errcheck
    return check


def _transfer(library):
    """Streaming transfers: 0 bytes moved of a nonzero length failed; the board's last
    error tells why, in the library's words."""
    def errcheck(result, function, arguments):
        if result == 0 and arguments[2]:
            error = as_enum(BoardErrorCode, library.Kpxadac16_GetLastError(arguments[0]))
            raise TransferError(function.__name__, error,
                                _text(library, "KpxBoard_ErrorText", int(error)))
        return result
    return errcheck


# The board queries, as KpxBoard_QueryResultText tells them apart.
KPXBOARD_QUERY_STATUS = 0
KPXBOARD_QUERY_FIXED_CLOCK = 1
KPXBOARD_QUERY_INFO = 2


def _query(enum, query, failed):
    """The status, fixed-clock and identification queries: their own refusal codes,
    in the library's words; a busy board is a BoardBusyError."""
    def check(library):
        def errcheck(result, function, arguments):
            if failed(result):
                code = enum(result)
                exception = BoardBusyError if code.name == "NOT_IDLE" else RequestError
                raise exception(function.__name__, code,
                                _text(library, "KpxBoard_QueryResultText", query, result))
            return result
        return errcheck
    return check


def _bitstream_file(library):
    def errcheck(result, function, arguments):
        if result != 0:
            raise BitstreamError(f"{function.__name__}({os.fsdecode(arguments[1])})",
                                 as_enum(BitstreamFileResult, result),
                                 _text(library, "KpxBoard_BitstreamResultText", result))
        return result
    return errcheck


def _bitstream_image(library):
    def errcheck(result, function, arguments):
        if result != 0:
            raise BitstreamError(function.__name__, as_enum(BitstreamImageResult, result),
                                 _text(library, "KpxBoard_ImageResultText", result))
        return result
    return errcheck


_stream_check = _negative(StreamError, "KpxStream_ResultText", StreamResult)
_board_check = _negative(RequestError, "KpxStream_ResultText", StreamResult)
_records_check = _negative(RecordsError, "KpxRecords_ResultText")
_wave_check = _negative(WaveformError, "KpxWave_ResultText")
_group_check = _negative(GroupError, "KpxGroup_ResultText")


def _family(functions, check, names=None):
    """Every function of `functions` that returns int32 (or those of `names`) gets `check`."""
    return {name: check for name, restype, _ in functions
            if (names is None and restype is c_int32) or (names is not None and name in names)}


CHECKS = {
    **_family(KPXSTREAM_FUNCTIONS, _stream_check),
    **_family(KPXBOARD_FUNCTIONS, _board_check, names={
        "KpxBoard_Describe", "KpxBoard_DescribeHandle", "KpxBoard_SetFixedClockRate",
        "KpxBoard_ReportedClock", "KpxBoard_ClockPlan", "KpxBoard_GetSampleRate", "KpxBoard_SetupClock",
        "KpxBoard_StartReceiving", "KpxBoard_ResetChannel", "KpxBoard_SetMessageOutput"}),
    **_family(KPXRECORDS_FUNCTIONS, _records_check),
    **_family(KPXWAVE_FUNCTIONS, _wave_check),
    **_family(KPXGROUP_FUNCTIONS, _group_check),
    # 0 for done, another value for a failed request.
    **dict.fromkeys(("Kpxadac16_LockBoard", "Kpxadac16_UnlockBoard", "Kpxadac16_GetProfiling",
                     "Kpxadac16_ResetProfiling", "Kpxadac16_V360Debug", "Kpxadac16_V360Reset",
                     "TalvoReset", "TalvoFlowControl", "TalvoGetError"),
                    _request(lambda result, arguments: result != 0)),
    # FPGA memory: the bytes moved, or -1.
    **dict.fromkeys(("Kpxadac16_ReadFpgaMem", "Kpxadac16_WriteFpgaMem"),
                    _request(lambda result, arguments: result == -1)),
    # The value written, or -1: a failure only when the value was not all ones.
    "Kpxadac16_WriteReg": _request(lambda result, arguments: result == -1 and
                                   arguments[2] != 0xFFFFFFFF),
    **dict.fromkeys(("TalvoReadBuffer", "TalvoWriteBuffer", "TalvoPreloadWrite"), _transfer),
    "Kpxadac16_GetBoardStatus": _query(StatusResult, KPXBOARD_QUERY_STATUS,
                                       lambda result: result < 0),
    "Kpxadac16_GetFixedClock": _query(StatusResult, KPXBOARD_QUERY_FIXED_CLOCK,
                                      lambda result: result < 0),
    "Kpxadac16_GetBoardInfo": _query(InfoResult, KPXBOARD_QUERY_INFO, lambda result: result != 0),
    "Kpxadac16_LoadBitstreamFile": _bitstream_file,
    "Kpxadac16_LoadBitstream": _bitstream_image,
}


class _Missing:
    """Stands in for a function the loaded library does not export."""

    def __init__(self, name, path):
        self._name, self._path = name, path

    def __call__(self, *args):
        raise MissingFunctionError(f"{self._name} is not exported by {self._path}")


class _Library:
    """The declared functions as attributes; nothing else of the library is reachable."""

    def __init__(self, dll, path):
        self._dll, self.path = dll, path
        # The file the loader mapped: path when it is one, else what the system's loader chose.
        self.file = loaded_file(dll, path)
        # An older library is refused here, by its version, before a missing function can fail.
        version_function = getattr(dll, "KpxBoard_LibraryVersion", None)
        version = None
        if version_function is not None:
            version_function.restype, version_function.argtypes = c_char_p, []
            version = (version_function() or b"").decode("ascii", "replace")
        refusal = library_refusal(version, self.file)
        if refusal:
            raise LibraryVersionError(refusal, self.file)
        self.version = version
        self.missing = []
        for name, restype, argtypes in FUNCTIONS:
            try:
                function = getattr(self._dll, name)
            except AttributeError:
                self.missing.append(name)
                setattr(self, name, _Missing(name, self.path))
                continue
            function.restype = restype
            function.argtypes = list(argtypes)
            if name in CHECKS:
                function.errcheck = CHECKS[name](self)
            setattr(self, name, function)


class _LazyLibrary:
    """Loads the library at the first attribute asked for, then is just a front for it."""

    _loaded = None

    def __getattr__(self, name):
        if _LazyLibrary._loaded is None:
            _LazyLibrary._loaded = _Library(*load_library())
        return getattr(_LazyLibrary._loaded, name)


lib = _LazyLibrary()
