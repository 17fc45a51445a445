"""The FPGA part each board ID expects in a .bit file (the driver's part table)."""

_PARTS = {
    0x82: "2v3000", 0x86: "2v3000",
    0x83: "2v4000", 0x87: "2v4000",
    0x84: "2v6000", 0x88: "2v6000",
    0x85: "2v8000", 0x89: "2v8000",
    0x8A: "4vlx40", 0x8B: "4vlx60", 0x8C: "4vlx80", 0x8D: "4vlx100", 0x8E: "4vlx160",
    0x8F: "4vsx55",
}


def expected_part(board_id):
    """The part name, or None for an ID without one."""
    return _PARTS.get(board_id)
