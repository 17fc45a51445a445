"""Triggered records from Python on ramp boards (the sample at board index k is
k mod 65536 as int16), and kpxadac-capture --trigger recordings read back."""

import json
import os
import subprocess

import numpy as np
import pytest

import kpxadac
from kpxadac import sigmf
from kpxadac.records import FALLING

from conftest import ramp

RAMP = {"boards": [{"device": 0, "signal": {"type": "ramp"}}]}
GAP = {"boards": [{"device": 0, "signal": {"type": "ramp"},
                   "faults": [{"op": "read", "skip": 16, "count": 1, "rx_overrun": 5}]}]}


@pytest.mark.rack(RAMP)
def test_records_hold_the_ramp_at_each_trigger(adc):
    records = adc.records(edge="either", level=-300, pre=64, post=64, count=5,
                          block_samples=500)
    assert records.samples.shape == (5, 128) and records.samples.dtype == np.int16
    assert records.trigger_index.dtype == np.uint64
    # Falling where the ramp wraps (32768 + k 65536), rising where it passes -300.
    expected = sorted([32768 + k * 65536 for k in range(3)] +
                      [65536 - 300 + k * 65536 for k in range(3)])[:5]
    assert list(records.trigger_index) == expected
    for n in range(5):
        assert np.array_equal(records.samples[n], ramp(int(records.first_index[n]), 128))
    assert list((records.flags & FALLING) != 0) == list(records.samples[:, 64] == -32768)
    assert records.counts.records_delivered == 5 and records.lost == 0


@pytest.mark.rack(GAP)
def test_records_across_a_gap_are_counted_and_the_iterator_stops_at_the_end(adc):
    # 10 samples lost before index 65536: the record at 65436 spans the gap.
    with adc.iter_records(level=-100, pre=200, post=1000, block_samples=4096,
                          samples=3 * 65536 + 2000) as run:
        taken = list(run)
        counts = run.counts()
    assert [r.trigger_index for r in taken] == [130982, 196518]
    assert counts.lost_to_gaps == 1 and counts.triggers_seen == 3
    for r in taken:  # after the gap the ramp runs 10 behind the board index
        assert np.array_equal(r.samples, ramp(r.first_index - 10, 1200))


@pytest.mark.rack(RAMP)
def test_refusals_carry_the_engines_code(adc):
    with pytest.raises(kpxadac.RecordsError) as refused:
        adc.records(level=40000)
    assert refused.value.code == -3 and "level" in str(refused.value)
    with pytest.raises(kpxadac.RecordsError) as refused:
        adc.records(pre=-1)
    assert refused.value.code == -5
    with pytest.raises(ValueError):
        adc.records(edge="up")
    with pytest.raises(ValueError):
        adc.records(count=0)
    with pytest.raises(TypeError):
        adc.records(level=1.5)


def test_capture_records_read_back_with_their_trigger_indexes(tmp_path):
    capture = os.environ.get("KPXADAC_CAPTURE")
    if not capture:
        pytest.skip("KPXADAC_CAPTURE names no kpxadac-capture")
    run = subprocess.run([capture, "--trigger", "falling:-5", "--hysteresis", "10", "--pre",
                          "30", "--post", "70", "--records", "4", "--format", "sigmf", "-o",
                          str(tmp_path / "rec")],
                         env=dict(os.environ, KPXADAC_SIM=json.dumps(RAMP)),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert run.returncode == 0, run.stdout
    records = sigmf.load(tmp_path / "rec.sigmf-meta", verify=True)
    assert isinstance(records, kpxadac.Records)
    assert list(records.trigger_index) == [32768 + k * 65536 for k in range(4)]
    assert records.samples.shape == (4, 100) and records.pre == 30
    assert all((records.flags & FALLING) != 0)
    for n in range(4):
        assert np.array_equal(records.samples[n], ramp(int(records.first_index[n]), 100))
    assert records.settings["edge"] == "falling" and records.settings["level"] == -5
    assert records.rate == 105e6


@pytest.mark.parametrize("change, exception", [
    ({"trigger_index": [-1]}, OverflowError),
    ({"trigger_index": [2**64]}, OverflowError),
    ({"trigger_index": [1.5]}, TypeError),
    ({"flags": [-1]}, OverflowError),
    ({"host_time_ns": [2**63]}, OverflowError),
    ({"flags": [0, 0]}, ValueError),
    ({"samples": np.zeros((1, 8))}, TypeError),
    ({"samples": np.full((1, 8), 2**20)}, ValueError),
    ({"pre": 9}, ValueError),
])
def test_records_made_by_hand_are_checked_never_wrapped(change, exception):
    arguments = dict(samples=np.zeros((1, 8), np.int16), trigger_index=[5], pre=2, flags=[0],
                     host_time_ns=[0])
    arguments.update(change)
    with pytest.raises(exception, match="|".join(change)):
        kpxadac.Records(**arguments)
    assert list(kpxadac.Records(np.zeros((1, 8), np.int32), [2**64 - 1], 2).trigger_index) == [
        2**64 - 1]
