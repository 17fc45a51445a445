"""SigMF recordings as kpxadac-capture writes them (docs/capture.md): 16-bit
little-endian samples, one channel, a capture segment after every overrun
with the board's `core:global_index`, and an "overrun" annotation there.

load() maps the samples into memory (numpy.memmap, read-only) and turns the
segments into gaps; a recording of triggered records (kpxadac-capture
--trigger, global "kpxadac:records") comes back as Records (kpxadac.recording);
save() writes a recording that load() and the SigMF schema accept, replacing an
existing one whole (docs/python.md). Needs only numpy, not the board library:
a leaf that imports only the data classes it reads and writes.
"""

import datetime as _datetime
import hashlib
import json
import math
import os
import secrets
import stat
import warnings

import numpy as np

from . import _checks
from . import recording as _recording
from .recording import (ALIGNMENTS, FALLING, UNTRIGGERED, Counts, Gap, GroupRecording, Recording,
                        Records, format_time, segments as _stretches)

DATATYPE = "ri16_le"
VERSION = "1.2.6"
OVERRUN_LABEL = "overrun"
META_ENDING = ".sigmf-meta"
DATA_ENDING = ".sigmf-data"
COLLECTION_ENDING = ".sigmf-collection"
_ENDINGS = (DATA_ENDING, META_ENDING, ".sigmf")
# The samples of the data file that the metadata describes; a recording whose writer did
# not finish it (docs/capture.md) may hold more.
SAMPLE_COUNT_KEY = "kpxadac:sample_count"
_WRITE_CHUNK = 16 << 20
# Bounds of what load() reads: the metadata's size (as kpxadac-analyze's) and its nesting
# (SigMF metadata is 4 levels deep; deeper is no recording, and Python's parser recurses).
MAX_META_BYTES = 1 << 30
MAX_NESTING = 64
# The board's indexes are signed 64-bit in the C readers.
MAX_INDEX = _checks.INT64_MAX
_READ_ATTEMPTS = 5


class SigMFError(ValueError, OSError):
    """The recording is not one this package reads: missing, not a regular file, too
    large, not our SigMF, or its data does not match. A ValueError as ever, and an
    OSError, which missing or unreadable files raised before."""


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


def _sha512(data_file):
    digest = hashlib.sha512()
    data_file.seek(0)
    for chunk in iter(lambda: data_file.read(_WRITE_CHUNK), b""):
        digest.update(chunk)
    return digest.hexdigest()


def _whole_number(value, maximum=None):
    return (isinstance(value, int) and not isinstance(value, bool) and value >= 0
            and (maximum is None or value <= maximum))


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
        if global_index is not None and not _whole_number(global_index, MAX_INDEX):
            raise SigMFError(f"{where}: capture segment: core:global_index is not a whole "
                             f"number from 0 to {MAX_INDEX}")
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


def _kind(mode):
    for test, kind in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return kind
    return "not a regular file"


def _nonblocking(path, flags):
    # A FIFO swapped in after the check opens at once instead of waiting for a writer.
    return os.open(path, flags | getattr(os, "O_NONBLOCK", 0))


def _open_regular(path):
    """`path` opened for reading, and its status, when it is a regular file; SigMFError
    naming it and why otherwise (checked before opening, so that a FIFO nobody writes
    is never waited for, and again on what was opened)."""
    try:
        mode = os.stat(path).st_mode
        if stat.S_ISREG(mode):
            opened = open(path, "rb", opener=_nonblocking)
    except (OSError, ValueError) as error:  # ValueError: a NUL in the name
        raise SigMFError(f"{path}: {getattr(error, 'strerror', None) or error}") from None
    if not stat.S_ISREG(mode):
        raise SigMFError(f"{path}: {_kind(mode)}, not a regular file")
    status = os.fstat(opened.fileno())
    if not stat.S_ISREG(status.st_mode):
        opened.close()
        raise SigMFError(f"{path}: {_kind(status.st_mode)}, not a regular file")
    return opened, status


def _unchanged(path, status):
    """Whether `path` still names the file that was opened with `status`."""
    try:
        now = os.stat(path)
    except OSError:
        return False
    return (now.st_dev, now.st_ino) == (status.st_dev, status.st_ino)


