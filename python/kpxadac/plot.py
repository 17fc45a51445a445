"""Drawings of recordings and records, for notebooks and scripts, with matplotlib.

matplotlib is optional (Debian: python3-matplotlib; pip: kpxadac[plot]): `import kpxadac`
never needs it, and a drawing asked for without it raises PlotUnavailableError (an
ImportError) saying how to install it.

    recording = board.capture(seconds=0.01)
    recording.plot()                         # waveform and spectrum, one figure
    kpxadac.plot.spectrum(recording, measurements=kpxadac.plot.measure(recording))
    board.records(count=8, level=1000).plot()  # the records overlaid on their trigger

The spectrum drawn is for looking at (one Hann-windowed periodogram per stretch, averaged,
in dBFS); the figures of an ADC channel (SNR, SINAD, THD, SFDR, ENOB) are the SDK's
analysis, which `measure` asks of the kpxadac-analyze program.
"""

import json
import os
import shutil
import subprocess
import tempfile

import numpy as np

from .errors import PlotUnavailableError
from .recording import register_drawer

FULL_SCALE = 32768.0  # int16 full scale: 0 dBFS
ANALYZE_TIMEOUT_S = 120


def pyplot():
    """matplotlib.pyplot, or PlotUnavailableError saying how to install it."""
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise PlotUnavailableError(
            f"kpxadac's drawings need matplotlib, which cannot be imported ({error}). "
            "Install it: Debian: apt-get install python3-matplotlib; "
            "pip: pip install matplotlib (or kpxadac[plot])") from None
    return plt


def _axes(ax):
    if ax is not None:
        return ax
    _, ax = pyplot().subplots()
    return ax


def _time_axis(count, rate, start=0):
    """The times of `count` samples from `start` in microseconds, or their indexes with no rate."""
    index = np.arange(start, start + count)
    if rate:
        return index / rate * 1e6, "time (µs)"
    return index, "sample"


def waveform(recording, ax=None, start=0, count=2000, title=None):
    """Draws `count` samples of a Recording from `start`, with its gaps shaded."""
    ax = _axes(ax)
    samples = recording.samples[start:start + count]
    x, label = _time_axis(len(samples), recording.rate, start)
    ax.plot(x, samples, linewidth=0.8)
    for gap in recording.gaps:
        first = gap.sample_start
        if start <= first < start + len(samples):
            position = _time_axis(1, recording.rate, first)[0][0]
            ax.axvline(position, color="red", linewidth=1, alpha=0.6)
    ax.set_xlabel(label)
    ax.set_ylabel("sample (LSB)")
    ax.set_title(title or f"waveform, {len(samples)} of {len(recording.samples)} samples")
    ax.grid(True, alpha=0.3)
    return ax


