"""kpxadac-scpi driven by real clients on loopback: PyVISA with the pyvisa-py
backend, lxi-tools, and hostile raw sockets bounded in count and time.

Each server runs on a virtual rack (KPXADAC_SIM) with a ramp ADC board and
a real-time DAC board that records what it plays, binds 127.0.0.1 on a free
port (it prints the port it got) and is stopped by its process id.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import threading
import time

import numpy as np
import pytest

SERVER = os.environ.get("KPXADAC_SCPI", "kpxadac-scpi")
DAC_RATE = 1e6  # the virtual DAC plays in real time at this rate
PRE = 1000
POINTS = 5000
LEVEL = 1000


def rack(tmp_path):
    return {
        "boards": [
            {"device": 0, "signal": {"type": "ramp"}},
            {"device": 1, "board_id": "0x86", "realtime": True, "fifo_depth": 4096,
             "synthesizer_rate_hz": DAC_RATE, "output_file": str(tmp_path / "dac.raw")},
        ]
    }


class Server:
    def __init__(self, tmp_path, *options):
        path = tmp_path / "rack.json"
        path.write_text(json.dumps(rack(tmp_path)))
        env = dict(os.environ, KPXADAC_SIM=str(path))
        self.process = subprocess.Popen(
            [SERVER, "--listen", "127.0.0.1:0", *options], env=env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        assert "listening on 127.0.0.1:" in line, line + self.process.stderr.read()
        self.port = int(line.split("127.0.0.1:")[1].split()[0])

    def stop(self, how=signal.SIGTERM):
        os.kill(self.process.pid, how)
        try:
            status = self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError(f"kpxadac-scpi did not end on {how.name}")
        assert status == 0, f"{how.name}: status {status}: " + self.process.stderr.read()

    def connect(self, timeout=10):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        return s


@pytest.fixture
def server(tmp_path):
    s = Server(tmp_path)
    yield s
    s.stop()


def visa(server):
    pyvisa = pytest.importorskip("pyvisa")
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP::127.0.0.1::{server.port}::SOCKET",
                            read_termination="\n", write_termination="\n")
    inst.timeout = 10000
    return inst


def ramp(first, count):
    """The virtual ramp board's samples from board index `first`."""
    return ((np.arange(first, first + count, dtype=np.int64) % 65536)
            .astype(np.uint16).view(np.int16))


def query_line(sock, command):
    sock.sendall(command.encode() + b"\n")
    data = b""
    while not data.endswith(b"\n"):
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError(f"closed while waiting for the answer to {command}")
        data += chunk
    return data.decode().rstrip("\n")


def closed_by_server(sock, within):
    """Whether the server closes `sock` (reads end) within `within` seconds."""
    sock.settimeout(within)
    try:
        while True:
            if not sock.recv(65536):
                return True
    except (socket.timeout, TimeoutError):
        return False
    except ConnectionResetError:
        return True


def test_pyvisa_identifies_and_reads_errors_back(server):
    inst = visa(server)
    fields = inst.query("*IDN?").split(",")
    assert len(fields) == 4 and fields[0] == "KPX" and "ADC" in fields[1], fields
    assert inst.query("SYST:VERS?") == "1999.0"
    assert inst.query("INST:CAT?") == '"ADC0","DAC0"'
    # Errors come back in order, with the standard numbers, then "No error".
    inst.write("FOO:BAR 1")
    inst.write("ACQ:POIN 0")
    inst.write("TRIG:SLOP SIDEWAYS")
    inst.write("ACQ:POIN")
    assert inst.query("SYST:ERR:COUN?") == "4"
    assert inst.query("SYSTem:ERRor?").startswith('-113,"Undefined header')
    assert inst.query("SYST:ERR:NEXT?").startswith('-222,"Data out of range')
    assert inst.query("syst:err?").startswith('-224,"Illegal parameter value;SIDEWAYS')
    assert inst.query("SYST:ERR?").startswith('-109,"Missing parameter')
    assert inst.query("SYST:ERR?") == '0,"No error"'
    # A board's refusal carries the library's text.
    inst.write("INST DAC0;:SOUR:AMPL 3")
    assert inst.query("SYST:ERR?") == '-222,"Data out of range;amplitude above full scale"'
    # Units: a frequency takes HZ to GHZ, a level DB, nothing else.
    assert inst.query("SOUR:AMPL -6 DB;AMPL?;:SOUR:FREQ 2.5 MHZ;FREQ?") == "-6;2500000"
    inst.write("SOUR:AMPL -6 HZ;:SOUR:FREQ 1 DB")
    assert inst.query("SYST:ERR?") == '-131,"Invalid suffix;HZ"'
    assert inst.query("SYST:ERR?") == '-131,"Invalid suffix;DB"'
    # *ESR? shows the classes of the errors since it was last read.
    inst.write("*CLS;BAD")
    assert int(inst.query("*ESR?")) & 0x20
    assert inst.query("*ESR?") == "0"
    inst.close()


