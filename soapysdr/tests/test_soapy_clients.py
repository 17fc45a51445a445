"""The kpxadac SoapySDR module as other people's programs use it: SoapySDRUtil,
Python's SoapySDR binding, GNU Radio flowgraphs (receiving, and playing into
a DAC board that records what it plays) and SoapyRemote, all on virtual
boards.

The virtual rack is chosen once per process, so every check that reads a
board runs in a fresh Python process: this file started again with the
check's name (see main below) and the rack in KPXADAC_SIM.

Needs SOAPY_SDR_PLUGIN_PATH to name the folder of the built module (CTest
sets it); run with Debian's /usr/bin/python3.
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest

PYTHON = "/usr/bin/python3"
RATE = 105e6

TWO_BOARD_RACK = {"boards": [{"device": 0, "signal": {"type": "ramp"}},
                             {"device": 3, "board_id": "0x86"}]}
RAMP_RACK = {"boards": [{"device": 0, "signal": {"type": "ramp"}}]}
# Real time, with a FIFO of 640 ms: no loss on a loaded machine.
REALTIME_RACK = {"boards": [{"device": 0, "realtime": True, "fifo_depth": 1 << 26}]}
# Real time, with a FIFO of 0.6 ms: a slow reader loses samples.
SMALL_FIFO_RACK = {"boards": [{"device": 0, "realtime": True, "fifo_depth": 65536,
                               "signal": {"type": "ramp"}}]}


def environment(rack):
    env = dict(os.environ)
    env["KPXADAC_SIM"] = json.dumps(rack)
    return env


def run_check(name, rack, *args, timeout=300):
    """Runs one of the checks below in a process of its own."""
    done = subprocess.run([PYTHON, __file__, name, *args], env=environment(rack),
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"{name} failed:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def soapy_util(rack, *args, returncode=0):
    done = subprocess.run(["SoapySDRUtil", *args], env=environment(rack), capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == returncode, done.stdout + done.stderr
    return done.stdout + done.stderr


def ramp(first_index, count):
    """The ramp board's samples from board index first_index on."""
    import numpy as np
    return ((np.arange(count, dtype=np.int64) + first_index) % 65536).astype(np.uint16).view(
        np.int16)


def stop_by_pid(process, sig=signal.SIGINT):
    if process.poll() is None:
        os.kill(process.pid, sig)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait()


# ---------------------------------------------------------------------------
# The tests (run by pytest)
# ---------------------------------------------------------------------------

def test_find_and_probe_with_soapysdrutil():
    found = soapy_util(TWO_BOARD_RACK, "--find=driver=kpxadac")
    devices = found.split("Found device")[1:]
    assert len(devices) == 2, found
    assert "label = KPX-ADAC ADC 0 (board ID 0x8A, device 0)" in devices[0]
    assert "label = KPX-ADAC DAC 0 (board ID 0x86, device 3)" in devices[1]
    assert re.search(r"serial = 03-[0-9A-F]{10}86\b", devices[1]), devices[1]

    only_dac = soapy_util(TWO_BOARD_RACK, "--find=driver=kpxadac,type=dac")
    assert only_dac.count("Found device") == 1 and "device = 3" in only_dac, only_dac
    none = soapy_util(TWO_BOARD_RACK, "--find=driver=kpxadac,device=7", returncode=1)
    assert "No devices found" in none, none

    probe = soapy_util(TWO_BOARD_RACK, "--probe=driver=kpxadac,device=0")
    for line in ["Channels: 1 Rx, 0 Tx", "Clock sources: synthesizer, fixed",
                 "Stream formats: CS16, CF32, S16, F32", "Native format: S16 [full-scale=32768]",
                 "Sample rates: 100, 105 MSps", "fpga_part (FPGA part): 4vlx40",
                 "Registers: board"]:
        assert line in probe, f"{line!r} missing from\n{probe}"
    for sensor in ["clock_ready", "rx_overrun_count", "tx_underrun_count", "board_status"]:
        assert f"* {sensor} (" in probe, probe


