"""Boards that work as one: the library's group (kpxadac_group.h) from Python.

    with kpxadac.Rack() as rack:
        group = rack.group([0, 1, 2])
        recording = group.capture(samples=1 << 20, align="measure")
        recording.samples          # (3, 1 << 20) int16, column i one instant
        recording.offsets          # each board's offset against board 0, samples

        with rack.group([0, 1]) as live:        # continuous: iterate the blocks
            live.start()
            for block in live:
                block.samples, block.index, block.lost

One group opens one stream per board inside the library and starts them back to back;
this module only takes the aligned blocks out and gives them back (docs/groups.md).
"""

import ctypes
from collections import namedtuple

import numpy as np

from . import _checks
from ._binding import (KPXGROUP_MAX_BOARDS, KpxGroup, KpxGroupAlignment, KpxGroupBlock,
                       KpxGroupConfig, KpxGroupOpenInfo, KpxGroupStatus, lib)
from ._context import OpenedInWith
from .enums import BoardType, setup_choice
from .errors import AlignmentError, GroupError
from .recording import Gap, GroupRecording, Recording
from .stream import RECEIVE, TRANSMIT, wait_in_steps

# Result codes of kpxadac_group.h that are no refusal.
OK, TIMEOUT, STOPPED, COMPLETE, BOARD_FAILED = 0, 1, 2, 3, 4
ERR_STATE = -12
ERR_ALIGNMENT = -17
GAPS = {"flag": 0, "drop": 1}  # KPXGROUP_GAPS_FLAG, KPXGROUP_GAPS_DROP
ALIGN_OK = 0
DEFAULT_WINDOW = 65536

Alignment = namedtuple("Alignment", "offset drift_ppm peak second_peak peak_to_noise result "
                       "meaning")
Alignment.__doc__ = """One board's alignment against the group's first board: `offset`
(samples: the board's sample n is board 0's sample n + offset), `drift_ppm`, the
correlation's `peak`, `second_peak` (as a fraction of the peak), `peak_to_noise`,
`result` (0 when trustworthy) and the library's `meaning` of it."""

GroupBlock = namedtuple("GroupBlock", "samples index dropped_before board_index lost flags")
GroupBlock.__doc__ = """A block of every board on the group index: `samples` ((boards, n)
int16, a copy), `index` (group index of column 0), `dropped_before` (group samples not
delivered right before it: a gap of some board), `board_index` (each board's own index
of column 0), `lost` (each board's samples of the block it lost, read as 0 with the
"flag" policy) and `flags`."""

GroupStatus = namedtuple("GroupStatus", "running ended end_result failed_board rate "
                         "start_skew_ns start_skew group_samples dropped_samples "
                         "offsets_applied offsets_measured offsets skips lost_samples "
                         "dropped_by_group")


def _text(function, code):
    return function(code).decode("utf-8", "replace")


