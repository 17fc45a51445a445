"""Every kind of bad argument raises its Python exception, and none reaches the
library: the request trace shows no device operation for them."""

import numpy as np
import pytest

import kpxadac
from kpxadac import sigmf

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
