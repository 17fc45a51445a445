"""The library's waveform generator (kpxadac_waveform.h) as numpy arrays.

    from kpxadac import waveforms
    x = waveforms.tone(65536, frequency=5.1e6, amplitude=-6)
    sweep = waveforms.chirp(105000, start=1e6, stop=20e6, sweep_time=1e-3)

`rate` (samples per second) defaults to the library's synthesizer rate.
Every function returns an int16 array of `count` samples from sample 0; a
`Generator` continues block by block (`take`) or jumps (`seek`), exactly as
one long run. Amplitudes are in dBFS (full scale 32767) and at most 0: a
signal that would exceed full scale is refused, never wrapped. Types, NaN
and infinities are checked here, before any call into the library; the limits
that depend on the rate (how high a frequency may go) are the library's own
(KpxWave_Create), whose refusal raises WaveformError, a ValueError.
"""

import ctypes

import numpy as np

from . import _checks
from ._binding import (KPXWAVE_HARMONICS, KPXWAVE_MAX_TONES, KpxWave, KpxWaveSettings, lib)

TONE, MULTITONE, CHIRP, SQUARE, PULSE, NOISE, DC, RAMP = range(8)
_NAMES = {"tone": TONE, "multitone": MULTITONE, "chirp": CHIRP, "square": SQUARE,
          "pulse": PULSE, "noise": NOISE, "dc": DC, "ramp": RAMP}


_number = _checks.number


def _rate(rate):
    """`rate`, checked; None: the library's synthesizer rate (KpxBoard_SynthesizerRateHz)."""
    if rate is None:
        return lib.KpxBoard_SynthesizerRateHz()
    return _checks.positive(rate, "rate")


