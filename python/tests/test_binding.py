"""The low layer against the headers and the library's exports, and how the
library is found."""

import ctypes
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from kpxadac import _binding
from kpxadac._binding import lib

from conftest import source_path

HEADERS = ("host/library/kpxadac16.h", "host/library/adc/kpxadc.h",
           "host/library/kpxadac_stream.h", "host/library/kpxadac_board.h",
           "host/records/kpxadac_records.h", "host/waveform/kpxadac_waveform.h",
           "host/group/kpxadac_group.h")
DECLARATION = re.compile(r"(?:KPXADAC_API|KPXWAVE_API)\s+([^;(]*?)\s*\b(\w+)\s*\(([^)]*)\)\s*;", re.S)

# The ctypes type each C type of the headers must be declared with.
C_TYPES = {
    "void": None, "uint8_t": ctypes.c_uint8, "uint16_t": ctypes.c_uint16,
    "int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32, "uint64_t": ctypes.c_uint64,
    "BoardHandle": ctypes.c_ssize_t, "BoardType": ctypes.c_int32, "BoardState": ctypes.c_int32,
    "BoardError": ctypes.c_int32, "BoardRecord": _binding.BoardRecord,
    "const char *": ctypes.c_char_p, "void *": ctypes.c_void_p, "const void *": ctypes.c_void_p,
    "uint32_t *": ctypes.POINTER(ctypes.c_uint32), "int16_t *": ctypes.POINTER(ctypes.c_int16),
    "const uint8_t *": ctypes.POINTER(ctypes.c_uint8), "uint8_t []": ctypes.POINTER(ctypes.c_uint8),
    "const uint16_t []": ctypes.POINTER(ctypes.c_uint16),
    "KpxStream *": ctypes.POINTER(_binding.KpxStream),
    "KpxStream **": ctypes.POINTER(ctypes.POINTER(_binding.KpxStream)),
    "double": ctypes.c_double, "double *": ctypes.POINTER(ctypes.c_double),
    "int32_t *": ctypes.POINTER(ctypes.c_int32), "uint8_t *": ctypes.POINTER(ctypes.c_uint8),
    "KpxRecords *": ctypes.POINTER(_binding.KpxRecords),
    "KpxRecords **": ctypes.POINTER(ctypes.POINTER(_binding.KpxRecords)),
    "KpxWave *": ctypes.POINTER(_binding.KpxWave), "const KpxWave *": ctypes.POINTER(_binding.KpxWave),
    "KpxWave **": ctypes.POINTER(ctypes.POINTER(_binding.KpxWave)),
    "KpxGroup *": ctypes.POINTER(_binding.KpxGroup),
    "KpxGroup **": ctypes.POINTER(ctypes.POINTER(_binding.KpxGroup)),
    "KpxStream const **": ctypes.POINTER(ctypes.POINTER(_binding.KpxStream)),
    "const int16_t *": ctypes.POINTER(ctypes.c_int16),
    "const double *": ctypes.POINTER(ctypes.c_double),
}
for struct in ("TalvoErrorCounts", "ProfilingRecord", "V360DebugRecord", "ClockSetting",
               "KpxStreamConfig", "KpxStreamBlock", "KpxStreamStatus", "KpxStreamReadInfo",
               "KpxBoardDescription", "KpxRecordsConfig", "KpxRecord", "KpxRecordsStatus",
               "KpxStreamGap", "KpxWaveSettings", "KpxClockPlan", "KpxGroupConfig",
               "KpxGroupOpenInfo", "KpxGroupAlignment", "KpxGroupBlock", "KpxGroupStatus"):
    C_TYPES[struct + " *"] = C_TYPES["const " + struct + " *"] = ctypes.POINTER(
        getattr(_binding, struct))


def c_type(text, named):
    """'const uint16_t entries[16]' -> 'const uint16_t []', 'uint32_t *buffer' -> 'uint32_t *';
    a parameter (`named`) loses its name."""
    tokens = re.findall(r"\w+|\*|\[", re.sub(r"\[[^]]*\]", "[", text))
    if named:
        last_word = max(i for i, token in enumerate(tokens) if token[0].isalnum() or token[0] == "_")
        del tokens[last_word]
    words = " ".join(t for t in tokens if t not in ("*", "["))
    stars = "".join(t for t in tokens if t == "*")
    return words + (" " + stars if stars else "") + (" []" if "[" in tokens else "")