def _refuse_constant(name):
    raise ValueError(f"{name} is not a JSON number")


def _deeper_than(value, limit):
    """Whether lists and objects in `value` nest more than `limit` levels (no recursion)."""
    stack = [(value, 1)] if isinstance(value, (dict, list)) else []
    while stack:
        item, depth = stack.pop()
        if depth > limit:
            return True
        children = item.values() if isinstance(item, dict) else item
        stack.extend((child, depth + 1) for child in children
                     if isinstance(child, (dict, list)))
    return False


def _read_meta(path, meta_file, status, limit):
    if status.st_size > limit:
        raise SigMFError(f"{path}: {status.st_size} bytes, more than the {limit} metadata "
                         "may have")
    chunks, total = [], 0
    try:
        while total <= limit:  # in pieces: a read of `limit` bytes would take that memory
            chunk = meta_file.read(min(1 << 20, limit + 1 - total))
            if not chunk:
                break
            chunks.append(chunk)
            total += len(chunk)
    except OSError as error:
        raise SigMFError(f"{path}: {error.strerror or error}") from None
    raw = b"".join(chunks)
    if len(raw) > limit:  # grew since the check
        raise SigMFError(f"{path}: more than the {limit} bytes metadata may have")
    try:
        # A byte order mark before the text is skipped, as kpxadac-analyze does.
        meta = json.loads(raw.decode("utf-8-sig"), parse_constant=_refuse_constant)
    except UnicodeDecodeError:
        raise SigMFError(f"{path}: not UTF-8 text") from None
    except RecursionError:
        raise SigMFError(f"{path}: nested deeper than {MAX_NESTING} levels") from None
    except ValueError as error:  # json.JSONDecodeError, and numbers Python refuses to convert
        raise SigMFError(f"{path}: not JSON ({error})") from None
    if _deeper_than(meta, MAX_NESTING):
        raise SigMFError(f"{path}: nested deeper than {MAX_NESTING} levels")
    return meta


def _annotations(meta, where):
    annotations = meta.get("annotations", [])
    if not isinstance(annotations, list) or not all(
            isinstance(a, dict) and _whole_number(a.get("core:sample_start")) for a in annotations):
        raise SigMFError(f"{where}: annotations are not a list of objects with core:sample_start")
    return sorted(annotations, key=lambda a: a["core:sample_start"])


def _positive_rate(rate):
    if isinstance(rate, bool) or not isinstance(rate, (int, float)):
        return False
    try:
        return 0 < float(rate) < math.inf
    except OverflowError:
        return False


def _described(meta, where):
    """The checked metadata: (global object, gaps, annotations, described samples or None)."""
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
    if rate is not None and not _positive_rate(rate):
        raise SigMFError(f"{where}: core:sample_rate {rate!r} is not a positive number")
    described = global_.get(SAMPLE_COUNT_KEY)
    if SAMPLE_COUNT_KEY in global_ and not _whole_number(described):
        raise SigMFError(f"{where}: {SAMPLE_COUNT_KEY} {described!r} is not a whole number")
    segments = _segments(meta, where)
    annotations = _annotations(meta, where)
    try:
        gaps = _gaps(segments)
    except SigMFError as error:
        raise SigMFError(f"{where}: {error}") from None
    return global_, segments, gaps, annotations, described


