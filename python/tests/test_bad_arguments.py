"""Every kind of bad argument raises its Python exception, and none reaches the
library: the request trace shows no device operation for them."""

import os

import numpy as np
import pytest

import kpxadac
from kpxadac import sigmf, waveforms

RACK = {"boards": [{"device": 0}, {"device": 1, "board_id": "0x86"}]}

int16 = np.zeros(16, np.int16)
read_only = np.zeros(16, np.int16)
read_only.flags.writeable = False

# (what is called, with what, the exception)
CASES = [
    ("registers", lambda a, d, r: a.registers[None], TypeError),
    ("registers", lambda a, d, r: a.registers[1.5], TypeError),
    ("registers", lambda a, d, r: a.registers[-4], OverflowError),
    ("registers", lambda a, d, r: a.registers[2**32], OverflowError),
    ("registers", lambda a, d, r: a.registers.__setitem__(0x70, None), TypeError),
    ("registers", lambda a, d, r: a.registers.__setitem__(0x70, 2**32), OverflowError),
    ("read", lambda a, d, r: a.read(None), TypeError),
    ("read", lambda a, d, r: a.read(3), ValueError),
    ("read", lambda a, d, r: a.read(0), ValueError),
    ("read", lambda a, d, r: a.read(2**31), OverflowError),
    ("read_into", lambda a, d, r: a.read_into([0, 0]), TypeError),
    ("read_into", lambda a, d, r: a.read_into(int16[::2]), ValueError),
    ("read_into", lambda a, d, r: a.read_into(read_only), ValueError),
    ("read_into", lambda a, d, r: a.read_into(np.zeros(3, np.int16)), ValueError),
    ("read_into", lambda a, d, r: a.read_into(np.zeros(4096)), TypeError),
    ("read_into", lambda a, d, r: a.read_into(np.zeros(16, np.uint8)), TypeError),
    ("write", lambda a, d, r: d.write(None), TypeError),
    ("write", lambda a, d, r: d.write(np.zeros(16, np.float32)), TypeError),
    ("write", lambda a, d, r: d.write(np.zeros(16, ">i2")), TypeError),
    ("write", lambda a, d, r: d.write(int16[::2]), ValueError),
    ("write", lambda a, d, r: d.write(int16.tolist()), TypeError),
    ("write_memory", lambda a, d, r: a.write_memory(0, np.zeros(4, np.int32)), TypeError),
    ("write_memory", lambda a, d, r: a.write_memory(0, np.zeros((4, 4), np.uint32, order="F")),
     ValueError),
    ("write_memory", lambda a, d, r: a.write_memory(None, np.zeros(4, np.uint32)), TypeError),
    ("read_memory", lambda a, d, r: a.read_memory(0, 2**30), OverflowError),
    ("read_memory", lambda a, d, r: a.read_memory(-1, 4), OverflowError),
    ("read_memory", lambda a, d, r: a.read_memory(0, -1), ValueError),
    ("load_bitstream", lambda a, d, r: a.load_bitstream(None), TypeError),
    ("load_bitstream", lambda a, d, r: a.load_bitstream("x\0.bit"), ValueError),
    ("load_bitstream_image", lambda a, d, r: a.load_bitstream_image(None), TypeError),
    ("load_bitstream_image", lambda a, d, r: a.load_bitstream_image("text"), TypeError),
    ("load_bitstream_image", lambda a, d, r: a.load_bitstream_image(memoryview(b"abcd")[::2]),
     ValueError),
    ("custom_registers", lambda a, d, r: a.custom_registers[4], IndexError),
    ("custom_registers", lambda a, d, r: a.custom_registers.__setitem__(-1, 0), IndexError),
    ("table_entry", lambda a, d, r: a.table_entry(16), IndexError),
    ("load_table", lambda a, d, r: a.load_table(0, range(15)), ValueError),
    ("load_table", lambda a, d, r: a.load_table(0, None), TypeError),
    ("load_table", lambda a, d, r: a.load_table(0, [70000] * 16), OverflowError),
    ("select_sequence", lambda a, d, r: a.select_sequence(16), IndexError),
    ("status_bit", lambda a, d, r: a.status_bit(17), IndexError),
    ("set_clock_source", lambda a, d, r: a.set_clock_source(3), ValueError),
    ("set_option_bit", lambda a, d, r: a.set_option_bit(6, True), ValueError),
    ("set_run_state", lambda a, d, r: a.set_run_state(None), TypeError),
    ("set_run_state", lambda a, d, r: d.set_run_state(True), kpxadac.RackError),
    ("program_clock", lambda a, d, r: a.program_clock(b"short"), ValueError),
    ("reset_profiling", lambda a, d, r: a.reset_profiling(256, 0), OverflowError),
    ("stream", lambda a, d, r: a.stream(block_samples=3), ValueError),
    ("stream", lambda a, d, r: a.stream(block_samples=None), TypeError),
    ("stream", lambda a, d, r: a.stream(blocks=1), ValueError),
    ("stream", lambda a, d, r: a.stream(timeout=0), ValueError),
    ("stream", lambda a, d, r: a.stream(setup=9), ValueError),
    ("stream", lambda a, d, r: d.stream(), ValueError),
    ("capture", lambda a, d, r: a.capture(), TypeError),
    ("capture", lambda a, d, r: a.capture(samples=10, seconds=1), TypeError),
    ("capture", lambda a, d, r: a.capture(samples=-5), ValueError),
    ("capture", lambda a, d, r: a.capture(seconds=float("nan")), ValueError),
    ("capture", lambda a, d, r: a.capture(seconds=1e300, rate=1e8), ValueError),
    ("play", lambda a, d, r: d.play(None), TypeError),
    ("play", lambda a, d, r: d.play(np.zeros(16, np.float32)), TypeError),
    ("play", lambda a, d, r: d.play(np.zeros(0, np.int16)), ValueError),
    ("play", lambda a, d, r: d.play(int16, loop=None), TypeError),
    ("play", lambda a, d, r: d.play(int16, block_samples=3), ValueError),
    ("play", lambda a, d, r: a.play(int16), ValueError),
    ("rack", lambda a, d, r: r.adc(None), TypeError),
    ("rack", lambda a, d, r: r.adc(-1), IndexError),
    ("rack", lambda a, d, r: r.adc(1.0), TypeError),
    ("rack", lambda a, d, r: r.dac(1), IndexError),
    ("rack", lambda a, d, r: kpxadac.Rack(devices=[300]), OverflowError),
    ("sigmf", lambda a, d, r: sigmf.load(None), TypeError),
]