def header_declarations():
    declarations = {}
    for header in HEADERS:
        with open(source_path(header), encoding="utf-8") as source:
            text = re.sub(r"/\*.*?\*/", "", source.read(), flags=re.S)
        for result, name, params in DECLARATION.findall(text):
            params = [] if params.strip() in ("", "void") else params.split(",")
            declarations[name] = (c_type(result, False), [c_type(p, True) for p in params])
    return declarations


def test_every_header_function_is_declared_with_the_headers_types():
    declared = {name: (restype, argtypes) for name, restype, argtypes in _binding.FUNCTIONS}
    headers = header_declarations()
    assert len(headers) > 90
    assert sorted(headers) == sorted(declared), "binding and headers name different functions"
    for name, (result, params) in headers.items():
        restype, argtypes = declared[name]
        assert restype is C_TYPES[result], f"{name} returns {result}"
        assert [C_TYPES[p] for p in params] == list(argtypes), f"{name}({', '.join(params)})"
    assert len(_binding.FUNCTIONS) == len(declared), "a function is declared twice"


@pytest.mark.skipif(not shutil.which("nm"), reason="no nm")
def test_every_exported_function_is_declared_and_present():
    output = subprocess.run(["nm", "-D", "--defined-only", lib.path], check=True,
                            stdout=subprocess.PIPE, text=True).stdout
    exported = {line.split()[-1] for line in output.splitlines() if " T " in line}
    declared = {name for name, _, _ in _binding.FUNCTIONS}
    assert exported == declared
    assert lib.missing == []


STRUCTURES = ("BoardRecord", "TalvoErrorCounts", "ProfilingRecord", "V360DebugRecord",
              "ClockSetting", "KpxStreamConfig", "KpxStreamBlock", "KpxStreamStatus",
              "KpxStreamReadInfo", "KpxBoardDescription", "KpxRecordsConfig", "KpxRecordsCounts",
              "KpxRecord", "KpxRecordsStatus", "KpxStreamGap", "KpxWaveSettings", "KpxClockPlan",
              "KpxGroupConfig", "KpxGroupOpenInfo", "KpxGroupAlignment", "KpxGroupBoardBlock",
              "KpxGroupBlock", "KpxGroupStatus")


@pytest.mark.skipif(not shutil.which("cc"), reason="no C compiler")
def test_structures_have_the_headers_layout(tmp_path):
    # A C program prints each structure's size and each field's offset as the compiler lays them out.
    lines = ["#include <stddef.h>", "#include <stdio.h>", '#include "kpxadc.h"',
             '#include "kpxadac_board.h"', '#include "kpxadac_records.h"',
             '#include "kpxadac_waveform.h"', '#include "kpxadac_group.h"', "int main(void) {"]
    expected = []
    for struct in STRUCTURES:
        ctype = getattr(_binding, struct)
        lines.append(f'  printf("{struct} %zu\\n", sizeof({struct}));')
        expected.append(f"{struct} {ctypes.sizeof(ctype)}")
        for field, *_ in ctype._fields_:
            lines.append(f'  printf("{struct}.{field} %zu\\n", offsetof({struct}, {field}));')
            expected.append(f"{struct}.{field} {getattr(ctype, field).offset}")
    lines += ["  return 0;", "}"]
    (tmp_path / "layout.c").write_text("\n".join(lines) + "\n")
    subprocess.run(["cc", "-I", source_path("host/library"), "-I", source_path("host/library/adc"),
                    "-I", source_path("host/records"), "-I", source_path("host/waveform"),
                    "-I", source_path("host/group"),
                    "-o", str(tmp_path / "layout"), str(tmp_path / "layout.c")], check=True)
    printed = subprocess.run([str(tmp_path / "layout")], check=True, stdout=subprocess.PIPE,
                             text=True).stdout.split("\n")[:-1]
    assert printed == expected


