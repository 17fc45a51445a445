"""SigMF recordings as kpxadac-capture writes them (docs/capture.md): 16-bit
little-endian samples, one channel, a capture segment after every overrun
with the board's `core:global_index`, and an "overrun" annotation there.

load() maps the samples into memory (numpy.memmap, read-only) and turns the
segments into gaps; a recording of triggered records (kpxadac-capture
--trigger, global "kpxadac:records") comes back as kpxadac.records.Records; save() writes a recording that load() and the SigMF
schema accept. Needs only numpy, not the board library.
"""

import datetime as _datetime
import hashlib
import json
import os
import warnings

import numpy as np

from .recording import Gap, Recording

DATATYPE = "ri16_le"
VERSION = "1.2.6"
OVERRUN_LABEL = "overrun"
META_ENDING = ".sigmf-meta"
DATA_ENDING = ".sigmf-data"
_ENDINGS = (DATA_ENDING, META_ENDING, ".sigmf")
# The samples of the data file that the metadata describes; a recording whose writer did
# not finish it (docs/capture.md) may hold more.
SAMPLE_COUNT_KEY = "kpxadac:sample_count"
_WRITE_CHUNK = 16 << 20


class SigMFError(ValueError):
    """The recording is not one this package reads (or its data does not match)."""


class SigMFWarning(UserWarning):
    """The recording holds bytes after the samples its metadata describes."""


def base_name(path):
    """The recording's base name: a trailing .sigmf-data, .sigmf-meta or .sigmf goes."""
    path = os.fspath(path)
    for ending in _ENDINGS:
        if len(path) > len(ending) and path.endswith(ending):
            return path[:-len(ending)]
    return path


def meta_path(base):
    """The metadata file of the recording `base` (any SigMF ending is taken off first)."""
    return base_name(base) + META_ENDING


def data_path(base):
    """The data file of the recording `base` (any SigMF ending is taken off first)."""
    return base_name(base) + DATA_ENDING


def _sha512(path):
    digest = hashlib.sha512()
    with open(path, "rb") as data:
        for chunk in iter(lambda: data.read(_WRITE_CHUNK), b""):
            digest.update(chunk)
    return digest.hexdigest()


def _whole_number(value):
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _segments(meta, where):
    """The capture segments as (sample_start, global_index or None, datetime or None), in
    sample order."""
    captures = meta.get("captures", [])
    if not isinstance(captures, list):
        raise SigMFError(f"{where}: captures is not a list")
    segments = []
    for capture in captures:
        if not isinstance(capture, dict):
            raise SigMFError(f"{where}: a capture segment is not an object")
        start = capture.get("core:sample_start")
        if not _whole_number(start):
            raise SigMFError(f"{where}: a capture segment has no whole core:sample_start")
        global_index = capture.get("core:global_index")
        if global_index is not None and not _whole_number(global_index):
            raise SigMFError(f"{where}: capture segment: core:global_index is not a whole number")
        segments.append((start, global_index, capture.get("core:datetime")))
    segments.sort(key=lambda segment: segment[0])
    return segments


def _gaps(segments):
    """The one rule for gaps (docs/capture.md): a gap wherever a segment's global index
    moves further than its sample start; a segment without such a jump (or without a
    global index) joins its neighbour."""
    gaps = []
    previous_start = previous_global = 0
    for start, global_index, _ in segments:
        expected = previous_global + (start - previous_start)
        if global_index is None:
            global_index = expected
        if global_index < expected:
            raise SigMFError(f"capture at sample {start} has global_index {global_index}, "
                             "behind the samples before it")
        if global_index > expected and gaps and gaps[-1].sample_start == start:
            # Segments at one sample: one gap, the losses of both.
            gaps[-1] = Gap(start, global_index, gaps[-1].lost + global_index - expected)
        elif global_index > expected:
            gaps.append(Gap(start, global_index, global_index - expected))
        previous_start, previous_global = start, global_index
    return gaps


def _read_meta(path):
    try:
        with open(path, "rb") as meta_file:
            return json.loads(meta_file.read().decode("utf-8"))
    except UnicodeDecodeError:
        raise SigMFError(f"{path}: not UTF-8 text") from None
    except ValueError as error:  # json.JSONDecodeError, and numbers Python refuses to convert
        raise SigMFError(f"{path}: not JSON ({error})") from None
    except RecursionError:
        raise SigMFError(f"{path}: nested too deeply") from None


