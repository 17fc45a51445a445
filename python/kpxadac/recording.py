"""A recording: samples, their rate, and the gaps where the board lost samples."""

from collections import namedtuple

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
        from .sigmf import save
        return save(self, base, description=description)