def display_spectrum(samples, rate=None, size=8192):
    """(frequencies, dBFS): averaged Hann-windowed periodograms of stretches of `size` samples,
    for drawing. Frequencies in Hz with a rate, else in cycles per sample."""
    samples = np.asarray(samples, dtype=np.float64)
    size = int(min(size, 1 << int(np.log2(max(len(samples), 2)))))
    stretches = max(len(samples) // size, 1)
    window = np.hanning(size)
    power = np.zeros(size // 2 + 1)
    for i in range(stretches):
        stretch = samples[i * size:(i + 1) * size]
        if len(stretch) < size:
            stretch = np.pad(stretch, (0, size - len(stretch)))
        # A full-scale sine reads 0 dBFS at its bin: the window's gain taken out.
        power += np.abs(np.fft.rfft((stretch - stretch.mean()) * window)) ** 2
    amplitude = np.sqrt(power / stretches) * 2 / window.sum() / FULL_SCALE
    frequencies = np.fft.rfftfreq(size, 1 / rate if rate else 1.0)
    return frequencies, 20 * np.log10(np.maximum(amplitude, 1e-12))


def spectrum(recording, ax=None, size=8192, measurements=None, title=None):
    """Draws the recording's spectrum in dBFS; `measurements` (what `measure` gives) are
    marked (fundamental, harmonics) and written in a corner."""
    ax = _axes(ax)
    frequencies, level = display_spectrum(recording.samples, recording.rate, size)
    scale, unit = (1e6, "MHz") if recording.rate else (1.0, "cycles/sample")
    ax.plot(frequencies / scale, level, linewidth=0.8)
    if measurements:
        if measurements.get("tone_found"):
            ax.plot(measurements["fundamental_hz"] / scale, measurements["fundamental_dbfs"],
                    "v", color="red")
            for harmonic in measurements.get("harmonics", []):
                ax.plot(harmonic["frequency_hz"] / scale, harmonic["power_dbfs"], "v",
                        color="orange")
        ax.text(0.99, 0.97, figures_text(measurements), transform=ax.transAxes, ha="right",
                va="top", family="monospace", fontsize=8,
                bbox={"facecolor": "white", "alpha": 0.8, "edgecolor": "none"})
    ax.set_xlabel(f"frequency ({unit})")
    ax.set_ylabel("dBFS")
    ax.set_ylim(max(level.min() - 5, -180), 5)
    ax.set_title(title or "spectrum")
    ax.grid(True, alpha=0.3)
    return ax


FIGURES = (("snr_db", "SNR", "dB"), ("sinad_db", "SINAD", "dB"), ("thd_db", "THD", "dB"),
           ("sfdr_dbc", "SFDR", "dBc"), ("enob_bits", "ENOB", "bits"),
           ("fundamental_dbfs", "tone", "dBFS"))


def figures_text(measurements):
    """The dynamic figures of a `measure` result, one per line."""
    lines = [f"{name:6} {measurements[key]:8.2f} {unit}" for key, name, unit in FIGURES
             if isinstance(measurements.get(key), (int, float))]
    if measurements.get("fundamental_hz") is not None:
        lines.append(f"at     {measurements['fundamental_hz'] / 1e6:8.3f} MHz")
    return "\n".join(lines)


def recording(rec, title=None):
    """A figure with the waveform above the spectrum; returns the figure."""
    figure, (top, bottom) = pyplot().subplots(2, 1, figsize=(9, 6), layout="constrained")
    waveform(rec, top)
    spectrum(rec, bottom)
    if title:
        figure.suptitle(title)
    return figure


def records(recs, ax=None, count=None, title=None):
    """Draws triggered records overlaid, time 0 at each record's trigger sample."""
    ax = _axes(ax)
    shown = recs.samples if count is None else recs.samples[:count]
    x, label = _time_axis(recs.samples.shape[1], recs.rate, -recs.pre)
    for record in shown:
        ax.plot(x, record, linewidth=0.8, alpha=0.7)
    ax.axvline(0, color="black", linewidth=0.8, linestyle="--")
    ax.set_xlabel(label.replace("time", "time from the trigger"))
    ax.set_ylabel("sample (LSB)")
    ax.set_title(title or f"{len(shown)} record(s) overlaid")
    ax.grid(True, alpha=0.3)
    return ax


def analyzer():
    """The kpxadac-analyze program: KPXADAC_ANALYZE, else the one on PATH; None if neither."""
    named = os.environ.get("KPXADAC_ANALYZE")
    if named:
        return named
    return shutil.which("kpxadac-analyze")


def measure(rec, fft_size=None, averages=None, window=None):
    """The dynamic figures of a recording, as kpxadac-analyze --json gives them (a dict:
    snr_db, sinad_db, thd_db, sfdr_dbc, enob_bits, fundamental_hz, harmonics, ...)."""
    program = analyzer()
    if not program:
        raise FileNotFoundError("kpxadac-analyze was not found (set KPXADAC_ANALYZE or put the "
                                "SDK's programs on PATH): the figures are the SDK's analysis")
    with tempfile.TemporaryDirectory() as folder:
        base = os.path.join(folder, "recording")
        rec.save_sigmf(base)
        command = [program, "--json", base + ".sigmf-meta"]
        for option, value in (("--fft-size", fft_size), ("--averages", averages),
                              ("--window", window)):
            if value is not None:
                command += [option, str(value)]
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=ANALYZE_TIMEOUT_S, stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        raise RuntimeError(f"kpxadac-analyze failed ({done.returncode}): {done.stderr.strip()}")
    return json.loads(done.stdout)


register_drawer("recording", recording)
register_drawer("records", records)
