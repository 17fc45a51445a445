#!/usr/bin/env bash
# Uses the wheels that scripts/package.sh --wheel made, as a user would:
#   - the Linux wheel in a fresh virtual environment of Debian's python3 (with
#     the system's site packages, for Debian's numpy: no package index is
#     reachable), on a system where no SDK is installed (checked first):
#     `pip install --no-index`, `python -m kpxadac` lists the default virtual
#     board, a capture runs on the library inside the wheel, a frequency
#     response is measured with the wheel's response library (a DAC wired to
#     an ADC through a -3 dB device model), and `pip uninstall -y` leaves the
#     environment's files as they were;
#   - both wheels read back by scripts/wheel.py check (tags, RECORD, the
#     library and every library or DLL it needs).
#
# Usage: scripts/check-wheels.sh DIST
set -euo pipefail
exec </dev/null
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dist=$(cd "$1" && pwd)
version=$(sed -n 's/^project(kpxadac VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
work=$(mktemp -d /tmp/kpxadac-wheels.XXXXXX)
trap 'rm -rf "$work"' EXIT
problems=0
problem() { echo "wheels: FAILED: $*" >&2; problems=$((problems + 1)); }

linux=$(compgen -G "$dist/kpxadac-$version-py3-none-manylinux_*_x86_64.whl" | head -1) || true
windows=$(compgen -G "$dist/kpxadac-$version-py3-none-win_amd64.whl" | head -1) || true
[[ -n $linux && -n $windows ]] || { echo "wheels: no Linux or Windows wheel of $version in $dist" >&2; exit 1; }
ls -l "$linux" "$windows"

echo "=== wheels: contents"
/usr/bin/python3 "$root/scripts/wheel.py" check --version "$version" "$linux" || problem "the Linux wheel"
/usr/bin/python3 "$root/scripts/wheel.py" check --version "$version" --tools x86_64-w64-mingw32- \
  "$windows" || problem "the Windows wheel"

# A user's environment: no variable of ours, a scratch folder, no source tree.
user() {
  (cd "$work" && env -u KPXADAC_LIBRARY -u PYTHONPATH -u KPXADAC_SIM -u KPXADAC_TRACE \
    -u LD_LIBRARY_PATH -u PIP_FIND_LINKS PIP_CONFIG_FILE=/dev/null PIP_NO_INPUT=1 \
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$@")
}
venv=$work/venv
echo "=== wheels: a fresh virtual environment"
/usr/bin/python3 -m venv --system-site-packages "$venv"
python=$venv/bin/python
list_files() { (cd "$venv" && find . -path ./pyvenv.cfg -prune -o -print | LC_ALL=C sort); }
list_files >"$work/before"

# No SDK on the system: nothing to import and no library for the loader.
sdk=$(user "$python" -c '
import ctypes.util, importlib.util
module = importlib.util.find_spec("kpxadac")
print(module.origin if module else "", ctypes.util.find_library("kpxadac") or "")') || sdk="?"
if [[ -n ${sdk//[[:space:]]/} ]]; then
  echo "wheels: an SDK is installed on this system ($sdk); the wheel is not tested alone" >&2
  exit 1
fi

echo "=== wheels: pip install --no-index ${linux##*/}"
user "$python" -m pip install --no-index "$linux" || problem "pip install"

echo "=== wheels: python -m kpxadac"
listing=$(user "$python" -m kpxadac 2>&1) || problem "python -m kpxadac failed: $listing"
echo "$listing"
grep -q "device 0: ADC 0, board ID 0x8A, FPGA part 4vlx40" <<<"$listing" ||
  problem "python -m kpxadac did not list the default virtual board"

echo "=== wheels: a capture on the wheel's library"
user "$python" - "$version" <<'EOF' || problem "the capture"
import os, sys, numpy, kpxadac
site = os.path.dirname(os.path.dirname(os.path.abspath(kpxadac.__file__)))
path = kpxadac.library_path()
print("library:", path, kpxadac.library_version(), "numpy", numpy.__version__, "from", numpy.__file__)
assert path == os.path.join(site, "kpxadac", "_libs", "libkpxadac.so.1"), path
assert kpxadac.__version__ == kpxadac.library_version() == sys.argv[1], kpxadac.__version__
mapped = [line.split()[-1] for line in open("/proc/self/maps") if "libkpxadac" in line]
assert set(mapped) == {path}, mapped
with kpxadac.Rack() as rack:
    recording = rack.adc(0).capture(samples=1 << 16)
print(recording)
assert len(recording.samples) == 1 << 16 and not recording.gaps, recording
assert recording.samples.dtype == numpy.int16 and recording.samples.std() > 100
EOF

echo "=== wheels: a response measurement on the wheel's response library"
wired='{"boards": [{"device": 0, "read_timeout_ms": 10000, "input": {"dac": 1, "through": {"gain_db": -3}}},
  {"device": 1, "board_id": "0x86"}]}'
user env KPXADAC_SIM="$wired" "$python" - "$version" <<'EOF' || problem "the response measurement"
import os, sys, numpy, kpxadac
from kpxadac import response
libs = os.path.join(os.path.dirname(os.path.abspath(kpxadac.__file__)), "_libs")
print("response library:", response.library_path(), response.library_version())
assert response.library_path() == os.path.join(libs, "libkpxadac_response.so.1")
assert response.library_version() == sys.argv[1]
with kpxadac.Rack() as rack:
    result = response.measure(rack.dac(0), rack.adc(0), 1e5, 5e6, points=8)
print(result, numpy.round(result.magnitude_db, 3))
assert len(result) == 8 and numpy.abs(result.magnitude_db + 3).max() < 0.1, result.magnitude_db
mapped = {line.split()[-1] for line in open("/proc/self/maps") if "libkpxadac" in line}
assert mapped == {os.path.join(libs, n) for n in ("libkpxadac.so.1", "libkpxadac_response.so.1")}, mapped
EOF

echo "=== wheels: pip uninstall -y kpxadac"
user "$python" -m pip uninstall -y kpxadac || problem "pip uninstall"
list_files >"$work/after"
if ! diff "$work/before" "$work/after" >"$work/left"; then
  cat "$work/left"
  problem "pip uninstall left files behind (or took some away)"
fi
echo "wheels: the environment holds $(wc -l <"$work/after") paths, as before the install"

((problems == 0)) || { echo "wheels: $problems problem(s)"; exit 1; }
echo "wheels: checked, installed, used and uninstalled"