def load(base, verify=False, max_meta_bytes=MAX_META_BYTES):
    """Reads `base`.sigmf-meta and maps `base`.sigmf-data. Only the samples that the
    metadata describes are used (kpxadac:sample_count, when a recording's writer did not
    finish it); the bytes after them are counted in the recording's `ignored_bytes`, and a
    warning says so. With `verify`, the data's SHA-512 must equal the metadata's
    core:sha512. Both files must be regular files, the metadata at most `max_meta_bytes`
    (1 GiB) and nested at most MAX_NESTING levels. A recording that cannot be read,
    missing files included, raises SigMFError."""
    if base is None:
        raise TypeError("base must be a file name, not None")
    max_meta_bytes = _checks.unsigned(max_meta_bytes, "max_meta_bytes", _checks.INT64_MAX)
    base = base_name(base)
    where = meta_path(base)
    data = data_path(base)
    # Metadata and data of one recording: a writer that replaces the recording meanwhile
    # (save() below, or a running kpxadac-capture rewriting its metadata) moves the
    # metadata first, so names that still lead to the files opened hold one recording.
    for _ in range(_READ_ATTEMPTS):
        meta_file, meta_status = _open_regular(where)
        with meta_file:
            meta = _read_meta(where, meta_file, meta_status, max_meta_bytes)
        global_, segments, gaps, annotations, described = _described(meta, where)
        data_file, data_status = _open_regular(data)
        if _unchanged(where, meta_status) and _unchanged(data, data_status):
            break
        data_file.close()
    else:
        raise SigMFError(f"{where}: the recording changed each of {_READ_ATTEMPTS} times it "
                         "was read (it is being written)")

    with data_file:
        size = data_status.st_size
        count = size // 2 if described is None else described
        if count > size // 2:
            raise SigMFError(f"{data} holds {size // 2} samples, the metadata describes {count}")
        if gaps and gaps[-1].sample_start > count:
            raise SigMFError(f"{where}: a capture segment starts at sample "
                             f"{gaps[-1].sample_start}, past the {count} samples of the recording")
        ignored = size - 2 * count
        if ignored:
            warnings.warn(f"{data}: {ignored} trailing bytes ignored after the {count} samples "
                          "its metadata describes", SigMFWarning, stacklevel=2)
        if verify:
            expected = global_.get("core:sha512")
            if not isinstance(expected, str):
                raise SigMFError(f"{where} has no core:sha512 to verify")
            try:
                digest = _sha512(data_file)
            except OSError as error:
                raise SigMFError(f"{data}: {error.strerror or error}") from None
            if digest != expected.lower():
                raise SigMFError(f"{data}: SHA-512 differs from the metadata's core:sha512")
        if count == 0:  # numpy cannot map an empty file
            samples = np.zeros(0, "<i2")
        else:
            try:
                # The map keeps its own handle of the file opened and checked above.
                samples = np.memmap(data_file, dtype="<i2", mode="r", shape=(count,))
            except (OSError, ValueError) as error:
                raise SigMFError(f"{data}: cannot be mapped ({error})") from None
    if "kpxadac:records" in global_:
        captures = sorted(meta.get("captures", []), key=lambda c: c["core:sample_start"])
        try:
            return _records(base, samples, global_, captures, annotations)
        except (KeyError, TypeError, ValueError, IndexError, AttributeError) as error:
            if isinstance(error, SigMFError):
                raise
            raise SigMFError(f"{where}: records not readable ({error!r})") from None
    datetime = segments[0][2] if segments else None
    recording = Recording(samples, global_.get("core:sample_rate"), gaps=gaps,
                          annotations=annotations, datetime=datetime, metadata=global_)
    recording.ignored_bytes = ignored
    return recording


def _records(base, samples, global_, captures, annotations):
    """A records recording: equal records back to back, one capture segment each, and a
    trigger annotation carrying the trigger's board index."""
    where = meta_path(base)

    def whole(key, default=None, maximum=MAX_INDEX):
        value = global_.get(key, default)
        if not _whole_number(value, maximum):
            raise SigMFError(f"{where}: records: {key} {value!r} is not a whole number "
                             f"from 0 to {maximum}")
        return value

    length = whole("kpxadac:record_length")
    pre = whole("kpxadac:record_pre")
    count = whole("kpxadac:records")
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
        if not _whole_number(index, _checks.UINT64_MAX):
            raise SigMFError(f"{where}: trigger {n}: kpxadac:trigger_index {index!r} is not a "
                             "board index")
        trigger_index.append(index)
        flags.append((UNTRIGGERED if trigger.get("kpxadac:untriggered") else 0) |
                     (FALLING if trigger.get("kpxadac:edge") == "falling" else 0))
    counts = Counts(whole("kpxadac:triggers_seen", count), count,
                    whole("kpxadac:records_lost_to_gaps", 0), whole("kpxadac:records_skipped", 0),
                    whole("kpxadac:records_cut_at_end", 0))
    settings = {key[len("kpxadac:trigger_"):]: value for key, value in global_.items()
                if key.startswith("kpxadac:trigger_")}
    return Records(samples.reshape(count, length), trigger_index, pre, flags=flags,
                   counts=counts, rate=global_.get("core:sample_rate"), settings=settings)


