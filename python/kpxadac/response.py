"""Stimulus and response: a device's frequency response measured with a DAC board
driving it and an ADC board capturing its output (docs/response.md).

    import kpxadac
    from kpxadac import response
    with kpxadac.Rack() as rack:
        result = response.measure(rack.dac(0), rack.adc(0), start=10e3, stop=50e6,
                                  points=200, method="multitone")
        print(result.latency_samples, result.magnitude_db[:5])
        result.plot("bode.png")          # needs matplotlib

The numerics and the board run are the response library's (libkpxadac_response,
kpxadac/response.h and response_run.h), loaded on first use, not on import (a package
without it works for everything else): as KPXADAC_RESPONSE_LIBRARY names it (an explicit
choice, never replaced), else inside the package's own wheel (kpxadac/_libs/), else beside
the board access library that was loaded, else by the system's loader (Debian's
libkpxadac-response1). None found raises ResponseLibraryNotFoundError naming every place
tried and what to install; one older than the package raises LibraryVersionError.
"""

import ctypes
import os
import sys
from ctypes import POINTER, Structure, c_char_p, c_double, c_int32, c_int64, c_uint32, c_uint64
from ctypes import c_void_p

import numpy as np

from . import _binding, _library
from ._version import library_refusal
from .errors import KpxadacError, LibraryVersionError, ResponseLibraryNotFoundError

METHODS = ("sine", "multitone", "sweep")
SPACINGS = ("log", "linear")
MAX_HARMONIC = 10
FLAG_KEEP_LATENCY = 1
ERR_STREAM = -35


class ResponseError(KpxadacError):
    """A measurement refused or failed: `code` is the library's result, `meaning` its text."""

    def __init__(self, code, meaning):
        self.code = code
        self.meaning = meaning
        super().__init__(f"response measurement: {meaning} (result {code})")


class _Request(Structure):
    _fields_ = [("method", c_int32), ("spacing", c_int32), ("sampleRateHz", c_double),
                ("startHz", c_double), ("stopHz", c_double), ("points", c_uint32),
                ("amplitudeDbfs", c_double), ("harmonics", c_int32), ("averages", c_uint32),
                ("flags", c_uint32)]


class _Point(Structure):
    _fields_ = [("frequencyHz", c_double), ("magnitudeDb", c_double), ("phaseDeg", c_double),
                ("groupDelayS", c_double), ("qualityDb", c_double),
                ("harmonicDbc", c_double * (MAX_HARMONIC - 1)), ("real", c_double),
                ("imag", c_double)]


class _Summary(Structure):
    _fields_ = [("method", c_int32), ("points", c_uint32), ("sampleRateHz", c_double),
                ("latencySamples", c_double), ("latencySeconds", c_double),
                ("harmonics", c_int32), ("impulseSamples", c_uint64), ("impulseStart", c_int64),
                ("referenced", c_int32)]


_Progress = ctypes.CFUNCTYPE(None, c_void_p, c_double)
_PointCaptured = ctypes.CFUNCTYPE(None, c_void_p, c_uint32, c_double)
_PointMeasured = ctypes.CFUNCTYPE(None, c_void_p, c_uint32, POINTER(_Point))


class _Run(Structure):
    # As KpxResponseRun (response_run.h), every field: the library reads them all.
    _fields_ = [("dac", _binding.BoardHandle), ("adc", _binding.BoardHandle),
                ("adcSetup", c_int32), ("maxLatency", c_uint32), ("blockSamples", c_uint32),
                ("progress", _Progress), ("user", c_void_p), ("stop", POINTER(c_int32)),
                ("pointCaptured", _PointCaptured), ("pointMeasured", _PointMeasured)]


class Point:
    """One stepped-sine point as it was measured (measure's on_point): index,
    frequency_hz, magnitude_db, phase_deg, quality_db and harmonics_dbc {order: dBc},
    the figures the Result gives for it (group delay comes only with the Result)."""

    def __init__(self, index, point, harmonics):
        self.index = index
        self.frequency_hz = point.frequencyHz
        self.magnitude_db = point.magnitudeDb
        self.phase_deg = point.phaseDeg
        self.quality_db = point.qualityDb
        self.harmonics_dbc = {h: point.harmonicDbc[h - 2] for h in range(2, harmonics + 1)}

    def __repr__(self):
        return (f"<kpxadac.response.Point {self.index}: {self.frequency_hz:.6g} Hz, "
                f"{self.magnitude_db:.3f} dB, {self.phase_deg:.2f} deg>")


_library_handle = None


def _names():
    if sys.platform == "win32":
        return ["kpxadac_response.dll", "libkpxadac_response.dll"]
    if sys.platform == "darwin":
        return ["libkpxadac_response.1.dylib", "libkpxadac_response.dylib"]
    return ["libkpxadac_response.so.1", "libkpxadac_response.so"]


