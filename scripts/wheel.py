#!/usr/bin/python3
"""Makes and checks the Python wheels of the SDK: the pure-ctypes package kpxadac with the
shared library and the response library inside (kpxadac/_libs/), one wheel per platform for every Python 3
(py3-none-<platform>). Standard library only; the wheel is a zip with a dist-info folder
(METADATA, WHEEL, RECORD), as the binary distribution format describes it.

  wheel.py make --platform linux|windows --library FILE --response FILE --version V --dist DIR
                [--tools T]
  wheel.py check WHEEL [--version V] [--tools T]

Linux: each library's dynamic section must need nothing beyond glibc's own libraries and the
wheel's other library (the manylinux policies allow more, but the wheel's libraries link
libstdc++ and libgcc statically, and the response library's FFT is Eigen's, built in), and
the tag is manylinux_2_<N>_x86_64 for the newest GLIBC_2.<N> symbol version either needs,
read with objdump -p. Windows: every DLL the library imports is in the wheel or
one of Windows' own. `make` refuses a library that breaks these; `check` reads a made
wheel again (tags, RECORD's hashes and sizes, the library and what it needs, the version).
"""

import argparse
import base64
import csv
import hashlib
import io
import os
import re
import subprocess
import sys
import tempfile
import tomllib
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "python", "kpxadac")
# A fixed time for every member, so that the same input makes the same wheel.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)

# glibc's libraries, which every manylinux policy allows (auditwheel's lib_whitelist), and
# glibc's dynamic loader, which thread-local storage of a shared library needs (__tls_get_addr)
# and which every glibc system has.
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0",
                   "ld-linux-x86-64.so.2"}
# Windows' own DLLs, present on every Windows 10 and later.
WINDOWS_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "ws2_32.dll", "user32.dll",
                "shell32.dll", "ole32.dll", "oleaut32.dll", "bcrypt.dll", "ntdll.dll",
                "ucrtbase.dll", "setupapi.dll", "cfgmgr32.dll", "iphlpapi.dll", "mswsock.dll",
                "shlwapi.dll", "version.dll", "winmm.dll", "crypt32.dll", "secur32.dll"}
# Where a mingw-w64 build's own DLLs lie, when the library needs one.
MINGW_DLL_DIRS = ("/usr/x86_64-w64-mingw32/lib", "/usr/lib/gcc/x86_64-w64-mingw32")
WINDOWS_LIBRARY_NAMES = ("kpxadac.dll", "libkpxadac.dll")  # as kpxadac/_library.py seeks them
LINUX_LIBRARY_NAME = "libkpxadac.so.1"
# The response library (kpxadac/response.py seeks these), which needs the board library.
WINDOWS_RESPONSE_NAMES = ("kpxadac_response.dll", "libkpxadac_response.dll")
LINUX_RESPONSE_NAME = "libkpxadac_response.so.1"


class WheelError(Exception):
    pass


