"""Samples: ramp reads and streams, gaps where the ramp jumps, captures and writes."""

import time

import numpy as np
import pytest

import kpxadac

from conftest import ramp

RAMP = {"boards": [{"device": 0, "signal": {"type": "ramp"}}, {"device": 1, "board_id": "0x86"}]}
SLOW_RAMP = {"boards": [{"device": 0, "fixed_clock": 1, "fixed_clock_rate_hz": 1e6,
                         "realtime": True, "fifo_depth": 4096, "signal": {"type": "ramp"}}]}
# The fifth board read loses 3 words (6 samples) right before its data.
RAMP_WITH_OVERRUN = {"boards": [{"device": 0, "signal": {"type": "ramp"}, "faults": [
    {"op": "read", "skip": 4, "count": 1, "rx_overrun": 3}]}]}


@pytest.mark.rack(RAMP)
def test_ramp_read_fills_a_new_array_without_gaps(rack):
    adc = rack.adc(0)
    assert adc.start_receiving() == 105e6
    first = adc.read(1 << 20)
    second = adc.read(1 << 20)
    assert first.dtype == np.int16 and first.shape == (1 << 20,)
    assert np.array_equal(first, ramp(0, 1 << 20))
    assert np.array_equal(second, ramp(1 << 20, 1 << 20))
    assert not np.shares_memory(first, second)
    buffer = np.zeros(4096, np.int16)
    assert adc.read_into(buffer) == 8192 and np.array_equal(buffer, ramp(2 << 20, 4096))
    assert rack.dac(0).write(np.arange(4096, dtype=np.int16)) == 4096


@pytest.mark.rack(RAMP)
@pytest.mark.parametrize("zero_copy", [False, True])
def test_ramp_stream_blocks_follow_each_other(adc, zero_copy):
    with adc.stream(block_samples=1 << 16, blocks=4, samples=10 * (1 << 16) + 100,
                    zero_copy=zero_copy) as stream:
        blocks = [(block.index, block.lost, block.samples.copy()) for block in stream]
        assert stream.status().end_reason is kpxadac.StreamEnd.COMPLETE
    assert [index for index, _, _ in blocks] == [k << 16 for k in range(11)]
    assert all(lost == 0 for _, lost, _ in blocks)
    assert len(blocks[-1][2]) == 100
    assert np.array_equal(np.concatenate([s for _, _, s in blocks]), ramp(0, 10 * (1 << 16) + 100))


@pytest.mark.rack(RAMP)
def test_a_zero_copy_view_keeps_its_ring_after_the_stream_closes(adc):
    with adc.stream(block_samples=4096, blocks=2, zero_copy=True) as stream:
        view = stream.next_block().samples
    # The ring outlives the stream object while the view lives, and the board's
    # stream with it; once the view goes, the board takes a new stream.
    assert np.array_equal(view, ramp(0, 4096))
    with pytest.raises(kpxadac.StreamError):
        adc.stream(block_samples=4096, blocks=2).open()
    del view
    with adc.stream(block_samples=4096, blocks=2) as stream:
        assert stream.next_block().index == 0


@pytest.mark.rack(SLOW_RAMP)
def test_a_slow_consumer_sees_its_gaps_where_the_ramp_jumps(adc):
    lost_seen = 0
    with adc.stream(block_samples=2048, blocks=2) as stream:
        for count, block in enumerate(stream):
            # Each block continues the ramp at its board index, lost samples counted.
            assert np.array_equal(block.samples, ramp(block.index, 2048)), block.index
            lost_seen += block.lost
            time.sleep(0.02)  # 20000 samples arrive meanwhile: the 4096-sample FIFO overflows
            if count == 10:
                break
        status = stream.status()
    assert lost_seen > 0 and status.overrun_events > 0
    assert lost_seen <= status.overrun_samples  # the ring may hold blocks not yet taken


@pytest.mark.rack(RAMP_WITH_OVERRUN)
def test_a_capture_records_its_gap_and_saves_it(adc, tmp_path):
    recording = adc.capture(samples=40000, block_samples=4096, rate=1e6)
    assert recording.rate == 1e6 and len(recording.samples) == 40000
    # The fault moves only the counter, not the unpaced ramp: the gap is where it counted.
    assert recording.gaps == [kpxadac.Gap(4 * 4096, 4 * 4096 + 6, 6)]
    assert [tuple(s) for s in recording.segments()] == [(0, 16384, 0), (16384, 40000, 16390)]
    base = recording.save_sigmf(tmp_path / "rec")
    loaded = kpxadac.sigmf.load(base, verify=True)
    assert loaded.gaps == recording.gaps and np.array_equal(loaded.samples, recording.samples)


@pytest.mark.rack(RAMP)
def test_capture_by_duration_uses_the_clocks_rate(adc):
    recording = adc.capture(seconds=0.001)
    assert recording.rate == 105e6 and len(recording.samples) == 105000
    assert np.array_equal(recording.samples, ramp(0, 105000))
    assert recording.gaps == [] and "board ID 0x8A" in recording.metadata["core:hw"]


# The third board write reports 5 underrun words (10 samples).
DAC_WITH_UNDERRUN = {"boards": [{"device": 0, "board_id": "0x86", "faults": [
    {"op": "write", "skip": 2, "count": 1, "tx_underrun": 5}]}]}


@pytest.mark.rack(DAC_WITH_UNDERRUN)
def test_a_transmit_stream_writes_every_sample_and_reports_underruns(rack):
    dac = rack.dac(0)
    with dac.transmit(block_samples=1024, blocks=2, samples=8192) as stream:
        underruns = stream.send(ramp(0, 4096))
        underruns += stream.send(ramp(4096, 4096))
        while not stream.status().ended:
            time.sleep(0.01)
        status = stream.status()
    assert status.samples_moved == 8192 and status.end_reason is kpxadac.StreamEnd.COMPLETE
    assert status.underrun_samples == 10 and underruns <= 10
    assert dac.write_total == 2048  # the last block's write


# A block of 1024 samples every second: every wait below times out.
QUIET = {"boards": [{"device": 0, "fixed_clock": 1, "fixed_clock_rate_hz": 1e3,
                     "realtime": True, "signal": {"type": "ramp"}}]}


@pytest.mark.rack(QUIET)
def test_a_wait_lasts_as_asked_not_as_the_streams_own_time_out(adc):
    # The stream's time-out (50 ms) only cuts the wait into steps; the caller's 300 ms holds.
    waits = [
        (adc.stream(block_samples=1024, blocks=2, timeout=0.05),
         lambda held: held.next_block(timeout=0.3)),
        (adc.iter_records(level=30000, block_samples=1024, timeout=0.05),
         lambda held: held.next_record(timeout=0.3)),
    ]
    for held, wait in waits:
        with held:
            started = time.monotonic()
            with pytest.raises(TimeoutError):
                wait(held)
            assert time.monotonic() - started >= 0.29
