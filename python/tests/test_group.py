"""Groups of boards from Python: rack.group() captures on one sample index, the
library's refusals as GroupError, iteration, and kpxadac.sigmf.load_collection
reading kpxadac-capture's collections back aligned (and refusing bad ones)."""

import hashlib
import json
import os
import subprocess

import numpy as np
import pytest

import kpxadac
from kpxadac import sigmf

from conftest import source_path

# Three boards on one noise source, at their own places on the rack's timeline:
# board 1 is 40 samples behind board 0, board 2 5000 ahead.
SHARED_NOISE = {
    "sources": {"ref": {"type": "noise", "amplitude_dbfs": -20, "seed": 9}},
    "boards": [{"device": 0, "input": "ref", "timeline_offset": 40},
               {"device": 1, "input": "ref"},
               {"device": 2, "input": "ref", "timeline_offset": 5040}]}
TRUE_OFFSETS = [0, -40, 5000]
CAPTURE = os.environ.get("KPXADAC_CAPTURE")


@pytest.mark.rack(SHARED_NOISE)
def test_group_capture_measures_the_offsets_and_aligns_every_board(rack):
    recording = rack.group([0, 1, 2], block_samples=8192).capture(samples=40000, align="measure")
    assert recording.samples.shape == (3, 40000) and recording.samples.dtype == np.int16
    assert recording.offsets == pytest.approx(TRUE_OFFSETS, abs=0.05)
    assert recording.alignment == "measure"
    assert np.array_equal(recording.samples[1], recording.samples[0])
    assert np.array_equal(recording.samples[2], recording.samples[0])
    assert recording.gaps == [[], [], []]
    # Given offsets align them the same way; none leaves them as started.
    given = rack.group([2, 0]).capture(samples=5000, align=[0, -5000])
    assert np.array_equal(given.samples[0], given.samples[1])
    assert given.alignment == "offsets"


@pytest.mark.rack(SHARED_NOISE)
def test_refusals_raise_with_the_library_text(rack):
    cases = [  # (call, exception, words of the message)
        (lambda: rack.group([1, 1]).capture(samples=10), kpxadac.GroupError,
         "a board is named twice"),
        (lambda: rack.group([0, 1]).capture(samples=10, align=[0]), ValueError,
         "1 offsets for 2 boards"),
        (lambda: rack.group([0, 1]).capture(samples=10, align=[0, float("nan")]), ValueError,
         "finite"),
        (lambda: rack.group([0, 1]).capture(samples=10, align="sideways"), ValueError,
         "align must be"),
        (lambda: rack.group([0, 7]), kpxadac.BoardNotFoundError, "no ADC board with index 7"),
        (lambda: rack.group("01"), TypeError, "list of board indexes"),
        (lambda: rack.group([0, 1], gaps="keep"), ValueError, "gaps must be"),
    ]
    for call, exception, words in cases:
        with pytest.raises(exception) as raised:
            call()
        assert words in str(raised.value), str(raised.value)


@pytest.mark.rack(SHARED_NOISE)
def test_iteration_gives_aligned_blocks_until_stopped(rack):
    with rack.group([0, 1], block_samples=4096) as group:
        group.start()
        group.set_offsets([0, -40])
        blocks = []
        for block in group:
            blocks.append(block)
            if len(blocks) == 3:
                group.stop()
        status = group.status()
    assert len(blocks) >= 3
    for block in blocks:
        assert block.samples.shape == (2, 4096)
        assert np.array_equal(block.samples[0], block.samples[1])
    assert [b.index for b in blocks[:3]] == [0, 4096, 8192]
    assert status.offsets == [0, -40] and status.skips == [0, 40]


def _sha512(path):
    with open(path, "rb") as opened:
        return hashlib.sha512(opened.read()).hexdigest()


