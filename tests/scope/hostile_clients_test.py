#!/usr/bin/python3
"""kpxadac-scope under hostile clients, on loopback.

Starts the program on a free port (a slow real-time virtual board), and
while bounded numbers of clients send their headers a byte at a time, send
header lines without end, or just hold connections open, checks that the
user's own requests are answered, and that each of those clients is cut
off. Then the requests that used to cost much: a Range of thousands of
parts, bodies without a length, too long or compressed, JSON nested too
deep. Every wait has a generous bound; nothing depends on exact timing.

Usage: hostile_clients_test.py --server PATH [unittest options]
"""

import argparse
import json
import re
import select
import socket
import sys
import threading
import time
import unittest

from scope_process import ScopeProcess

SERVER = None

RACK = json.dumps({"boards": [{"device": 0, "realtime": True, "synthesizer_rate_hz": 1e6,
                               "signal": {"noise_lsb_rms": 3}}]})
ANSWER_TIMEOUT_S = 20  # for a request the server should answer at once
SLOW_CLIENTS = 12  # as many as the server has workers
ENDLESS_CLIENTS = 2
HOSTILE_LIMIT_S = 45  # the longest a hostile client keeps going
STRANGER = "127.0.0.2"  # another client address, on loopback too


class Scope(ScopeProcess):
    """kpxadac-scope on 127.0.0.1 and a free port; stopped by its pid."""

    def __init__(self, *args):
        super().__init__(SERVER, RACK, ["--sample-rate", "1e6", "--fft-size", "1024",
                                        "--max-rate", "2", *args])


def connect(port, source="127.0.0.1"):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def exchange(port, request, source="127.0.0.1", timeout=ANSWER_TIMEOUT_S):
    """Sends `request` (bytes) and reads the answer to its end or the close:
    (status, headers dict, body bytes). Status 0: closed with no answer."""
    with connect(port, source) as sock:
        sock.settimeout(timeout)
        sock.sendall(request)
        data = b""
        length = None
        while True:
            try:
                chunk = sock.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            if length is None and _:
                found = re.search(rb"(?im)^content-length:\s*(\d+)", head)
                length = int(found.group(1)) if found else -1
            if length is not None and length >= 0 and len(body) >= length:
                break
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = re.match(r"HTTP/1\.[01] (\d{3})", lines[0]) if lines[0] else None
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return (int(status.group(1)) if status else 0), headers, body


def get(scope, path, extra=""):
    return exchange(scope.port, ("GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n%s\r\n" %
                                 (path, scope.host, extra)).encode())


class Hostile(threading.Thread):
    """One hostile connection, run until the server ends it or the limit:
    `ended_after` is how long the server let it go on (None: never)."""

    def __init__(self, port, source, endless):
        super().__init__(daemon=True)
        self.port, self.source, self.endless = port, source, endless
        self.started = threading.Event()
        self.ended_after = None
        self.sent = 0
        self.answer = b""

    def run(self):
        try:
            sock = connect(self.port, self.source)
        except OSError:
            self.ended_after = 0.0
            self.started.set()
            return
        begin = time.monotonic()
        sock.settimeout(1.0)
        try:
            sock.sendall(b"GET / HTTP/1.1\r\nX-Slow: ")
            self.started.set()
            line = b"X-Endless: " + b"a" * 200 + b"\r\n"
            while time.monotonic() - begin < HOSTILE_LIMIT_S:
                if self.endless:
                    sock.sendall(line)  # blocks once the server stops reading
                    self.sent += len(line)
                else:
                    sock.sendall(b"a")  # a byte now and then, each within any read timeout
                    self.sent += 1
                    try:
                        chunk = sock.recv(4096)
                        if not chunk:
                            raise ConnectionResetError
                        self.answer += chunk
                    except socket.timeout:
                        pass
        except (socket.timeout, OSError):
            # The server stopped reading or closed. An endless client that is
            # only blocked waits for the close.
            try:
                sock.settimeout(max(1.0, HOSTILE_LIMIT_S - (time.monotonic() - begin)))
                while True:
                    chunk = sock.recv(4096)
                    if not chunk:
                        break
                    self.answer += chunk
            except OSError:
                pass
            if time.monotonic() - begin < HOSTILE_LIMIT_S:
                self.ended_after = time.monotonic() - begin
        finally:
            self.started.set()
            sock.close()


