"""kpxadac.response and kpxadac-response on virtual boards wired through the rack's
device model: the program's CSV, JSON and SVG agree with each other, and the Python
result's arrays equal the program's CSV."""

import csv
import ctypes
import json
import math
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest

import kpxadac
from kpxadac import response

from conftest import source_path

PROGRAM = os.environ.get("KPXADAC_RESPONSE")
# The unpaced ADC waits up to read_timeout_ms for the DAC samples it needs
# (then reads zeros): generous, for a loaded machine.
WIRED = {"boards": [
    {"device": 0, "read_timeout_ms": 10000, "input": {"dac": 1, "through": {
        "gain_db": -3, "delay_samples": 7.3,
        "sos": [[0.0675, 0.1349, 0.0675, 1, -1.143, 0.4128]],
        "polynomial": [1, 0.02, 0.004]}}},
    {"device": 1, "board_id": "0x86"}]}
needs_program = pytest.mark.skipif(not PROGRAM or not os.environ.get("KPXADAC_RESPONSE_LIBRARY"),
                                   reason="kpxadac-response or its library not built")
ARGUMENTS = {"multitone": ["--start", "20e3", "--stop", "40e6", "--points", "40"],
             "sweep": ["--start", "50e3", "--stop", "30e6", "--points", "25"],
             "sine": ["--start", "100e3", "--stop", "20e6", "--points", "12"]}


def run_program(*arguments):
    return subprocess.run([PROGRAM, *arguments], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=600)


def read_csv(path):
    with open(path, newline="") as file:
        rows = list(csv.reader(file))
    header, values = rows[0], np.array([[float(v) for v in row] for row in rows[1:]])
    return {name: values[:, i] for i, name in enumerate(header)}


def svg_curve(root, name):
    """The (frequency, value) pairs of the SVG path `name`, from its pixels and axes."""
    path = next(e for e in root.iter() if e.get("id") == name)
    axes = {key: float(path.get("data-" + key)) for key in
            ("x0", "x1", "f0", "f1", "y0", "y1", "v0", "v1")}
    pairs = []
    for step in path.get("d").replace("M", "").split("L"):
        x, y = (float(v) for v in step.strip().split(","))
        f = axes["f0"] * (axes["f1"] / axes["f0"]) ** ((x - axes["x0"]) / (axes["x1"] - axes["x0"]))
        v = axes["v0"] + (y - axes["y0"]) / (axes["y1"] - axes["y0"]) * (axes["v1"] - axes["v0"])
        pairs.append((f, v, axes))
    return pairs


