"""python3 -m kpxadac [--json]: lists the boards as kpxadac-info does."""

import argparse
import json
import os
import sys

from ._binding import lib
from .enums import BoardType
from .errors import RackError, RequestError
from .rack import Rack

MESSAGES_TO_STDERR = 1  # KPXBOARD_MESSAGES_STDERR
PROG = "python3 -m kpxadac"


class _Parser(argparse.ArgumentParser):
    """Bad options end with status 1 and the program's name, as in the SDK's tools
    (argparse's own status is 2)."""

    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(1, f"{self.prog}: {message}\n")


def _raw(query, handle):
    """A query's answer, or its refusal code (kpxadac-info prints the library's raw results)."""
    try:
        return query(handle)
    except RequestError as refused:
        return int(refused.code)


def _details(board):
    """What kpxadac-info shows of one board, with the library's raw results."""
    handle = board.handle
    fixed = _raw(lib.Kpxadac16_GetFixedClock, handle)
    plan = board.clock_plan()
    info = {
        "device": board.device,
        "type": board.type.name,
        "index": board.index,
        "board_id": f"0x{board.board_id & 0xFF:02X}",
        "expected_part": board.expected_part,
        "ident": list(board.ident) if board.ident is not None else [],
        "status": _raw(lib.Kpxadac16_GetBoardStatus, handle),
        "fixed_clock": fixed,
        # The clock a receive set-up would use, as the library rules it.
        "reported_clock": plan.clock,
        "clock_name": plan.name,
    }
    if board.type == BoardType.ADC:
        info["clock_source"] = plan.key
        info["clock_source_field"] = board.clock_source
        info["clock_ready"] = board.clock_ready
        info["running"] = board.running
    try:
        counts = board.error_counts()
        info["errors"] = {"rx_overrun": counts.rx_overrun, "tx_underrun": counts.tx_underrun}
    except RequestError:
        pass
    return info


def _print_text(boards, out):
    out.write(f"{len(boards)} board(s)\n")
    for b in boards:
        out.write(f"\ndevice {b['device']}: {b['type']} {b['index']}, board ID {b['board_id']}, "
                  f"FPGA part {b['expected_part'] or '(none)'}\n")
        out.write("  identification:" + "".join(f" 0x{byte:02X}" for byte in b["ident"]) + "\n")
        out.write(f"  status byte:    {b['status']}\n")
        out.write(f"  fixed clock:    {b['fixed_clock']} ({b['clock_name']})\n")
        if "clock_ready" in b:
            ready = "ready" if b["clock_ready"] else "not ready"
            out.write(f"  clock source:   field {b['clock_source_field']}, {ready}\n")
            out.write(f"  run state:      {'running' if b['running'] else 'stopped'}\n")
        if "errors" in b:
            out.write(f"  channel errors: {b['errors']['rx_overrun']} overruns, "
                      f"{b['errors']['tx_underrun']} underruns\n")
        else:
            out.write("  channel errors: unavailable\n")


def main(argv=None):
    parser = _Parser(
        prog=PROG,
        description="Lists the KPX-ADAC boards with their identity, clock, run state and errors.")
    parser.add_argument("--json", action="store_true", help="print one JSON document instead")
    args = parser.parse_args(argv)
    if args.json:
        # Standard output carries the JSON alone, as with kpxadac-info --json: the
        # library's failure lines go to standard error.
        lib.KpxBoard_SetMessageOutput(MESSAGES_TO_STDERR)
    try:
        with Rack() as rack:
            boards = [_details(board) for board in rack.boards]
    except RackError as error:  # e.g. a KPXADAC_SIM that cannot be used: nothing to list
        sys.stderr.write(f"{PROG}: {error}\n")
        return 1
    try:
        if args.json:
            # The document's keys are kpxadac-info's.
            listed = [{key: value for key, value in board.items()
                       if key not in ("reported_clock", "clock_name")} for board in boards]
            sys.stdout.write(json.dumps({"boards": listed}, indent=2, sort_keys=True) + "\n")
        else:
            _print_text(boards, sys.stdout)
        sys.stdout.flush()
    except OSError as error:  # a full disk, a closed pipe: the listing is not complete
        sys.stderr.write(f"{PROG}: cannot write the listing: {error.strerror or error}\n")
        # What is still buffered goes nowhere, instead of failing again at the exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
