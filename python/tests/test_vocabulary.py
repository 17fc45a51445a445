"""One vocabulary: the old names beside the new, one error check per family of
the library's functions with the library's texts, the clock as the library
decides it, and modules that import each other in one direction only."""

import ast
import ctypes
import enum
import importlib
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import kpxadac
from kpxadac import (BitstreamError, RecordsError, RequestError, StreamClock, StreamError,
                     StreamSetup, TransferError, WaveformError, waveforms)
from kpxadac._binding import INVALID_HANDLE, KpxBoardDescription, KpxRecordsConfig, lib
from kpxadac.enums import BoardError, InfoResult, StatusResult, StreamResult

RACK = {"boards": [{"device": 0, "sequence_reads": 20, "sequence_result": 4},
                   {"device": 1, "board_id": "0x86"}]}


def text(function, code):
    return getattr(lib, function)(int(code)).decode()


@pytest.mark.rack(RACK)
def test_old_names_give_what_the_new_ones_give(rack):
    adc = rack.adc(0)
    # Each old name answers as its new name, in both states it can tell apart.
    adc.set_run_state(True)
    adc.select_sequence(1)
    assert adc.start_sequence() is kpxadac.SequenceStart.STARTED
    assert adc.sequence_running is True and adc.sequence_state2 is True
    assert adc.wait_sequence(100) is kpxadac.SequenceWait.DONE
    assert adc.sequence_running is False and adc.sequence_state2 is False

    # start_receiving: the clock choice as stream() says it, and the old words.
    fixed, synthesizer = adc.clock_rate(StreamClock.FIXED), adc.clock_rate(StreamClock.SYNTHESIZER)
    assert fixed != synthesizer and fixed > 0 and synthesizer > 0
    reported = adc.clock_rate(adc.reported_clock)
    for args, kwargs, rate in [((), {}, reported), ((None,), {}, reported),
                               (("fixed",), {}, fixed), ((), {"clock": "synthesizer"}, synthesizer),
                               ((), {"clock": "fixed"}, fixed),
                               ((StreamSetup.SYNTHESIZER,), {}, synthesizer),
                               ((), {"setup": StreamSetup.FIXED_CLOCK}, fixed),
                               ((StreamSetup.AUTO_CLOCK,), {}, reported)]:
        assert adc.start_receiving(*args, **kwargs) == rate, (args, kwargs)
        assert adc.sample_rate == rate
    # The old words are a clock choice wherever one is taken.
    for word, clock in (("fixed", StreamClock.FIXED), ("synthesizer", StreamClock.SYNTHESIZER)):
        with adc.stream(block_samples=1024, blocks=2, setup=word) as stream:
            assert stream.status().clock is clock
            assert stream.rate == adc.clock_rate(clock)
    for call, exception in [(lambda: adc.start_receiving("auto"), ValueError),
                            (lambda: adc.start_receiving(StreamSetup.NONE), ValueError),
                            (lambda: adc.start_receiving("fixed", clock="fixed"), TypeError),
                            (lambda: adc.stream(setup=7), ValueError),
                            (lambda: adc.stream(setup=1.0), TypeError),
                            (lambda: adc.clock_rate(5), ValueError)]:
        with pytest.raises(exception):
            call()


# Every public name of the board and records modules before the split, and every
# attribute of a Board users called: all still there.
OLD_PUBLIC_NAMES = {
    "board": "Board ErrorCounts V360Snapshot V360_FIELDS Registers CustomRegisters OPTION_BITS "
             "CLOCK_SOURCES describe",
    "records": "Records RecordsRun records Counts Record UNTRIGGERED FALLING EDGES",
    "recording": "Recording Gap Segment segments",
    "stream": "Stream TransmitStream Block StreamStatus capture wait_in_steps RECEIVE TRANSMIT "
              "COUNTERS_UNREAD",
    "Board": "handle status fixed_clock identification state last_error record read_total "
             "write_total close read_memory write_memory load_bitstream load_bitstream_image "
             "lock unlock profiling reset_profiling v360_debug v360_reset read read_into write "
             "cancel_read cancel_write preload_write reset_channel flow_control error_counts "
             "stream transmit play capture records iter_records set_clock_source clock_source "
             "set_clock_mode set_clock_flags program_clock reset_clock clock_ready clock_bit "
             "set_clock_bit set_run_state running set_run_bit3 start_receiving label "
             "sample_rate open_front_end control_bits set_control_bit_pair set_control_bit "
             "status_bit set_table_control load_table set_table_bit18 table_entry read_table "
             "set_option_bit option_bit0 select_sequence set_sequence_word set_sequence_mode "
             "start_sequence wait_sequence sequence_state2",
}