def test_pyvisa_reads_a_triggered_ramp_sample_for_sample(server):
    inst = visa(server)
    inst.write(f"INST ADC0;:ACQ:POIN {POINTS};PRET {PRE};:TRIG:SOUR INT;SLOP POS;"
               f"LEV {LEVEL};HYST 10")
    inst.write("INIT")
    assert inst.query("*OPC?") == "1"
    trigger = int(inst.query("FETC:TIND?"))
    expected = ramp(trigger - PRE, POINTS)
    assert expected[PRE] >= LEVEL > expected[PRE - 1]

    inst.write("FORM:BORD SWAP")
    little = inst.query_binary_values("FETC:WAV?", datatype="h", is_big_endian=False,
                                      container=np.array)
    np.testing.assert_array_equal(little, expected)
    inst.write("FORM:BORD NORM")
    big = inst.query_binary_values("FETC:WAV?", datatype="h", is_big_endian=True,
                                   container=np.array)
    np.testing.assert_array_equal(big, expected)
    inst.write("FORM ASC")
    text = inst.query_ascii_values("FETC:WAV?", converter="d", container=np.array)
    np.testing.assert_array_equal(text, expected)

    # READ: a new acquisition (on another level), fetched at once. Each
    # acquisition starts the board's channel anew, so the ramp too.
    inst.write("FORM:DATA INT,16;BORD SWAP;:TRIG:LEV 3000")
    again = inst.query_binary_values("READ:WAV?", datatype="h", is_big_endian=False,
                                     container=np.array)
    later = int(inst.query("FETC:TIND?"))
    assert later != trigger
    np.testing.assert_array_equal(again, ramp(later - PRE, POINTS))
    assert again[PRE] >= 3000 > again[PRE - 1]
    assert inst.query("SYST:ERR?") == '0,"No error"'
    inst.close()


def test_pyvisa_measures_and_plays_a_tone_on_the_dac(server, tmp_path):
    inst = visa(server)
    # Immediate acquisitions on the ramp: the measurements answer numbers.
    inst.write("ACQ:POIN 65536;:TRIG:SOUR IMM;:INIT;*WAI")
    assert float(inst.query("ACQ:SRAT?")) > 0
    for what in ("FREQ", "SNR", "SINAD", "THD", "SFDR", "ENOB"):
        float(inst.query(f"MEAS:{what}?"))
    assert inst.query("SYST:ERR?") == '0,"No error"'

    frequency = 12500.0
    inst.write(f"INST DAC0;:SOUR:FUNC SIN;FREQ {frequency / 1e3} KHZ;AMPL -6")
    assert float(inst.query("SOUR:FREQ?")) == frequency
    rate = float(inst.query("ACQ:SRAT?"))
    inst.write("OUTP ON")
    assert inst.query("OUTP?") == "1"
    played = tmp_path / "dac.raw"
    deadline = time.monotonic() + 30
    while (not played.exists() or played.stat().st_size < 600000) and time.monotonic() < deadline:
        time.sleep(0.05)
    inst.write("OUTP OFF")
    assert inst.query("OUTP?") == "0"
    assert inst.query("SYST:ERR?") == '0,"No error"'
    inst.close()

    samples = np.fromfile(played, dtype="<i2")
    assert samples.size >= 300000, samples.size
    n = 1 << 18
    window = samples[:n].astype(float)
    spectrum = np.abs(np.fft.rfft(window * np.hanning(n)))
    peak = int(np.argmax(spectrum[1:])) + 1
    assert abs(peak - frequency / rate * n) <= 2, (peak, frequency / rate * n)
    assert abs(np.max(np.abs(window)) - 32767 * 10 ** (-6 / 20)) < 50


