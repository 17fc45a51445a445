"""The package's version: the CMake project's version, the one number of the library, the
Debian packages, the Windows installer and the wheels.

The build writes it into _built_version.py (the install rule, scripts/wheel.py); in a source
tree it is read from the project's CMakeLists.txt."""

import os
import re

_PROJECT = re.compile(r"^project\(kpxadac\s+VERSION\s+(\d+\.\d+\.\d+)", re.M)


def _from_source_tree():
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
    try:
        with open(path, encoding="utf-8") as cmake_lists:
            found = _PROJECT.search(cmake_lists.read(1 << 16))
    except OSError:
        found = None
    return found.group(1) if found else "0.0.0"


try:
    from ._built_version import VERSION
except ImportError:  # a source tree: nothing was built
    VERSION = _from_source_tree()


def parse(text):
    """'1.2.3' -> (1, 2, 3); None for anything else."""
    match = re.fullmatch(r"(\d+)\.(\d+)\.(\d+)", text or "")
    return tuple(int(part) for part in match.groups()) if match else None


def library_refusal(library_version, path, package_version=VERSION, what="the KPX-ADAC library",
                    function="KpxBoard_LibraryVersion", variable="KPXADAC_LIBRARY"):
    """Why the library at `path`, answering `library_version` (None: it has no
    `function`), is too old for this package; None when it is not. `what` names the
    library in the text and `variable` the environment variable that chooses another."""
    wanted = parse(package_version)
    found = parse(library_version)
    if library_version is None:
        return (f"{what} {path} does not report its version "
                f"(no {function}): it is older than this Python package "
                f"kpxadac {package_version}. Install the library of version {package_version} "
                f"or newer, or set {variable} to one.")
    if found is None:
        return (f"{what} {path} reports the version {library_version!r}, "
                f"which is no MAJOR.MINOR.PATCH")
    if wanted is not None and found < wanted:
        return (f"{what} {path} is version {library_version}, older than this "
                f"Python package kpxadac {package_version}. Install the library of version "
                f"{package_version} or newer, or set {variable} to one.")
    return None
