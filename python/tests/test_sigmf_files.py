"""kpxadac.sigmf and the file system: every bad file through the reader is a SigMFError
(never a hang, never wrong samples), and a save that fails or is interrupted at any
step leaves the old recording whole and no temporary file."""

import errno
import json
import os
import shutil
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import kpxadac
from kpxadac import sigmf

from conftest import ramp

OLD = ramp(0, 3000)
NEW = ramp(40000, 5000)


def _good(folder, name="rec"):
    base = str(folder / name)
    kpxadac.Recording(OLD, 1e6).save_sigmf(base)
    return base


def _fifo(path):
    os.mkfifo(path)


def _nested(depth):
    return '{"global": ' + "[" * depth + "]" * depth + "}"


# (what is wrong, how the folder is made so, the reason the error gives)
BAD_FILES = [
    ("no metadata", lambda b: os.unlink(b + ".sigmf-meta"), "No such file"),
    ("no data", lambda b: os.unlink(b + ".sigmf-data"), "No such file"),
    ("metadata a directory", lambda b: (os.unlink(b + ".sigmf-meta"), os.mkdir(b + ".sigmf-meta")),
     "a directory, not a regular file"),
    ("data a directory", lambda b: (os.unlink(b + ".sigmf-data"), os.mkdir(b + ".sigmf-data")),
     "a directory, not a regular file"),
    ("metadata a FIFO nobody writes", lambda b: (os.unlink(b + ".sigmf-meta"),
                                                 _fifo(b + ".sigmf-meta")), "a FIFO"),
    ("data a FIFO nobody writes", lambda b: (os.unlink(b + ".sigmf-data"),
                                             _fifo(b + ".sigmf-data")), "a FIFO"),
    ("metadata a device", lambda b: (os.unlink(b + ".sigmf-meta"),
                                     os.symlink("/dev/zero", b + ".sigmf-meta")),
     "a character device"),
    ("metadata larger than 1 GiB", lambda b: os.truncate(b + ".sigmf-meta", (1 << 30) + 1),
     "more than the 1073741824"),
    ("metadata nested too deeply", lambda b: open(b + ".sigmf-meta", "w").write(_nested(65)),
     "nested deeper than 64"),
    ("metadata nested past Python's stack",
     lambda b: open(b + ".sigmf-meta", "w").write(_nested(100000)), "nested deeper than 64"),
    ("NaN in the metadata", lambda b: open(b + ".sigmf-meta", "w").write(
        '{"global": {"core:datatype": "ri16_le", "core:sample_rate": NaN}}'), "not JSON"),
    ("a huge integer", lambda b: open(b + ".sigmf-meta", "w").write(
        '{"global": {"core:datatype": "ri16_le", "kpxadac:sample_count": 1' + "0" * 5000 + "}}"),
     "not JSON"),
    ("a rate beyond the floats", lambda b: open(b + ".sigmf-meta", "w").write(
        '{"global": {"core:datatype": "ri16_le", "core:sample_rate": 1' + "0" * 400 + "}}"),
     "core:sample_rate"),
    ("a records count that is text", lambda b: open(b + ".sigmf-meta", "w").write(json.dumps(
        {"global": {"core:datatype": "ri16_le", "kpxadac:records": "3",
                    "kpxadac:record_length": 1000, "kpxadac:record_pre": 10}})),
     "kpxadac:records '3' is not a whole number"),
]


@pytest.mark.parametrize("what, spoil, reason", BAD_FILES, ids=[c[0] for c in BAD_FILES])
def test_every_bad_file_is_a_sigmf_error_naming_it(tmp_path, what, spoil, reason):
    base = _good(tmp_path)
    spoil(base)
    outcome = []

    def load():
        try:
            sigmf.load(base)
            outcome.append(None)
        except Exception as error:  # noqa: BLE001  (checked below)
            outcome.append(error)
    # In a thread: a reader that blocks (a FIFO) fails the test instead of hanging it.
    reader = threading.Thread(target=load, daemon=True)
    reader.start()
    reader.join(20)
    assert not reader.is_alive(), f"{what}: load() blocked"
    error = outcome[0]
    assert isinstance(error, sigmf.SigMFError), f"{what}: {error!r}"
    assert reason in str(error) and base in str(error), str(error)
    # Caught as before: a ValueError, and an OSError as missing files were.
    assert isinstance(error, ValueError) and isinstance(error, OSError)


def test_the_metadata_bound_can_be_raised_and_lowered(tmp_path):
    base = _good(tmp_path)
    size = os.path.getsize(base + ".sigmf-meta")
    with pytest.raises(sigmf.SigMFError, match=f"{size} bytes, more than the {size - 1}"):
        sigmf.load(base, max_meta_bytes=size - 1)
    assert np.array_equal(sigmf.load(base, max_meta_bytes=size).samples, OLD)
    with pytest.raises(OverflowError, match="max_meta_bytes"):
        sigmf.load(base, max_meta_bytes=-1)


