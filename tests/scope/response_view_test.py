#!/usr/bin/python3
"""kpxadac-scope's response view on a wired virtual rack, over HTTP on loopback.

An unpaced ADC wired to a DAC through a device model gives the same samples
to every measurement, so the scope's CSV must equal kpxadac-response's for
the same rack and request, byte for byte. Then the refusals: the fields,
the library's reasons, a second measurement while one runs, a cancel.
Every wait has a generous bound; nothing depends on exact timing.

Usage: response_view_test.py --server PATH --response PATH [unittest options]
"""

import argparse
import csv
import http.client
import io
import json
import os
import subprocess
import sys
import time
import unittest

from scope_process import ScopeProcess

SERVER = None
RESPONSE = None

# The ADC's read timeout bounds how long the scope's idle acquisition waits
# for DAC samples before a measurement takes the board.
RACK = json.dumps({"boards": [
    {"device": 0, "read_timeout_ms": 3000, "input": {"dac": 1, "through": {
        "gain_db": -3, "delay_samples": 7.3,
        "sos": [[0.0675, 0.1349, 0.0675, 1, -1.143, 0.4128]],
        "polynomial": [1, 0.02, 0.004]}}},
    {"device": 1, "board_id": "0x86"}]})
MEASURE_LIMIT_S = 200  # a measurement's end, on a loaded machine


class Scope(ScopeProcess):
    """kpxadac-scope on 127.0.0.1 and a free port; stopped by its pid."""

    def __init__(self):
        super().__init__(SERVER, RACK, ["--fft-size", "1024", "--max-rate", "2"])

    def request(self, method, path, body=None, content_type="application/json"):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            headers = {"Content-Type": content_type} if body is not None else {}
            connection.request(method, path, body=body, headers=headers)
            answer = connection.getresponse()
            return answer.status, dict(answer.getheaders()), answer.read().decode()
        finally:
            connection.close()

    def post(self, body):
        return self.request("POST", "/api/response", json.dumps(body))

    def progress(self):
        status, _, text = self.request("GET", "/api/response")
        assert status == 200, text
        return json.loads(text)["progress"]

    def wait_for_end(self, seq_before):
        deadline = time.monotonic() + MEASURE_LIMIT_S
        while time.monotonic() < deadline:
            progress = self.progress()
            if not progress["running"] and progress["seq"] > seq_before:
                return progress
            time.sleep(0.2)
        raise AssertionError("no end of the measurement within %d s" % MEASURE_LIMIT_S)


class ResponseView(unittest.TestCase):
    def setUp(self):
        self.scope = Scope()

    def tearDown(self):
        self.scope.stop()

    def measure(self, body):
        seq = self.scope.progress()["seq"]
        status, _, text = self.scope.post(body)
        self.assertEqual(status, 202, text)
        return self.scope.wait_for_end(seq)

    def test_each_method_gives_the_csv_kpxadac_response_gives(self):
        requests = [
            {"method": "multitone", "start_hz": 20e3, "stop_hz": 40e6, "points": 40,
             "amplitude_dbfs": -6},
            {"method": "sweep", "start_hz": 50e3, "stop_hz": 30e6, "points": 25,
             "amplitude_dbfs": -3},
            {"method": "sine", "start_hz": 100e3, "stop_hz": 20e6, "points": 12,
             "amplitude_dbfs": -6},
        ]
        for body in requests:
            with self.subTest(method=body["method"]):
                progress = self.measure(dict(body, dac=0))
                self.assertEqual(progress["error"], "")
                status, headers, scope_csv = self.scope.request("GET", "/api/response/result.csv")
                self.assertEqual(status, 200)
                self.assertTrue(headers["Content-Type"].startswith("text/csv"))
                self.assertEqual(headers["Content-Disposition"],
                                 'attachment; filename="response.csv"')
                program = subprocess.run(
                    [RESPONSE, "--dac", "0", "--adc", "0", "--method", body["method"],
                     "--start", repr(body["start_hz"]), "--stop", repr(body["stop_hz"]),
                     "--points", str(body["points"]), "--amplitude", repr(body["amplitude_dbfs"])],
                    env=dict(os.environ, KPXADAC_SIM=RACK), stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE, text=True, timeout=600)
                self.assertEqual(program.returncode, 0, program.stderr)
                self.assertEqual(scope_csv, program.stdout)
                # The page's JSON holds the same points, and says which boards.
                status, _, text = self.scope.request("GET", "/api/response/result")
                self.assertEqual(status, 200)
                result = json.loads(text)
                rows = list(csv.DictReader(io.StringIO(scope_csv)))
                self.assertEqual(len(rows), body["points"])
                self.assertEqual([float(r["frequency_hz"]) for r in rows], result["frequency_hz"])
                self.assertEqual((result["method"], result["dac"], result["adc"]),
                                 (body["method"], 0, 0))
                # The model's -3 dB shows where the low-pass section is flat.
                self.assertAlmostEqual(float(rows[0]["magnitude_db"]), -3.0, delta=0.05)

    def test_refusals_one_at_a_time_and_cancel(self):
        cases = [
            ({"points": 0}, 400, "points"),
            ({"start_hz": "1e5"}, 400, "start_hz"),
            ({"amplitude_dbfs": 3}, 400, "amplitude_dbfs"),
            ({"method": "chirp"}, 400, "method"),
            ({"dac": 7}, 400, "no DAC board with index 7"),
            ({"stop_hz": 60e6}, 400, "half the sample rate"),  # the library's reason
            ({"start_hz": 2e6, "stop_hz": 1e6}, 400, "stop"),
            ({"board": 0}, 400, "unknown field"),
        ]
        for body, expected, reason in cases:
            with self.subTest(body=body):
                status, _, text = self.scope.post(body)
                self.assertEqual(status, expected, text)
                self.assertIn(reason, json.loads(text)["error"])
        status, _, text = self.scope.request("GET", "/api/response/result.csv")
        self.assertEqual(status, 404, text)
        status, _, text = self.scope.request("POST", "/api/response", "{}", "text/plain")
        self.assertEqual(status, 415, text)

        # A long stepped sine; a second request meanwhile is refused, then a
        # cancel ends the first with the library's reason and no result.
        seq = self.scope.progress()["seq"]
        status, _, text = self.scope.post({"method": "sine", "start_hz": 1e4, "stop_hz": 4e7,
                                           "points": 2000})
        self.assertEqual(status, 202, text)
        status, _, text = self.scope.post({})
        self.assertEqual(status, 409, text)
        status, _, text = self.scope.request("POST", "/api/response/stop", "{}")
        self.assertEqual(status, 200, text)
        progress = self.scope.wait_for_end(seq)
        self.assertIn("cancelled", progress["error"])
        self.assertFalse(progress["has_result"])
        # The scope goes on: a new measurement runs to its end.
        progress = self.measure({"points": 10, "stop_hz": 1e7})
        self.assertEqual(progress["error"], "")
        self.assertTrue(progress["has_result"])


def main():
    global SERVER, RESPONSE
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--response", required=True)
    args, rest = parser.parse_known_args()
    SERVER, RESPONSE = args.server, args.response
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
