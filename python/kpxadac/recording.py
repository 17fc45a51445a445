"""The data of the package, without I/O: a Recording (samples, their rate, and the
gaps where the board lost samples) and Records (triggered records of equal length).

kpxadac.sigmf reads and writes them; kpxadac.stream and kpxadac.records fill them
from a board. This module imports neither, so each of those imports it.
"""

import datetime as _datetime
from collections import namedtuple

import numpy as np

from . import _checks

Gap = namedtuple("Gap", "sample_start global_index lost")
Gap.__doc__ = """`lost` samples are missing right before sample `sample_start` of the
recording, whose board index is `global_index` (lost samples counted)."""

Segment = namedtuple("Segment", "sample_start sample_end global_index")
Segment.__doc__ = "Samples [sample_start, sample_end) follow each other on the board."


def _first_index(gaps):
    return gaps[0].global_index if gaps and gaps[0].sample_start == 0 else 0


def segments(gaps, count):
    """The stretches of `count` samples without a gap (`gaps` sorted), as Segments."""
    starts = [(0, _first_index(gaps))] + [(g.sample_start, g.global_index) for g in gaps
                                          if g.sample_start > 0]
    ends = [start for start, _ in starts[1:]] + [count]
    return [Segment(start, end, index) for (start, index), end in zip(starts, ends)]


class Recording:
    """`samples` (int16, an array or a numpy.memmap; other integer arrays are converted
    when every value fits, floats are a TypeError), `rate` in samples per second (None
    when unknown; else finite and above 0),
    `gaps` (Gaps sorted by sample_start; one at 0 when samples were lost before the
    first), `annotations` (SigMF annotation dicts other than the overrun marks),
    `datetime` (ISO-8601 UTC of the first sample, or None) and `metadata` (the
    SigMF global object of a loaded recording)."""

    def __init__(self, samples, rate, gaps=(), annotations=(), datetime=None, metadata=None):
        # int16 as given (a memory map stays one); other integers converted when they fit;
        # floats and values beyond 16 bits refused, never wrapped.
        self.samples = _checks.samples(samples, "samples", convert=True, ndim=1)
        self.rate = None if rate is None else _checks.positive(rate, "rate")
        self.gaps = sorted(gaps, key=lambda gap: gap.sample_start)
        self.annotations = list(annotations)
        self.datetime = datetime
        self.metadata = dict(metadata or {})
        self.ignored_bytes = 0  # bytes of the file after the samples used (kpxadac.sigmf.load)

    def __len__(self):
        return len(self.samples)

    def __repr__(self):
        return (f"<kpxadac.Recording {len(self.samples)} samples at {self.rate} Hz, "
                f"{len(self.gaps)} gap(s), {self.lost} lost>")

    @property
    def lost(self):
        """Samples lost in all gaps."""
        return sum(gap.lost for gap in self.gaps)

    @property
    def first_index(self):
        """Board index of the first sample."""
        return _first_index(self.gaps)

    def segments(self):
        """The stretches without a gap, as Segments."""
        return segments(self.gaps, len(self.samples))

    def save_sigmf(self, base, description=None):
        """Writes `base`.sigmf-data and `base`.sigmf-meta, replacing an existing recording
        whole or not at all (see kpxadac.sigmf.save)."""
        if _writers.get("sigmf") is None:
            raise RuntimeError("kpxadac.sigmf is not loaded (import kpxadac loads it)")
        return _writers["sigmf"](self, base, description=description)

    def plot(self, title=None):
        """A figure with the waveform and the spectrum (kpxadac.plot; needs matplotlib)."""
        return _drawer("recording")(self, title=title)


# The writers of the file formats, by name: kpxadac.sigmf gives its save() here as it
# loads (the package loads it), so that this module does no I/O and imports no writer.
_writers = {}


# The drawings of Recording.plot and Records.plot: kpxadac.plot gives them here as it loads,
# as kpxadac.sigmf gives its writer, so that this module imports no drawing.
_drawers = {}


def register_drawer(name, draw):
    """Makes `draw` the drawing of `name` ("recording", "records")."""
    _drawers[name] = draw


def _drawer(name):
    if _drawers.get(name) is None:
        raise RuntimeError("kpxadac.plot is not loaded (import kpxadac loads it)")
    return _drawers[name]


def register_writer(name, save):
    """Makes `save(recording, base, description=None)` the writer of Recording.save_<name>."""
    _writers[name] = save


