"""KPX-ADAC boards from Python: the board access library through ctypes, with
numpy arrays for samples.

    import kpxadac
    with kpxadac.Rack() as rack:
        board = rack.adc(0)
        samples = board.read(1 << 20)          # int16, one TalvoReadBuffer
        recording = board.capture(seconds=0.01)

See docs/python.md. `kpxadac._binding.lib` is the low layer: every function of
kpxadac16.h, kpxadc.h, kpxadac_stream.h, kpxadac_board.h, kpxadac_records.h and
kpxadac_waveform.h with the headers' types, and one error check per family.

The modules, as the C parts: board (kpxadac16.h, kpxadac_board.h) and adc (kpxadc.h);
stream, records, playback and group (the live parts); recording (the data, no I/O) and
sigmf (its files).
"""

from . import enums, plot, response, sigmf, waveforms
from .board import Board, ErrorCounts, V360Snapshot
from .enums import (BitstreamFileResult, BitstreamImageResult, BoardError, BoardState, BoardType,
                    FixedClock, InfoResult, SequenceStart, SequenceWait, StatusResult, StreamClock,
                    StreamEnd, StreamResult, StreamSetup)
from .errors import (AlignmentError, BitstreamError, BoardBusyError, BoardNotFoundError,
                     GroupError, KpxadacError, LibraryNotFoundError, LibraryVersionError,
                     MissingFunctionError, PlotUnavailableError, RackError, RecordsError,
                     RequestError, ResponseLibraryNotFoundError, StreamError, TransferError,
                     WaveformError)
from .group import Group, GroupBlock
from .playback import Playback, Underrun
from .rack import Rack
from .recording import Gap, GroupRecording, Recording, Records
from .records import RecordsRun
from .stream import Block, Stream, TransmitStream

from ._version import VERSION as __version__


def library_path():
    """The absolute path of the library file this package loaded (loading it now if it was
    not yet): the wheel's own, KPXADAC_LIBRARY's, the installed prefix's or the system's."""
    from ._binding import lib
    return lib.file


def library_version():
    """The loaded library's version ("1.0.0"); never older than `__version__`."""
    from ._binding import lib
    return lib.version

__all__ = [
    "Rack", "Board", "Stream", "TransmitStream", "Block", "Recording", "Gap", "ErrorCounts", "V360Snapshot",
    "Playback", "Underrun", "response", "sigmf", "waveforms", "enums", "BoardType", "BoardState", "BoardError", "StatusResult", "InfoResult",
    "FixedClock", "BitstreamFileResult", "BitstreamImageResult", "SequenceStart", "SequenceWait",
    "StreamSetup", "StreamClock", "StreamEnd", "StreamResult", "KpxadacError",
    "LibraryNotFoundError", "MissingFunctionError", "RackError", "BoardNotFoundError",
    "RequestError", "BoardBusyError", "TransferError", "BitstreamError", "StreamError",
    "Records", "RecordsRun", "RecordsError", "WaveformError", "LibraryVersionError",
    "ResponseLibraryNotFoundError",
    "library_path", "library_version", "__version__", "plot", "PlotUnavailableError",
    "Group", "GroupBlock", "GroupRecording", "GroupError", "AlignmentError",
]