def run_python(code, env_changes, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("KPXADAC_LIBRARY", "PYTHONPATH")}
    env.update(env_changes)
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def test_a_missing_library_gives_one_error_naming_what_was_tried(tmp_path):
    package = os.path.dirname(os.path.dirname(os.path.abspath(_binding.__file__)))
    code = "import kpxadac._binding as b\nprint(b.lib.path)"
    run = run_python(code, {"PYTHONPATH": package, "LD_LIBRARY_PATH": str(tmp_path)}, tmp_path)
    if "LibraryNotFoundError" in run.stdout:
        assert "KPXADAC_LIBRARY: not set" in run.stdout
        assert "beside the package: not an installed package" in run.stdout
        assert "system loader: libkpxadac.so.1" in run.stdout
    else:  # an installed SDK is known to the system's loader: the last place tried
        assert run.stdout.strip() == "libkpxadac.so.1", run.stdout
    code = "import kpxadac\nwith kpxadac.Rack(): pass"
    missing = str(tmp_path / "nowhere.so")
    run = run_python(code, {"PYTHONPATH": package, "KPXADAC_LIBRARY": missing}, tmp_path)
    assert f"KPXADAC_LIBRARY={missing}" in run.stdout
    # Not a regular file: said at once, a FIFO nobody writes included (never waited for).
    if hasattr(os, "mkfifo"):
        os.mkfifo(tmp_path / "fifo.so")
    for name in ("fifo.so", "."):
        if os.path.exists(tmp_path / name):
            path = os.path.join(str(tmp_path), name)
            run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, timeout=60,
                                 env=dict(os.environ, PYTHONPATH=package, KPXADAC_LIBRARY=path),
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            assert f"KPXADAC_LIBRARY={path}: {path}: not a regular file" in run.stdout
    # The recordings need no library.
    run = run_python("import kpxadac.sigmf", {"PYTHONPATH": package}, tmp_path)
    assert run.returncode == 0, run.stdout


def test_installed_package_finds_the_library_of_its_prefix(tmp_path):
    build = os.environ.get("KPXADAC_BUILD_DIR")
    if not build:
        pytest.skip("KPXADAC_BUILD_DIR names no build tree")
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", build, "--component", "python", "--prefix",
                    str(prefix)], check=True, stdout=subprocess.DEVNULL)
    (site,) = prefix.glob("lib/python3*/dist-packages")
    run = run_python("import runpy; runpy.run_module('kpxadac', run_name='__main__')",
                     {"PYTHONPATH": str(site), "KPXADAC_SIM": "default"}, tmp_path)
    assert run.returncode == 0, run.stdout
    assert "device 0: ADC 0, board ID 0x8A, FPGA part 4vlx40" in run.stdout
    run = run_python("import kpxadac._binding as b; print(b.lib.path)", {"PYTHONPATH": str(site)},
                     tmp_path)
    assert run.stdout.strip() == os.path.normpath(str(next(prefix.glob("lib/libkpxadac.so.1"))))


def test_library_search_order(tmp_path):
    # KPXADAC_LIBRARY, then the library of the package's own prefix, then the
    # system's loader; the mapped file shows which copy was loaded.
    build = os.environ.get("KPXADAC_BUILD_DIR")
    if not build or not sys.platform.startswith("linux"):
        pytest.skip("needs a Linux build tree (KPXADAC_BUILD_DIR)")
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", build, "--component", "python", "--prefix",
                    str(prefix)], check=True, stdout=subprocess.DEVNULL)
    (site,) = prefix.glob("lib/python3*/dist-packages")
    (installed,) = prefix.glob("lib/libkpxadac.so.1")
    other = tmp_path / "other"
    other.mkdir()
    shutil.copy(installed, other / "libkpxadac.so.1")
    show = ("import kpxadac._binding as b; b.lib.Kpxadac16_Open; print(b.lib.path); "
            "print([l.split()[-1] for l in open('/proc/self/maps') if 'libkpxadac' in l][0])")

    def loaded(env):
        run = run_python(show, dict(env, PYTHONPATH=str(site)), tmp_path)
        assert run.returncode == 0, run.stdout
        return run.stdout.split()

    explicit = str(other / "libkpxadac.so.1")
    assert loaded({"KPXADAC_LIBRARY": explicit}) == [explicit, explicit]
    # The prefix's own library wins over one the system's loader would find.
    assert loaded({"LD_LIBRARY_PATH": str(other)}) == [str(installed), os.path.realpath(installed)]
    installed.unlink()
    assert loaded({"LD_LIBRARY_PATH": str(other)}) == ["libkpxadac.so.1", explicit]
    run = run_python(show, {"PYTHONPATH": str(site), "KPXADAC_LIBRARY": str(installed)}, tmp_path)
    assert f"KPXADAC_LIBRARY={installed}" in run.stdout  # a named library is never replaced
    run = run_python("import json, kpxadac._library as l\ntry:\n  l.load_library()\n"
                     "except OSError as e:\n  print(json.dumps([place for place, _ in e.tried]))",
                     {"PYTHONPATH": str(site), "LD_LIBRARY_PATH": str(tmp_path)}, tmp_path)
    if "system loader" in run.stdout:  # no installed SDK known to the system's loader
        tried = json.loads(run.stdout)
        assert tried[:2] == ["KPXADAC_LIBRARY", str(installed)], tried
        assert tried[2].startswith("system loader: "), tried