def _parse_time(text):
    return _datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))


STATE_COMPLETE = "complete"  # kpxadac:state of a finished recording, as kpxadac-capture's
_EXTENSION = {"name": "kpxadac", "version": "1.0.0", "optional": True}


def _checked_gaps(gaps, count):
    """The gaps as Gaps of whole numbers at samples 0..count, each global index moving
    by the samples before it plus its losses (the rule for gaps): what load() gives back."""
    checked = []
    for gap in gaps:
        try:
            fields = tuple(gap)
        except TypeError:
            fields = ()
        if len(fields) != 3:
            raise TypeError(f"a gap must be Gap(sample_start, global_index, lost), not {gap!r}")
        numbers = []
        for name, value, low, high in zip(("sample_start", "global_index", "lost"), fields,
                                          (0, 0, 1), (count, MAX_INDEX, MAX_INDEX)):
            number = _checks.integer(value, f"gap {name}")
            if not low <= number <= high:
                raise ValueError(f"gap {name} {number} is not from {low} to {high}")
            numbers.append(number)
        checked.append(Gap(*numbers))
    checked.sort(key=lambda gap: gap.sample_start)
    try:
        follow = _gaps([(gap.sample_start, gap.global_index, None) for gap in checked])
    except SigMFError as error:
        raise ValueError(f"gaps: {error}") from None
    if follow != checked:
        raise ValueError("gaps: each global_index must be the previous one plus the samples "
                         "between them plus its lost samples, one gap per sample_start")
    return checked


def _metadata(recording, count, description):
    """The metadata as a dict whose core:sha512 is still to be set, with everything that
    could make it fail checked (and turned into text once) before any file is touched."""
    rate = recording.rate
    if rate is None:
        raise ValueError("the recording needs a positive sample rate to be saved")
    rate = _checks.positive(rate, "rate")
    if description is not None and not isinstance(description, str):
        raise TypeError(f"description must be text, not {type(description).__name__}")
    gaps = _checked_gaps(recording.gaps, count)
    start_time = None
    if recording.datetime is not None:
        if not isinstance(recording.datetime, str):
            raise TypeError("datetime must be ISO-8601 text")
        try:
            start_time = _parse_time(recording.datetime)
        except ValueError:
            raise ValueError(f"datetime {recording.datetime!r} is not ISO-8601") from None
        if start_time.tzinfo is None:
            start_time = start_time.replace(tzinfo=_datetime.timezone.utc)
    captures = []
    for sample_start, _, global_index in _stretches(gaps, count):
        capture = {"core:sample_start": sample_start, "core:global_index": global_index}
        if start_time is not None:
            # As kpxadac-capture: the first segment has the start time, later ones the
            # start plus their global index over the rate.
            later = global_index if sample_start else 0
            capture["core:datetime"] = format_time(
                start_time + _datetime.timedelta(seconds=later / rate))
        captures.append(capture)
    annotations = []
    for annotation in recording.annotations:
        if not isinstance(annotation, dict) or not _whole_number(
                annotation.get("core:sample_start"), MAX_INDEX):
            raise ValueError(f"an annotation must be a dict with a whole core:sample_start, "
                             f"not {annotation!r}")
        if annotation.get("core:label") != OVERRUN_LABEL:
            annotations.append(annotation)
    annotations += [{"core:sample_start": gap.sample_start, "core:sample_count": 0,
                     "core:label": OVERRUN_LABEL, "core:comment": f"{gap.lost} samples lost"}
                    for gap in gaps]
    annotations.sort(key=lambda a: a["core:sample_start"])

    own = ("core:datatype", "core:sample_rate", "core:version", "core:num_channels",
           "core:sha512", "core:extensions", SAMPLE_COUNT_KEY, "kpxadac:state")
    metadata = recording.metadata if isinstance(recording.metadata, dict) else {}
    global_ = {"core:datatype": DATATYPE, "core:sample_rate": rate, "core:version": VERSION,
               "core:num_channels": 1, "core:sha512": ""}
    global_.update((key, value) for key, value in metadata.items() if key not in own)
    global_.setdefault("core:recorder", "kpxadac (Python)")
    if description is not None:
        global_["core:description"] = description
    extensions = metadata.get("core:extensions")
    extensions = [e for e in extensions if isinstance(e, dict) and e.get("name") != "kpxadac"] \
        if isinstance(extensions, list) else []
    # The state fields of kpxadac-capture: what the metadata describes, and that it is whole.
    global_.update({"core:extensions": extensions + [_EXTENSION], SAMPLE_COUNT_KEY: count,
                    "kpxadac:state": STATE_COMPLETE})
    meta = {"global": global_, "captures": captures, "annotations": annotations}
    try:
        _meta_text(meta)
    except (TypeError, ValueError) as error:  # NaN, an infinity, something not JSON
        raise ValueError(f"the recording's metadata or annotations are not JSON: {error}") \
            from None
    except RecursionError:
        raise ValueError(f"the recording's metadata nests deeper than {MAX_NESTING} levels") \
            from None
    return meta