@pytest.mark.skipif(CAPTURE is None, reason="kpxadac-capture not built")
def test_a_captured_collection_reads_back_aligned_and_checked(tmp_path):
    env = dict(os.environ, KPXADAC_SIM=json.dumps(SHARED_NOISE))
    run = subprocess.run([CAPTURE, "--index", "0,1,2", "--align", "measure", "--samples",
                          "20000", "--block-samples", "4096", "--format", "sigmf", "-o", "run"],
                         cwd=tmp_path, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True)
    assert run.returncode == 0, run.stdout
    group = sigmf.load_collection(tmp_path / "run.sigmf-collection", verify=True)
    assert group.samples.shape == (3, 20000)
    assert group.boards == [0, 1, 2] and group.alignment == "measure"
    assert group.offsets == pytest.approx(TRUE_OFFSETS, abs=0.05)
    assert np.array_equal(group.samples[1], group.samples[0])
    assert np.array_equal(group.samples[2], group.samples[0])
    # The samples skipped to align (and the measuring window) precede sample 0.
    assert group.first_index[2] < group.first_index[0] < group.first_index[1]
    assert sigmf.load_collection(tmp_path / "run").boards == [0, 1, 2]  # the base name too

    # A recording changed since the collection was written is refused by its hash.
    meta = tmp_path / "run-1.sigmf-meta"
    text = meta.read_text()
    meta.write_text(text.replace('"kpxadac:state"', ' "kpxadac:state"', 1))
    with pytest.raises(sigmf.SigMFError, match="SHA-512"):
        sigmf.load_collection(tmp_path / "run")
    assert sigmf.load_collection(tmp_path / "run", check_hashes=False).samples.shape == (3, 20000)
    meta.write_text(text)

    # Not a regular file where the collection should be: refused, never waited on.
    if hasattr(os, "mkfifo"):
        os.mkfifo(tmp_path / "fifo.sigmf-collection")
        with pytest.raises(sigmf.SigMFError, match="FIFO"):
            sigmf.load_collection(tmp_path / "fifo")
    os.mkdir(tmp_path / "folder.sigmf-collection")
    with pytest.raises(sigmf.SigMFError, match="directory"):
        sigmf.load_collection(tmp_path / "folder")
    # A collection larger than the bound is not read.
    with pytest.raises(sigmf.SigMFError, match="more than"):
        sigmf.load_collection(tmp_path / "run", max_meta_bytes=100)


def test_shared_collection_cases(tmp_path):
    """tests/sigmf/collections.json, which tests/capture reads with the tools' reader too;
    the good cases get recordings written for their streams, with the hashes the case gives
    replaced by the real ones."""
    with open(source_path("tests/sigmf/collections.json"), encoding="utf-8") as cases:
        cases = json.load(cases)["cases"]
    for name, case in cases.items():
        folder = tmp_path / name
        folder.mkdir()
        document = case["collection"]
        if "error" in case:
            (folder / "c.sigmf-collection").write_text(json.dumps(document))
            with pytest.raises(sigmf.SigMFError) as raised:
                sigmf.load_collection(folder / "c")
            assert case["error"] in str(raised.value), (name, str(raised.value))
            continue
        streams = document["collection"]["core:streams"]
        for position, stream in enumerate(streams):
            stream_name = stream["name"] if isinstance(stream, dict) else stream[0]
            kpxadac.Recording(np.arange(100, dtype=np.int16) * (position + 1), 1e6).save_sigmf(
                folder / stream_name)
            digest = _sha512(folder / (stream_name + ".sigmf-meta"))
            if isinstance(stream, dict):
                stream["hash"] = digest.upper()  # either case is read
            else:
                stream[1] = digest
        (folder / "c.sigmf-collection").write_text(json.dumps(document))
        group = sigmf.load_collection(folder / "c.sigmf-collection")
        expect = case["expect"]
        assert group.samples.shape == (len(expect["streams"]), 100), name
        assert np.array_equal(group.samples[-1], np.arange(100) * len(streams)), name
        for key in ("boards", "offsets", "drifts_ppm", "alignment"):
            if key in expect:
                assert getattr(group, key) == expect[key], (name, key)
        if "start_skew" in expect:
            assert group.start_skew == expect["start_skew"], name


@pytest.mark.rack({"sources": {"ref": {"type": "tone", "frequency_hz": 1e6}},
                   "boards": [{"device": 0, "input": "ref"},
                              {"device": 1, "input": "ref", "timeline_offset": 3}]})
def test_a_periodic_reference_is_refused_with_every_boards_result(rack):
    with pytest.raises(kpxadac.AlignmentError) as raised:
        rack.group([0, 1]).capture(samples=1000, align="measure")
    alignments = raised.value.alignments
    assert len(alignments) == 2 and alignments[0].result == 0
    assert alignments[1].result != 0 and alignments[1].meaning  # the library's words
    assert "ambiguous" in alignments[1].meaning or "periodic" in alignments[1].meaning