@needs_program
@pytest.mark.rack(WIRED)
@pytest.mark.parametrize("method", ["multitone", "sweep", "sine"])
def test_program_csv_json_svg_agree_and_python_arrays_equal_the_csv(tmp_path, method):
    csv_path, svg_path = tmp_path / "r.csv", tmp_path / "r.svg"
    done = run_program("--method", method, *ARGUMENTS[method], "--output", str(csv_path),
                       "--plot", str(svg_path), "--json")
    assert done.returncode == 0, done.stderr
    table = read_csv(csv_path)
    result = json.loads(done.stdout)
    assert result["method"] == method
    for column in ("frequency_hz", "magnitude_db", "phase_deg", "group_delay_s"):
        assert np.array_equal(np.array(result[column], dtype=float), table[column]), column
    if method != "multitone":
        assert sorted(result["harmonics_dbc"]) == ["2", "3", "4", "5"]
        assert "h2_dbc" in table
    # The SVG's curves are the CSV's points, to its pixel rounding (0.0005 px).
    root = ElementTree.parse(svg_path).getroot()
    for name, column in (("magnitude", "magnitude_db"), ("phase", "phase_deg")):
        curve = svg_curve(root, name)
        assert len(curve) == len(table["frequency_hz"])
        for (f, v, axes), f_csv, v_csv in zip(curve, table["frequency_hz"], table[column]):
            per_pixel = abs(axes["v1"] - axes["v0"]) / abs(axes["y1"] - axes["y0"])
            assert math.isclose(f, f_csv, rel_tol=1e-5), (name, f, f_csv)
            assert abs(v - v_csv) <= per_pixel * 0.001, (name, v, v_csv)

    # Every method's impulse response in the JSON.
    assert len(result["impulse"]) > 0
    # The stepped sine's lines as it went: each point once, in order, with the
    # CSV's figures to the digits printed.
    if method == "sine":
        lines = [line for line in done.stderr.splitlines() if " of " in line and "Hz," in line]
        assert len(lines) == len(table["frequency_hz"]), done.stderr
        for i, line in enumerate(lines):
            numbers = re.findall(r"-?[0-9.]+(?:e[-+]?[0-9]+)?", line.split(":", 2)[2])
            f, db, deg, quality = (float(v) for v in numbers)
            assert line.startswith(f"kpxadac-response: point {i + 1} of ")
            assert math.isclose(f, table["frequency_hz"][i], rel_tol=1e-5)
            assert abs(db - table["magnitude_db"][i]) <= 0.0005
            assert abs(deg - table["phase_deg"][i]) <= 0.005
            assert abs(quality - table["quality_db"][i]) <= 0.05

    # The same measurement from Python: the same numbers, to the last bit.
    shown = []
    with kpxadac.Rack() as rack:
        args = ARGUMENTS[method]
        measured = response.measure(rack.dac(0), rack.adc(0), start=float(args[1]),
                                    stop=float(args[3]), points=int(args[5]), method=method,
                                    on_point=shown.append)
    for column in ("frequency_hz", "magnitude_db", "phase_deg", "group_delay_s", "quality_db"):
        assert np.array_equal(getattr(measured, column), table[column], equal_nan=True), column
    for order, values in measured.harmonics_dbc.items():
        assert np.array_equal(values, table[f"h{order}_dbc"], equal_nan=True)
    assert measured.latency_samples == pytest.approx(result["latency_samples"], abs=0)
    assert np.array_equal(measured.impulse, np.array(result["impulse"], dtype=float))
    assert measured.impulse_start == result["impulse_start"]
    # on_point: the stepped sine's points as measured, each once, in order, equal to the result's.
    if method == "sine":
        assert [p.index for p in shown] == list(range(len(measured)))
        for name in ("frequency_hz", "magnitude_db", "phase_deg", "quality_db"):
            assert np.array_equal([getattr(p, name) for p in shown], getattr(measured, name)), name
        for order, values in measured.harmonics_dbc.items():
            assert np.array_equal([p.harmonics_dbc[order] for p in shown], values, equal_nan=True)
    else:
        assert shown == []


@needs_program
@pytest.mark.rack(WIRED)
def test_reference_file_divides_out_the_through_path(tmp_path):
    reference = tmp_path / "through.json"
    first = run_program(*ARGUMENTS["multitone"], "--save-reference", str(reference),
                        "--output", str(tmp_path / "a.csv"))
    assert first.returncode == 0, first.stderr
    divided = run_program(*ARGUMENTS["multitone"], "--reference", str(reference), "--json")
    assert divided.returncode == 0, divided.stderr
    result = json.loads(divided.stdout)
    # Divided by itself: flat, no phase, no latency.
    assert result["referenced"] is True
    assert np.allclose(result["magnitude_db"], 0, atol=1e-9)
    assert np.allclose(result["phase_deg"], 0, atol=1e-7)
    assert abs(result["latency_samples"]) < 1e-9
    # Another grid does not fit the reference.
    other = run_program("--start", "20e3", "--stop", "30e6", "--points", "40",
                        "--reference", str(reference))
    assert other.returncode == 1 and "other frequencies" in other.stderr


@needs_program
@pytest.mark.rack(WIRED)
@pytest.mark.parametrize("arguments, message", [
    (["--start", "10e3", "--stop", "60e6"], "half the sample rate"),
    (["--start", "0", "--stop", "1e6"], "--start"),
    (["--start", "nan", "--stop", "1e6"], "not a number"),
    (["--start", "1e6", "--stop", "1e5"], "below --start"),
    (["--start", "1e3", "--stop", "1e6", "--points", "0"], "--points"),
    (["--start", "1e3", "--stop", "1e6", "--method", "chirp"], "--method"),
    (["--start", "1e3", "--stop", "1e6", "--amplitude", "3"], "--amplitude"),
    (["--start", "1e3", "--stop", "1e6", "--output", "x.csv", "--plot", "x.csv"], "two files"),
])
def test_program_refuses_bad_options(arguments, message):
    done = run_program(*arguments)
    assert done.returncode == 1
    assert message in done.stderr


