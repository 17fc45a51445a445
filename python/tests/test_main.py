"""python3 -m kpxadac prints what kpxadac-info prints, as text and as JSON."""

import json
import os
import subprocess
import sys

import pytest

RACK = json.dumps({"boards": [{"device": 0, "board_id": "0x8A"},
                              {"device": 4, "board_id": "0x86", "status": 3},
                              {"device": 7, "board_id": "0x8F", "fixed_clock": 1,
                               "faults": [{"op": "IOCTL_GET_TALVO_ERROR", "error": 31}]},
                              # A failed fixed-clock query: the library's rule names the clock.
                              {"device": 9, "board_id": "0x8A",
                               "faults": [{"op": "IOCTL_GET_FIXED_CLOCK", "error": 31}]}]})


@pytest.mark.parametrize("options", [[], ["--json"]])
def test_the_listing_mirrors_kpxadac_info(options):
    info = os.path.join(os.environ.get("KPXADAC_BUILD_DIR", ""), "tools", "kpxadac-info",
                        "kpxadac-info")
    if not os.path.exists(info):
        pytest.skip("no kpxadac-info in KPXADAC_BUILD_DIR")
    env = dict(os.environ, KPXADAC_SIM=RACK)
    env.pop("KPXADAC_TRACE", None)
    ours = subprocess.run([sys.executable, "-m", "kpxadac"] + options, env=env, check=True,
                          capture_output=True, text=True)
    theirs = subprocess.run([info] + options, env=env, check=True, capture_output=True,
                            text=True)
    # The failing counter query prints the library's line, on standard error with --json;
    # the third board lacks "errors".
    failure = "IOCTL_GET_TALVO_ERROR failed:  31"
    assert failure in (ours.stderr if options else ours.stdout) and "0x8F" in ours.stdout
    if options:
        assert failure not in ours.stdout and json.loads(ours.stdout)
    assert ours.stdout == theirs.stdout
    assert ("onboard fixed clock" if not options else '"clock_source": "fixed"') in ours.stdout


# (options, where standard output goes, the reason on standard error, the rack)
REFUSALS = [
    (["--bogus"], subprocess.PIPE, "unrecognized arguments: --bogus", RACK),
    (["--json", "extra"], subprocess.PIPE, "unrecognized arguments: extra", RACK),
    ([], "/dev/full", "cannot write the listing: No space left on device", RACK),
    (["--json"], "/dev/full", "cannot write the listing: No space left on device", RACK),
    # A rack that cannot be built is no empty listing.
    (["--json"], subprocess.PIPE, "no boards: KPXADAC_SIM: invalid JSON", '{"boards": ['),
]


@pytest.mark.parametrize("options, output, reason, rack", REFUSALS)
def test_bad_options_and_lost_output_end_with_status_1_and_the_name(options, output, reason,
                                                                     rack):
    if output != subprocess.PIPE and not os.path.exists(output):
        pytest.skip(f"no {output} here")
    with open(output, "w") if output != subprocess.PIPE else open(os.devnull, "w") as out:
        run = subprocess.run([sys.executable, "-m", "kpxadac"] + options,
                             env=dict(os.environ, KPXADAC_SIM=rack), stdout=out,
                             stderr=subprocess.PIPE, text=True)
    assert run.returncode == 1, run.stderr
    assert f"python3 -m kpxadac: {reason}" in run.stderr and "Traceback" not in run.stderr