def _annotations(meta, where):
    annotations = meta.get("annotations", [])
    if not isinstance(annotations, list) or not all(
            isinstance(a, dict) and _whole_number(a.get("core:sample_start")) for a in annotations):
        raise SigMFError(f"{where}: annotations are not a list of objects with core:sample_start")
    return sorted(annotations, key=lambda a: a["core:sample_start"])


def load(base, verify=False):
    """Reads `base`.sigmf-meta and maps `base`.sigmf-data. Only the samples that the
    metadata describes are used (kpxadac:sample_count, when a recording's writer did not
    finish it); the bytes after them are counted in the recording's `ignored_bytes`, and a
    warning says so. With `verify`, the data's SHA-512 must equal the metadata's
    core:sha512. A recording that cannot be read raises SigMFError."""
    if base is None:
        raise TypeError("base must be a file name, not None")
    base = base_name(base)
    where = meta_path(base)
    meta = _read_meta(where)
    if not isinstance(meta, dict) or not isinstance(meta.get("global"), dict):
        raise SigMFError(f"{where}: no global object")
    global_ = meta["global"]
    datatype = global_.get("core:datatype")
    if datatype is None:
        raise SigMFError(f"{where}: missing 'core:datatype'")
    if datatype != DATATYPE:
        raise SigMFError(f"{where}: datatype {datatype!r}, only {DATATYPE!r} is read")
    channels = global_.get("core:num_channels", 1)
    if channels != 1 or isinstance(channels, bool):
        raise SigMFError(f"{where}: {channels!r} channels, not 1")
    rate = global_.get("core:sample_rate")
    if rate is not None and (isinstance(rate, bool) or not isinstance(rate, (int, float))
                             or not 0 < rate < float("inf")):
        raise SigMFError(f"{where}: core:sample_rate {rate!r} is not a positive number")
    described = global_.get(SAMPLE_COUNT_KEY)
    if described is not None and not _whole_number(described):
        raise SigMFError(f"{where}: {SAMPLE_COUNT_KEY} is not a whole number")
    segments = _segments(meta, where)
    annotations = _annotations(meta, where)
    try:
        gaps = _gaps(segments)
    except SigMFError as error:
        raise SigMFError(f"{where}: {error}") from None

    data = data_path(base)
    size = os.path.getsize(data)
    count = size // 2 if described is None else described
    if count > size // 2:
        raise SigMFError(f"{data} holds {size // 2} samples, the metadata describes {count}")
    if gaps and gaps[-1].sample_start > count:
        raise SigMFError(f"{where}: a capture segment starts at sample {gaps[-1].sample_start}, "
                         f"past the {count} samples of the recording")
    ignored = size - 2 * count
    if ignored:
        warnings.warn(f"{data}: {ignored} trailing bytes ignored after the {count} samples "
                      "its metadata describes", SigMFWarning, stacklevel=2)
    if verify:
        expected = global_.get("core:sha512")
        if not isinstance(expected, str):
            raise SigMFError(f"{where} has no core:sha512 to verify")
        if _sha512(data) != expected.lower():
            raise SigMFError(f"{data}: SHA-512 differs from the metadata's core:sha512")
    if count == 0:  # numpy cannot map an empty file
        samples = np.zeros(0, "<i2")
    else:
        samples = np.memmap(data, dtype="<i2", mode="r", shape=(count,))
    if "kpxadac:records" in global_:
        captures = sorted(meta.get("captures", []), key=lambda c: c["core:sample_start"])
        try:
            return _records(base, samples, global_, captures, annotations)
        except (KeyError, TypeError, ValueError, IndexError, AttributeError) as error:
            raise SigMFError(f"{where}: records not readable ({error!r})") from None
    datetime = segments[0][2] if segments else None
    recording = Recording(samples, rate, gaps=gaps, annotations=annotations,
                          datetime=datetime, metadata=global_)
    recording.ignored_bytes = ignored
    return recording