def test_old_module_names_are_the_same_objects():
    for where, names in OLD_PUBLIC_NAMES.items():
        holder = kpxadac.Board if where == "Board" else importlib.import_module(f"kpxadac.{where}")
        missing = [name for name in names.split() if not hasattr(holder, name)]
        assert missing == [], f"{where} lost {missing}"
    adc, board, recording, records = (importlib.import_module(f"kpxadac.{name}") for name in
                                      ("adc", "board", "recording", "records"))
    for old, new in [(records.Records, recording.Records), (records.Counts, recording.Counts),
                     (records.Record, recording.Record), (records.FALLING, recording.FALLING),
                     (records.UNTRIGGERED, recording.UNTRIGGERED),
                     (kpxadac.Records, recording.Records),
                     (board.CustomRegisters, adc.CustomRegisters),
                     (board.CLOCK_SOURCES, adc.CLOCK_SOURCES), (board.OPTION_BITS, adc.OPTION_BITS),
                     (kpxadac.Board.sequence_state2, kpxadac.Board.sequence_running)]:
        assert old is new
    assert issubclass(kpxadac.Board, adc.AdcFrontEnd)


@pytest.mark.rack(RACK)
def test_each_family_raises_its_exception_with_the_library_text(rack, tmp_path):
    adc = rack.adc(0)
    adc.set_run_state(False)  # a read then fails: the virtual board's time-out
    description = KpxBoardDescription()
    words = (ctypes.c_uint32 * 4)()
    info = (ctypes.c_uint8 * 6)()
    image = (ctypes.c_uint8 * 8)()
    bad_edge = KpxRecordsConfig(edge=7, post=16)
    request_failed = text("KpxBoard_ErrorText", BoardError.REQUEST_FAILED)
    # (the failing call, the family's exception, its code, the library's text for it)
    cases = [
        (lambda: lib.KpxStream_Start(None), StreamError, StreamResult.ERR_NULL,
         text("KpxStream_ResultText", StreamResult.ERR_NULL)),
        (lambda: lib.KpxBoard_DescribeHandle(INVALID_HANDLE, ctypes.byref(description)),
         RequestError, StreamResult.ERR_NO_BOARD,
         text("KpxStream_ResultText", StreamResult.ERR_NO_BOARD)),
        (lambda: lib.KpxBoard_SetFixedClockRate(adc.handle, float("nan")), RequestError,
         StreamResult.ERR_ARGUMENT, text("KpxStream_ResultText", StreamResult.ERR_ARGUMENT)),
        (lambda: lib.KpxRecords_CheckConfig(bad_edge), RecordsError, -2,
         text("KpxRecords_ResultText", -2)),
        (lambda: waveforms.tone(16, rate=1e6, frequency=1.5e6), WaveformError, -4,
         text("KpxWave_ResultText", -4)),
        (lambda: lib.Kpxadac16_LockBoard(INVALID_HANDLE), RequestError, 1, request_failed),
        (lambda: lib.Kpxadac16_V360Reset(INVALID_HANDLE), RequestError, -1, request_failed),
        (lambda: lib.Kpxadac16_ReadFpgaMem(INVALID_HANDLE, 0, 16, words), RequestError, -1,
         request_failed),
        (lambda: lib.Kpxadac16_WriteReg(INVALID_HANDLE, 0x70, 1), RequestError, -1,
         request_failed),
        (lambda: lib.Kpxadac16_GetBoardStatus(INVALID_HANDLE), RequestError,
         StatusResult.UNREGISTERED, text("KpxBoard_ErrorText", BoardError.NO_BOARD)),
        (lambda: lib.Kpxadac16_GetBoardInfo(INVALID_HANDLE, info), RequestError,
         InfoResult.UNREGISTERED, text("KpxBoard_ErrorText", BoardError.NO_BOARD)),
        (lambda: lib.Kpxadac16_LoadBitstreamFile(adc.handle, os.fsencode(tmp_path / "none.bit")),
         BitstreamError, kpxadac.BitstreamFileResult.FILE_NOT_OPENED,
         text("KpxBoard_BitstreamResultText", kpxadac.BitstreamFileResult.FILE_NOT_OPENED)),
        (lambda: lib.Kpxadac16_LoadBitstream(INVALID_HANDLE, image, 8), BitstreamError,
         kpxadac.BitstreamImageResult.UNREGISTERED,
         text("KpxBoard_ErrorText", BoardError.NO_BOARD)),
        (lambda: adc.read(1024), TransferError, 0, text("KpxBoard_ErrorText",
                                                         BoardError.READ_FAILED)),
    ]
    for call, exception, code, meaning in cases:
        with pytest.raises(exception) as raised:
            call()
        error = raised.value
        assert isinstance(error, kpxadac.KpxadacError) and error.code == code, error
        if isinstance(code, enum.IntEnum):
            assert error.code is code, error
        if meaning is not None:
            assert meaning in error.meaning, (error, meaning)
        # Named by the C function that refused.
        assert error.meaning and callable(getattr(lib, error.operation.split("(")[0])), error
    # What is no refusal comes back: a time-out, an underrun not there.
    with rack.dac(0).transmit(block_samples=1024, blocks=2) as transmit:
        gap = kpxadac._binding.KpxStreamGap()
        assert lib.KpxStream_TakeUnderrun(transmit._stream, ctypes.byref(gap)) == \
            StreamResult.TIMEOUT
    # The waveform refusals stay ValueErrors; the limit is the library's one rule:
    # every waveform up to half the rate (KpxWave_MaxFrequencyHz).
    assert issubclass(WaveformError, ValueError)
    limit = lib.KpxWave_MaxFrequencyHz(1e6)
    assert limit == 0.5e6
    assert waveforms.tone(16, rate=1e6, frequency=limit).dtype == np.int16
    assert waveforms.chirp(16, rate=1e6, start=1e3, stop=limit).dtype == np.int16
    for make in (lambda: waveforms.tone(16, rate=1e6, frequency=0.75e6),
                 lambda: waveforms.chirp(16, rate=1e6, start=1e3, stop=0.75e6)):
        with pytest.raises(ValueError):
            make()


