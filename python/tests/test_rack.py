"""The rack: boards found, one Rack at a time, closed boards."""

import pytest

import kpxadac

THREE_BOARDS = {"boards": [{"device": 2, "board_id": "0x8A"},
                           {"device": 4, "board_id": "0x86"},
                           {"device": 9, "board_id": "0x8F", "fixed_clock": 1}]}


@pytest.mark.rack(THREE_BOARDS)
def test_boards_carry_type_index_device_id_part_and_identification(rack):
    found = [(b.type, b.index, b.device, b.board_id, b.expected_part) for b in rack.boards]
    assert found == [(kpxadac.BoardType.ADC, 0, 2, 0x8A, "4vlx40"),
                     (kpxadac.BoardType.DAC, 0, 4, 0x86, "2v3000"),
                     (kpxadac.BoardType.ADC, 1, 9, 0x8F, "4vsx55")]
    assert rack.adc(1) is rack.boards[2] and rack.dac(0) is rack.boards[1]
    # Driver order: the query's exchanged bytes 3 and 4 are put back.
    raw = rack.adc(0).identification
    assert rack.adc(0).ident == raw[:3] + raw[4:5] + raw[3:4] and raw[5] == 0x8A
    assert rack.adc(0).fixed_clock == kpxadac.FixedClock.SYNTHESIZER
    assert rack.adc(1).fixed_clock == kpxadac.FixedClock.FIXED
    # Labels and rates are the library's: the fixed-clock board's rate is known, the
    # synthesizer's only once the library has set it up.
    assert rack.dac(0).label == "KPX-ADAC DAC 0 (board ID 0x86, device 4)"
    assert "board ID 0x8F>" in repr(rack.adc(1))
    assert rack.adc(1).sample_rate == 100e6 and rack.adc(0).sample_rate is None
    assert rack.adc(0).start_receiving() == 105e6 and rack.adc(0).sample_rate == 105e6
    with pytest.raises(kpxadac.BoardNotFoundError):
        rack.dac(1)
    with pytest.raises(IndexError):
        rack.adc(2)


@pytest.mark.rack(THREE_BOARDS)
def test_a_closed_board_leaves_and_later_boards_move_down(rack):
    first, second = rack.adc(0), rack.adc(1)
    first.close()
    assert rack.adc(0) is second and second.index == 0
    assert second.status == 0  # the library's index 0 is this board now
    with pytest.raises(kpxadac.RackError):
        first.registers[0x70]


def test_one_rack_at_a_time_and_a_new_one_after_closing():
    with kpxadac.Rack() as rack:
        board = rack.adc(0)
        with pytest.raises(kpxadac.RackError, match="another Rack is open"):
            kpxadac.Rack().open()
        assert len(rack.boards) == 1  # the refused Rack registered nothing
        assert kpxadac._binding.lib.Kpxadac16_GetHandle(0, 1) == -1
    with pytest.raises(kpxadac.RackError):
        board.status  # the old Rack's boards stay closed
    with pytest.raises(kpxadac.RackError):
        rack.boards
    with kpxadac.Rack() as again:
        assert [b.board_id for b in again.boards] == [0x8A]
        assert again.adc(0) is not board
        with pytest.raises(kpxadac.RackError, match="opened once"):
            again.open()


def test_boards_registered_behind_the_racks_back_refuse_a_rack():
    lib = kpxadac._binding.lib
    assert lib.Kpxadac16_Open() >= 1
    try:
        with pytest.raises(kpxadac.RackError, match="already registered"):
            kpxadac.Rack().open()
    finally:
        lib.Kpxadac16_CloseAll()
    with kpxadac.Rack() as rack:
        assert len(rack.boards) == 1


@pytest.mark.rack('{"boards": [')
def test_a_rack_that_cannot_be_built_is_an_error_not_an_empty_rack():
    with pytest.raises(kpxadac.RackError, match="no boards: KPXADAC_SIM: invalid JSON"):
        kpxadac.Rack().open()
    # The failed open left nothing behind: a Rack may be opened again.
    assert kpxadac.Rack._open_rack is None