def test_a_save_keeps_the_state_fields_of_kpxadac_capture(tmp_path):
    base = _good(tmp_path)
    meta = json.loads(open(base + ".sigmf-meta").read())["global"]
    assert meta["kpxadac:state"] == "complete" and meta["kpxadac:sample_count"] == len(OLD)
    assert {"name": "kpxadac", "version": "1.0.0", "optional": True} in meta["core:extensions"]
    # Saved again from what was loaded: one kpxadac extension, the new count.
    loaded = sigmf.load(base)
    loaded.samples = loaded.samples[:100]
    os.chmod(base + ".sigmf-data", 0o640)
    sigmf.save(loaded, base)
    meta = json.loads(open(base + ".sigmf-meta").read())["global"]
    assert meta["kpxadac:sample_count"] == 100 and len(meta["core:extensions"]) == 1
    assert os.stat(base + ".sigmf-data").st_mode & 0o777 == 0o640  # the old file's


def _count_calls(monkeypatch, module, name, failing_call, exception):
    """Makes `module.name` raise `exception` at its `failing_call`-th call (from 1)."""
    real = getattr(module, name)
    calls = []

    def wrapper(*args, **kwargs):
        calls.append(args)
        if len(calls) == failing_call:
            raise exception
        return real(*args, **kwargs)
    monkeypatch.setattr(module, name, wrapper)
    return calls


class _InterruptedDigest:
    """A SHA-512 whose third update is a Ctrl+C: the data file is half written."""

    def __init__(self):
        import hashlib
        self._digest = hashlib.new("sha512")
        self._updates = 0

    def update(self, chunk):
        self._updates += 1
        if self._updates == 3:
            raise KeyboardInterrupt
        self._digest.update(chunk)

    def hexdigest(self):
        return self._digest.hexdigest()


def _stop_mid_write(monkeypatch):
    monkeypatch.setattr(sigmf, "_WRITE_CHUNK", 1024)
    monkeypatch.setattr(sigmf.hashlib, "sha512", _InterruptedDigest)


FULL = OSError(errno.ENOSPC, "No space left on device")

# (the step that fails, how, what is raised, whether the new recording is whole by then)
INTERRUPTIONS = [
    ("Ctrl+C while the data is written", _stop_mid_write, KeyboardInterrupt, False),
    ("a full disk at the data's flush",
     lambda m: _count_calls(m, os, "fsync", 1, FULL), OSError, False),
    ("a full disk at the metadata's flush",
     lambda m: _count_calls(m, os, "fsync", 2, FULL), OSError, False),
    ("the old metadata cannot move aside",
     lambda m: _count_calls(m, os, "replace", 1, PermissionError(errno.EACCES, "denied")),
     PermissionError, False),
    ("Ctrl+C at the data's rename",
     lambda m: _count_calls(m, os, "replace", 2, KeyboardInterrupt()), KeyboardInterrupt, False),
    ("Ctrl+C at the metadata's rename",
     lambda m: _count_calls(m, os, "replace", 3, KeyboardInterrupt()), KeyboardInterrupt, True),
]


@pytest.mark.parametrize("step, fail, raised, whole", INTERRUPTIONS,
                         ids=[c[0] for c in INTERRUPTIONS])
def test_an_interrupted_save_leaves_one_whole_recording(tmp_path, monkeypatch, step, fail,
                                                        raised, whole):
    base = _good(tmp_path)
    fail(monkeypatch)
    with pytest.raises(raised):
        kpxadac.Recording(NEW, 2e6).save_sigmf(base)
    monkeypatch.undo()
    # The old recording as it was, or (a Ctrl+C after the data was in place) the new one
    # whole: never the old metadata over new samples, and nothing else left in the folder.
    loaded = sigmf.load(base, verify=True)
    assert np.array_equal(loaded.samples, NEW if whole else OLD), step
    assert loaded.rate == (2e6 if whole else 1e6)
    assert sorted(os.listdir(tmp_path)) == ["rec.sigmf-data", "rec.sigmf-meta"], step


def test_a_loaded_recording_saved_over_itself_stays_whole(tmp_path):
    # Its samples are a map of the very file replaced: written in place, the file was cut
    # under the map and the save failed with the recording lost.
    base = _good(tmp_path)
    loaded = sigmf.load(base)
    loaded.save_sigmf(base, description="again")
    again = sigmf.load(base, verify=True)
    assert np.array_equal(again.samples, OLD) and again.metadata["core:description"] == "again"
    assert np.array_equal(loaded.samples, OLD)  # the old map still reads the old file


def test_a_full_write_error_names_the_recording(tmp_path, monkeypatch):
    base = _good(tmp_path)
    _count_calls(monkeypatch, os, "fsync", 1, FULL)
    with pytest.raises(OSError) as raised:
        kpxadac.Recording(NEW, 2e6).save_sigmf(base)
    assert raised.value.errno == errno.ENOSPC and raised.value.filename == base + ".sigmf-data"