@pytest.mark.rack(RACK, trace=True)
def test_bad_arguments_raise_before_any_library_call(rack, trace_lines, tmp_path):
    adc, dac = rack.adc(0), rack.dac(0)
    adc.status  # the trace file exists from here on
    before = len(trace_lines())
    for name, call, exception in CASES:
        with pytest.raises(exception):
            call(adc, dac, rack)
        assert len(trace_lines()) == before, f"{name} reached the driver"


def test_closed_things_refuse_instead_of_crashing():
    with kpxadac.Rack() as rack:
        adc = rack.adc(0)
        stream = adc.stream(block_samples=1024, blocks=2)
        with stream:
            next(iter(stream))
        with pytest.raises(kpxadac.StreamError):
            stream.next_block()
        with pytest.raises(kpxadac.StreamError):
            stream.status()
        stream.close()  # twice is fine
    for call in (lambda: adc.read(2), lambda: adc.registers[0], lambda: adc.stream(),
                 lambda: rack.adc(0)):
        with pytest.raises(kpxadac.RackError):
            call()


def _open_stream(a, d):
    return a.stream(block_samples=1024, blocks=2)


def _open_transmit(a, d):
    return d.transmit(block_samples=1024, blocks=2)


def _open_records(a, d):
    return a.iter_records(level=0, block_samples=1024)


def _open_playback(a, d):
    return d.play(int16, loop=True)


# (the argument the message names, what holds the call open or None, the call with a value)
RANGE_CHECKS = [
    ("rate", None, lambda held, a, d, x: waveforms.tone(16, rate=x)),
    ("frequency", None, lambda held, a, d, x: waveforms.tone(16, frequency=x)),
    ("amplitude", None, lambda held, a, d, x: waveforms.dc(16, amplitude=x)),
    ("phase", None, lambda held, a, d, x: waveforms.tone(16, phase=x)),
    ("noise", None, lambda held, a, d, x: waveforms.tone(16, noise=x)),
    ("frequencies[1]", None, lambda held, a, d, x: waveforms.multitone(16, [1e6, x])),
    ("harmonics[2]", None, lambda held, a, d, x: waveforms.tone(16, harmonics={2: x})),
    ("sweep_time", None, lambda held, a, d, x: waveforms.chirp(16, sweep_time=x)),
    ("start", None, lambda held, a, d, x: waveforms.chirp(16, start=x)),
    ("duty", None, lambda held, a, d, x: waveforms.square(16, duty=x)),
    ("rate", None, lambda held, a, d, x: kpxadac.Recording(int16, x)),
    ("rate", None, lambda held, a, d, x: kpxadac.Records(np.zeros((1, 4), np.int16), [0], 0,
                                                         rate=x)),
    ("pre", None, lambda held, a, d, x: kpxadac.Records(np.zeros((1, 4), np.int16), [0], x)),
    ("rate", None, lambda held, a, d, x: a.capture(samples=16, rate=x)),
    ("seconds", None, lambda held, a, d, x: a.capture(seconds=x, rate=1e6)),
    ("timeout", None, lambda held, a, d, x: a.stream(timeout=x)),
    ("timeout", None, lambda held, a, d, x: d.transmit(timeout=x)),
    ("timeout", None, lambda held, a, d, x: a.iter_records(timeout=x)),
    ("running", None, lambda held, a, d, x: a.set_run_state(x)),
    ("timeout", _open_stream, lambda held, a, d, x: held.next_block(timeout=x)),
    ("timeout", _open_stream, lambda held, a, d, x: held.read(16, timeout=x)),
    ("timeout", _open_transmit, lambda held, a, d, x: held.send(int16, timeout=x)),
    ("timeout", _open_records, lambda held, a, d, x: held.next_record(timeout=x)),
    ("timeout", _open_playback, lambda held, a, d, x: held.wait(x)),
]
NOT_FINITE = [float("nan"), float("inf"), -float("inf"), np.float64("nan"), np.float32("inf")]


