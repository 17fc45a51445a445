"""Board operations seen at the driver: registers, memory, front-end, queries
as enums, FPGA loads and their refusals."""

import numpy as np
import pytest

import kpxadac
from kpxadac import BitstreamFileResult, BitstreamImageResult

BIT_HEADER = bytes([0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01])


def bit_file(part):
    """A .bit file with the usual four text fields and 16 bytes of configuration data."""
    out = bytearray(BIT_HEADER)
    for key, text in ((b"a", b"design.ncd;UserID=0xFFFFFFFF"), (b"b", part), (b"c", b"2024/01/05"),
                      (b"d", b"12:00:00")):
        out += key + bytes([0, len(text) + 1]) + text + b"\0"
    return bytes(out + b"e" + (16).to_bytes(4, "big") + bytes(range(0xA0, 0xB0)))


def controls(lines, name):
    return [line for line in lines if line.get("name") == name]


@pytest.mark.rack("default", trace=True)
def test_register_and_memory_round_trips_reach_the_driver(adc, trace_lines, tmp_path):
    adc.registers[0x70] = 0x12345678
    assert adc.registers[0x70] == 0x12345678
    writes = controls(trace_lines(), "IOCTL_WRITE_SET_HSREG")
    reads = controls(trace_lines(), "IOCTL_GET_HSREG")
    assert writes[-1]["in"] == "7000000078563412"
    assert (reads[-1]["in"], reads[-1]["out"]) == ("70000000", "78563412")

    words = np.arange(1000, dtype=np.uint32) * 2654435761 % 2**32
    before = len(trace_lines())
    adc.write_memory(0x4000, words.astype(np.uint32))
    back = adc.read_memory(0x4000, 1000)
    assert back.dtype == np.uint32 and np.array_equal(back, words)
    names = [line.get("name") for line in trace_lines()[before:]]
    assert names.count("IOCTL_WRITE_FPGA_MEM") == 1 and names.count("IOCTL_READ_FPGA_MEM") == 1

    adc.custom_registers[3] = 0xCAFEF00D
    assert adc.custom_registers[3] == 0xCAFEF00D
    assert controls(trace_lines(), "IOCTL_WRITE_SET_HSREG")[-1]["in"] == "7c0000000df0feca"
    assert adc.load_table(0, range(100, 116))
    assert list(adc.read_table()) == list(range(100, 116))


@pytest.mark.rack({"boards": [{"device": 0, "sequence_reads": 2, "sequence_result": 9}]})
def test_front_end_sequence_results_are_enums(adc):
    assert adc.start_sequence() is kpxadac.SequenceStart.ADC_NOT_RUNNING
    adc.set_run_state(True)
    adc.select_sequence(5)
    assert adc.start_sequence() is kpxadac.SequenceStart.STARTED
    assert adc.sequence_state2
    assert adc.wait_sequence(100) is kpxadac.SequenceWait.BOARD_ERROR_9


def test_queries_give_enums_and_records(adc):
    assert adc.state is kpxadac.BoardState.IDLE
    assert adc.status == 0
    assert set(adc.profiling()) == {f"word{i}" for i in range(5)}
    snapshot = adc.v360_debug()
    assert snapshot._fields[:3] == ("field0", "field2", "field6") and len(snapshot) == 15
    assert adc.record["state"] is kpxadac.BoardState.IDLE
    with pytest.raises(kpxadac.TransferError) as failed:
        adc.read(1024)  # the ADC is stopped: the virtual read times out
    assert failed.value.last_error is kpxadac.BoardError.READ_FAILED
    assert adc.last_error is kpxadac.BoardError.READ_FAILED


@pytest.mark.rack({"boards": [{"device": 0, "board_id": "0x8A", "bitstream_result": 5}]})
def test_bitstream_refusals_carry_code_and_meaning(adc, tmp_path):
    wrong_part = tmp_path / "wrong.bit"
    wrong_part.write_bytes(bit_file(b"xc4vlx60ff668"))
    with pytest.raises(kpxadac.BitstreamError) as refused:
        adc.load_bitstream(wrong_part)
    assert refused.value.code is BitstreamFileResult.PART_MISMATCH and refused.value.code == 7
    assert refused.value.meaning == "the file's FPGA part does not match the board"

    not_bit = tmp_path / "plain.bit"
    not_bit.write_bytes(b"just some text, no header")
    with pytest.raises(kpxadac.BitstreamError) as refused:
        adc.load_bitstream(str(not_bit))
    assert refused.value.code is BitstreamFileResult.NOT_A_BIT_FILE

    right_part = tmp_path / "right.bit"
    right_part.write_bytes(bit_file(b"xc4vlx40ff668"))
    with pytest.raises(kpxadac.BitstreamError) as refused:
        adc.load_bitstream(right_part)  # checked and sent: the driver answers 5
    assert refused.value.code == 5 and refused.value.meaning == "the driver refused the image"
    with pytest.raises(kpxadac.BitstreamError) as refused:
        adc.load_bitstream_image(bit_file(b"anything"))
    assert refused.value.code == 5


@pytest.mark.rack({"boards": [{"device": 0, "faults": [
    {"op": "IOCTL_SET_FPGA_BITSTREAM", "error": 31, "count": 1}]}]})
def test_a_failed_download_is_a_bitstream_error(adc):
    with pytest.raises(kpxadac.BitstreamError) as refused:
        adc.load_bitstream_image(bytearray(64))
    assert refused.value.code is BitstreamImageResult.DOWNLOAD_FAILED
    assert adc.last_error is kpxadac.BoardError.REQUEST_FAILED
    adc.load_bitstream_image(b"")  # the fault was used up; an empty image is sent as it is