def objdump(tool, path, what="-p"):
    try:
        return subprocess.run([tool, what, path], check=True, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        raise WheelError(f"{tool} {what} {path}: {error}") from None


def exports_version(path, tool, pe, function="KpxBoard_LibraryVersion"):
    """Whether the library exports its version `function`, which the package asks first."""
    text = objdump(tool, path, "-p" if pe else "-T")
    return re.search(rf"\b{function}\b", text) is not None


def elf_needs(path, tool="objdump"):
    """(NEEDED libraries, {library: set of symbol versions}) of an ELF file."""
    text = objdump(tool, path)
    if "file format elf64-x86-64" not in text:
        raise WheelError(f"{path}: not an x86-64 ELF file")
    needed = re.findall(r"^\s+NEEDED\s+(\S+)", text, re.M)
    versions = {}
    part = text.split("Version References:", 1)
    if len(part) == 2:
        library = None
        for line in part[1].splitlines():
            required = re.match(r"\s+required from (\S+):", line)
            if required:
                library = required.group(1)
                versions.setdefault(library, set())
            elif library and re.match(r"\s+0x[0-9a-f]+ 0x[0-9a-f]+ \d+ (\S+)", line):
                versions[library].add(line.split()[-1])
            elif line.strip() and not line.startswith(" "):
                break
    return needed, versions


def manylinux_tag(path, tool="objdump", beside=()):
    """The manylinux tag the ELF library at `path` meets, and a line saying why; raises
    WheelError naming what breaks the policy. `beside`: the wheel's own libraries, which it
    may need too."""
    needed, versions = elf_needs(path, tool)
    outside = sorted(set(needed) - GLIBC_LIBRARIES - set(beside))
    if outside:
        raise WheelError(f"{path} needs {', '.join(outside)}, outside glibc: not allowed in the "
                         f"wheel (link libstdc++ and libgcc statically)")
    newest = (2, 2)
    for library, names in sorted(versions.items()):
        if library in beside:
            continue  # the wheel's own library: no symbol versions of glibc's
        for name in sorted(names):
            found = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", name)
            if not found:
                raise WheelError(f"{path} needs the symbol version {name} of {library}, which no "
                                 f"manylinux policy checked here allows")
            newest = max(newest, (int(found.group(1)), int(found.group(2))))
    # The oldest policy with x86-64 wheels is manylinux_2_5.
    newest = max(newest, (2, 5))
    tag = f"manylinux_{newest[0]}_{newest[1]}_x86_64"
    why = (f"needs only {', '.join(sorted(needed))}; newest symbol version GLIBC_{newest[0]}."
           f"{newest[1]}")
    return tag, why


def newest_tag(tags):
    """The tag of the newest glibc among manylinux_2_<N>_x86_64 tags: what the wheel needs."""
    return max(tags, key=lambda tag: tuple(int(n) for n in re.findall(r"\d+", tag)[:2]))


def linux_tag(libraries, tool):
    """The tag of the wheel holding `libraries` ({name in the wheel: path}), and why."""
    found = {name: manylinux_tag(path, tool, beside=set(libraries) - {name})
             for name, path in libraries.items()}
    tag = newest_tag([tag for tag, _ in found.values()])
    return tag, "; ".join(f"{name} {why}" for name, (_, why) in sorted(found.items()))


def pe_imports(path, tool):
    text = objdump(tool, path)
    if "file format pei-x86-64" not in text:
        raise WheelError(f"{path}: not a 64-bit Windows DLL")
    return re.findall(r"DLL Name:\s*(\S+)", text)


def windows_is_own(name):
    lowered = name.lower()
    return lowered in WINDOWS_DLLS or lowered.startswith(("api-ms-win-", "ext-ms-win-"))


def windows_dependencies(libraries, tool):
    """The DLLs to carry beside `libraries`: those they need (and those need) that Windows
    and the wheel lack, found among mingw-w64's own; raises WheelError for one found nowhere."""
    ours = {os.path.basename(path).lower() for path in libraries}
    carried, queue = {}, list(libraries)
    while queue:
        library = queue.pop()
        for name in pe_imports(library, tool):
            if windows_is_own(name) or name.lower() in carried or name.lower() in ours:
                continue
            found = None
            for top in MINGW_DLL_DIRS:
                for folder, _, files in os.walk(top):
                    if name in files:
                        found = os.path.join(folder, name)
                        break
                if found:
                    break
            if not found:
                raise WheelError(f"{library} needs {name}, found neither in Windows nor in mingw-w64")
            carried[name.lower()] = found
            queue.append(found)
    return list(carried.values())


def project():
    with open(os.path.join(ROOT, "python", "pyproject.toml"), "rb") as stream:
        return tomllib.load(stream)["project"]


def metadata(version):
    meta = project()
    lines = ["Metadata-Version: 2.1", "Name: kpxadac", f"Version: {version}",
             f"Summary: {meta['description']}", f"Requires-Python: {meta['requires-python']}",
             "License-File: LICENSE"]
    lines += [f"Requires-Dist: {dependency}" for dependency in meta.get("dependencies", [])]
    for extra, dependencies in sorted(meta.get("optional-dependencies", {}).items()):
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {dependency}; extra == "{extra}"' for dependency in dependencies]
    body = ("The KPX-ADAC host SDK from Python: the board access library (inside this wheel) "
            "through ctypes, samples as numpy arrays. See docs/python.md of the SDK.\n")
    return "\n".join(lines) + "\n\n" + body


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return [name, f"sha256={digest}", str(len(data))]


def make(args):
    version = args.version
    if not re.fullmatch(r"\d+\.\d+\.\d+", version):
        raise WheelError(f"version {version!r} is no MAJOR.MINOR.PATCH")
    if args.platform == "linux":
        libraries = [(args.library, LINUX_LIBRARY_NAME), (args.response, LINUX_RESPONSE_NAME)]
        tag, why = linux_tag({name: path for path, name in libraries}, args.tools + "objdump")
    else:
        tag, why = "win_amd64", "every DLL they import is Windows' own or in the wheel"
        libraries = []
        for path, names in ((args.library, WINDOWS_LIBRARY_NAMES),
                            (args.response, WINDOWS_RESPONSE_NAMES)):
            base = os.path.basename(path)
            if base.lower() not in names:
                raise WheelError(f"{path}: the package seeks {' or '.join(names)}")
            libraries.append((path, base))
        libraries += [(path, os.path.basename(path)) for path in
                      windows_dependencies([path for path, _ in libraries], args.tools + "objdump")]
    files = []  # (name in the wheel, bytes)
    for folder, dirs, names in os.walk(PACKAGE):
        dirs[:] = sorted(d for d in dirs if d not in ("__pycache__", "_libs"))
        for name in sorted(names):
            if name.endswith(".py") and name not in ("_built_version.py", "_install_location.py"):
                path = os.path.join(folder, name)
                with open(path, "rb") as stream:
                    files.append((os.path.relpath(path, os.path.dirname(PACKAGE)), stream.read()))
    files.append(("kpxadac/_built_version.py",
                  f"# Written by scripts/wheel.py: the CMake project's version.\n"
                  f"VERSION = \"{version}\"\n".encode()))
    for path, name in libraries:
        with open(path, "rb") as stream:
            files.append((f"kpxadac/_libs/{name}", stream.read()))
    info = f"kpxadac-{version}.dist-info"
    with open(os.path.join(ROOT, "LICENSE"), "rb") as stream:
        files.append((f"{info}/LICENSE", stream.read()))
    files.append((f"{info}/METADATA", metadata(version).encode()))
    files.append((f"{info}/WHEEL", (f"Wheel-Version: 1.0\nGenerator: kpxadac scripts/wheel.py\n"
                                    f"Root-Is-Purelib: false\nTag: py3-none-{tag}\n").encode()))
    files.append((f"{info}/top_level.txt", b"kpxadac\n"))
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for name, data in files:
        writer.writerow(record_line(name, data))
    writer.writerow([f"{info}/RECORD", "", ""])
    files.append((f"{info}/RECORD", record.getvalue().encode()))

    os.makedirs(args.dist, exist_ok=True)
    wheel = os.path.join(args.dist, f"kpxadac-{version}-py3-none-{tag}.whl")
    partial = wheel + ".part"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for name, data in files:
            member = zipfile.ZipInfo(name, ZIP_TIME)
            member.external_attr = (0o755 if "/_libs/" in name else 0o644) << 16
            member.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(member, data)
    os.replace(partial, wheel)  # a failed run leaves the previous wheel as it was
    print(f"{wheel}: {os.path.getsize(wheel)} bytes, py3-none-{tag} ({why})")
    return wheel


def check(args):
    """Reads a made wheel back; returns the list of problems."""
    problems = []
    name = os.path.basename(args.wheel)
    match = re.fullmatch(r"kpxadac-(\d+\.\d+\.\d+)-py3-none-(\w+)\.whl", name)
    if not match:
        return [f"{name}: not a kpxadac-VERSION-py3-none-PLATFORM.whl name"]
    version, platform = match.groups()
    if args.version and version != args.version:
        problems.append(f"{name}: version {version}, the project's is {args.version}")
    info = f"kpxadac-{version}.dist-info"
    with zipfile.ZipFile(args.wheel) as archive, tempfile.TemporaryDirectory() as scratch:
        names = archive.namelist()
        read = {member: archive.read(member) for member in names}
        wheel_text = read.get(f"{info}/WHEEL", b"").decode()
        if f"Tag: py3-none-{platform}\n" not in wheel_text or wheel_text.count("Tag:") != 1:
            problems.append(f"WHEEL's tags are not just py3-none-{platform}: {wheel_text!r}")
        if "Root-Is-Purelib: false" not in wheel_text:
            problems.append("WHEEL does not say Root-Is-Purelib: false (the wheel holds a library)")
        meta = read.get(f"{info}/METADATA", b"").decode()
        if f"\nVersion: {version}\n" not in meta or "\nName: kpxadac\n" not in meta:
            problems.append("METADATA lacks the name kpxadac or the version " + version)
        built = read.get("kpxadac/_built_version.py", b"").decode()
        if f'VERSION = "{version}"' not in built:
            problems.append(f"kpxadac/_built_version.py does not say {version}: {built!r}")
        rows = list(csv.reader(io.StringIO(read.get(f"{info}/RECORD", b"").decode())))
        recorded = {row[0]: row for row in rows if row}
        for member in names:
            if member == f"{info}/RECORD":
                continue
            if member not in recorded:
                problems.append(f"{member} is not in RECORD")
            elif recorded[member] != record_line(member, read[member]):
                problems.append(f"{member}: RECORD's hash or size is wrong")
        for member in set(recorded) - set(names):
            problems.append(f"RECORD names {member}, which the wheel lacks")
        archive.extractall(scratch)
        libs = os.path.join(scratch, "kpxadac", "_libs")
        present = sorted(os.listdir(libs)) if os.path.isdir(libs) else []
        objdump_tool = args.tools + "objdump"
        try:
            if platform.startswith("manylinux_"):
                missing = [n for n in (LINUX_LIBRARY_NAME, LINUX_RESPONSE_NAME) if n not in present]
                for member in missing:
                    problems.append(f"kpxadac/_libs/{member} is missing")
                for member in sorted(set(present) - {LINUX_LIBRARY_NAME, LINUX_RESPONSE_NAME}):
                    problems.append(f"kpxadac/_libs/{member}: a file the package does not load")
                if not missing:
                    for member, function in ((LINUX_LIBRARY_NAME, "KpxBoard_LibraryVersion"),
                                             (LINUX_RESPONSE_NAME, "KpxResponse_LibraryVersion")):
                        if not exports_version(os.path.join(libs, member), objdump_tool, False,
                                               function):
                            problems.append(f"{member} does not export {function}")
                    tag, why = linux_tag({n: os.path.join(libs, n) for n in present}, objdump_tool)
                    if tag != platform:
                        problems.append(f"tagged {platform}, but the libraries meet {tag} ({why})")
                    print(f"{name}: {platform}: {why}")
            elif platform == "win_amd64":
                for names, function in ((WINDOWS_LIBRARY_NAMES, "KpxBoard_LibraryVersion"),
                                        (WINDOWS_RESPONSE_NAMES, "KpxResponse_LibraryVersion")):
                    dlls = [n for n in present if n.lower() in names]
                    if not dlls:
                        problems.append(f"no {' or '.join(names)} in kpxadac/_libs")
                    for dll in dlls:
                        if not exports_version(os.path.join(libs, dll), objdump_tool, True,
                                               function):
                            problems.append(f"{dll} does not export {function}")
                for dll in present:
                    for needed in pe_imports(os.path.join(libs, dll), objdump_tool):
                        if not windows_is_own(needed) and needed.lower() not in \
                                {n.lower() for n in present}:
                            problems.append(f"{dll} needs {needed}, neither Windows' nor in the wheel")
                print(f"{name}: win_amd64: {', '.join(present)} inside; every other DLL they "
                      f"import is Windows' own")
            else:
                problems.append(f"{platform}: a platform this script does not make")
        except WheelError as error:
            problems.append(str(error))
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(prog="wheel.py", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    maker = commands.add_parser("make", help="make a wheel into --dist")
    maker.add_argument("--platform", choices=("linux", "windows"), required=True)
    maker.add_argument("--library", required=True, help="the built shared library or DLL")
    maker.add_argument("--response", required=True,
                       help="the built response library or DLL (libkpxadac_response)")
    maker.add_argument("--version", required=True, help="the CMake project's version")
    maker.add_argument("--dist", required=True)
    checker = commands.add_parser("check", help="read a made wheel back")
    checker.add_argument("wheel")
    checker.add_argument("--version", help="the version it must carry")
    for sub in (maker, checker):
        sub.add_argument("--tools", default="",
                         help="prefix of objdump (x86_64-w64-mingw32- for a Windows wheel)")
    args = parser.parse_args(argv)
    try:
        if args.command == "make":
            make(args)
            return 0
        problems = check(args)
    except (WheelError, OSError, zipfile.BadZipFile) as error:
        print(f"wheel.py: {error}", file=sys.stderr)
        return 1
    for problem in problems:
        print(f"wheel.py: {args.wheel}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