@pytest.mark.rack(RACK)
def test_nan_and_infinities_fail_every_range_check_by_name(rack):
    adc, dac = rack.adc(0), rack.dac(0)
    for name, opener, call in RANGE_CHECKS:
        held = opener(adc, dac) if opener else None
        try:
            if held is not None and hasattr(held, "open"):
                held.open()
            for value in NOT_FINITE:
                # An integer argument refuses any float (TypeError), a number NaN and
                # the infinities (ValueError).
                with pytest.raises((ValueError, TypeError)) as raised:
                    call(held, adc, dac, value)
                assert name in str(raised.value), (name, value, str(raised.value))
        finally:
            if held is not None:
                held.stop() if opener is _open_playback else held.close()
    # A count no stream can reach is refused before the board is touched.
    with pytest.raises(ValueError, match="seconds"):
        adc.capture(seconds=1e300, rate=1e8)


# (the array, raised by the board's calls, by Recording and Records: None takes it as int16)
SAMPLE_ARRAYS = [
    (np.zeros(16, np.float64), TypeError, TypeError),
    (np.array([1e9, -1e9] * 8), TypeError, TypeError),
    (np.zeros(16, bool), TypeError, TypeError),
    (np.zeros(16, np.complex64), TypeError, TypeError),
    (np.full(16, 40000, np.int32), TypeError, ValueError),
    (np.full(16, -32769, np.int64), TypeError, ValueError),
    (np.full(16, 65535, np.uint16), TypeError, ValueError),
    (np.arange(-8, 8, dtype=np.int64), TypeError, None),
    (np.array([32767, -32768] * 8, ">i2"), TypeError, None),
]
BOARD_CALLS = [
    lambda a, d, x: a.read_into(x),
    lambda a, d, x: d.write(x),
    lambda a, d, x: d.play(x),
]


@pytest.mark.rack(RACK)
def test_every_sample_array_is_16_bit_and_never_wrapped(rack, tmp_path):
    adc, dac = rack.adc(0), rack.dac(0)
    with dac.transmit(block_samples=1024, blocks=2) as transmit:
        board_calls = BOARD_CALLS + [lambda a, d, x: transmit.send(x)]
        for samples, board_raises, recording_raises in SAMPLE_ARRAYS:
            for call in board_calls:
                with pytest.raises(board_raises, match="int16"):
                    call(adc, dac, samples)
            for make in (lambda x: kpxadac.Recording(x, 1e6).samples,
                         lambda x: kpxadac.Records(x.reshape(2, 8), [0, 8], 0).samples.ravel()):
                if recording_raises is None:
                    made = make(samples)
                    assert made.dtype.kind == "i" and made.dtype.itemsize == 2
                    assert np.array_equal(made, samples.astype(np.int64))
                else:
                    with pytest.raises(recording_raises, match="samples"):
                        make(samples)
    # Samples changed after the Recording was made are checked when it is saved.
    recording = kpxadac.Recording(int16, 1e6)
    recording.samples = np.array([1e9, -1e9])
    with pytest.raises(TypeError, match="samples"):
        recording.save_sigmf(tmp_path / "rec")
    recording.samples, recording.rate = int16, float("nan")
    with pytest.raises(ValueError, match="rate"):
        recording.save_sigmf(tmp_path / "rec")
    recording.rate, recording.gaps = 1e6, [kpxadac.Gap(4, 4, 3)]
    with pytest.raises(ValueError, match="gaps"):
        recording.save_sigmf(tmp_path / "rec")
    recording.gaps, recording.metadata = [], {"x": float("inf")}
    with pytest.raises(ValueError, match="not JSON"):
        recording.save_sigmf(tmp_path / "rec")
    assert os.listdir(tmp_path) == []