FAILED_FIXED_CLOCK_QUERY = {"boards": [{"device": 0, "fixed_clock": 0, "faults": [
    {"op": "IOCTL_GET_FIXED_CLOCK", "error": 31}]}]}


@pytest.mark.rack(FAILED_FIXED_CLOCK_QUERY)
def test_a_failed_fixed_clock_query_is_the_fixed_clock_everywhere(adc):
    # The library's rule: any nonzero answer, a failed query included, is the fixed clock.
    with pytest.raises(RequestError) as failed:
        adc.fixed_clock
    assert failed.value.code is StatusResult.REQUEST_FAILED
    assert adc.reported_clock is StreamClock.FIXED
    plan = adc.clock_plan()
    assert (plan.clock, plan.key) == (StreamClock.FIXED, "fixed")
    with adc.stream(block_samples=1024, blocks=2) as stream:
        assert stream.status().clock is plan.clock
        assert stream.rate == plan.rate_hz == adc.clock_rate(StreamClock.FIXED)
    listing = subprocess.run([sys.executable, "-m", "kpxadac", "--json"], check=True,
                             capture_output=True, text=True).stdout
    (board,) = json.loads(listing)["boards"]
    assert board["fixed_clock"] == StatusResult.REQUEST_FAILED
    assert board["clock_source"] == "fixed"
    text_listing = subprocess.run([sys.executable, "-m", "kpxadac"], check=True,
                                  capture_output=True, text=True).stdout
    assert f"fixed clock:    {int(StatusResult.REQUEST_FAILED)} (onboard fixed clock)" in \
        text_listing


def _sibling_imports(path):
    """(module-level sibling imports, sibling imports inside functions) of a module."""
    tree = ast.parse(open(path, encoding="utf-8").read())
    top, nested = set(), []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            names = [node.module] if node.module else [alias.name for alias in node.names]
            (top.update(names) if node in tree.body or _in_try(tree, node) else
             nested.extend(names))
    return top, nested


def _in_try(tree, node):
    return any(isinstance(top, ast.Try) and node in ast.walk(top) for top in tree.body)


def test_modules_import_each_other_in_one_direction():
    package = os.path.dirname(kpxadac.__file__)
    graph = {}
    for name in sorted(os.listdir(package)):
        if name.endswith(".py") and name != "__init__.py":
            top, nested = _sibling_imports(os.path.join(package, name))
            assert nested == [], f"{name} imports {nested} inside a function"
            graph[name[:-3]] = top
    # No circle: a depth-first walk never meets a module it is still inside.
    state = {}

    def visit(module, path):
        assert state.get(module) != "open", " -> ".join(path + [module])
        if state.get(module) == "done":
            return
        state[module] = "open"
        for imported in graph.get(module, ()):
            visit(imported, path + [module])
        state[module] = "done"

    for module in graph:
        visit(module, [])
    # The data without I/O; sigmf a leaf over it.
    assert graph["recording"] == {"_checks"}
    assert graph["sigmf"] <= {"_checks", "recording"}
    assert "sigmf" not in graph["stream"] | graph["records"]
