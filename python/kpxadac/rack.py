"""The rack: the boards the library registers, as a context manager.

The library's registry is process-wide and every enumeration registers the
boards again under new handles, so one Rack at a time is open in a process:
entering a second Rack while one is open (or while boards registered by
direct library calls exist) raises RackError. After a Rack is closed a new
one may be opened; it enumerates afresh, and the boards of the old one are
closed for good (every call on them raises RackError).
"""

import ctypes
import threading

from . import _checks
from ._context import OpenedInWith
from ._binding import INVALID_HANDLE, KpxBoardDescription, lib
from .board import Board
from .enums import BoardType
from .errors import BoardNotFoundError, RackError
from .group import Group

DEVICES = range(0, 65)  # the device numbers the library's enumeration opens


class Rack(OpenedInWith):
    """`with kpxadac.Rack() as rack:` opens devices 0 to 64 (or `devices`) and
    registers each board that answers, device by device so that each board's
    device number is known (the same opens and registrations as
    Kpxadac16_Open); leaving the block calls Kpxadac16_CloseAll."""

    _open_rack = None
    _lock = threading.Lock()

    def __init__(self, devices=None):
        if devices is None:
            devices = DEVICES
        self._devices = [_checks.unsigned(d, "device", 0xFF) for d in devices]
        self._boards = []
        self.closed = True
        self._entered = False

    def open(self):
        with Rack._lock:
            if self._entered:
                raise RackError("a Rack is opened once; make a new Rack")
            if Rack._open_rack is not None:
                raise RackError("another Rack is open in this process; close it first "
                                "(the library's registry is process-wide)")
            if _registered(BoardType.ADC) or _registered(BoardType.DAC):
                raise RackError("boards are already registered in this process by direct "
                                "library calls; Kpxadac16_CloseAll them first")
            self._entered = True
            self.closed = False
            Rack._open_rack = self
            try:
                self._enumerate()
            except BaseException:
                self._close_locked()
                raise
        return self

    def _enumerate(self):
        for device in self._devices:
            lib.Kpxadac16_OpenBoard(device)
        problem = lib.KpxBoard_PlatformProblem().decode(errors="replace")
        if problem:
            # Not an empty rack: the boards asked for could not be set up.
            raise RackError(f"no boards: {problem}")
        # The library's descriptions come in device order, with each board's index.
        for position in range(lib.KpxBoard_Count()):
            description = KpxBoardDescription()
            lib.KpxBoard_Describe(position, ctypes.byref(description))
            board = Board(self, description.handle, description.type, description.index,
                          description.device)
            board.ident = bytes(description.ident[:5])
            self._boards.append(board)

    def close(self):
        """Closes every stream and every board (Kpxadac16_CloseAll). Closing twice is fine."""
        with Rack._lock:
            self._close_locked()

    def _close_locked(self):
        if self.closed:
            return
        for board in self._boards:
            for stream in list(board._streams):
                stream.close()
        lib.Kpxadac16_CloseAll()
        self.closed = True
        if Rack._open_rack is self:
            Rack._open_rack = None

    def _check_open(self):
        if self.closed:
            raise RackError("the Rack is not open; use it in a with block")

    @property
    def boards(self):
        """The boards found, in the order of their device numbers."""
        self._check_open()
        return list(self._boards)

    def _forget(self, board):
        """A board was closed on its own: it leaves the list and the later boards of its
        type move down one index, as in the library's registry."""
        self._boards.remove(board)
        for other in self._boards:
            if other.type == board.type and other.index > board.index:
                other.index -= 1

    def _board(self, board_type, index):
        self._check_open()
        index = _checks.integer(index, "index")
        of_type = [b for b in self._boards if b.type == board_type]
        if not 0 <= index < len(of_type):
            raise BoardNotFoundError(f"no {board_type.name} board with index {index} "
                                     f"({len(of_type)} registered)")
        return of_type[index]

    def adc(self, index=0):
        """The `index`-th ADC board."""
        return self._board(BoardType.ADC, index)

    def dac(self, index=0):
        """The `index`-th DAC board."""
        return self._board(BoardType.DAC, index)

    def group(self, indexes, type=BoardType.ADC, **options):
        """A Group (kpxadac.group) of the boards of `type` with these indexes, not yet
        open: capture() opens it, as does `with`. Options: block_samples, blocks, setup,
        gaps ("drop" or "flag"), timeout."""
        if isinstance(indexes, (str, bytes)) or not hasattr(indexes, "__iter__"):
            raise TypeError("indexes must be a list of board indexes")
        board_type = BoardType(type) if not isinstance(type, str) else BoardType[type.upper()]
        return Group([self._board(board_type, index) for index in indexes], **options)


def _registered(board_type):
    return lib.Kpxadac16_GetHandle(board_type, 0) != INVALID_HANDLE
