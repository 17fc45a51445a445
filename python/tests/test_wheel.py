"""The wheel's side of the package: the library inside the wheel comes first, an older library
is refused by its version, scripts/wheel.py makes only wheels that meet their tag and its check
finds a tampered one, and the drawings without matplotlib say how to get it."""

import os
import shutil
import subprocess
import sys
import zipfile

import numpy as np
import pytest

from kpxadac import _version, plot
from kpxadac._binding import lib

from conftest import source_path

PACKAGE = source_path("python", "kpxadac")
WHEEL_SCRIPT = source_path("scripts", "wheel.py")


RESPONSE_LIBRARY = os.environ.get("KPXADAC_RESPONSE_LIBRARY")
needs_response = pytest.mark.skipif(not sys.platform.startswith("linux") or not RESPONSE_LIBRARY,
                                    reason="the response library not built (or not Linux)")


def run_python(code, env_changes, cwd, site):
    env = {k: v for k, v in os.environ.items()
           if k not in ("KPXADAC_LIBRARY", "KPXADAC_RESPONSE_LIBRARY", "PYTHONPATH")}
    env.update(env_changes, PYTHONPATH=str(site))
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=120)


def c_library(tmp_path, name, body, *flags):
    """A shared library built from C `body` (`flags`: more of cc's options, after the source)."""
    source = tmp_path / (name + ".c")
    source.write_text(body)
    out = tmp_path / name
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(out), str(source), *flags], check=True)
    return out


def wheel_site(tmp_path, libraries):
    """A package laid out as the wheel installs it, with `libraries` ({name: file}) in _libs."""
    site = tmp_path / "site"
    shutil.copytree(PACKAGE, site / "kpxadac", ignore=shutil.ignore_patterns("__pycache__"))
    (site / "kpxadac" / "_libs").mkdir()
    for name, path in libraries.items():
        shutil.copy(path, site / "kpxadac" / "_libs" / name)
    return site


@pytest.mark.parametrize("library, package, refused", [
    (None, "1.0.0", "does not report its version"),
    ("0.9.9", "1.0.0", "is version 0.9.9, older than this Python package kpxadac 1.0.0"),
    ("1.0.0", "1.1.0", "is version 1.0.0, older"),
    ("0.9.0", "0.10.0", "older"),          # numbers compared, not texts
    ("0.10.0", "0.9.0", None),
    ("1.0.0", "1.0.0", None),
    ("2.0.0", "1.9.9", None),
    ("1.0", "1.0.0", "which is no MAJOR.MINOR.PATCH"),
    ("", "1.0.0", "which is no MAJOR.MINOR.PATCH"),
])
def test_library_refusal(library, package, refused):
    text = _version.library_refusal(library, "/x/libkpxadac.so.1", package)
    if refused is None:
        assert text is None
    else:
        assert refused in text and "/x/libkpxadac.so.1" in text


def test_versions_are_the_projects():
    with open(source_path("CMakeLists.txt")) as cmake_lists:
        project = _version._PROJECT.search(cmake_lists.read()).group(1)
    assert _version.VERSION == project
    assert lib.KpxBoard_LibraryVersion().decode() == project
    with open(source_path("packaging", "debian", "changelog")) as changelog:
        assert changelog.readline().startswith(f"kpxadac ({project}-")


@pytest.mark.skipif(not sys.platform.startswith("linux") or not shutil.which("cc"),
                    reason="builds a shared library with cc")
