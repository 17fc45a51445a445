"""Recordings made by kpxadac-capture with overruns, read back with their gaps;
recordings saved here, checked against the SigMF schema."""

import json
import os
import subprocess
import time
import warnings

import jsonschema
import numpy as np
import pytest

import kpxadac
from kpxadac import sigmf

from conftest import ramp, source_path

REALTIME_RAMP = json.dumps({"boards": [{"device": 0, "fixed_clock": 1,
                                        "fixed_clock_rate_hz": 1e6, "realtime": True,
                                        "fifo_depth": 4096, "signal": {"type": "ramp"}}]})


def schema_check(base):
    with open(source_path("tests/capture/data/sigmf-schema.json"), encoding="utf-8") as schema:
        with open(str(base) + ".sigmf-meta", encoding="utf-8") as meta:
            jsonschema.validate(json.load(meta), json.load(schema))


@pytest.fixture(scope="module")
def overrun_recording(tmp_path_factory):
    """A kpxadac-capture recording whose slowed writer let the board's FIFO overflow."""
    capture = os.environ.get("KPXADAC_CAPTURE")
    if not capture:
        pytest.skip("KPXADAC_CAPTURE names no kpxadac-capture")
    folder = tmp_path_factory.mktemp("capture")
    run = subprocess.run([capture, "--samples", "200000", "--sample-rate", "1e6", "--chunk", "4096",
                          "--ring", "2", "--writer-delay-ms", "20", "--format", "sigmf",
                          "-o", str(folder / "rec")], env=dict(os.environ, KPXADAC_SIM=REALTIME_RAMP),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert run.returncode == 3, run.stdout  # complete, with overruns
    return folder / "rec"


def test_a_capture_with_overruns_loads_with_its_gaps(overrun_recording):
    recording = sigmf.load(str(overrun_recording) + ".sigmf-meta", verify=True)
    assert isinstance(recording.samples, np.memmap) and len(recording.samples) == 200000
    assert recording.rate == 1e6 and recording.datetime.endswith("Z")
    overruns = [a for a in recording.annotations if a["core:label"] == "overrun"]
    assert len(recording.gaps) == len(overruns) > 0
    for gap, note in zip(recording.gaps, overruns):
        assert gap.sample_start == note["core:sample_start"]
        assert note["core:comment"] == f"{gap.lost} samples lost"
    for segment in recording.segments():  # each segment continues the ramp at its board index
        piece = recording.samples[segment.sample_start:segment.sample_end]
        assert np.array_equal(piece, ramp(segment.global_index, len(piece))), segment


def test_a_saved_recording_is_valid_sigmf_and_loads_back(overrun_recording, tmp_path):
    original = sigmf.load(overrun_recording)
    base = original.save_sigmf(tmp_path / "copy.sigmf-data")
    assert base == str(tmp_path / "copy")
    schema_check(base)
    again = sigmf.load(base, verify=True)
    assert again.gaps == original.gaps and again.datetime == original.datetime
    assert np.array_equal(again.samples, original.samples)
    assert again.metadata["core:hw"] == original.metadata["core:hw"]
    overruns = [a for a in again.annotations if a["core:label"] == "overrun"]
    assert len(overruns) == len(original.gaps)  # not doubled by the loaded annotations

    # A gap before the first sample moves the first segment's index; no segment is added.
    made = kpxadac.Recording(ramp(0, 100), 1e3, gaps=[kpxadac.Gap(0, 7, 7), kpxadac.Gap(50, 60, 3)],
                             datetime="2025-01-01T10:00:00.000Z")
    made.save_sigmf(tmp_path / "made")
    schema_check(tmp_path / "made")
    meta = json.loads((tmp_path / "made.sigmf-meta").read_text())
    assert [(c["core:sample_start"], c["core:global_index"], c["core:datetime"])
            for c in meta["captures"]] == [(0, 7, "2025-01-01T10:00:00.000Z"),
                                           (50, 60, "2025-01-01T10:00:00.060Z")]
    assert sigmf.load(tmp_path / "made").gaps == made.gaps


def test_damaged_data_fails_the_check(overrun_recording, tmp_path):
    base = sigmf.load(overrun_recording).save_sigmf(tmp_path / "damaged")
    with open(base + ".sigmf-data", "r+b") as data:
        data.seek(1000)
        data.write(b"\x55")
    sigmf.load(base)  # without the check it loads
    with pytest.raises(sigmf.SigMFError, match="SHA-512"):
        sigmf.load(base, verify=True)
    meta = json.loads(open(base + ".sigmf-meta").read())
    meta["global"]["core:datatype"] = "cf32_le"
    with open(base + ".sigmf-meta", "w") as out:
        json.dump(meta, out)
    with pytest.raises(sigmf.SigMFError, match="datatype"):
        sigmf.load(base)


def _shared_cases():
    with open(source_path("tests/sigmf/cases.json"), encoding="utf-8") as cases:
        return json.load(cases)["cases"]


@pytest.mark.parametrize("name", sorted(_shared_cases()))
def test_shared_cases_give_the_gaps_kpxadac_analyze_finds(name, tmp_path):
    """tests/sigmf/cases.json, which tests/analysis reads with kpxadac-analyze too."""
    case = _shared_cases()[name]
    (tmp_path / "rec.sigmf-meta").write_bytes((b"\xef\xbb\xbf" if case.get("bom") else b"")
                                              + json.dumps(case["meta"]).encode("utf-8"))
    (tmp_path / "rec.sigmf-data").write_bytes(bytes(range(256)) * (case["data_bytes"] // 256)
                                              + b"x" * (case["data_bytes"] % 256))
    expect = case["expect"]
    if "error" in expect:
        with pytest.raises(sigmf.SigMFError, match=expect["error"]):
            sigmf.load(tmp_path / "rec")
        return
    if expect["ignored_bytes"]:
        with pytest.warns(sigmf.SigMFWarning, match=f"{expect['ignored_bytes']} trailing bytes"):
            recording = sigmf.load(tmp_path / "rec")
    else:
        recording = sigmf.load(tmp_path / "rec")
    assert [list(gap) for gap in recording.gaps] == expect["gaps"]
    assert len(recording.samples) == expect["samples"]
    assert recording.ignored_bytes == expect["ignored_bytes"]


def test_one_place_names_the_files():
    assert sigmf.base_name("a/rec.sigmf-meta") == "a/rec" == sigmf.base_name("a/rec.sigmf")
    assert sigmf.meta_path("rec.sigmf-data") == "rec.sigmf-meta"
    assert sigmf.data_path("rec") == "rec.sigmf-data"
    assert sigmf.base_name(".sigmf-meta") == ".sigmf-meta"  # no base before the ending


def test_a_killed_capture_is_read_up_to_what_its_metadata_describes(tmp_path):
    """kpxadac-capture killed with SIGKILL while it runs: kpxadac.sigmf and kpxadac-analyze
    both take the samples the last metadata describes and name the bytes they ignore."""
    capture = os.environ.get("KPXADAC_CAPTURE")
    if not capture:
        pytest.skip("KPXADAC_CAPTURE names no kpxadac-capture")
    board = {"boards": [{"device": 0, "fixed_clock": 1, "fixed_clock_rate_hz": 2e7,
                         "realtime": True, "signal": {"type": "ramp"}}]}
    base = tmp_path / "rec"
    process = subprocess.Popen([capture, "--format", "sigmf", "--sample-rate", "2e7",
                                "--chunk", "65536", "-o", str(base)],
                               env=dict(os.environ, KPXADAC_SIM=json.dumps(board)),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while True:  # until a rewrite of the metadata covers samples (the test's time-out bounds it)
            assert process.poll() is None, "the capture ended by itself"
            time.sleep(0.005)
            try:
                meta = json.loads((tmp_path / "rec.sigmf-meta").read_text())
            except (OSError, ValueError):
                continue
            if meta["global"]["kpxadac:sample_count"] >= 65536:
                break
    finally:
        process.kill()
        process.wait()
    schema_check(base)
    described = json.loads((tmp_path / "rec.sigmf-meta").read_text())["global"]
    ignored = os.path.getsize(str(base) + ".sigmf-data") - 2 * described["kpxadac:sample_count"]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        recording = sigmf.load(base)
    assert [str(w.message).split(": ")[1] for w in caught] == (
        [f"{ignored} trailing bytes ignored after the {len(recording.samples)} samples its "
         "metadata describes"] if ignored else [])
    assert recording.ignored_bytes == ignored
    assert recording.metadata["kpxadac:state"] == "recording"
    assert "core:sha512" not in recording.metadata
    assert len(recording.samples) == described["kpxadac:sample_count"]
    assert np.array_equal(recording.samples, ramp(0, len(recording.samples)))

    analyze = os.environ.get("KPXADAC_ANALYZE")
    if analyze:
        run = subprocess.run([analyze, "--json", str(base)], capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        assert json.loads(run.stdout)["input"]["samples"] == len(recording.samples)
        assert json.loads(run.stdout)["input"]["ignored_bytes"] == ignored

