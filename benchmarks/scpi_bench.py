"""kpxadac-scpi on loopback: *OPC? queries per second on one connection,
and FETCh:WAVeform? of 16 M samples (INT,16) to a plain socket client and
to PyVISA's pure-Python backend.

    /usr/bin/python3 benchmarks/scpi_bench.py --server build-bench/scpi/kpxadac-scpi

The server runs on an unpaced virtual ramp board, on 127.0.0.1 and a free
port, and is stopped by its process id. Figures are for reading, not
checked.
"""
import argparse
import json
import os
import signal
import socket
import subprocess
import time


def start(server):
    env = dict(os.environ, KPXADAC_SIM=json.dumps(
        {"boards": [{"device": 0, "signal": {"type": "ramp"}}]}))
    process = subprocess.Popen([server, "--listen", "127.0.0.1:0"], env=env,
                               stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    port = int(line.split("127.0.0.1:")[1].split()[0])
    return process, port


def read_line(sock, buffer):
    while b"\n" not in buffer:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        buffer += chunk
    line, _, rest = buffer.partition(b"\n")
    return line, rest


def opc_rate(port, count):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    rest = b""
    started = time.perf_counter()
    for _ in range(count):
        sock.sendall(b"*OPC?\n")
        line, rest = read_line(sock, rest)
        assert line == b"1", line
    seconds = time.perf_counter() - started
    sock.close()
    return count / seconds


def fetch_plain(port, points, repeats):
    sock = socket.create_connection(("127.0.0.1", port))
    rest = b""
    sock.sendall(f"ACQ:POIN {points};:INIT;*OPC?\n".encode())
    line, rest = read_line(sock, rest)
    assert line == b"1"
    payload = bytearray(points * 2 + 32)
    view = memoryview(payload)
    best = 0.0
    for _ in range(repeats):
        started = time.perf_counter()
        sock.sendall(b"FETC:WAV?\n")
        # The block header, then its bytes straight into the buffer.
        header = sock.recv(2, socket.MSG_WAITALL)
        digits = int(header[1:2])
        length = int(sock.recv(digits, socket.MSG_WAITALL))
        got = 0
        while got < length + 1:  # the bytes and the newline
            n = sock.recv_into(view[got:], length + 1 - got)
            if n == 0:
                raise ConnectionError("closed")
            got += n
        seconds = time.perf_counter() - started
        best = max(best, length / seconds)
    sock.close()
    return best


def fetch_pyvisa(port, repeats):
    import pyvisa
    inst = pyvisa.ResourceManager("@py").open_resource(
        f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n", write_termination="\n")
    inst.timeout = 120000
    inst.write("FORM:BORD SWAP")
    best = 0.0
    for _ in range(repeats):
        started = time.perf_counter()
        values = inst.query_binary_values("FETC:WAV?", datatype="h", is_big_endian=False,
                                          container=list)
        seconds = time.perf_counter() - started
        best = max(best, len(values) * 2 / seconds)
    inst.close()
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--queries", type=int, default=50000)
    parser.add_argument("--points", type=int, default=1 << 24)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    process, port = start(args.server)
    try:
        rate = opc_rate(port, args.queries)
        print(f"scpi: *OPC? round trips on one connection: {rate:.0f} /s "
              f"({args.queries} queries)")
        plain = fetch_plain(port, args.points, args.repeats)
        print(f"scpi: FETC:WAV? of {args.points} samples INT,16 to a plain socket: "
              f"{plain / 1e9:.2f} GB/s (best of {args.repeats})")
        try:
            visa = fetch_pyvisa(port, max(1, args.repeats // 2))
            print(f"scpi: the same through PyVISA (pyvisa-py): {visa / 1e9:.3f} GB/s")
        except ImportError:
            print("scpi: PyVISA is not installed")
    finally:
        os.kill(process.pid, signal.SIGTERM)
        process.wait(timeout=30)


if __name__ == "__main__":
    main()