def _meta_text(meta):
    return json.dumps(meta, indent=2, allow_nan=False) + "\n"


def _replaceable(path):
    """`path` as the file to replace (a symbolic link leads to its target, as writing
    through it did); ValueError when something other than a regular file is there."""
    final = os.path.realpath(path)
    try:
        mode = os.stat(final).st_mode
    except FileNotFoundError:
        return final, None
    if not stat.S_ISREG(mode):
        raise ValueError(f"{path} is {_kind(mode)}: a recording replaces regular files only")
    return final, stat.S_IMODE(mode)


def _temporary(final, mode, role):
    """A new file beside `final`, created exclusively: a hidden name cut to fit the file
    system however long `final`'s name is; the old file's permissions, if there was one."""
    folder, name = os.path.split(final)
    tag = f".{secrets.token_hex(4)}.{role}"
    while len(os.fsencode(f".{name}{tag}")) > 255:
        name = name[:-1]
    path = os.path.join(folder, f".{name}{tag}")
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    descriptor = os.open(path, flags, 0o666)
    if mode is not None and os.name == "posix":
        os.fchmod(descriptor, mode)  # exactly, past the umask
    return path, descriptor


def _remove(path):
    if path is not None:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def _sync_folder(folder):
    """Flushes a folder's entries (the renames); POSIX only, where folders open. The
    renames stand even where a file system cannot flush a folder."""
    if os.name != "posix":
        return
    try:
        descriptor = os.open(folder or ".", os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)


def _write_file(descriptor, chunks):
    with open(descriptor, "wb") as out:
        for chunk in chunks:
            out.write(chunk)
        out.flush()
        os.fsync(out.fileno())