class HostileClients(unittest.TestCase):
    def setUp(self):
        self.scope = Scope()

    def tearDown(self):
        self.scope.stop()

    def test_slow_and_endless_headers_do_not_starve_the_user_and_are_cut_off(self):
        # From the user's own address, the hardest case: only the gate, not
        # the bound per address, keeps them from the workers.
        hostile = [Hostile(self.scope.port, "127.0.0.1", endless=False) for _ in range(SLOW_CLIENTS)]
        hostile += [Hostile(self.scope.port, STRANGER, endless=True) for _ in range(ENDLESS_CLIENTS)]
        for client in hostile:
            client.start()
        for client in hostile:
            self.assertTrue(client.started.wait(ANSWER_TIMEOUT_S))
        time.sleep(1.0)  # each holds a worker by now, if a header holds one
        for attempt in range(3):
            status, _, body = get(self.scope, "/api/state")
            self.assertEqual(status, 200, "the user's request #%d was not answered" % attempt)
            self.assertIn("settings", json.loads(body))
            time.sleep(1.0)
        for client in hostile:
            client.join(HOSTILE_LIMIT_S + ANSWER_TIMEOUT_S)
        for client in hostile:
            kind = "endless" if client.endless else "slow"
            self.assertIsNotNone(client.ended_after,
                                 "a %s header went on for %d s (%d bytes)" %
                                 (kind, HOSTILE_LIMIT_S, client.sent))
            if client.answer:  # the answer can be lost to a reset; when it is there it says why
                self.assertRegex(client.answer, rb"^HTTP/1\.1 (408|431) ")
        self.assertTrue(any(c.answer.startswith(b"HTTP/1.1 408 ") for c in hostile if not c.endless),
                        "no slow client was told 408")
        status, _, _ = get(self.scope, "/api/state")
        self.assertEqual(status, 200)

    def test_connections_per_address_are_bounded(self):
        # Many idle connections from one stranger address: beyond the bound
        # they are told 503 at once, and the user (another address) is served.
        held = []
        try:
            for _ in range(64):
                held.append(connect(self.scope.port, STRANGER))
            answers = {}
            deadline = time.monotonic() + 3.0
            while time.monotonic() < deadline and len(answers) < len(held):
                readable, _, _ = select.select([s for s in held if s not in answers], [], [], 0.5)
                for sock in readable:
                    try:
                        answers[sock] = sock.recv(4096)
                    except ConnectionResetError:
                        answers[sock] = b""
            refused = sum(1 for answer in answers.values() if answer.startswith(b"HTTP/1.1 503 "))
            self.assertGreater(refused, 0, "64 connections from one address were all kept")
            self.assertLess(refused, len(held), "every connection of an address was refused")
            status, _, _ = get(self.scope, "/api/state")
            self.assertEqual(status, 200)
        finally:
            for sock in held:
                sock.close()

    def test_pipelined_requests_on_a_kept_alive_connection_are_each_answered(self):
        # The connection goes back to the gate after each answer, with what
        # the client sent ahead; the last request closes it.
        one = "GET /api/state HTTP/1.1\r\nHost: %s\r\n\r\n" % self.scope.host
        last = "GET /api/state HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % self.scope.host
        with connect(self.scope.port) as sock:
            sock.settimeout(ANSWER_TIMEOUT_S)
            sock.sendall((one * 3 + last).encode())
            data = b""
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                data += chunk
        self.assertEqual(len(re.findall(rb"HTTP/1\.1 200 ", data)), 4, data[:200])

    def test_many_ranges_get_the_page_once(self):
        status, _, page = get(self.scope, "/")
        self.assertEqual(status, 200)
        # Thousands of ranges: the whole page, once; one range still works.
        status, headers, body = get(self.scope, "/", "Range: bytes=%s\r\n" % ",".join(["0-"] * 2000))
        self.assertEqual((status, len(body)), (200, len(page)), headers)
        status, headers, body = get(self.scope, "/", "Range: bytes=0-9\r\n")
        self.assertEqual((status, body), (206, page[:10]))

    def post(self, method, extra_headers, body=b""):
        return exchange(self.scope.port, (
            "%s /api/settings HTTP/1.1\r\nHost: %s\r\nContent-Type: application/json\r\n%s\r\n" %
            (method, self.scope.host, extra_headers)).encode() + body)

    def test_bodies_are_answered_at_once_and_bounded(self):
        post = self.post
        body = b'{"averaging": 4}'
        # Bodies the server must not wait for or take: the client keeps the
        # connection open, as a hostile one would.
        cases = [
            ("POST", "", b"", 411),  # no length: used to be read until a timeout
            ("PUT", "", b"", 411),
            ("POST", "Transfer-Encoding: chunked\r\n", b"10\r\n", 411),
            ("POST", "Content-Length: 1000000000\r\n", body, 413),  # used to be skipped byte by byte
            ("POST", "Content-Length: 12x\r\n", body, 400),
            ("POST", "Content-Length: %d\r\nContent-Encoding: gzip\r\n" % len(body), body, 415),
        ]
        for method, headers, data, expected in cases:
            with self.subTest(method=method, headers=headers):
                status, _, answer = post(method, headers, data)
                self.assertEqual(status, expected, answer)
                self.assertIn("error", json.loads(answer))
        # A good change still goes through.
        status, _, answer = post("POST", "Content-Length: %d\r\n" % len(body), body)
        self.assertEqual(status, 200, answer)
        self.assertEqual(json.loads(answer)["settings"]["averaging"], 4)

    def test_settings_nested_too_deep_are_refused_with_the_reason(self):
        post = self.post
        deep = b'{"averaging": ' + b"[" * 3000 + b"]" * 3000 + b"}"
        status, _, answer = post("POST", "Content-Length: %d\r\n" % len(deep), deep)
        self.assertEqual(status, 400)
        self.assertIn("nested deeper", json.loads(answer)["error"])


def main():
    global SERVER
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    args, rest = parser.parse_known_args()
    SERVER = args.server
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