def _records(base, samples, global_, captures, annotations):
    """A records recording: equal records back to back, one capture segment each, and a
    trigger annotation carrying the trigger's board index."""
    from .records import FALLING, UNTRIGGERED, Counts, Records
    try:
        length = int(global_["kpxadac:record_length"])
        pre = int(global_["kpxadac:record_pre"])
        count = int(global_["kpxadac:records"])
    except (KeyError, TypeError, ValueError) as error:
        raise SigMFError(f"{base}.sigmf-meta: records without {error}") from None
    if length <= 0 or not 0 <= pre <= length or len(samples) != count * length:
        raise SigMFError(f"{base}.sigmf-data: {len(samples)} samples are not {count} records "
                         f"of {length}")
    triggers = [a for a in annotations if a.get("core:label") == "trigger"]
    if len(triggers) != count:
        raise SigMFError(f"{base}.sigmf-meta: {len(triggers)} trigger annotations for "
                         f"{count} records")
    trigger_index = []
    flags = []
    for n, trigger in enumerate(triggers):
        if trigger["core:sample_start"] != n * length + pre:
            raise SigMFError(f"{base}.sigmf-meta: trigger {n} is not at sample {pre} of its "
                             "record")
        index = trigger.get("kpxadac:trigger_index")
        if index is None:  # the segment's global index gives it too
            index = captures[n]["core:global_index"] + pre
        trigger_index.append(index)
        flags.append((UNTRIGGERED if trigger.get("kpxadac:untriggered") else 0) |
                     (FALLING if trigger.get("kpxadac:edge") == "falling" else 0))
    counts = Counts(global_.get("kpxadac:triggers_seen", count), count,
                    global_.get("kpxadac:records_lost_to_gaps", 0),
                    global_.get("kpxadac:records_skipped", 0),
                    global_.get("kpxadac:records_cut_at_end", 0))
    settings = {key[len("kpxadac:trigger_"):]: value for key, value in global_.items()
                if key.startswith("kpxadac:trigger_")}
    return Records(samples.reshape(count, length), trigger_index, pre, flags=flags,
                   counts=counts, rate=global_.get("core:sample_rate"), settings=settings)


def _parse_time(text):
    return _datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))


def _format_time(moment):
    moment = moment.astimezone(_datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + f"{moment.microsecond // 1000:03d}Z"


def save(recording, base, description=None):
    """Writes `base`.sigmf-data and `base`.sigmf-meta: a capture segment for the
    first sample and after every gap, each with its global index, and an overrun
    annotation at every gap. Annotations of the recording other than overrun marks
    are kept. Returns the base name."""
    if base is None:
        raise TypeError("base must be a file name, not None")
    base = base_name(base)
    if not recording.rate or recording.rate <= 0:
        raise ValueError("the recording needs a positive sample rate to be saved")
    samples = np.ascontiguousarray(recording.samples, dtype="<i2")
    digest = hashlib.sha512()
    with open(data_path(base), "wb") as data_file:
        view = memoryview(samples).cast("B")
        for start in range(0, len(view), _WRITE_CHUNK):
            chunk = view[start:start + _WRITE_CHUNK]
            data_file.write(chunk)
            digest.update(chunk)

    start_time = _parse_time(recording.datetime) if recording.datetime else None
    captures = []
    for segment in recording.segments():
        capture = {"core:sample_start": segment.sample_start,
                   "core:global_index": segment.global_index}
        if start_time is not None:
            # As kpxadac-capture: the first segment has the start time, later ones the
            # start plus their global index over the rate.
            later = segment.global_index if segment.sample_start else 0
            offset = _datetime.timedelta(seconds=later / recording.rate)
            capture["core:datetime"] = _format_time(start_time + offset)
        captures.append(capture)
    annotations = [a for a in recording.annotations if a.get("core:label") != OVERRUN_LABEL]
    annotations += [{"core:sample_start": gap.sample_start, "core:sample_count": 0,
                     "core:label": OVERRUN_LABEL, "core:comment": f"{gap.lost} samples lost"}
                    for gap in recording.gaps]
    annotations.sort(key=lambda a: a["core:sample_start"])

    global_ = {key: value for key, value in recording.metadata.items()
               if key not in ("core:datatype", "core:sample_rate", "core:version",
                              "core:num_channels", "core:sha512")}
    global_.update({"core:datatype": DATATYPE, "core:sample_rate": float(recording.rate),
                    "core:version": VERSION, "core:num_channels": 1,
                    "core:sha512": digest.hexdigest()})
    global_.setdefault("core:recorder", "kpxadac (Python)")
    if description is not None:
        global_["core:description"] = description
    with open(meta_path(base), "w", encoding="utf-8") as meta_file:
        json.dump({"global": global_, "captures": captures, "annotations": annotations},
                  meta_file, indent=2)
        meta_file.write("\n")
    return base