def test_soapysdrutil_rate_on_a_realtime_board():
    rate_test = subprocess.Popen(["SoapySDRUtil", "--args=driver=kpxadac", "--rate=105e6",
                                  "--direction=RX"],
                                 env=environment(REALTIME_RACK), stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
    try:
        # The rate is printed every 5 s of streaming.
        time.sleep(10)
    finally:
        stop_by_pid(rate_test)
    output = rate_test.stdout.read()
    assert "Stream format: S16" in output, output
    rates = [float(r) for r in re.findall(r"([0-9.e+]+) Msps", output.split("Begin RX")[-1])]
    assert rates and rates[-1] > 0, output
    assert "Overflow" not in output and "error" not in output.lower(), output


def test_python_reads_the_ramp_in_cs16_without_a_gap():
    run_check("ramp-continuity", RAMP_RACK)


def test_python_sees_each_overflow_and_the_jump_after_it():
    out = run_check("overflow-gaps", SMALL_FIFO_RACK)
    assert int(re.search(r"overflows (\d+)", out).group(1)) >= 3, out


def test_python_refusals():
    run_check("refusals", TWO_BOARD_RACK)


def test_gnuradio_records_the_ramp():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "ramp.cf32")
        run_check("gnuradio", RAMP_RACK, path)
        import numpy as np
        samples = np.fromfile(path, dtype=np.complex64)
        assert samples.size == 10**6
        assert not samples.imag.any()
        values = (samples.real * 32768).astype(np.int16)
        expected = ramp(int(values[0].astype(np.uint16)), samples.size)
        assert np.array_equal(values, expected), "the ramp has a gap or a wrong value"


def test_gnuradio_plays_a_signal_source_into_a_dac():
    with tempfile.TemporaryDirectory() as folder:
        played = os.path.join(folder, "played.raw")
        rack = {"boards": [{"device": 0, "board_id": "0x86", "output_file": played}]}
        sent = os.path.join(folder, "sent.cf32")
        run_check("gnuradio-dac", rack, sent)
        import numpy as np
        samples = np.fromfile(played, dtype="<i2")
        assert samples.size == 10**6
        # What the source gave the sink, as the module converts it: the real
        # part, scaled to full scale, rounded; every sample, in order.
        source = np.fromfile(sent, dtype=np.complex64).real
        expected = np.clip(np.rint(source * np.float32(32768)), -32768, 32767)
        assert np.array_equal(samples, expected.astype(np.int16)), "the board played otherwise"
        cosine = 0.5 * 32768 * np.cos(2 * np.pi * 1e6 / RATE * np.arange(2000))
        assert np.abs(samples[:2000] - cosine).max() < 3  # a 1 MHz cosine at -6 dBFS


