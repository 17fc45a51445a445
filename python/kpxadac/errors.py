"""Exceptions raised by the package."""


class KpxadacError(Exception):
    """Base of every error the package raises for a failed board operation."""


class LibraryNotFoundError(KpxadacError, OSError):
    """The shared library could not be loaded; `tried` lists (place, reason) pairs."""

    def __init__(self, tried):
        self.tried = list(tried)
        lines = "\n".join(f"  {place}: {reason}" for place, reason in self.tried)
        super().__init__(
            "the KPX-ADAC library (libkpxadac) could not be loaded; tried:\n" + lines +
            "\nSet KPXADAC_LIBRARY to the library's path, or install the SDK.")


class ResponseLibraryNotFoundError(LibraryNotFoundError):
    """The response library (libkpxadac_response) that kpxadac.response needs could not be
    loaded; `tried` lists (place, reason) pairs. The rest of the package works without it."""

    def __init__(self, tried):
        self.tried = list(tried)
        lines = "\n".join(f"  {place}: {reason}" for place, reason in self.tried)
        KpxadacError.__init__(
            self,
            "kpxadac.response needs the KPX-ADAC response library (libkpxadac_response), which "
            "could not be loaded; tried:\n" + lines +
            "\nInstall it (Debian: the package libkpxadac-response1; the kpxadac wheels and the "
            "Windows installer carry it), or set KPXADAC_RESPONSE_LIBRARY to its path.")


class LibraryVersionError(LibraryNotFoundError):
    """The library that was found is older than this package (or does not say its version)."""

    def __init__(self, message, path):
        self.path = path
        self.tried = [(path, message)]
        KpxadacError.__init__(self, message)


class MissingFunctionError(KpxadacError):
    """The loaded library does not export a function this package declares."""


class RackError(KpxadacError):
    """The rack cannot be opened or used now (another Rack is open, the rack is closed, ...)."""


class BoardNotFoundError(RackError, IndexError):
    """No registered board of that type and index."""


class RequestError(KpxadacError):
    """A board operation failed; `code` is the library's result and `meaning` its text."""

    def __init__(self, operation, code, meaning):
        self.operation = operation
        self.code = code
        self.meaning = meaning
        super().__init__(f"{operation} failed: result {int(code)} ({meaning})")


class BoardBusyError(RequestError):
    """The board was not idle."""


class TransferError(RequestError):
    """A streaming transfer moved nothing; `last_error` is the board's BoardError."""

    def __init__(self, operation, last_error, meaning=None):
        self.last_error = last_error
        name = getattr(last_error, "name", last_error)
        super().__init__(operation, 0, f"last error {name}" + (f": {meaning}" if meaning else ""))


class BitstreamError(RequestError):
    """The FPGA was not configured; `code` is the load's result (an IntEnum when it is one
    of the library's codes, else the driver's own result word)."""


class StreamError(RequestError):
    """A stream call was refused or the stream failed; `code` is a StreamResult."""


class RecordsError(RequestError):
    """The records engine refused a setting or a call; `code` is its KPXRECORDS_* result."""


class WaveformError(RequestError, ValueError):
    """The waveform generator refused a setting (its KPXWAVE_ERR_* `code`); a ValueError,
    as the refusals of waveform settings were before."""


class PlotUnavailableError(KpxadacError, ImportError):
    """A drawing was asked for and matplotlib cannot be imported; the message says how to
    install it."""


class GroupError(RequestError):
    """The group refused a call or a setting (its KPXGROUP_ERR_* `code`, with the library's
    text); an alignment that is not trustworthy is an AlignmentError."""


class AlignmentError(GroupError):
    """KpxGroup_Measure found some board's alignment not trustworthy (too weak, ambiguous
    for a periodic reference, a window too short): `alignments` holds every board's result,
    each with its `result` code and the library's `meaning`; nothing was applied."""

    def __init__(self, operation, code, meaning, alignments):
        self.alignments = alignments
        super().__init__(operation, code, meaning)
