"""Virtual racks for the tests.

The library reads KPXADAC_SIM (and KPXADAC_TRACE) once per process. A test
marked `@pytest.mark.rack(config)` therefore runs in a pytest process of its
own with KPXADAC_SIM=config (a dict becomes JSON); with `trace=True` that
process also records the request trace in a fresh file named by
KPXADAC_TRACE. Unmarked tests run in this process, on the default rack.
"""

import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

CHILD = "KPXADAC_TEST_CHILD"
IN_CHILD = CHILD in os.environ
if not IN_CHILD:
    os.environ["KPXADAC_SIM"] = "default"
    os.environ.pop("KPXADAC_TRACE", None)

import kpxadac  # noqa: E402  (after the rack is chosen)


def ramp(start, count):
    """The virtual ramp board's samples from board index `start`: k mod 65536 as int16."""
    return (np.arange(start, start + count, dtype=np.uint64) % 65536).astype(np.uint16).view(
        np.int16)


def _marker(item):
    return item.get_closest_marker("rack")


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    marker = _marker(pyfuncitem)
    if marker is None or IN_CHILD:
        return None
    config = marker.args[0]
    env = dict(os.environ, KPXADAC_SIM=config if isinstance(config, str) else json.dumps(config))
    env[CHILD] = "1"
    if marker.kwargs.get("trace"):
        # A traced test takes tmp_path; the trace goes there.
        env["KPXADAC_TRACE"] = str(pyfuncitem.funcargs["tmp_path"] / "trace.jsonl")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          "-W", "error::pytest.PytestUnraisableExceptionWarning",
                          pyfuncitem.nodeid], cwd=pyfuncitem.config.rootpath, env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if run.returncode == 0 and re.search(r"\b1 skipped\b", run.stdout):
        pytest.skip("skipped in its own process: " + run.stdout[-500:])
    if run.returncode != 0:
        pytest.fail(f"in a process with KPXADAC_SIM={env['KPXADAC_SIM']}:\n{run.stdout}",
                    pytrace=False)
    return True


@pytest.fixture
def rack(request):
    """An open Rack on the test's rack (nothing in a parent that hands the test on)."""
    if _marker(request.node) is not None and not IN_CHILD:
        yield None
        return
    with kpxadac.Rack() as opened:
        yield opened


@pytest.fixture
def adc(rack):
    return rack.adc(0) if rack is not None else None


@pytest.fixture
def trace_lines():
    """A function giving the request trace's lines so far, parsed."""
    def lines():
        path = os.environ["KPXADAC_TRACE"]
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as trace:
            return [json.loads(line) for line in trace]
    return lines


def source_path(*parts):
    return os.path.join(os.environ.get("KPXADAC_SOURCE_DIR",
                                       os.path.join(os.path.dirname(__file__), "..", "..")),
                        *parts)
