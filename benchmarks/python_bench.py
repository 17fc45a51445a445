"""Python benchmarks, run by scripts/bench.sh against its Release library.

  read    board.read of 64 MiB (one TalvoReadBuffer into a new int16 array)
          against TalvoReadBuffer of 64 MiB into one reused buffer, called
          straight through the binding in the same process; interleaved runs,
          medians. Goal: at least 0.95.
  stream  a stream from a real-time board into numpy blocks for a duration,
          the consumer taking each block's mean; prints the overruns.

The rack comes from KPXADAC_SIM, set by the caller for each part.
"""

import argparse
import statistics
import time

import numpy as np

import kpxadac
from kpxadac._binding import lib

READ_BYTES = 64 << 20


def bench_read(repetitions):
    with kpxadac.Rack() as rack:
        board = rack.adc(0)
        board.start_receiving()
        buffer = np.ones(READ_BYTES // 2, np.int16)  # touched once: no page faults in the runs
        c_times, python_times = [], []
        board.read(READ_BYTES // 2)  # the recycled memory gets its pages here
        for _ in range(repetitions):
            start = time.perf_counter()
            moved = lib.TalvoReadBuffer(board.handle, buffer.ctypes.data, READ_BYTES)
            c_times.append(time.perf_counter() - start)
            assert moved == READ_BYTES
            start = time.perf_counter()
            samples = board.read(READ_BYTES // 2)
            python_times.append(time.perf_counter() - start)
            assert samples.nbytes == READ_BYTES
            del samples
    c_s, py_s = statistics.median(c_times), statistics.median(python_times)
    print(f"   TalvoReadBuffer 64 MiB: {c_s * 1e3:.2f} ms ({READ_BYTES / c_s / 1e9:.1f} GB/s); "
          f"board.read: {py_s * 1e3:.2f} ms ({READ_BYTES / py_s / 1e9:.1f} GB/s); "
          f"medians of {repetitions}")
    print(f"   ratio (C time / Python time): {c_s / py_s:.3f}")


def bench_stream(duration):
    with kpxadac.Rack() as rack:
        board = rack.adc(0)
        means = 0
        with board.stream() as stream:  # set up and started: the board's clock runs from here
            start = time.perf_counter()
            rate = stream.rate
            for block in stream:
                block.samples.mean()
                means += 1
                if time.perf_counter() - start >= duration:
                    break
            status = stream.status()
        elapsed = time.perf_counter() - start
    print(f"   {status.samples_moved} samples in {elapsed:.2f} s at {rate / 1e6:.0f} MHz "
          f"({status.samples_moved * 2 / elapsed / 1e6:.0f} MB/s), {means} block means; "
          f"overruns: {status.overrun_events} ({status.overrun_samples} samples lost)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("part", choices=("read", "stream"))
    parser.add_argument("--repetitions", type=int, default=15)
    parser.add_argument("--duration", type=float, default=10.0)
    args = parser.parse_args()
    if args.part == "read":
        bench_read(args.repetitions)
    else:
        bench_stream(args.duration)


if __name__ == "__main__":
    main()