def test_an_older_library_is_refused_by_name(tmp_path):
    old = c_library(tmp_path, "libold.so", 'const char* KpxBoard_LibraryVersion(void) '
                    '{ return "0.0.1"; }\nint KpxBoard_Count(void) { return 0; }\n')
    silent = c_library(tmp_path, "libsilent.so", "int KpxBoard_Count(void) { return 0; }\n")
    code = ("import kpxadac\ntry:\n  kpxadac.library_path()\nexcept kpxadac.LibraryVersionError as e:\n"
            "  print('refused:', e)\n")
    site = os.path.dirname(PACKAGE)
    run = run_python(code, {"KPXADAC_LIBRARY": str(old)}, tmp_path, site)
    assert f"refused: the KPX-ADAC library {old} is version 0.0.1, older than this Python " \
           f"package kpxadac {_version.VERSION}" in run.stdout, run.stdout
    run = run_python(code, {"KPXADAC_LIBRARY": str(silent)}, tmp_path, site)
    assert "does not report its version (no KpxBoard_LibraryVersion)" in run.stdout, run.stdout


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/maps")
def test_the_wheels_library_comes_first(tmp_path):
    # A package laid out as the wheel installs it, and another copy of the library where the
    # system's loader would find it: the wheel's, by absolute path, wins; KPXADAC_LIBRARY,
    # an explicit choice, still wins over it.
    site = tmp_path / "site"
    shutil.copytree(PACKAGE, site / "kpxadac", ignore=shutil.ignore_patterns("__pycache__"))
    (site / "kpxadac" / "_libs").mkdir()
    inside = site / "kpxadac" / "_libs" / "libkpxadac.so.1"
    shutil.copy(lib.path, inside)
    other = tmp_path / "other"
    other.mkdir()
    shutil.copy(lib.path, other / "libkpxadac.so.1")
    show = ("import kpxadac\nprint(kpxadac.library_path())\n"
            "print(*sorted({l.split()[-1] for l in open('/proc/self/maps') if 'libkpxadac' in l}))")
    run = run_python(show, {"LD_LIBRARY_PATH": str(other)}, tmp_path, site)
    assert run.stdout.split() == [str(inside), str(inside)], run.stdout
    explicit = str(other / "libkpxadac.so.1")
    run = run_python(show, {"KPXADAC_LIBRARY": explicit}, tmp_path, site)
    assert run.stdout.split() == [explicit, explicit], run.stdout
    # With the wheel's folder empty, the system's loader's copy, named by its file.
    inside.unlink()
    run = run_python(show, {"LD_LIBRARY_PATH": str(other)}, tmp_path, site)
    assert run.stdout.split() == [explicit, explicit], run.stdout


@needs_response
def test_response_library_loads_on_first_use_wheel_first_and_its_absence_breaks_nothing_else(
        tmp_path):
    site = wheel_site(tmp_path, {"libkpxadac.so.1": lib.path,
                                 "libkpxadac_response.so.1": RESPONSE_LIBRARY})
    inside = site / "kpxadac" / "_libs" / "libkpxadac_response.so.1"
    other = tmp_path / "other"
    other.mkdir()
    shutil.copy(RESPONSE_LIBRARY, other / "libkpxadac_response.so.1")
    code = ("import kpxadac\nfrom kpxadac import response\n"
            "mapped = lambda: sorted({l.split()[-1] for l in open('/proc/self/maps')\n"
            "                         if 'libkpxadac_response' in l})\n"
            "with kpxadac.Rack() as rack:\n"
            "    print('capture', len(rack.adc(0).capture(samples=4096).samples))\n"
            "print('before', mapped())\n"
            "try:\n"
            "    response.measure(None, None, 1e3, 1e4)\n"
            "except kpxadac.ResponseLibraryNotFoundError as e:\n"
            "    print('refused', isinstance(e, kpxadac.LibraryNotFoundError), e)\n"
            "except AttributeError:\n"  # loaded: measure reached the boards it was not given
            "    print('path', response.library_path(), response.library_version())\n"
            "print('after', mapped())\n")
    # The wheel's copy, by absolute path, before the one the system's loader would find; and
    # nothing of it mapped until kpxadac.response is used.
    run = run_python(code, {"LD_LIBRARY_PATH": str(other)}, tmp_path, site)
    assert run.stdout.splitlines() == [
        "capture 4096", "before []", f"path {inside} {_version.VERSION}", f"after ['{inside}']"], \
        run.stdout
    # An explicit choice still wins over the wheel's.
    explicit = str(other / "libkpxadac_response.so.1")
    run = run_python(code, {"KPXADAC_RESPONSE_LIBRARY": explicit}, tmp_path, site)
    assert f"path {explicit} " in run.stdout and f"after ['{explicit}']" in run.stdout, run.stdout
    # None anywhere (a minimal install): the package imports and captures; the first use of
    # kpxadac.response names every place tried and what to install.
    inside.unlink()
    run = run_python(code, {}, tmp_path, site)
    lines = run.stdout.splitlines()
    assert lines[:3] == ["capture 4096", "before []", "refused True kpxadac.response needs the "
                         "KPX-ADAC response library (libkpxadac_response), which could not be "
                         "loaded; tried:"], run.stdout
    assert f"  {site / 'kpxadac' / '_libs'}: no response library in the wheel's folder" in lines
    assert "Debian: the package libkpxadac-response1" in run.stdout
    assert "set KPXADAC_RESPONSE_LIBRARY" in run.stdout and lines[-1] == "after []", run.stdout