def test_soapyremote_on_loopback():
    if shutil.which("unshare") is None or subprocess.run(
            ["unshare", "-rn", "true"], capture_output=True).returncode != 0:
        pytest.skip("needs a private network namespace (unshare -rn) to keep the server's "
                    "discovery off the network")
    # Server and client in a network of their own that has only loopback:
    # SoapySDRServer also answers discovery on every other interface.
    done = subprocess.run(["unshare", "-rn", PYTHON, __file__, "remote"],
                          env=environment(RAMP_RACK), capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, f"remote failed:\n{done.stdout}\n{done.stderr}"


# ---------------------------------------------------------------------------
# The checks (each run in a process of its own)
# ---------------------------------------------------------------------------

def open_receive(SoapySDR, args="driver=kpxadac", format_name="CS16", stream_args=None):
    device = SoapySDR.Device(args)
    device.setSampleRate(SoapySDR.SOAPY_SDR_RX, 0, RATE)
    stream = device.setupStream(SoapySDR.SOAPY_SDR_RX, format_name, [0], stream_args or {})
    return device, stream


def read_ramp(SoapySDR, device, stream, samples_wanted):
    """Reads CS16 samples and checks them and their time stamps against the
    ramp; returns the count."""
    import numpy as np
    mtu = device.getStreamMTU(stream)
    buffer = np.zeros(2 * mtu, dtype=np.int16)
    next_index = None
    total = 0
    while total < samples_wanted:
        result = device.readStream(stream, [buffer], mtu, timeoutUs=1000000)
        assert result.ret > 0, f"readStream gave {result.ret}"
        assert result.flags & SoapySDR.SOAPY_SDR_HAS_TIME
        index = SoapySDR.timeNsToTicks(result.timeNs, RATE)
        if next_index is None:
            next_index = index
        assert index == next_index, f"time {result.timeNs} ns is index {index}, " \
                                    f"expected {next_index}"
        iq = buffer[:2 * result.ret]
        assert not iq[1::2].any(), "Q is not 0"
        assert np.array_equal(iq[0::2], ramp(next_index, result.ret)), \
            f"ramp broken in the buffer at index {next_index}"
        next_index += result.ret
        total += result.ret
    return total


def check_ramp_continuity():
    import SoapySDR
    device, stream = open_receive(SoapySDR)
    device.activateStream(stream)
    read_ramp(SoapySDR, device, stream, 8 * 1024 * 1024)
    device.deactivateStream(stream)
    device.closeStream(stream)


def check_overflow_gaps():
    import SoapySDR
    import numpy as np
    device, stream = open_receive(SoapySDR, stream_args={"block_bytes": "131072", "blocks": "4"})
    mtu = device.getStreamMTU(stream)
    assert mtu == 65536
    buffer = np.zeros(2 * mtu, dtype=np.int16)
    device.activateStream(stream)
    overflows = 0
    gap_pending = False
    next_index = None
    lost_seen = 0
    for _ in range(400):
        result = device.readStream(stream, [buffer], mtu, timeoutUs=1000000)
        if result.ret == SoapySDR.SOAPY_SDR_OVERFLOW:
            assert not gap_pending, "two overflows for one gap"
            overflows += 1
            gap_pending = True
            continue
        assert result.ret > 0, f"readStream gave {result.ret}"
        index = SoapySDR.timeNsToTicks(result.timeNs, RATE)
        iq = buffer[:2 * result.ret]
        # The samples belong to the index the time stamp names.
        assert np.array_equal(iq[0::2], ramp(index, result.ret)), f"wrong samples at {index}"
        if next_index is not None:
            if gap_pending:
                assert index > next_index, "an overflow without a jump"
                lost_seen += index - next_index
            else:
                assert index == next_index, f"a jump from {next_index} to {index} unreported"
        gap_pending = False
        next_index = index + result.ret
        if overflows >= 3 and not gap_pending:
            break
        time.sleep(0.01)  # the slow reader
    device.deactivateStream(stream)
    # The board counts lost 32-bit words; some may be lost after the last read.
    counted = 2 * int(device.readSensor("rx_overrun_count"))
    assert 0 < lost_seen <= counted, f"lost {lost_seen} seen, {counted} counted"
    device.closeStream(stream)
    print(f"overflows {overflows} lost {lost_seen}")


def expect_error(action, *words):
    try:
        action()
    except Exception as error:  # the binding turns every C++ exception into one
        text = str(error)
        assert all(w in text for w in words), f"error text {text!r} lacks {words}"
        return
    raise AssertionError(f"no error (expected one mentioning {words})")


def write_bit_file(path, part):
    """A Xilinx .bit file: the fixed start, a design name and a part field."""
    def field(key, text):
        value = text.encode() + b"\0"
        return key + len(value).to_bytes(2, "big") + value
    with open(path, "wb") as bit:
        bit.write(bytes.fromhex("00090ff00ff00ff00ff0000001") + field(b"a", "ramp;UserID=0") +
                  field(b"b", part) + b"c\0\0" + bytes(64))


def check_refusals():
    import SoapySDR
    expect_error(lambda: SoapySDR.Device("driver=kpxadac,device=9"), "no board with device=9")
    device = SoapySDR.Device("driver=kpxadac,device=0")
    rx = SoapySDR.SOAPY_SDR_RX
    expect_error(lambda: device.setSampleRate(rx, 0, 10e6), "105e6", "100e6")
    expect_error(lambda: device.setSampleRate(rx, 1, RATE), "channel 1")
    expect_error(lambda: device.setupStream(rx, "CS8", [0]), "CS8", "CS16")
    expect_error(lambda: device.setupStream(SoapySDR.SOAPY_SDR_TX, "CS16", [0]), "TX")
    expect_error(lambda: device.setupStream(rx, "CS16", [0], {"bogus": "1"}), "bogus")
    expect_error(lambda: device.readSensor("temperature"), "temperature", "clock_ready")
    expect_error(lambda: device.writeSetting("gain", "1"), "gain", "bitstream")
    expect_error(lambda: device.readRegister("spi", 0), "spi", "board")
    expect_error(lambda: device.setClockSource("external"), "external")
    expect_error(lambda: device.writeSetting("bitstream", "/nonexistent.bit"), "result 1",
                 "file not found")

    # A .bit file for the board's part loads (the status byte shows it);
    # one for another part is refused with the code and its meaning.
    with tempfile.TemporaryDirectory() as folder:
        assert int(device.readSensor("board_status")) & 1 == 0
        good, wrong = os.path.join(folder, "good.bit"), os.path.join(folder, "wrong.bit")
        write_bit_file(good, "xc4vlx40ff668")
        write_bit_file(wrong, "xc2v3000")
        device.writeSetting("bitstream", good)
        assert device.readSetting("bitstream") == good
        assert int(device.readSensor("board_status")) & 1 == 1
        expect_error(lambda: device.writeSetting("bitstream", wrong), "result 7",
                     "FPGA part does not match")
        assert device.readSetting("bitstream") == good

    # Registers reach the board; the clock choice follows the rate.
    device.writeRegister("board", 0x70, 0x12345678)
    assert device.readRegister("board", 0x70) == 0x12345678
    device.setSampleRate(rx, 0, 100e6)
    assert device.getClockSource() == "fixed"
    device.setClockSource("synthesizer")
    assert device.getSampleRate(rx, 0) == RATE

    # One stream per board, also from a second device made for the same board.
    stream = device.setupStream(rx, "CS16", [0])
    expect_error(lambda: device.setupStream(rx, "CF32", [0]), "already has a stream")
    device.activateStream(stream)
    expect_error(lambda: device.setSampleRate(rx, 0, 100e6), "deactivate the stream")
    device.setSampleRate(rx, 0, RATE)  # the rate it runs at
    device.deactivateStream(stream)
    other = SoapySDR.Device("driver=kpxadac,type=adc,index=0")
    expect_error(lambda: other.setupStream(rx, "CS16", [0]), "already has a stream")
    device.closeStream(stream)
    other.closeStream(other.setupStream(rx, "CS16", [0]))

    dac = SoapySDR.Device("driver=kpxadac,type=dac,index=0")
    assert dac.getNumChannels(rx) == 0 and dac.getNumChannels(SoapySDR.SOAPY_SDR_TX) == 1


def check_gnuradio(path):
    from gnuradio import blocks, gr, soapy
    top = gr.top_block()
    source = soapy.source("driver=kpxadac", "fc32", 1, "", "", [""], [""])
    source.set_sample_rate(0, RATE)
    head = blocks.head(gr.sizeof_gr_complex, 10**6)
    sink = blocks.file_sink(gr.sizeof_gr_complex, path)
    top.connect(source, head, sink)
    top.run()
    sink.close()


def check_gnuradio_dac(path):
    from gnuradio import analog, blocks, gr, soapy
    top = gr.top_block()
    source = analog.sig_source_c(RATE, analog.GR_COS_WAVE, 1e6, 0.5, 0)
    head = blocks.head(gr.sizeof_gr_complex, 10**6)
    sink = soapy.sink("driver=kpxadac,type=dac", "fc32", 1, "", "", [""], [""])
    sink.set_sample_rate(0, RATE)
    copy = blocks.file_sink(gr.sizeof_gr_complex, path)  # what the sink was given
    top.connect(source, head, sink)
    top.connect(head, copy)
    top.run()
    copy.close()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def check_remote():
    import SoapySDR
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    folder = tempfile.mkdtemp()
    # SoapySDRServer quits when it cannot reach a D-Bus system bus for its
    # DNS-SD announcement; a private bus keeps it running (no Avahi on it).
    bus = os.path.join(folder, "bus")
    # It prints its address once it listens.
    dbus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                             "--print-address", f"--address=unix:path={bus}"],
                            stdout=subprocess.PIPE, text=True)
    port = free_port()
    server = None
    # A file, not a pipe: nobody reads the server's later lines.
    server_log = os.path.join(folder, "server.log")

    def server_output():
        if not os.path.exists(server_log):
            return ""
        with open(server_log) as log:
            return log.read()
    try:
        assert dbus.stdout.readline().startswith("unix:"), "dbus-daemon did not start"
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={bus}")
        with open(server_log, "w") as log:
            server = subprocess.Popen(["SoapySDRServer", f"--bind=127.0.0.1:{port}"], env=env,
                                      stdout=log, stderr=subprocess.STDOUT)
        while "Press Ctrl+C" not in server_output():
            assert server.poll() is None, "the server ended:\n" + server_output()
            time.sleep(0.05)
        remote = f"driver=remote,remote=tcp://127.0.0.1:{port},remote:driver=kpxadac"
        found = SoapySDR.Device.enumerate(remote)
        assert len(found) == 1, found
        assert "KPX-ADAC ADC 0" in found[0]["label"], found[0]
        # Over UDP (SoapyRemote's default) a datagram lost on a loaded machine
        # is a gap that only the time stamps show; TCP loses nothing.
        device, stream = open_receive(SoapySDR, remote, stream_args={"remote:prot": "tcp"})
        device.activateStream(stream)
        read_ramp(SoapySDR, device, stream, 4 * 1024 * 1024)
        device.deactivateStream(stream)
        device.closeStream(stream)
    except BaseException:
        print(server_output(), file=sys.stderr)
        raise
    finally:
        if server:
            stop_by_pid(server)
        stop_by_pid(dbus, signal.SIGTERM)
        shutil.rmtree(folder, ignore_errors=True)


CHECKS = {"ramp-continuity": check_ramp_continuity, "overflow-gaps": check_overflow_gaps,
          "refusals": check_refusals, "gnuradio": check_gnuradio,
          "gnuradio-dac": check_gnuradio_dac, "remote": check_remote}

if __name__ == "__main__":
    CHECKS[sys.argv[1]](*sys.argv[2:])