def _candidates():
    """(path or name, whether it is an explicit choice) in the order they are tried."""
    explicit = os.environ.get("KPXADAC_RESPONSE_LIBRARY")
    if explicit:
        return [(explicit, True)], []
    tried = []
    candidates = []
    if os.path.isdir(_library.WHEEL_LIBRARY_DIR):
        wheel = [os.path.join(_library.WHEEL_LIBRARY_DIR, name) for name in _names()
                 if os.path.exists(os.path.join(_library.WHEEL_LIBRARY_DIR, name))]
        if not wheel:
            tried.append((_library.WHEEL_LIBRARY_DIR, "no response library in the wheel's folder"))
        candidates += wheel
    board_file = _binding.lib.file
    if board_file and os.path.isabs(board_file):
        folder = os.path.dirname(board_file)
        candidates += [os.path.join(folder, name) for name in _names()
                       if os.path.join(folder, name) not in candidates]
    candidates += _names()
    return [(candidate, False) for candidate in candidates], tried


def _load():
    """The response library, with its functions' types, loaded once (on first use)."""
    global _library_handle
    if _library_handle is not None:
        return _library_handle
    _binding.lib.KpxBoard_Count()  # the board library first: the response library uses it
    candidates, tried = _candidates()
    library = path = None
    for candidate, explicit in candidates:
        place = ("KPXADAC_RESPONSE_LIBRARY=" if explicit else "") + candidate
        if os.path.isabs(candidate) and not os.path.exists(candidate):
            tried.append((place, "no such file"))
            continue
        try:
            library, path = _library._load(candidate), candidate
            break
        except OSError as error:
            tried.append((place, str(error)))
    if library is None:
        raise ResponseLibraryNotFoundError(tried)
    # An older library is refused by its version, as the board library is.
    version_function = getattr(library, "KpxResponse_LibraryVersion", None)
    version = None
    if version_function is not None:
        version_function.restype, version_function.argtypes = c_char_p, []
        version = (version_function() or b"").decode("ascii", "replace")
    refusal = library_refusal(version, path, what="the KPX-ADAC response library",
                              function="KpxResponse_LibraryVersion",
                              variable="KPXADAC_RESPONSE_LIBRARY")
    if refusal:
        raise LibraryVersionError(refusal, path)
    library.version, library.path = version, path
    library.KpxResponse_Measure.argtypes = [POINTER(_Run), POINTER(_Request),
                                            POINTER(c_void_p), POINTER(c_int32)]
    library.KpxResponse_Measure.restype = c_int32
    library.KpxResponse_ResultText.argtypes = [c_int32]
    library.KpxResponse_ResultText.restype = c_char_p
    library.KpxResponse_FreeResult.argtypes = [c_void_p]
    library.KpxResponse_FreeResult.restype = None
    library.KpxResponse_GetSummary.argtypes = [c_void_p, POINTER(_Summary)]
    library.KpxResponse_GetSummary.restype = c_int32
    library.KpxResponse_GetPoints.argtypes = [c_void_p, POINTER(_Point), c_uint32]
    library.KpxResponse_GetPoints.restype = c_int32
    library.KpxResponse_GetImpulse.argtypes = [c_void_p, POINTER(c_double), c_uint64]
    library.KpxResponse_GetImpulse.restype = c_int32
    library.KpxResponse_ApplyReference.argtypes = [c_void_p, c_void_p]
    library.KpxResponse_ApplyReference.restype = c_int32
    library.KpxResponse_SetKeepLatency.argtypes = [c_void_p, c_int32]
    library.KpxResponse_SetKeepLatency.restype = c_int32
    library.KpxResponse_MethodFromName.argtypes = [c_char_p]
    library.KpxResponse_MethodFromName.restype = c_int32
    _library_handle = library
    return library


def library_path():
    """The name or path the response library was loaded from (loading it now if it was not
    yet); raises ResponseLibraryNotFoundError when there is none."""
    return _load().path


def library_version():
    """The loaded response library's version ("1.0.0"); never older than the package's."""
    return _load().version


def _text(library, code):
    return library.KpxResponse_ResultText(code).decode("utf-8", "replace")