@needs_response
@pytest.mark.skipif(not shutil.which("cc"), reason="builds a shared library with cc")
@pytest.mark.parametrize("body, refused", [
    ('const char* KpxResponse_LibraryVersion(void) { return "0.0.1"; }',
     "is version 0.0.1, older than this Python package kpxadac"),
    ("int KpxResponse_MethodFromName(const char* n) { (void)n; return 0; }",
     "does not report its version (no KpxResponse_LibraryVersion)"),
])
def test_an_older_response_library_is_refused_by_name(tmp_path, body, refused):
    old = c_library(tmp_path, "libold_response.so", body + "\n")
    code = ("import kpxadac\nfrom kpxadac import response\ntry:\n  response.library_path()\n"
            "except kpxadac.LibraryVersionError as e:\n  print('refused:', e)\n")
    run = run_python(code, {"KPXADAC_RESPONSE_LIBRARY": str(old), "KPXADAC_LIBRARY": lib.path},
                     tmp_path, os.path.dirname(PACKAGE))
    assert run.stdout.startswith(f"refused: the KPX-ADAC response library {old} "), run.stdout
    assert refused in run.stdout and "set KPXADAC_RESPONSE_LIBRARY to one" in run.stdout, \
        run.stdout


def wheel_tool(*args):
    return subprocess.run([sys.executable, WHEEL_SCRIPT, *map(str, args)], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=120)


@pytest.mark.skipif(not sys.platform.startswith("linux") or not shutil.which("cc"),
                    reason="builds a shared library with cc")
def test_wheel_script_makes_only_what_meets_the_tag_and_finds_tampering(tmp_path):
    dist = tmp_path / "dist"
    # The build's library links libstdc++ dynamically: outside glibc, so no manylinux wheel.
    small_response = c_library(tmp_path, "libkpxadac_response.so.1", 'const char* '
                               'KpxResponse_LibraryVersion(void) { return "9.8.7"; }\n')
    made = wheel_tool("make", "--platform", "linux", "--library", lib.path, "--version",
                      _version.VERSION, "--response", small_response, "--dist", dist)
    if "libstdc++.so.6" in subprocess.run(["objdump", "-p", lib.path], stdout=subprocess.PIPE,
                                          text=True).stdout:
        assert made.returncode == 1 and "libstdc++.so.6, outside glibc" in made.stdout, made.stdout
        assert not list(dist.glob("*.whl")) if dist.exists() else True
    # A library that needs glibc alone (2.2.5 at most): the oldest x86-64 policy.
    small = c_library(tmp_path, "libsmall.so", 'const char* KpxBoard_LibraryVersion(void) '
                      '{ return "9.8.7"; }\n')
    # A response library that needs more than glibc (here libstdc++, as FFTW would be) is
    # refused as the board library is; one that needs the board library is not.
    (tmp_path / "libkpxadac.so.1").symlink_to(small)
    linked = c_library(tmp_path, "libresp-cxx.so", 'const char* KpxResponse_LibraryVersion(void) '
                       '{ return "9.8.7"; }\n', "-L" + str(tmp_path), "-l:libkpxadac.so.1",
                       "-Wl,--no-as-needed", "-lstdc++")
    made = wheel_tool("make", "--platform", "linux", "--library", small, "--response", linked,
                      "--version", "9.8.7", "--dist", dist)
    assert made.returncode == 1 and "libresp-cxx.so needs libstdc++.so.6, outside glibc" in \
        made.stdout, made.stdout
    small_response = c_library(tmp_path, "libresp.so", 'const char* KpxResponse_LibraryVersion'
                               '(void) { return "9.8.7"; }\n', "-L" + str(tmp_path),
                               "-Wl,--no-as-needed", "-l:libkpxadac.so.1")
    made = wheel_tool("make", "--platform", "linux", "--library", small, "--response",
                      small_response, "--version", "9.8.7", "--dist", dist)
    assert made.returncode == 0, made.stdout
    (wheel,) = dist.glob("*.whl")
    assert wheel.name == "kpxadac-9.8.7-py3-none-manylinux_2_5_x86_64.whl"
    checked = wheel_tool("check", "--version", "9.8.7", wheel)
    assert checked.returncode == 0, checked.stdout
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        assert "kpxadac/_libs/libkpxadac.so.1" in names and "kpxadac/__init__.py" in names
        assert "kpxadac/_libs/libkpxadac_response.so.1" in names
        assert archive.read("kpxadac/_built_version.py").decode().endswith('VERSION = "9.8.7"\n')
        members = {name: archive.read(name) for name in names}
    # What check must find: a changed file, a wrong tag, another version, a library that does
    # not say its version.
    silent = c_library(tmp_path, "libsilent.so", "int KpxBoard_Count(void) { return 0; }\n")
    cases = [
        ("kpxadac-9.8.7-py3-none-manylinux_2_5_x86_64.whl",
         {"kpxadac/rack.py": b"# changed\n"}, "9.8.7", "kpxadac/rack.py: RECORD's hash or size is wrong"),
        ("kpxadac-9.8.7-py3-none-manylinux_2_17_x86_64.whl", {}, "9.8.7",
         "WHEEL's tags are not just py3-none-manylinux_2_17_x86_64"),
        ("kpxadac-9.8.7-py3-none-manylinux_2_5_x86_64.whl", {}, "9.8.8",
         "version 9.8.7, the project's is 9.8.8"),
        ("kpxadac-9.8.7-py3-none-manylinux_2_5_x86_64.whl",
         {"kpxadac/_libs/libkpxadac.so.1": silent.read_bytes()}, "9.8.7",
         "libkpxadac.so.1 does not export KpxBoard_LibraryVersion"),
        ("kpxadac-9.8.7-py3-none-manylinux_2_5_x86_64.whl",
         {"kpxadac/_libs/libkpxadac_response.so.1": silent.read_bytes()}, "9.8.7",
         "libkpxadac_response.so.1 does not export KpxResponse_LibraryVersion"),
        ("kpxadac-9.8.7-py3-none-manylinux_2_5_x86_64.whl",
         {"kpxadac/_libs/libkpxadac_response.so.1": None}, "9.8.7",
         "kpxadac/_libs/libkpxadac_response.so.1 is missing"),
    ]
    for name, changed, version, found in cases:
        folder = tmp_path / f"case-{cases.index((name, changed, version, found))}"
        folder.mkdir()
        with zipfile.ZipFile(folder / name, "w") as archive:
            for member, data in members.items():
                if changed.get(member, data) is not None:
                    archive.writestr(member, changed.get(member, data))
        checked = wheel_tool("check", "--version", version, folder / name)
        assert checked.returncode == 1 and found in checked.stdout, (name, checked.stdout)


