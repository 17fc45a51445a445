#!/usr/bin/env bash
# The Windows installer under Wine, in a fresh Wine prefix:
#   1. a silent per-machine install (/S /PATH) into Program Files; every file
#      of the zip is installed, the uninstaller is registered with Windows
#      and bin\ is on the system PATH;
#   2. from the installed bin\, on virtual racks: kpxadac-info --json lists
#      the boards, kpxadac-capture records a SigMF ramp whose SHA-512 matches,
#      kpxadac-scope serves its page to a request on loopback (and refuses a
#      foreign Host header);
#   3. a C program cross-compiled against the installed headers and import
#      library through the installed CMake package runs, with the DLL and
#      with the static library; the installed Python package records the
#      installed DLL;
#   4. the silent uninstaller removes every file, its registry entries and
#      the PATH entry; and the same for an install into a folder of our
#      choice (/D=).
#
# Usage: scripts/windows-installer-tests.sh INSTALLER ZIP WORK_DIR
# Prints "windows installer: N passed, M failed" last; non-zero on failure.
set -euo pipefail
exec </dev/null
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
installer=$(realpath "$1")
zip=$(realpath "$2")
work=$3
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
export WINEPREFIX=$work/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY WINEPATH KPXADAC_SIM
passed=0
failed=0
problems=()
check() {  # check NAME: counts the problems collected since the last check
  local problem
  for problem in "${problems[@]}"; do echo "  $1: $problem"; done
  if ((${#problems[@]})); then failed=$((failed + 1)); else passed=$((passed + 1)); echo "  $1: ok"; fi
  problems=()
}
step() { printf '\n=== windows installer: %s\n' "$*"; }
# Programs run and then the prefix is left alone until every process in it
# (the uninstaller copies itself and runs on) has ended.
wine_wait() {
  local status=0
  wine "$@" || status=$?
  wineserver -w
  return $status
}
registry_has() { grep -qiF "$1" "$WINEPREFIX/system.reg"; }

step "fresh Wine prefix"
timeout 300 wineboot --init >/dev/null 2>&1
wineserver -w
program_files=$WINEPREFIX/drive_c/Program\ Files
sdk=$program_files/KPX-ADAC\ SDK
sdk_windows='C:\Program Files\KPX-ADAC SDK'

# ---- 1. Silent install ----------------------------------------------------------
step "silent install: $(basename "$installer") /S /PATH"
status=0
timeout 300 wine "$installer" /S /PATH || status=$?
wineserver -w
((status == 0)) || problems+=("the installer exited with $status")
(cd "$work" && unzip -q "$zip")
tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'kpxadac-sdk-*')
expected=$(cd "$tree" && find . -type f | LC_ALL=C sort)
installed_files=$( (cd "$sdk" 2>/dev/null && find . -type f | LC_ALL=C sort) || true)
missing=$(comm -23 <(echo "$expected") <(echo "$installed_files"))
extra=$(comm -13 <(echo "$expected") <(echo "$installed_files"))
[[ -z $missing ]] || problems+=("not installed: $(echo $missing)")
[[ $extra == ./uninstall.exe ]] || problems+=("installed beyond the zip's tree: $(echo $extra)")
while read -r file; do
  cmp -s "$tree/$file" "$sdk/$file" || problems+=("$file differs from the zip's")
done < <(echo "$expected" | grep -E '\.(exe|dll|a|h|py)$')
echo "  $(echo "$installed_files" | wc -l) files in $sdk_windows"
registry_has '[Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KPX-ADAC SDK]' ||
  problems+=("no uninstall entry in the registry")
registry_has '"UninstallString"="\"C:\\Program Files\\KPX-ADAC SDK\\uninstall.exe\""' ||
  problems+=("the uninstall entry does not name the uninstaller")
grep -iA80 '^\[System\\\\CurrentControlSet\\\\Control\\\\Session Manager\\\\Environment\]' \
  "$WINEPREFIX/system.reg" | grep -iq '^"PATH"=.*KPX-ADAC SDK\\\\bin' ||
  problems+=("bin is not on the system PATH")
check "install"

# ---- 2. The programs from the installed bin ---------------------------------------
bin="$sdk_windows\\bin"
run_dir=$work/run
mkdir -p "$run_dir"
cd "$run_dir"
step "kpxadac-info --json from the installed bin"
KPXADAC_SIM='{"boards": [{"device": 0}, {"device": 2, "board_id": "0x86"}]}' \
  wine "$bin\\kpxadac-info.exe" --json >info.json 2>info.err || problems+=("kpxadac-info failed: $(cat info.err)")
boards=$(/usr/bin/python3 -c 'import json, sys
print(" ".join("%s@%d" % (b["type"], b["device"]) for b in json.load(open("info.json"))["boards"]))' \
  2>&1) || true
echo "  boards: $boards"
[[ $boards == "ADC@0 DAC@2" ]] || problems+=("expected ADC@0 DAC@2")
check "kpxadac-info"

step "kpxadac-capture: a SigMF ramp"
KPXADAC_SIM='{"boards": [{"device": 0, "signal": {"type": "ramp"}}]}' \
  wine "$bin\\kpxadac-capture.exe" --samples 100000 --format sigmf -o ramp >/dev/null 2>capture.err ||
  problems+=("kpxadac-capture failed: $(cat capture.err)")
digest=$(sha512sum ramp.sigmf-data 2>/dev/null | cut -d' ' -f1)
verdict=$(/usr/bin/python3 - "$digest" <<'PYTHON' 2>&1
import json, struct, sys
data = open("ramp.sigmf-data", "rb").read()
meta = json.load(open("ramp.sigmf-meta"))
ramp = struct.pack("<100000H", *(k % 65536 for k in range(100000)))
print("ok" if data == ramp and meta["global"]["core:sha512"] == sys.argv[1] else
      "core:sha512 %s, data is the ramp: %s" % (meta["global"].get("core:sha512"), data == ramp))
PYTHON
) || true
echo "  sha512sum ${digest:0:16}...: $verdict"
[[ $verdict == ok ]] || problems+=("$verdict")
check "kpxadac-capture"

step "kpxadac-scope serves its page on loopback"
if [[ -f $sdk/bin/kpxadac-scope.exe ]]; then
  KPXADAC_SIM='{"boards": [{"device": 0}]}' wine "$bin\\kpxadac-scope.exe" --port 0 \
    >scope.out 2>scope.err &
  scope_pid=$!
  url=""
  for _ in $(seq 1 120); do
    url=$(sed -n 's/^kpxadac-scope: serving .* at \(http[^ ]*\).*/\1/p' scope.out)
    [[ -n $url ]] && break
    kill -0 "$scope_pid" 2>/dev/null || break
    sleep 0.5
  done
  echo "  ${url:-no URL printed: $(cat scope.err)}"
  if [[ -n $url ]]; then
    page=$(/usr/bin/python3 - "$url" <<'PYTHON' 2>&1
import sys, urllib.error, urllib.request
url = sys.argv[1]
with urllib.request.urlopen(url, timeout=30) as response:
    body = response.read().decode()
    print(response.status, "html" if "<html" in body.lower() else "no html", len(body))
try:
    urllib.request.urlopen(urllib.request.Request(url, headers={"Host": "elsewhere.example"}), timeout=30)
    print("foreign host allowed")
except urllib.error.HTTPError as error:
    print("foreign host", error.code)
PYTHON
) || true
    echo "  $page" | tr '\n' ' '
    echo
    grep -q "^200 html" <<<"$page" || problems+=("the page was not served: $page")
    grep -q "^foreign host 403" <<<"$page" || problems+=("a foreign Host header was not refused")
  else
    problems+=("kpxadac-scope printed no URL")
  fi
  kill "$scope_pid" 2>/dev/null || true
  wait "$scope_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
else
  problems+=("kpxadac-scope.exe is not installed")
fi
check "kpxadac-scope"

# ---- 3. A program built against the installed SDK ----------------------------------
step "a C program built with the installed CMake package"
consumer=$work/consumer
cp -r "$repo/examples/cmake_consumer" "$consumer"
cp "$repo/examples/enumerate_boards.c" "$work/"
if cmake -S "$consumer" -B "$consumer/build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mingw-w64.cmake" \
  -Dkpxadac_DIR="$sdk/lib/cmake/kpxadac" -DCMAKE_BUILD_TYPE=Release >"$work/consumer.log" 2>&1 &&
  cmake --build "$consumer/build" >>"$work/consumer.log" 2>&1; then
  grep -rqF "$sdk/include" "$consumer/build/CMakeFiles/enumerate_boards.dir/" ||
    problems+=("the program was not compiled against the installed headers")
  grep -rqF "$sdk/lib/libkpxadac.dll.a" "$consumer/build/CMakeFiles/enumerate_boards.dir/" ||
    problems+=("the program was not linked with the installed import library")
  cp "$consumer/build/enumerate_boards.exe" "$consumer/build/enumerate_boards_static.exe" "$run_dir/"
  for program in enumerate_boards enumerate_boards_static; do
    out=$(KPXADAC_SIM='{"boards": [{"device": 0}]}' WINEPATH="$bin" wine "$program.exe" 2>&1) ||
      problems+=("$program.exe failed: $out")
    grep -q "ADC 0: board ID 0x8A" <<<"$out" || problems+=("$program.exe did not list the board: $out")
  done
  imports=$(x86_64-w64-mingw32-objdump -p "$run_dir/enumerate_boards.exe")
  grep -qi 'DLL Name: libkpxadac.dll' <<<"$imports" ||
    problems+=("enumerate_boards.exe does not link the installed DLL")
else
  tail -20 "$work/consumer.log"
  problems+=("the program did not build against the installed package")
fi
location=$(sed -n 's/^LIBRARY_FROM_PACKAGE = "\(.*\)"/\1/p' "$sdk/python/kpxadac/_install_location.py" 2>/dev/null)
[[ -n $location && -f $sdk/python/kpxadac/$location ]] ||
  problems+=("the Python package does not record the installed DLL (${location:-nothing})")
check "programs against the installed SDK"
wineserver -w

# ---- 4. Silent uninstall --------------------------------------------------------------
step "silent uninstall"
cd "$work"
status=0
timeout 300 wine "$sdk_windows\\uninstall.exe" /S || status=$?
wineserver -w
((status == 0)) || problems+=("the uninstaller exited with $status")
if [[ -e $sdk ]]; then
  problems+=("left: $(cd "$sdk" && find . | head -10 | tr '\n' ' ')")
fi
! registry_has 'CurrentVersion\\Uninstall\\KPX-ADAC SDK]' || problems+=("the uninstall entry is left")
! registry_has '[Software\\KPX-ADAC SDK]' || problems+=("the SDK's registry key is left")
! grep -iq 'KPX-ADAC SDK\\\\bin' "$WINEPREFIX/system.reg" || problems+=("the PATH entry is left")
check "uninstall"

# Wine quotes an argument with a space, which /D= does not take (it must be
# the raw rest of the command line): a folder without one.
step "install into a folder of our choice (/D=) and uninstall"
status=0
timeout 300 wine "$installer" /S '/D=C:\KPX-SDK' || status=$?
wineserver -w
chosen=$WINEPREFIX/drive_c/KPX-SDK
((status == 0)) || problems+=("the installer exited with $status")
[[ -f $chosen/bin/kpxadac-info.exe ]] || problems+=("nothing was installed into C:\\KPX-SDK")
[[ ! -e $sdk ]] || problems+=("Program Files was used despite /D=")
! grep -iq 'KPX-SDK\\\\bin' "$WINEPREFIX/system.reg" || problems+=("PATH was changed without /PATH")
wine_wait 'C:\KPX-SDK\uninstall.exe' /S || problems+=("the uninstaller failed")
[[ ! -e $chosen ]] || problems+=("left: $(cd "$chosen" && find . | head -10 | tr '\n' ' ')")
check "install with /D="

printf '\nwindows installer: %d passed, %d failed\n' "$passed" "$failed"
((failed == 0))