def _replace_recording(base, samples, meta):
    """Writes the recording beside any old one and renames it into place (as
    kpxadac-capture writes its metadata): a reader finds the old recording or the new
    one, never a mix, and a failure leaves the old files and no temporary."""
    data_final, data_mode = _replaceable(data_path(base))
    meta_final, meta_mode = _replaceable(meta_path(base))
    data_temp = meta_temp = aside = None
    renaming = False
    try:
        data_temp, descriptor = _temporary(data_final, data_mode, "sigmf-data")
        digest = hashlib.sha512()

        def chunks():
            view = memoryview(samples).cast("B")
            for start in range(0, len(view), _WRITE_CHUNK):
                chunk = view[start:start + _WRITE_CHUNK]
                digest.update(chunk)
                yield chunk
        _write_file(descriptor, chunks())
        meta_temp, descriptor = _temporary(meta_final, meta_mode, "sigmf-meta")
        meta["global"]["core:sha512"] = digest.hexdigest()
        _write_file(descriptor, [_meta_text(meta).encode("utf-8")])
        # The old metadata goes aside first, then the data and the new metadata come: so
        # no moment has the old metadata beside the new data (between the renames a reader
        # finds no metadata and says so; load() also checks that neither file changed
        # while it read them).
        renaming = True
        if meta_mode is not None:
            aside, descriptor = _temporary(meta_final, None, "sigmf-meta-old")
            os.close(descriptor)
            os.replace(meta_final, aside)
        os.replace(data_temp, data_final)
        os.replace(meta_temp, meta_final)
        _remove(aside)
        _sync_folder(os.path.dirname(data_final))
        if os.path.dirname(meta_final) != os.path.dirname(data_final):
            _sync_folder(os.path.dirname(meta_final))
    except BaseException as error:
        if renaming and not os.path.lexists(data_temp):
            # The new data is in place: the new metadata follows it (a Ctrl+C between the
            # renames); if even that fails, no metadata is left rather than the old one.
            if os.path.lexists(meta_temp):
                try:
                    os.replace(meta_temp, meta_final)
                except OSError:
                    _remove(meta_temp)
            _remove(aside)
        else:
            if aside is not None and os.path.lexists(aside) and not os.path.lexists(meta_final):
                os.replace(aside, meta_final)
            _remove(aside)
            _remove(data_temp)
            _remove(meta_temp)
        if isinstance(error, OSError) and error.errno is not None and not error.filename:
            # Name the recording (a write error names no file).
            raise OSError(error.errno, error.strerror, data_path(base)) from error
        raise


def save(recording, base, description=None):
    """Writes `base`.sigmf-data and `base`.sigmf-meta: a capture segment for the
    first sample and after every gap, each with its global index, and an overrun
    annotation at every gap. Annotations of the recording other than overrun marks
    are kept. An existing recording of that name is replaced whole when the new one is
    on the disk (written beside it, flushed, renamed over it); a failure or Ctrl+C leaves
    it as it was. Returns the base name."""
    if base is None:
        raise TypeError("base must be a file name, not None")
    base = base_name(base)
    if os.path.basename(base) in ("", ".", ".."):
        # "dir/" would be the hidden files dir/.sigmf-data and dir/.sigmf-meta.
        raise ValueError(f"base {base!r} names a folder, not a recording")
    samples = np.ascontiguousarray(
        _checks.samples(recording.samples, "samples", convert=True, ndim=1), dtype="<i2")
    _replace_recording(base, samples, _metadata(recording, len(samples), description))
    return base


_recording.register_writer("sigmf", save)  # Recording.save_sigmf


# ---- Collections: the recordings of a group of boards (docs/groups.md) ------------

_HASH_DIGITS = set("0123456789abcdef")


def collection_path(base):
    """The collection file of `base` (a trailing .sigmf-collection is taken off first)."""
    base = os.fspath(base)
    if len(base) > len(COLLECTION_ENDING) and base.endswith(COLLECTION_ENDING):
        base = base[:-len(COLLECTION_ENDING)]
    return base + COLLECTION_ENDING


def _stream_entry(entry, where):
    """(name, hash) of a core:streams entry: an object {"name", "hash"}, or the older
    tuple [name, hash]; the name a file name in the collection's folder."""
    if isinstance(entry, dict):
        if "name" not in entry or "hash" not in entry:
            raise SigMFError(f"{where}: a stream has no name or no hash")
        name, digest = entry["name"], entry["hash"]
    elif isinstance(entry, list) and len(entry) == 2:
        name, digest = entry
    else:
        raise SigMFError(f'{where}: a stream is neither {{"name", "hash"}} nor [name, hash]')
    if not isinstance(name, str) or not isinstance(digest, str):
        raise SigMFError(f"{where}: a stream's name or hash is not a text")
    if (name in ("", ".", "..") or "/" in name or "\\" in name or ":" in name
            or "\0" in name):
        raise SigMFError(f"{where}: stream name {name!r} is not a file name in the "
                         "collection's folder")
    digest = digest.lower()
    if len(digest) != 128 or not set(digest) <= _HASH_DIGITS:
        raise SigMFError(f"{where}: the hash of stream {name} is not 128 hexadecimal digits")
    return name, digest