def test_drawings_without_matplotlib_say_how_to_get_it(tmp_path):
    # matplotlib made unimportable: the package imports, a drawing raises a clear error.
    (tmp_path / "matplotlib").mkdir()
    (tmp_path / "matplotlib" / "__init__.py").write_text("raise ImportError('hidden')\n")
    code = ("import sys; sys.path.insert(0, sys.argv[1])\nimport numpy, kpxadac\n"
            "r = kpxadac.Recording(numpy.zeros(64, numpy.int16), 1e6)\n"
            "try:\n  r.plot()\nexcept ImportError as e:\n"
            "  print(type(e).__name__, isinstance(e, kpxadac.KpxadacError), e)\n")
    run = subprocess.run([sys.executable, "-c", code, str(tmp_path)], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, timeout=120)
    assert run.stdout.startswith("PlotUnavailableError True kpxadac's drawings need matplotlib"), \
        run.stdout
    assert "python3-matplotlib" in run.stdout and "pip install matplotlib" in run.stdout


@pytest.mark.parametrize("frequency, amplitude_dbfs, rate", [
    (1e6, -6.0, 100e6), (10e6, -1.0, 105e6), (0.125, -20.0, None)])
def test_display_spectrum_shows_a_tone_at_its_frequency_and_level(frequency, amplitude_dbfs, rate):
    count = 1 << 16
    cycles = frequency / rate if rate else frequency
    samples = np.round(10 ** (amplitude_dbfs / 20) * plot.FULL_SCALE *
                       np.sin(2 * np.pi * cycles * np.arange(count))).astype(np.int16)
    frequencies, level = plot.display_spectrum(samples, rate, size=8192)
    peak = int(np.argmax(level))
    assert abs(frequencies[peak] - frequency) <= frequencies[1], (frequencies[peak], frequency)
    assert abs(level[peak] - amplitude_dbfs) < 1.6, level[peak]  # Hann's scalloping at most 1.42 dB