@needs_program
def test_program_refuses_a_reference_that_is_not_one(tmp_path):
    for content in ("", "{}", '{"kpxadac_response_reference": 1, "sample_rate_hz": "x"}',
                    "[1, 2]"):
        path = tmp_path / "bad.json"
        path.write_text(content)
        done = run_program("--start", "1e5", "--stop", "1e6", "--reference", str(path))
        assert done.returncode == 1 and "reference" in done.stderr, content
    done = run_program("--start", "1e5", "--stop", "1e6", "--reference", str(tmp_path))
    assert done.returncode == 1


@needs_program
@pytest.mark.rack(WIRED)
def test_python_refusals_and_plot(tmp_path, monkeypatch):
    with kpxadac.Rack() as rack:
        with pytest.raises(response.ResponseError) as refused:
            response.measure(rack.adc(0), rack.adc(0), start=1e5, stop=1e6)
        assert refused.value.code == -30 and "DAC board and an ADC board" in str(refused.value)
        with pytest.raises(response.ResponseError) as refused:
            response.measure(rack.dac(0), rack.adc(0), start=1e5, stop=60e6)
        assert "half the sample rate" in str(refused.value)
        with pytest.raises(ValueError):
            response.measure(rack.dac(0), rack.adc(0), start=1e5, stop=1e6, method="chirp")
        result = response.measure(rack.dac(0), rack.adc(0), start=1e5, stop=1e7, points=10)
    if "matplotlib" not in sys.modules:
        try:
            import matplotlib  # noqa: F401
            result.plot(tmp_path / "bode.png")
            assert (tmp_path / "bode.png").stat().st_size > 1000
        except ImportError:
            pass
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match="python3-matplotlib"):
        result.plot()


@needs_program
@pytest.mark.rack(WIRED)
def test_a_failed_output_leaves_every_existing_file_as_it_was(tmp_path):
    table, reference = tmp_path / "old.csv", tmp_path / "old.json"
    table.write_text("old table\n")
    reference.write_text("old reference\n")
    done = run_program(*ARGUMENTS["sine"], "--output", str(table), "--save-reference",
                       str(reference), "--plot", str(tmp_path / "missing" / "bode.svg"))
    assert done.returncode == 2 and "bode.svg" in done.stderr
    assert table.read_text() == "old table\n"
    assert reference.read_text() == "old reference\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["old.csv", "old.json"]
    # A folder named as the output: refused, nothing left behind.
    done = run_program(*ARGUMENTS["sine"], "--output", str(tmp_path))
    assert done.returncode == 2
    assert sorted(p.name for p in tmp_path.iterdir()) == ["old.csv", "old.json"]


@pytest.mark.skipif(not shutil.which("cc"), reason="compiles the header's records with cc")
def test_records_have_the_headers_layout(tmp_path):
    # The library reads every field of what it is given: a record shorter than the header's
    # has it read past its end (a missing pointCaptured crashed the stepped sine).
    records = {"KpxResponseRun": response._Run, "KpxResponseRequest": response._Request,
               "KpxResponsePoint": response._Point, "KpxResponseSummary": response._Summary}
    lines = []
    for c_name, record in records.items():
        lines.append(f'printf("{c_name} size %zu\\n", sizeof({c_name}));')
        for field, _ in record._fields_:
            lines.append(f'printf("{c_name} {field} %zu\\n", offsetof({c_name}, {field}));')
    source = tmp_path / "layout.c"
    source.write_text('#include <stddef.h>\n#include <stdio.h>\n#include "kpxadac/response_run.h"\n'
                      "int main(void) {\n" + "\n".join(lines) + "\nreturn 0;\n}\n")
    program = tmp_path / "layout"
    subprocess.run(["cc", "-o", str(program), str(source), "-I", source_path("analysis", "include"),
                    "-I", source_path("host", "library")], check=True)
    printed = subprocess.run([str(program)], stdout=subprocess.PIPE, text=True,
                             check=True).stdout.splitlines()
    expected = []
    for c_name, record in records.items():
        expected.append(f"{c_name} size {ctypes.sizeof(record)}")
        expected += [f"{c_name} {field} {getattr(record, field).offset}"
                     for field, _ in record._fields_]
    assert printed == expected