def _per_stream(collection, key, count, where, check):
    values = collection.get(key)
    if values is None:
        return None
    if not isinstance(values, list) or len(values) != count:
        raise SigMFError(f"{where}: {key} is not a list of one entry per stream")
    try:
        return [check(value, key) for value in values]
    except (TypeError, ValueError, OverflowError) as error:
        raise SigMFError(f"{where}: {error}") from None


def load_collection(path, verify=False, check_hashes=True, max_meta_bytes=MAX_META_BYTES):
    """Reads a collection (`path`: the .sigmf-collection file or its base name) and each
    recording it names, back on one sample index: a kpxadac.GroupRecording whose row b
    is the b-th stream, column i one instant, with each board's gaps, offsets, drifts,
    start skew and alignment. Each recording's .sigmf-meta must have the SHA-512 the
    collection gives (`check_hashes`), and name the collection in core:collection where
    it names one; `verify` checks each data file's SHA-512 as load() does. Every file
    is checked for what it is and read within bounds; anything wrong is a SigMFError."""
    if path is None:
        raise TypeError("path must be a file name, not None")
    max_meta_bytes = _checks.unsigned(max_meta_bytes, "max_meta_bytes", _checks.INT64_MAX)
    where = collection_path(path)
    opened, status = _open_regular(where)
    with opened:
        document = _read_meta(where, opened, status, max_meta_bytes)
    collection = document.get("collection") if isinstance(document, dict) else None
    if not isinstance(collection, dict):
        raise SigMFError(f"{where}: no collection object")
    if not isinstance(collection.get("core:version"), str):
        raise SigMFError(f"{where}: core:version is missing")
    streams = collection.get("core:streams")
    if not isinstance(streams, list) or not streams:
        raise SigMFError(f"{where}: core:streams is not a list of recordings")
    entries = [_stream_entry(entry, where) for entry in streams]
    names = [name for name, _ in entries]
    if len(set(names)) != len(names):
        raise SigMFError(f"{where}: a stream is named twice")
    count = len(entries)
    boards = _per_stream(collection, "kpxadac:boards", count, where,
                         lambda v, k: _checks.unsigned(v, k, 255)) or list(range(count))
    offsets = _per_stream(collection, "kpxadac:offsets", count, where, _checks.number)
    drifts = _per_stream(collection, "kpxadac:drifts_ppm", count, where, _checks.number)
    skew = collection.get("kpxadac:start_skew_samples", 0)
    if isinstance(skew, bool) or not isinstance(skew, (int, float)) or not 0 <= skew < math.inf:
        raise SigMFError(f"{where}: kpxadac:start_skew_samples is not a number from 0")
    alignment = collection.get("kpxadac:alignment", "none")
    if alignment not in ALIGNMENTS:
        raise SigMFError(f"{where}: kpxadac:alignment {alignment!r} is not one of {ALIGNMENTS}")

    folder = os.path.dirname(where)
    own_name = os.path.basename(where)[:-len(COLLECTION_ENDING)]
    recordings = []
    for name, digest in entries:
        base = os.path.join(folder, name)
        if check_hashes:
            meta_file, meta_status = _open_regular(meta_path(base))
            with meta_file:
                if meta_status.st_size > max_meta_bytes:
                    raise SigMFError(f"{meta_path(base)}: more than the {max_meta_bytes} bytes "
                                     "metadata may have")
                actual = hashlib.sha512(meta_file.read(max_meta_bytes + 1)).hexdigest()
            if actual != digest:
                raise SigMFError(f"{meta_path(base)}: its SHA-512 is not the one {where} "
                                 "gives (the recording changed since the collection was "
                                 "written)")
        recording = load(base, verify=verify, max_meta_bytes=max_meta_bytes)
        if not isinstance(recording, Recording):
            raise SigMFError(f"{meta_path(base)}: triggered records, not a recording of a group")
        named = recording.metadata.get("core:collection")
        if named is not None and named != own_name:
            raise SigMFError(f"{meta_path(base)}: belongs to the collection {named!r}, not "
                             f"{own_name!r}")
        recordings.append(recording)
    rates = {recording.rate for recording in recordings}
    if len(rates) != 1:
        raise SigMFError(f"{where}: the recordings have different sample rates {sorted(rates)}")
    return GroupRecording(recordings, boards, offsets, drifts, skew, alignment)