class Generator:
    """One waveform, sample after sample: `take(count)` gives the next samples,
    `seek(index)` moves to any sample, `position` is the next one's index.

    Generator("tone", rate=None, frequency=1e6, amplitude=-1, phase=0,
              harmonics={2: -70}, noise=0, seed=1)
    Keys by waveform (others are refused): tone: frequency, phase, harmonics;
    multitone: frequencies (a list), phase; chirp: start, stop, sweep_time,
    phase; square: frequency, duty, phase; pulse: width, period or
    interval=(minimum, maximum), baseline; noise, dc: only amplitude (the
    rms for noise). All but ramp take amplitude, noise (LSB rms added) and
    seed; ramp takes nothing.
    """

    _KEYS = {
        TONE: {"frequency", "phase", "harmonics"},
        MULTITONE: {"frequencies", "phase"},
        CHIRP: {"start", "stop", "sweep_time", "phase"},
        SQUARE: {"frequency", "duty", "phase"},
        PULSE: {"width", "period", "interval", "baseline"},
        NOISE: set(),
        DC: set(),
        RAMP: set(),
    }

    def __init__(self, waveform, rate=None, **settings):
        if not isinstance(waveform, str) or waveform not in _NAMES:
            raise ValueError(f"waveform must be one of {sorted(_NAMES)}, not {waveform!r}")
        kind = _NAMES[waveform]
        rate = _rate(rate)
        allowed = self._KEYS[kind] | ({"amplitude", "noise", "seed"} if kind != RAMP else set())
        unknown = set(settings) - allowed
        if unknown:
            raise TypeError(f"{waveform} takes no {', '.join(sorted(unknown))}")
        # Every check first; only then the library: its defaults, the settings
        # over them, and its own checks.
        fields = self._fields(kind, rate, settings)
        s = KpxWaveSettings()
        lib.KpxWave_DefaultSettings(s, kind, rate)
        for name, value in fields:
            if isinstance(value, tuple):  # (index, value) of an array field
                getattr(s, name)[value[0]] = value[1]
            else:
                setattr(s, name, value)
        self._wave = ctypes.POINTER(KpxWave)()
        lib.KpxWave_Create(s, ctypes.byref(self._wave))
        self.waveform = waveform
        self.rate = rate

    @staticmethod
    def _fields(kind, rate, settings):
        """The checked settings as (field, value) pairs; (field, (index, value)) for
        an element of an array field."""
        fields = []
        get = settings.get
        if "amplitude" in settings:
            fields.append(("amplitudeDbfs", _number(settings["amplitude"], "amplitude", -400.0,
                                                    0.0)))
        if "phase" in settings:
            fields.append(("phaseDeg", _number(settings["phase"], "phase", -1e6, 1e6)))
        if "noise" in settings:
            fields.append(("noiseLsbRms", _number(settings["noise"], "noise", 0.0, 32767.0)))
        if "seed" in settings:
            fields.append(("seed", _checks.unsigned(settings["seed"], "seed", _checks.UINT64_MAX)))
        if kind in (TONE, SQUARE) and "frequency" in settings:
            fields.append(("frequenciesHz",
                           (0, _number(settings["frequency"], "frequency", 0.0))))
        if kind == MULTITONE:
            frequencies = get("frequencies")
            if frequencies is None or isinstance(frequencies, (str, bytes)):
                raise TypeError("multitone needs frequencies, a list of numbers")
            frequencies = list(frequencies)
            if not 1 <= len(frequencies) <= KPXWAVE_MAX_TONES:
                raise ValueError(f"frequencies: 1 to {KPXWAVE_MAX_TONES} of them")
            fields.append(("frequencyCount", len(frequencies)))
            for i, f in enumerate(frequencies):
                fields.append(("frequenciesHz", (i, _number(f, f"frequencies[{i}]", 0.0))))
        if kind == TONE and get("harmonics"):
            harmonics = get("harmonics")
            if not isinstance(harmonics, dict):
                raise TypeError("harmonics must be a dict {order: dBc}")
            used = 0
            for order, level in harmonics.items():
                order = _checks.integer(order, "harmonic order")
                if not 2 <= order <= 1 + KPXWAVE_HARMONICS:
                    raise ValueError(f"harmonic orders are 2 to {1 + KPXWAVE_HARMONICS}")
                used |= 1 << (order - 2)
                fields.append(("harmonicsDbc",
                               (order - 2, _number(level, f"harmonics[{order}]", -200.0, 0.0))))
            fields.append(("harmonicsUsed", used))
        if kind == CHIRP:
            for key, field in (("start", "startHz"), ("stop", "stopHz")):
                if key in settings:
                    fields.append((field, _number(settings[key], key, 0.0)))
            if "sweep_time" in settings:
                fields.append(("sweepTimeS", _number(settings["sweep_time"], "sweep_time",
                                                     2 / rate, 1e9)))
        if kind == SQUARE and "duty" in settings:
            fields.append(("duty", _number(settings["duty"], "duty", 0.0, 1.0)))
        if kind == PULSE:
            width = _checks.unsigned(get("width", 100), "width", 1 << 62)
            if width < 1:
                raise ValueError("width must be at least 1 sample")
            fields.append(("widthSamples", width))
            if "period" in settings and "interval" in settings:
                raise TypeError("pulse takes period or interval, not both")
            if "interval" in settings:
                interval = settings["interval"]
                if not isinstance(interval, (tuple, list)) or len(interval) != 2:
                    raise TypeError("interval must be (minimum, maximum) in samples")
                low = _checks.unsigned(interval[0], "interval minimum", 1 << 62)
                high = _checks.unsigned(interval[1], "interval maximum", 1 << 62)
                if not width < low <= high:
                    raise ValueError("interval needs width < minimum <= maximum")
                fields += [("periodSamples", 0), ("minIntervalSamples", low),
                           ("maxIntervalSamples", high)]
            else:
                period = _checks.unsigned(get("period", 1000), "period", 1 << 62)
                if period <= width:
                    raise ValueError(f"period must be above the width ({width}), not {period}")
                fields.append(("periodSamples", period))
            baseline = _checks.integer(get("baseline", 0), "baseline")
            if not -32768 <= baseline <= 32767:
                raise ValueError("baseline must be from -32768 to 32767")
            fields.append(("baselineLsb", baseline))
        return fields

    def take(self, count):
        """The next `count` samples as an int16 array."""
        count = _checks.unsigned(count, "count", _checks.UINT64_MAX // 4)
        samples = np.empty(count, dtype=np.int16)
        lib.KpxWave_Generate(self._wave, samples.ctypes.data_as(ctypes.POINTER(ctypes.c_int16)),
                             count)
        return samples

    def seek(self, index):
        """Moves to sample `index`: take() continues from there."""
        lib.KpxWave_Seek(self._wave, _checks.unsigned(index, "index", _checks.UINT64_MAX))

    @property
    def position(self):
        return lib.KpxWave_Position(self._wave)

    def actual_frequency(self, tone=0):
        """The frequency played after the phase step's rounding (chirp: 0 start, 1 stop)."""
        return lib.KpxWave_ActualFrequencyHz(self._wave, _checks.unsigned(tone, "tone"))

    def __del__(self):
        wave = getattr(self, "_wave", None)
        if wave:
            lib.KpxWave_Destroy(wave)
            self._wave = None


def _make(waveform, count, rate, settings):
    count = _checks.unsigned(count, "count", _checks.UINT64_MAX // 4)
    return Generator(waveform, rate, **settings).take(count)


def tone(count, rate=None, frequency=1e6, amplitude=-1.0, **settings):
    """A sine (phase, harmonics={order: dBc}, noise, seed)."""
    return _make("tone", count, rate, dict(settings, frequency=frequency, amplitude=amplitude))


def multitone(count, frequencies, rate=None, amplitude=-1.0, **settings):
    """Sines at `frequencies`, each at 1/n of the amplitude: the sum peaks at it."""
    return _make("multitone", count, rate,
                 dict(settings, frequencies=frequencies, amplitude=amplitude))


def chirp(count, rate=None, start=None, stop=None, sweep_time=1e-3, amplitude=-1.0, **settings):
    """A linear sweep from `start` to `stop` (default rate/20 to 9 rate/20) over
    `sweep_time` seconds, repeating, phase-continuous at each turn."""
    settings = dict(settings, sweep_time=sweep_time, amplitude=amplitude)
    if start is not None:
        settings["start"] = start
    if stop is not None:
        settings["stop"] = stop
    return _make("chirp", count, rate, settings)


def square(count, rate=None, frequency=1e6, duty=0.5, amplitude=-1.0, **settings):
    """+amplitude for `duty` of each period, -amplitude for the rest."""
    return _make("square", count, rate,
                 dict(settings, frequency=frequency, duty=duty, amplitude=amplitude))


def pulse(count, width=100, period=1000, interval=None, amplitude=-1.0, baseline=0, **settings):
    """Pulses of `width` samples every `period` samples, or after seeded random
    intervals `interval=(minimum, maximum)`, over `baseline`."""
    settings = dict(settings, width=width, amplitude=amplitude, baseline=baseline)
    if interval is None:
        settings["period"] = period
    else:
        settings["interval"] = interval
    return _make("pulse", count, None, settings)


def noise(count, amplitude=-20.0, seed=1):
    """Gaussian noise whose rms is `amplitude` dBFS."""
    return _make("noise", count, None, {"amplitude": amplitude, "seed": seed})


def dc(count, amplitude=-1.0, **settings):
    """A constant level (noise, seed)."""
    return _make("dc", count, None, dict(settings, amplitude=amplitude))


def ramp(count):
    """Sample k is k mod 65536 (as a 16-bit word): the integrity pattern."""
    return _make("ramp", count, None, {})