def format_time(moment):
    """A datetime as the ISO-8601 UTC text of a recording's `datetime`, to the millisecond."""
    moment = moment.astimezone(_datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + f"{moment.microsecond // 1000:03d}Z"


# ---- Triggered records -----------------------------------------------------------

UNTRIGGERED = 1  # KPXRECORD_UNTRIGGERED
FALLING = 2  # KPXRECORD_FALLING

Counts = namedtuple("Counts",
                    "triggers_seen records_delivered lost_to_gaps skipped_slow cut_at_end")
Counts.__doc__ = """Edges that fired, records delivered, records dropped at gaps, triggers
skipped because the queue was full, and a record cut by the end of the stream."""

Record = namedtuple("Record", "samples trigger_index first_index number flags host_time_ns counts")
Record.__doc__ = """One record: `samples` (int16, pre + post; the trigger sample is
samples[pre]), `trigger_index` and `first_index` (board indexes), `number` (0, 1, ...
among those delivered), `flags` (UNTRIGGERED, FALLING), `host_time_ns` and the
`counts` at the time it was taken."""


class Records:
    """Records of equal length: `samples` ((count, pre + post) int16), `trigger_index`
    and `first_index` (uint64), `flags` (uint32), `host_time_ns` (int64, zeros when
    unknown), `pre`, `post`, `rate` (samples per second or None), `counts` (Counts) and
    `settings` (the trigger's edge, level, hysteresis and holdoff)."""

    def __init__(self, samples, trigger_index, pre, flags=None, host_time_ns=None,
                 counts=None, rate=None, settings=None):
        self.samples = _checks.samples(samples, "samples", convert=True, ndim=2)
        self.trigger_index = _checks.integers(trigger_index, "trigger_index", np.uint64)
        count = len(self.trigger_index)
        if self.samples.shape[0] != count:
            raise ValueError(f"samples must be ({count}, length), not {self.samples.shape}")
        self.pre = _checks.integer(pre, "pre")
        if not 0 <= self.pre <= self.samples.shape[1]:
            raise ValueError(f"pre must be from 0 to {self.samples.shape[1]}, not {self.pre}")
        self.post = self.samples.shape[1] - self.pre
        self.first_index = self.trigger_index - np.uint64(self.pre)
        self.flags = (np.zeros(count, np.uint32) if flags is None
                      else _checks.integers(flags, "flags", np.uint32))
        self.host_time_ns = (np.zeros(count, np.int64) if host_time_ns is None
                             else _checks.integers(host_time_ns, "host_time_ns", np.int64))
        if len(self.flags) != count or len(self.host_time_ns) != count:
            raise ValueError(f"flags and host_time_ns must have {count} values, one a record")
        self.counts = counts or Counts(count, count, 0, 0, 0)
        self.rate = None if rate is None else _checks.positive(rate, "rate")
        self.settings = dict(settings or {})

    def __len__(self):
        return len(self.trigger_index)

    def __repr__(self):
        return (f"<kpxadac.Records {len(self)} of {self.pre}+{self.post} samples, "
                f"{self.lost} lost>")

    @property
    def lost(self):
        """Records lost: to gaps, skipped for a slow consumer, and cut at the end."""
        c = self.counts
        return c.lost_to_gaps + c.skipped_slow + c.cut_at_end

    @property
    def untriggered(self):
        """A bool per record: taken by auto mode, without an edge."""
        return (self.flags & UNTRIGGERED) != 0

    def plot(self, ax=None, count=None, title=None):
        """The records overlaid on their trigger sample (kpxadac.plot; needs matplotlib)."""
        return _drawer("records")(self, ax=ax, count=count, title=title)


# ---- Groups of boards --------------------------------------------------------------

ALIGNMENTS = ("none", "measure", "offsets")


class GroupRecording:
    """The samples of a group of boards on one sample index (docs/groups.md): row b of
    `samples` is board `boards[b]`, and column i of every row was taken at the same
    instant (within `start_skew` samples when `alignment` is "none"). `recordings` holds
    each board's samples as a Recording (its gaps by the rule of every recording: one at
    sample 0 counts the board samples before the first, those skipped to align and
    measure included); `gaps` per board, without that one; `first_index` per board, the
    board index of sample 0. `offsets` (samples against the first board), `drifts_ppm`,
    `start_skew` (samples, an upper bound) and `alignment` ("none", "measure" or
    "offsets") as the group reported them."""

    def __init__(self, recordings, boards, offsets=None, drifts_ppm=None, start_skew=0,
                 alignment="none"):
        self.recordings = list(recordings)
        count = len(self.recordings)
        if count == 0:
            raise ValueError("a group recording needs at least one board")
        if not all(isinstance(r, Recording) for r in self.recordings):
            raise TypeError("recordings must be kpxadac.Recording objects")
        self.boards = [_checks.unsigned(b, "board", 255) for b in boards]
        self.offsets = [_checks.number(o, "offset") for o in (offsets or [0.0] * count)]
        self.drifts_ppm = [_checks.number(d, "drift") for d in (drifts_ppm or [0.0] * count)]
        if not len(self.boards) == len(self.offsets) == len(self.drifts_ppm) == count:
            raise ValueError(f"boards, offsets and drifts_ppm need one entry for each of the "
                             f"{count} recordings")
        self.start_skew = _checks.number(start_skew, "start_skew", 0)
        if alignment not in ALIGNMENTS:
            raise ValueError(f"alignment must be one of {ALIGNMENTS}, not {alignment!r}")
        self.alignment = alignment
        self._samples = None

    def __len__(self):
        return min(len(r) for r in self.recordings)

    def __repr__(self):
        return (f"<kpxadac.GroupRecording {len(self.recordings)} boards x {len(self)} "
                f"samples at {self.rate} Hz, alignment {self.alignment}>")

    @property
    def rate(self):
        return self.recordings[0].rate

    @property
    def samples(self):
        """(boards, N) int16: the samples every board has (read into memory once)."""
        if self._samples is None:
            length = len(self)
            self._samples = np.stack([np.asarray(r.samples[:length]) for r in self.recordings])
        return self._samples

    @property
    def first_index(self):
        return [r.first_index for r in self.recordings]

    @property
    def gaps(self):
        return [[g for g in r.gaps if g.sample_start > 0] for r in self.recordings]
