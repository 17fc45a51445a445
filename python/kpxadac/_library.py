"""Finds and loads the shared board access library.

Order: the file named by KPXADAC_LIBRARY (an explicit choice, never replaced);
the library inside the package's own wheel (kpxadac/_libs/, by absolute path,
so that no other copy on the system is taken instead); the library of the prefix this
package was installed into (the install rule records where it lies relative
to the package: <prefix>/lib on Linux, <prefix>/bin beside <prefix>/python on
Windows, as the installer lays it out); the system's loader (Debian's
python3-kpxadac takes libkpxadac1's library this way). The first that loads wins. When none
does, one LibraryNotFoundError names every place tried and why it failed.
"""

import ctypes
import ctypes.util
import os
import stat
import sys

from .errors import LibraryNotFoundError

if sys.platform == "win32":
    _SYSTEM_NAMES = ("kpxadac.dll", "libkpxadac.dll")  # Visual Studio, MinGW
elif sys.platform == "darwin":
    _SYSTEM_NAMES = ("libkpxadac.1.dylib", "libkpxadac.dylib")
else:
    _SYSTEM_NAMES = ("libkpxadac.so.1", "libkpxadac.so")


try:  # written by the install: where the library is, from the package
    from ._install_location import LIBRARY_FROM_PACKAGE
except ImportError:  # a source tree: nothing was installed
    LIBRARY_FROM_PACKAGE = None


_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
# Where a wheel carries the library (scripts/wheel.py puts it there).
WHEEL_LIBRARY_DIR = os.path.join(_PACKAGE_DIR, "_libs")


def _wheel_candidates():
    """Paths of the library inside this package's wheel, when it has one."""
    if not os.path.isdir(WHEEL_LIBRARY_DIR):
        return []
    return [os.path.join(WHEEL_LIBRARY_DIR, name) for name in _SYSTEM_NAMES
            if os.path.exists(os.path.join(WHEEL_LIBRARY_DIR, name))]


def _installed_candidates():
    """Paths of the library beside this package in an installed prefix."""
    if LIBRARY_FROM_PACKAGE is None:
        return []
    return [os.path.normpath(os.path.join(_PACKAGE_DIR, LIBRARY_FROM_PACKAGE))]


def _load(path):
    if os.sep in path or (os.altsep and os.altsep in path):
        # A file named by its path must be one: the loader would wait for ever on a
        # FIFO nobody writes.
        try:
            mode = os.stat(path).st_mode
        except OSError:
            mode = None  # the loader says why
        if mode is not None and not stat.S_ISREG(mode):
            raise OSError(f"{path}: not a regular file")
    if sys.platform == "win32" and os.path.isabs(path):
        # The DLL's own folder must be searched for anything it depends on.
        return ctypes.CDLL(path, winmode=0)
    return ctypes.CDLL(path)


def load_library():
    """Returns the loaded library and the name or path it was loaded from."""
    tried = []

    explicit = os.environ.get("KPXADAC_LIBRARY")
    if explicit:
        try:
            return _load(explicit), explicit
        except OSError as error:
            # An explicit choice that fails is not silently replaced by another library.
            raise LibraryNotFoundError([("KPXADAC_LIBRARY=" + explicit, str(error))]) from None
    tried.append(("KPXADAC_LIBRARY", "not set"))

    wheel = _wheel_candidates()
    if os.path.isdir(WHEEL_LIBRARY_DIR) and not wheel:
        tried.append((WHEEL_LIBRARY_DIR, "no library in the wheel's folder"))
    for path in wheel:
        try:
            return _load(path), path
        except OSError as error:
            tried.append((path, str(error)))

    for path in _installed_candidates():
        if not os.path.exists(path):
            tried.append((path, "no such file"))
            continue
        try:
            return _load(path), path
        except OSError as error:
            tried.append((path, str(error)))
    if not _installed_candidates():
        tried.append(("beside the package", "not an installed package"))

    names = list(_SYSTEM_NAMES)
    found = ctypes.util.find_library("kpxadac")
    if found and found not in names:
        names.append(found)
    for name in names:
        try:
            return _load(name), name
        except OSError as error:
            tried.append(("system loader: " + name, str(error)))
    raise LibraryNotFoundError(tried)


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def loaded_file(dll, name):
    """The absolute path of the file the loader mapped for `dll` (loaded as `name`), or `name`
    itself when the system cannot say."""
    try:
        if sys.platform == "win32":
            buffer = ctypes.create_unicode_buffer(32768)
            length = ctypes.windll.kernel32.GetModuleFileNameW(ctypes.c_void_p(dll._handle), buffer,
                                                               len(buffer))
            return buffer.value if length else name
        # dladdr on one of the library's own functions names the file it lies in.
        dladdr = ctypes.CDLL(None).dladdr
        dladdr.argtypes = (ctypes.c_void_p, ctypes.POINTER(_DlInfo))
        info = _DlInfo()
        address = ctypes.cast(dll.KpxBoard_Count, ctypes.c_void_p)
        if dladdr(address, ctypes.byref(info)) and info.dli_fname:
            return os.path.abspath(os.fsdecode(info.dli_fname))
    except (AttributeError, OSError):
        pass
    return name