def test_a_reader_never_sees_the_old_metadata_over_new_data(tmp_path, monkeypatch):
    base = _good(tmp_path)
    # A reader in the middle of the save, when the new data takes its name: it finds no
    # metadata (the old one has gone aside), and says so.
    seen = []
    real_replace = os.replace

    def replace(source, target):
        if target == os.path.realpath(base + ".sigmf-data"):
            try:
                seen.append(sigmf.load(base))
            except sigmf.SigMFError as error:
                seen.append(error)
        return real_replace(source, target)
    monkeypatch.setattr(os, "replace", replace)
    kpxadac.Recording(NEW, 2e6).save_sigmf(base)
    monkeypatch.undo()
    assert len(seen) == 1 and isinstance(seen[0], sigmf.SigMFError), seen
    assert "No such file" in str(seen[0])

    # A save that lands between the reader's metadata and its data: it reads again.
    real_read = sigmf._read_meta
    saved = []

    def read_then_save(*args):
        meta = real_read(*args)
        if not saved:
            saved.append(kpxadac.Recording(OLD, 1e6).save_sigmf(base))
        return meta
    monkeypatch.setattr(sigmf, "_read_meta", read_then_save)
    loaded = sigmf.load(base, verify=True)
    assert saved and np.array_equal(loaded.samples, OLD) and loaded.rate == 1e6


def test_a_name_that_is_no_file_is_refused_before_anything_is_written(tmp_path):
    os.mkdir(tmp_path / "dir.sigmf-meta")
    os.mkfifo(tmp_path / "fifo.sigmf-data")
    for name, reason in (("dir", "a directory"), ("fifo", "a FIFO")):
        with pytest.raises(ValueError, match=f"{name}.sigmf-.* is {reason}"):
            kpxadac.Recording(NEW, 1e6).save_sigmf(tmp_path / name)
    for folder in (f"{tmp_path}/", f"{tmp_path}/.", f"{tmp_path}/dir.sigmf-meta/"):
        with pytest.raises(ValueError, match="names a folder"):
            kpxadac.Recording(NEW, 1e6).save_sigmf(folder)
    assert sorted(os.listdir(tmp_path)) == ["dir.sigmf-meta", "fifo.sigmf-data"]


def test_long_names_and_links_are_saved_in_place(tmp_path):
    # The longest base whose files the file system takes: the temporaries fit too.
    base = _good(tmp_path, "r" * 244)
    assert sorted(os.listdir(tmp_path)) == [f"{'r' * 244}.sigmf-data", f"{'r' * 244}.sigmf-meta"]
    assert np.array_equal(sigmf.load(base).samples, OLD)
    with pytest.raises(OSError) as raised:  # one more: the names do not fit
        kpxadac.Recording(NEW, 1e6).save_sigmf(tmp_path / ("s" * 245))
    assert raised.value.errno == errno.ENAMETOOLONG
    assert len(os.listdir(tmp_path)) == 2
    shutil.rmtree(tmp_path)
    # Through a symbolic link the target is replaced, and the link stays.
    os.makedirs(tmp_path / "real")
    real = _good(tmp_path / "real")
    for ending in (".sigmf-data", ".sigmf-meta"):
        os.symlink(real + ending, str(tmp_path / "link") + ending)
    kpxadac.Recording(NEW, 1e6).save_sigmf(tmp_path / "link")
    assert os.path.islink(tmp_path / "link.sigmf-data")
    assert np.array_equal(sigmf.load(real, verify=True).samples, NEW)
    assert sorted(os.listdir(tmp_path / "real")) == ["rec.sigmf-data", "rec.sigmf-meta"]


FULL_DISK_SCRIPT = textwrap.dedent("""
    import json, os, sys
    import numpy as np
    import kpxadac
    from kpxadac import sigmf
    disk = sys.argv[1]
    base = os.path.join(disk, "rec")
    old = (np.arange(100000) % 30000).astype(np.int16)
    kpxadac.Recording(old, 1e6).save_sigmf(base)
    report = {}
    try:
        kpxadac.Recording(np.zeros(400000, np.int16), 1e6).save_sigmf(base)
    except OSError as error:
        report["errno"], report["filename"] = error.errno, error.filename
    loaded = sigmf.load(base, verify=True)
    report["old_kept"] = bool(np.array_equal(loaded.samples, old))
    report["files"] = sorted(os.listdir(disk))
    print(json.dumps(report))
""")


def test_a_full_disk_leaves_the_old_recording(tmp_path):
    """On a real full disk: a 512 KiB tmpfs in a private mount namespace (needs root)."""
    if os.name != "posix" or subprocess.run(["unshare", "-m", "true"],
                                            capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here: unshare -m needs root (or CAP_SYS_ADMIN)")
    disk = tmp_path / "disk"
    disk.mkdir()
    script = tmp_path / "fill.py"
    script.write_text(FULL_DISK_SCRIPT)
    run = subprocess.run(["unshare", "-m", "sh", "-c",
                          f"mount -t tmpfs -o size=512k kpxadac-test '{disk}' && "
                          f"'{sys.executable}' '{script}' '{disk}'"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    assert report == {"errno": errno.ENOSPC, "filename": str(disk / "rec.sigmf-data"),
                      "old_kept": True, "files": ["rec.sigmf-data", "rec.sigmf-meta"]}