def test_several_answers_in_one_message_on_one_line(server):
    s = server.connect()
    # The path rule: TIND? and WAV? continue FETC, past the common *OPC?.
    s.sendall(b"FORM:BORD SWAP;:ACQ:POIN 8;:INIT;*WAI;:FETC:WAV?;*OPC?;TIND?;WAV?;"
              b":FORM:BORD NORM;:FETC:WAV?\n")
    first = ramp(0, 8)  # an immediate acquisition starts at the channel's start
    little, big = first.astype("<i2").tobytes(), first.astype(">i2").tobytes()
    expected = b"#216" + little + b";1;0;#216" + little + b";#216" + big + b"\n"
    got = b""
    while len(got) < len(expected):
        chunk = s.recv(65536)
        assert chunk, got
        got += chunk
    assert got == expected
    s.close()


def test_lxi_tools_asks_over_a_raw_socket(server):
    lxi = shutil.which("lxi")
    if not lxi:
        pytest.skip("lxi-tools is not installed")
    for command, check in (("*IDN?", lambda a: a.startswith("KPX,KPX-ADAC ADC,")),
                           ("INST:CAT?", lambda a: a == '"ADC0","DAC0"')):
        done = subprocess.run([lxi, "scpi", "--raw", "--address", "127.0.0.1", "--port",
                               str(server.port), "--timeout", "10", command],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert check(done.stdout.strip()), done.stdout


def test_one_client_controls_a_board_at_a_time(server):
    a, b = server.connect(), server.connect()
    assert query_line(a, "ACQ:POIN 100;POIN?") == "100"
    assert query_line(b, "ACQ:POIN 200;POIN?;:SYST:ERR?") == \
        '100;-221,"Settings conflict;ADC0 is controlled by another client"'
    # Every client reads; a client of its own keeps its own format.
    assert query_line(b, "FORM ASC;FORM?") == "ASC"
    assert query_line(a, "FORM?") == "INT,16"
    a.close()
    deadline = time.monotonic() + 10
    while query_line(b, "ACQ:POIN 200;POIN?;:SYST:ERR?") != '200;0,"No error"':
        assert time.monotonic() < deadline, "control was not released"
        time.sleep(0.05)
    # An acquisition that cannot trigger ends when the client that started
    # it goes away: nobody else waits for ever.
    assert query_line(b, "TRIG:SOUR INT;HYST 65535;:INIT;:SYST:ERR?") == '0,"No error"'
    b.close()
    d = server.connect(timeout=30)
    assert query_line(d, "*OPC?;:FETC:TIND?;:SYST:ERR?") == \
        '1;-230,"Data corrupt or stale;no acquisition yet"'
    d.close()


def test_abort_ends_a_wait_of_the_same_client(server):
    s = server.connect(timeout=30)
    # A trigger that cannot come: *OPC? waits until ABORt, sent meanwhile.
    s.sendall(b"TRIG:SOUR INT;HYST 65535;:INIT;*OPC?\n")
    time.sleep(0.3)
    s.sendall(b"  :abort \r\n")
    answer = b""
    while not answer.endswith(b"\n"):
        chunk = s.recv(100)
        assert chunk, "closed"
        answer += chunk
    assert answer == b"1\n"
    assert query_line(s, "SYST:ERR?") == '0,"No error"'
    assert query_line(s, "FETC:TIND?;:SYST:ERR?") == \
        '-230,"Data corrupt or stale;no acquisition yet"'
    s.close()


def test_a_slow_client_does_not_hold_up_another(server):
    slow = server.connect()
    stop = threading.Event()

    def trickle():
        # One byte at a time of a message that never ends.
        while not stop.is_set():
            try:
                slow.sendall(b"A")
            except OSError:
                return
            time.sleep(0.05)

    writer = threading.Thread(target=trickle)
    writer.start()
    # A client that sent half a binary block and stopped.
    stalled = server.connect()
    stalled.sendall(b"SOUR:DATA:ARB #41000abc")
    # A client that does not read a large answer.
    reader = server.connect()
    reader.sendall(b"ACQ:POIN 1000000;:INIT;*WAI;:FETC:WAV?;FETC:WAV?;FETC:WAV?\n")
    try:
        inst = visa(server)
        inst.timeout = 5000
        for _ in range(50):
            assert inst.query("*IDN?").startswith("KPX,")
        inst.close()
    finally:
        stop.set()
        writer.join()
        for s in (slow, stalled, reader):
            s.close()


def test_an_overlong_line_is_dropped_and_reported(tmp_path):
    server = Server(tmp_path, "--max-line", "1024")
    try:
        s = server.connect()
        s.sendall(b"A" * 100000 + b"\n")
        assert query_line(s, "SYST:ERR?").startswith('-223,"Too much data')
        assert query_line(s, "*IDN?").startswith("KPX,")
        # A block longer than --max-block ends the connection: its bytes
        # cannot be told from commands.
        s.sendall(b"SOUR:DATA:ARB #9100000000")
        assert closed_by_server(s, 10)
        assert query_line(server.connect(), "*IDN?").startswith("KPX,")
    finally:
        server.stop()


def test_connections_are_bounded_in_count_and_time(tmp_path):
    server = Server(tmp_path, "--max-clients", "3", "--idle-timeout", "2",
                    "--message-timeout", "1")
    try:
        held = [server.connect() for _ in range(3)]
        for s in held:
            assert query_line(s, "*OPC?") == "1"
        extra = server.connect()
        assert closed_by_server(extra, 10), "a fourth client was let in"
        held.pop().close()
        deadline = time.monotonic() + 10
        while True:
            try:
                again = server.connect()
                assert query_line(again, "*OPC?") == "1"
                break
            except (ConnectionError, OSError):
                assert time.monotonic() < deadline, "the freed place was not given"
                time.sleep(0.05)
        # Silent clients and half-sent messages are closed by their deadlines.
        held[0].sendall(b"*ID")
        assert closed_by_server(held[0], 10)
        assert closed_by_server(held[1], 10)
        assert closed_by_server(again, 10)
        # Garbage does not end the server.
        rng = np.random.default_rng(7)
        junk = server.connect()
        junk.sendall(rng.integers(0, 256, 200000, dtype=np.uint8).tobytes())
        junk.close()
        assert query_line(server.connect(), "*IDN?").startswith("KPX,")
    finally:
        server.stop()


def test_clients_outside_allow_are_refused_at_connect(tmp_path):
    server = Server(tmp_path, "--allow", "192.0.2.0/24")
    try:
        assert closed_by_server(server.connect(), 10)
    finally:
        server.stop()
    server = Server(tmp_path, "--allow", "127.0.0.0/8")
    try:
        assert query_line(server.connect(), "*IDN?").startswith("KPX,")
    finally:
        server.stop()


@pytest.mark.parametrize("options, says", [
    (["--listen", "0.0.0.0:5025"], "--allow"),
    (["--listen", "127.0.0.1:99999"], "port"),
    (["--listen", "localhost:5025"], "not an IP address"),
    (["--allow", "192.0.2.0/40"], "prefix"),
    (["--max-clients", "0"], "max-clients"),
    (["--idle-timeout", "nan"], "idle-timeout"),
    (["--max-line", "1e99"], "max-line"),
    (["--message-timeout", "-1"], "message-timeout"),
])
def test_bad_options_are_refused(options, says):
    done = subprocess.run([SERVER, *options], capture_output=True, text=True, timeout=30,
                          env=dict(os.environ, KPXADAC_SIM="none"))
    assert done.returncode == 1, done.stderr
    assert done.stderr.startswith("kpxadac-scpi: ") and says in done.stderr, done.stderr


def test_a_port_in_use_and_an_unwritable_output_are_refused(server):
    env = dict(os.environ, KPXADAC_SIM="none")
    done = subprocess.run([SERVER, "--listen", f"127.0.0.1:{server.port}"], capture_output=True,
                          text=True, timeout=30, env=env)
    assert done.returncode == 1 and done.stderr.startswith("kpxadac-scpi: "), done.stderr
    with open("/dev/full", "w") as full:
        done = subprocess.run([SERVER, "--listen", "127.0.0.1:0"], stdout=full,
                              stderr=subprocess.PIPE, text=True, timeout=30, env=env)
    assert done.returncode == 1 and "standard output" in done.stderr, done.stderr


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_stop_signals_end_it_cleanly_with_a_client_connected(tmp_path, how):
    server = Server(tmp_path)
    client = server.connect()
    client.sendall(b"*IDN?\n")
    assert client.recv(4096).endswith(b"\n")
    server.stop(how)
    client.close()