class Group(OpenedInWith):
    """A group of 1 to 64 boards of one type (ADC: receive, DAC: transmit), one clock
    choice and one block size. Use in `with`, or open() and close(). rack.group()
    makes one."""

    def __init__(self, boards, block_samples=65536, blocks=16, setup=None, gaps="drop",
                 timeout=1.0):
        boards = list(boards)
        if not 1 <= len(boards) <= KPXGROUP_MAX_BOARDS:
            raise ValueError(f"a group has 1 to {KPXGROUP_MAX_BOARDS} boards, not {len(boards)}")
        kinds = {board.type for board in boards}
        if len(kinds) != 1:
            raise ValueError("a group's boards are all ADC boards or all DAC boards")
        self.boards = boards
        self._direction = RECEIVE if kinds.pop() == BoardType.ADC else TRANSMIT
        self.block_samples = _checks.integer(block_samples, "block_samples")
        self._blocks = _checks.integer(blocks, "blocks")
        self._setup = setup_choice(setup)
        if gaps not in GAPS:
            raise ValueError(f'gaps must be "flag" or "drop", not {gaps!r}')
        self._gaps = gaps
        self._timeout_ms = max(1, int(_checks.positive(timeout, "timeout",
                                                       _checks.INT32_MAX / 1000) * 1000))
        self._group = ctypes.POINTER(KpxGroup)()
        self._started = False

    def __repr__(self):
        return f"<kpxadac.Group of boards {[b.index for b in self.boards]}>"

    # ---- Opening and closing ------------------------------------------------------

    def open(self):
        """Opens one stream per board (the library checks the boards: a board twice, one
        already streaming, a block size it does not take: GroupError with its text)."""
        if self._group:
            raise GroupError("KpxGroup_Open", ERR_STATE, "the group is already open")
        config = KpxGroupConfig(direction=self._direction, count=len(self.boards),
                                setup=self._setup, blockSamples=self.block_samples,
                                blockCount=self._blocks, gapPolicy=GAPS[self._gaps])
        for position, board in enumerate(self.boards):
            board._rack._check_open()
            config.boards[position] = board.index
        info = KpxGroupOpenInfo(position=-1)
        try:
            lib.KpxGroup_Open(config, ctypes.byref(self._group), info)
        except GroupError as error:
            if 0 <= info.position < len(self.boards):
                error.board = self.boards[info.position]
                error.args = (f"{error.args[0]} (board {self.boards[info.position].index})",)
            raise
        for board in self.boards:
            board._streams.add(self)
        return self

    def close(self):
        """Stops every board and closes the group. Twice is fine."""
        if not self._group:
            return
        group, self._group = self._group, ctypes.POINTER(KpxGroup)()
        lib.KpxGroup_Close(group)
        self._started = False
        for board in self.boards:
            board._streams.discard(self)

    def _live(self):
        if not self._group:
            raise GroupError("using a group", ERR_STATE, "the group is not open")
        return self._group

    def start(self):
        """Starts every board's stream, back to back; status().start_skew says how far
        apart (samples, an upper bound)."""
        lib.KpxGroup_Start(self._live())
        self._started = True

    def stop(self):
        """Stops every board (from any thread)."""
        lib.KpxGroup_Stop(self._live())

    def status(self):
        s = KpxGroupStatus()
        lib.KpxGroup_GetStatus(self._live(), s)
        count = len(self.boards)
        return GroupStatus(bool(s.running), bool(s.ended), s.endResult, s.failedBoard,
                           s.sampleRateHz, s.startSkewNs, s.startSkewSamples, s.groupSamples,
                           s.droppedSamples, bool(s.offsetsApplied), bool(s.offsetsMeasured),
                           list(s.offsets[:count]), list(s.skips[:count]),
                           list(s.lostSamples[:count]), list(s.droppedByGroup[:count]))

    # ---- Alignment ----------------------------------------------------------------

    def measure(self, window=DEFAULT_WINDOW, apply=True):
        """Reads `window` samples of every board (not delivered) and measures each board's
        offset and drift against the first board from a reference they all see; with
        `apply`, the offsets are applied when every board's result is trustworthy.
        Returns an Alignment per board; an untrustworthy one raises AlignmentError with
        all of them (nothing applied)."""
        window = _checks.unsigned(window, "window", _checks.UINT64_MAX)
        results = (KpxGroupAlignment * len(self.boards))()
        try:
            result = lib.KpxGroup_Measure(self._live(), window, results, 1 if apply else 0,
                                          self._timeout_ms)
        except GroupError as error:
            if error.code != ERR_ALIGNMENT:
                raise
            raise AlignmentError(error.operation, error.code, error.meaning,
                                 self._alignments(results)) from None
        if result != OK:  # the window did not come: a time-out, or the group ended
            text = _text(lib.KpxGroup_ResultText, result)
            if result == TIMEOUT:
                raise TimeoutError(f"KpxGroup_Measure: {text}")
            raise GroupError("KpxGroup_Measure", result, text)
        return self._alignments(results)

    def _alignments(self, results):
        return [Alignment(r.offset, r.drift * 1e6, r.peak, r.secondPeak, r.peakToNoise,
                          r.result, _text(lib.KpxGroup_AlignText, r.result)) for r in results]

    def set_offsets(self, offsets):
        """Applies offsets given by the caller, one per board (the first 0), as measured
        once with cables that do not change."""
        values = [_checks.number(o, "offset") for o in offsets]
        array = (ctypes.c_double * len(values))(*values)
        lib.KpxGroup_SetOffsets(self._live(), array, len(values))

    # ---- Reading ------------------------------------------------------------------

    def next_block(self, timeout=None):
        """The next aligned block of every board, or None once the group has ended.
        `timeout` (seconds) bounds the wait (TimeoutError); a failed board raises
        GroupError(BOARD_FAILED)."""
        group = self._live()
        wait = None if timeout is None else _checks.wait_ms(timeout)
        block = KpxGroupBlock()
        result = wait_in_steps(lambda ms: lib.KpxGroup_AcquireRead(group, block, ms), wait,
                               self._timeout_ms, TIMEOUT)
        if result == TIMEOUT:
            raise TimeoutError(f"no block within {timeout} s")
        if result in (STOPPED, COMPLETE):
            return None
        if result == BOARD_FAILED:
            failed = self.status().failed_board
            raise GroupError("KpxGroup_AcquireRead", result,
                             _text(lib.KpxGroup_ResultText, result) +
                             (f" (board {self.boards[failed].index})"
                              if 0 <= failed < len(self.boards) else ""))
        count, length = block.count, block.samples
        samples = np.empty((count, length), np.int16)
        try:
            for b in range(count):
                ctypes.memmove(samples[b].ctypes.data, block.boards[b].samples, length * 2)
        finally:
            lib.KpxGroup_ReleaseRead(group, block)
        return GroupBlock(samples, block.groupIndex, block.droppedBefore,
                          [block.boards[b].boardIndex for b in range(count)],
                          [block.boards[b].lost for b in range(count)], block.flags)

    def __iter__(self):
        while True:
            block = self.next_block()
            if block is None:
                return
            yield block

    def capture(self, samples, align="none", window=DEFAULT_WINDOW):
        """Opens and starts the group (if it is not), aligns it (`align`: "none",
        "measure", or a list of offsets, one per board) and takes `samples` samples of
        every board: a GroupRecording with `samples` ((boards, samples) int16), the
        `offsets` applied, drifts, start skew and each board's gaps."""
        samples = _checks.unsigned(samples, "samples", _checks.UINT64_MAX // 4)
        if samples == 0:
            raise ValueError("samples must be positive")
        if self._direction != RECEIVE:
            raise ValueError("capture() reads ADC boards; a DAC group plays")
        offsets = None
        if isinstance(align, str):
            if align not in ("none", "measure"):
                raise ValueError(f'align must be "none", "measure" or a list of offsets, '
                                 f"not {align!r}")
        else:
            offsets = [_checks.number(o, "offset") for o in align]
            if len(offsets) != len(self.boards):
                raise ValueError(f"align gives {len(offsets)} offsets for "
                                 f"{len(self.boards)} boards")
        opened = not self._group
        if opened:
            self.open()
        try:
            return self._capture(samples, align, offsets, window)
        finally:
            if opened:
                self.close()

    def _capture(self, samples, align, offsets, window):
        if not self._started:
            self.start()
        drifts = [0.0] * len(self.boards)
        if offsets is not None:
            self.set_offsets(offsets)
        elif align == "measure":
            drifts = [a.drift_ppm for a in self.measure(window)]
        status = self.status()
        rate = status.rate if status.rate > 0 else None
        out = np.empty((len(self.boards), samples), np.int16)
        gaps = [[] for _ in self.boards]
        next_index = [None] * len(self.boards)
        filled = 0
        while filled < samples:
            block = self.next_block()
            if block is None:
                break
            take = min(samples - filled, block.samples.shape[1])
            for b, index in enumerate(block.board_index):
                if next_index[b] is None:
                    if index:
                        gaps[b].append(Gap(0, index, index))
                elif index > next_index[b]:
                    gaps[b].append(Gap(filled, index, index - next_index[b]))
                next_index[b] = index + block.samples.shape[1]
            out[:, filled:filled + take] = block.samples[:, :take]
            filled += take
        self.stop()
        status = self.status()
        recordings = [Recording(out[b, :filled], rate, gaps=gaps[b])
                      for b in range(len(self.boards))]
        return GroupRecording(recordings, [b.index for b in self.boards], status.offsets,
                              drifts, status.start_skew,
                              "none" if align == "none" else
                              ("measure" if align == "measure" else "offsets"))
