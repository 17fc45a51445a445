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

import numpy as np

from .recording import Gap, Recording

DATATYPE = "ri16_le"
VERSION = "1.2.6"
OVERRUN_LABEL = "overrun"
_ENDINGS = (".sigmf-data", ".sigmf-meta", ".sigmf")
_WRITE_CHUNK = 16 << 20


class SigMFError(ValueError):
    """The recording is not one this package reads (or its data does not match)."""


def base_name(path):
    """The recording's base name: a trailing .sigmf-data, .sigmf-meta or .sigmf goes."""
    path = os.fspath(path)
    for ending in _ENDINGS:
        if path.endswith(ending):
            return path[:-len(ending)]
    return path


def _sha512(path):
    digest = hashlib.sha512()
    with open(path, "rb") as data:
        for chunk in iter(lambda: data.read(_WRITE_CHUNK), b""):
            digest.update(chunk)
    return digest.hexdigest()


def _gaps(captures):
    """A gap wherever a segment's global index moves further than its sample start."""
    gaps = []
    previous_start = previous_global = 0
    for capture in captures:
        start = capture["core:sample_start"]
        if "core:global_index" not in capture:  # no board index: taken as contiguous
            previous_global += start - previous_start
            previous_start = start
            continue
        global_index = capture["core:global_index"]
        lost = global_index - previous_global - (start - previous_start)
        if lost < 0:
            raise SigMFError(f"capture at sample {start} has global_index {global_index}, "
                             "behind the samples before it")
        if lost:
            gaps.append(Gap(start, global_index, lost))
        previous_start, previous_global = start, global_index
    return gaps


def load(base, verify=False):
    """Reads `base`.sigmf-meta and maps `base`.sigmf-data. With `verify`, the data's
    SHA-512 must equal the metadata's core:sha512 (SigMFError otherwise)."""
    if base is None:
        raise TypeError("base must be a file name, not None")
    base = base_name(base)
    with open(base + ".sigmf-meta", encoding="utf-8") as meta_file:
        meta = json.load(meta_file)
    try:
        global_ = meta["global"]
        captures = sorted(meta.get("captures", []), key=lambda c: c["core:sample_start"])
        datatype = global_["core:datatype"]
    except (KeyError, TypeError) as error:
        raise SigMFError(f"{base}.sigmf-meta: missing {error}") from None
    if datatype != DATATYPE:
        raise SigMFError(f"{base}.sigmf-meta: datatype {datatype!r}, only {DATATYPE!r} is read")
    if global_.get("core:num_channels", 1) != 1:
        raise SigMFError(f"{base}.sigmf-meta: {global_['core:num_channels']} channels, not 1")
    data_path = base + ".sigmf-data"
    if verify:
        expected = global_.get("core:sha512")
        if expected is None:
            raise SigMFError(f"{base}.sigmf-meta has no core:sha512 to verify")
        if _sha512(data_path) != expected.lower():
            raise SigMFError(f"{data_path}: SHA-512 differs from the metadata's core:sha512")
    if os.path.getsize(data_path) < 2:  # numpy cannot map an empty file
        samples = np.zeros(0, "<i2")
    else:
        samples = np.memmap(data_path, dtype="<i2", mode="r")
    annotations = sorted(meta.get("annotations", []), key=lambda a: a["core:sample_start"])
    if "kpxadac:records" in global_:
        return _records(base, samples, global_, captures, annotations)
    datetime = captures[0].get("core:datetime") if captures else None
    return Recording(samples, global_.get("core:sample_rate"), gaps=_gaps(captures),
                     annotations=annotations, datetime=datetime, metadata=global_)


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
    with open(base + ".sigmf-data", "wb") as data_file:
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
    with open(base + ".sigmf-meta", "w", encoding="utf-8") as meta_file:
        json.dump({"global": global_, "captures": captures, "annotations": annotations},
                  meta_file, indent=2)
        meta_file.write("\n")
    return base