class Result:
    """A measurement's figures as numpy arrays, one value per frequency:
    frequency_hz, magnitude_db, phase_deg (unwrapped; the latency removed unless
    kept), group_delay_s, quality_db (NaN where not measured), and harmonics_dbc
    {order: array} for the sine and sweep methods; latency_samples, latency_s,
    sample_rate_hz, method, impulse (the impulse response: every method's, see
    docs/response.md) and impulse_start (its first sample's place after the
    stimulus's first)."""

    def __init__(self, library, handle):
        self._library = library
        self._handle = c_void_p(handle)
        summary = _Summary()
        library.KpxResponse_GetSummary(self._handle, ctypes.byref(summary))
        points = (_Point * summary.points)()
        library.KpxResponse_GetPoints(self._handle, points, summary.points)
        self.method = METHODS[summary.method] if 0 <= summary.method < 3 else "stored"
        self.sample_rate_hz = summary.sampleRateHz
        self.latency_samples = summary.latencySamples
        self.latency_s = summary.latencySeconds
        self.referenced = bool(summary.referenced)
        self.frequency_hz = np.array([p.frequencyHz for p in points])
        self.magnitude_db = np.array([p.magnitudeDb for p in points])
        self.phase_deg = np.array([p.phaseDeg for p in points])
        self.group_delay_s = np.array([p.groupDelayS for p in points])
        self.quality_db = np.array([p.qualityDb for p in points])
        self.response = np.array([complex(p.real, p.imag) for p in points])
        self.harmonics_dbc = {h: np.array([p.harmonicDbc[h - 2] for p in points])
                              for h in range(2, summary.harmonics + 1)}
        impulse = np.zeros(summary.impulseSamples)
        if summary.impulseSamples:
            library.KpxResponse_GetImpulse(
                self._handle, impulse.ctypes.data_as(POINTER(c_double)), impulse.size)
        self.impulse = impulse
        self.impulse_start = summary.impulseStart

    def __del__(self):
        library = getattr(self, "_library", None)
        if library is not None and self._handle:
            library.KpxResponse_FreeResult(self._handle)
            self._handle = c_void_p()

    def __len__(self):
        return len(self.frequency_hz)

    def __repr__(self):
        return (f"<kpxadac.response.Result {self.method}, {len(self)} points, "
                f"latency {self.latency_samples:.3f} samples>")

    def plot(self, path=None):
        """Draws the Bode diagram (magnitude over phase, log frequency axis) with
        matplotlib; saves it to `path` if given, else returns the figure."""
        try:
            import matplotlib
            if path is not None:
                matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError("Result.plot needs matplotlib (Debian: python3-matplotlib); "
                              "the arrays themselves need nothing more") from None
        figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(9, 6.4))
        top.semilogx(self.frequency_hz, self.magnitude_db)
        top.set_ylabel("magnitude (dB)")
        top.grid(True, which="both", alpha=0.4)
        bottom.semilogx(self.frequency_hz, self.phase_deg)
        bottom.set_ylabel("phase (degrees)")
        bottom.set_xlabel("frequency (Hz)")
        bottom.grid(True, which="both", alpha=0.4)
        if path is not None:
            figure.savefig(path)
            plt.close(figure)
            return None
        return figure


def measure(dac, adc, start, stop, points=100, method="multitone", spacing="log",
            amplitude=-6.0, harmonics=5, averages=4, max_latency=0, keep_latency=False,
            reference=None, progress=None, on_point=None):
    """Plays a stimulus on the DAC board `dac` and captures the ADC board `adc`
    (kpxadac.Board objects), and returns a Result. `reference`: an earlier Result of
    a through connection, measured at the same frequencies, to divide by.
    `progress(fraction)` is called as the capture goes; with the stepped sine,
    `on_point(point)` with each Point as soon as it is measured, in order. A refusal (bad frequencies,
    not a DAC and an ADC board, rates that differ, an overrun or underrun, nothing
    connected) raises ResponseError with the library's text."""
    if method not in METHODS:
        raise ValueError(f"method {method!r}: give one of {', '.join(METHODS)}")
    if spacing not in SPACINGS:
        raise ValueError(f"spacing {spacing!r}: give log or linear")
    library = _load()
    request = _Request(method=METHODS.index(method), spacing=SPACINGS.index(spacing),
                       sampleRateHz=0.0, startHz=float(start), stopHz=float(stop),
                       points=int(points), amplitudeDbfs=float(amplitude),
                       harmonics=int(harmonics), averages=int(averages),
                       flags=FLAG_KEEP_LATENCY if keep_latency else 0)
    if not (0 <= int(points) < 2**32 and 0 <= int(averages) < 2**32
            and 0 <= int(max_latency) < 2**32):
        raise ValueError("points, averages and max_latency are counts below 2^32")
    callback = _Progress(lambda _user, fraction: progress(fraction)) if progress else _Progress()
    shown = int(harmonics) if harmonics else 5
    measured = (_PointMeasured(lambda _user, index, point: on_point(Point(index, point[0], shown)))
                if on_point else _PointMeasured())
    run = _Run(dac=dac.handle, adc=adc.handle, maxLatency=int(max_latency), progress=callback,
               pointMeasured=measured)
    handle = c_void_p()
    stream_code = c_int32()
    code = library.KpxResponse_Measure(ctypes.byref(run), ctypes.byref(request),
                                       ctypes.byref(handle), ctypes.byref(stream_code))
    if code != 0:
        meaning = _text(library, code)
        if code == ERR_STREAM:
            meaning += ": " + _binding.lib.KpxStream_ResultText(stream_code.value).decode()
        raise ResponseError(code, meaning)
    if reference is not None:
        applied = library.KpxResponse_ApplyReference(handle, reference._handle)
        if applied != 0:
            library.KpxResponse_FreeResult(handle)
            raise ResponseError(applied, _text(library, applied))
    if keep_latency:
        library.KpxResponse_SetKeepLatency(handle, 1)
    return Result(library, handle.value)
