#!/usr/bin/env python3
"""Turns the JSON of one kpxadac_bench run into the figures of scripts/bench.sh.

Each benchmark ran several times, interleaved at random with the others, so
every ratio compares runs made side by side. A ratio is given from the
medians and from the best (fastest) runs: on a loaded machine the best runs
are the ones least disturbed.
"""
import json
import statistics
import sys

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
LARGE, SMALL = 64 << 20, 4096
BOARD_RATE_BYTES = 105e6 * 2  # a 105 MHz board delivers 210 MB/s


def load(path):
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name = b["run_name"].replace("/real_time", "")
        runs.setdefault(name, []).append(b["real_time"] * UNIT_NS[b["time_unit"]])
    return data["context"], runs


def main():
    context, runs = load(sys.argv[1])

    def med(name):
        return statistics.median(runs[name])

    def best(name):
        return min(runs[name])

    def ratio(a, b):
        return med(a) / med(b), best(a) / best(b)

    reps = min(len(v) for v in runs.values())
    print(f"  ({reps} interleaved runs of each; load average at start "
          f"{', '.join(f'{x:.2f}' for x in context.get('load_avg', []))})")

    library = f"BM_TalvoReadBuffer/{LARGE}"
    m, b = ratio(library, f"BM_PlatformReadAnnounced/{LARGE}")
    print("1. Library overhead, TalvoReadBuffer of 64 MiB against the platform read "
          "with the announcement (goal: at most 1.01)")
    print(f"     ratio {m:.4f} (medians), {b:.4f} (best runs); "
          f"{LARGE / med(library) :.2f} GB/s through the library")
    m, b = ratio(library, f"BM_PlatformReadChunked/{LARGE}")
    print(f"     against the same announced reads in the library's chunks: {m:.4f} (medians), "
          f"{b:.4f} (best)")
    m, b = ratio(library, f"BM_PlatformRead/{LARGE}")
    print(f"     against one platform read without announcement: {m:.4f} (medians), {b:.4f} (best)")
    fixed = med(f"BM_TalvoReadBuffer/{SMALL}") - med(f"BM_PlatformReadAnnounced/{SMALL}")
    print(f"     fixed cost of the library per call (4 KiB reads): {fixed:.0f} ns, "
          f"{fixed / med(library) * 100:.5f} % of a 64 MiB read")

    m, b = ratio("BM_ReadReg", "BM_PlatformGetHsreg")
    print("2. Register access, Kpxadac16_ReadReg against IOCTL_GET_HSREG through the "
          "platform layer (goal: at most 1.05)")
    print(f"     ratio {m:.4f} (medians), {b:.4f} (best runs); "
          f"{1e9 / med('BM_ReadReg') / 1e6:.2f} million register reads per second")

    def gbps(name):
        return LARGE / med(name)  # bytes per ns = GB/s

    tone, ramp, copy = gbps("BM_GenerateTone"), gbps("BM_GenerateRamp"), gbps("BM_Memcpy")
    print("3. Signal generation, 64 MiB at a time (goals: tone at least 10 x 210 MB/s, "
          "ramp at least 0.5 x memcpy)")
    print(f"     tone {tone:.2f} GB/s = {tone * 1e9 / BOARD_RATE_BYTES:.1f} x 210 MB/s, "
          f"{tone / copy:.2f} x memcpy")
    print(f"     ramp {ramp:.2f} GB/s = {ramp / copy:.2f} x memcpy; memcpy {copy:.2f} GB/s")

    if "BM_WaveTone" in runs:
        block = 1 << 19  # samples per call
        tone = block / med("BM_WaveTone") * 1e3  # samples per ns -> million per us
        chirp = block / med("BM_WaveChirp") * 1e3
        print("3b. Waveform generator (kpxadac_waveform.h), 512 Ki-sample blocks on one core "
              "(goal: tone and chirp at least 10 x 105 MS/s)")
        print(f"     tone {tone:.0f} MS/s = {tone / 105:.1f} x 105 MS/s; "
              f"chirp {chirp:.0f} MS/s = {chirp / 105:.1f} x 105 MS/s")

    if "BM_StreamAcquireRelease" in runs:
        m, b = ratio("BM_TalvoReadLoop", "BM_StreamAcquireRelease")
        print("6. Acquisition API, acquire and release of 4 MiB blocks against a plain "
              "TalvoReadBuffer loop of 4 MiB (goal: at least 0.95)")
        print(f"     ratio {m:.4f} (medians), {b:.4f} (best runs); "
              f"{(4 << 20) / med('BM_StreamAcquireRelease'):.2f} GB/s through the stream")


if __name__ == "__main__":
    main()
