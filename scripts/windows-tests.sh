#!/usr/bin/env bash
# Windows build and tests, from Linux: cross-builds the SDK for 64-bit
# Windows with mingw-w64 and runs, under Wine,
#   1. every test registered with CTest, on the virtual boards;
#   2. the receive demo on the Win32 driver calls, with no board present: it
#      must try \\.\KPXADAC_0 .. \\.\KPXADAC_64 with the driver's open
#      arguments, report the missing board, exit with -1 and leave no
#      capture file; the request trace must record the 65 failed opens;
#   3. the receive demo on the default virtual rack, end to end;
#   4. kpxadac-capture: a SigMF recording of a virtual ramp board, its data
#      checked against sha512sum and the ramp, its metadata against the
#      stored SigMF schema; and the same samples with -o - to a file;
#   5. kpxadac-info --json on a rack whose requests fail: JSON alone on
#      standard output, the failures on standard error;
#   6. kpxadac-generate: a ramp played on a virtual DAC board whose
#      output_file records it, then that recording played again from
#      standard input onto a second board: both recordings are the ramp;
#   7. kpxadac-capture onto a full disk (an 8 MiB tmpfs in a private mount
#      namespace; where unshare -m is not allowed, said and not counted):
#      exit status 4, whole samples kept, the metadata's state "write failed";
#   8. the installer and the zip made from this build by scripts/package.sh,
#      installed, used and uninstalled in a fresh Wine prefix
#      (scripts/windows-installer-tests.sh).
#   9. the real backend against the test driver (tests/wine_driver/), in a
#      second prefix, with KPXADAC_SIM unset: the receive demo (transcript
#      as on the virtual board, the ramp in its file), kpxadac-info --json
#      (as on the default virtual rack), a kpxadac-capture SigMF recording
#      of the ramp, and the library's tests registered once more for the
#      driver (CTest label "driver").
#
# Usage: scripts/windows-tests.sh [BUILD_DIR]
#   BUILD_DIR defaults to build-win in the repository. Missing packages are
#   installed with apt-get when running as root. JOBS (default 2) sets the
#   build's and CTest's parallelism. DRIVER_RUNS (default 1) runs the tests
#   labelled driver that many times in a row, stopping at the first failure
#   (a check that they do not depend on timing under Wine). Exits non-zero on
#   any failure; the last line reads "windows: N passed, M failed".
set -euo pipefail
# Nothing here reads the terminal; programs under Wine get an empty input.
exec </dev/null

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$repo/build-win}
jobs=${JOBS:-2}
mkdir -p "$build"
build=$(cd "$build" && pwd)
start_time=$SECONDS

step() { printf '\n=== windows: %s (%ds)\n' "$*" $((SECONDS - start_time)); }
fail() {
  printf 'windows: FAILED: %s\n' "$*" >&2
  exit 1
}

# ---- Packages ---------------------------------------------------------------
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || need+=(wine)
[[ -x /usr/lib/wine/wine64 ]] || need+=(wine64)
[[ -f /usr/src/googletest/CMakeLists.txt ]] || need+=(googletest)
[[ -f /usr/include/nlohmann/json.hpp ]] || need+=(nlohmann-json3-dev)
[[ -f /usr/include/CLI/CLI.hpp ]] || need+=(libcli11-dev)
# The analysis's FFT in the cross build: Eigen's header-only FFT module.
[[ -f /usr/include/eigen3/unsupported/Eigen/FFT ]] || need+=(libeigen3-dev)
# The checks of the tools' output run Debian's Python.
/usr/bin/python3 -c 'import jsonschema' 2>/dev/null || need+=(python3-jsonschema)
if ((${#need[@]})); then
  step "installing ${need[*]}"
  [[ $(id -u) -eq 0 ]] || fail "packages ${need[*]} are missing and this is not root"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# ---- Cross build --------------------------------------------------------------
step "configuring in $build"
cmake -S "$repo" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKPXADAC_BUILD_TESTS=ON -DKPXADAC_WERROR=ON
step "building (-j$jobs)"
cmake --build "$build" -j"$jobs"

# Everything must run on a bare Windows: no DLL of the compiler's runtime.
step "checking the Windows binaries"
objdump=x86_64-w64-mingw32-objdump
mapfile -t binaries < <(find "$build" -path "$build/wineprefix" -prune -o -path '*/CMakeFiles' \
  -prune -o -type f \( -name '*.exe' -o -name '*.dll' \) -print)
((${#binaries[@]})) || fail "no Windows binaries were built"
for binary in "${binaries[@]}"; do
  if "$objdump" -p "$binary" | grep -Ei 'DLL Name: *(libstdc|libgcc|libwinpthread)'; then
    fail "$binary needs a DLL of the compiler's runtime"
  fi
done
dll=$(find "$build/host" -maxdepth 1 -name '*kpxadac*.dll' | head -n 1)
[[ -n $dll ]] || fail "the kpxadac DLL was not built"
exports=$("$objdump" -p "$dll")
grep -qw Kpxadac16_Open <<<"$exports" || fail "$dll does not export Kpxadac16_Open"
[[ -n $(find "$build/host" -maxdepth 1 -name '*kpxadac_static.a') ]] ||
  fail "the static library was not built"
demo=$(find "$build/host" -name talvo_rx_demo.exe | head -n 1)
[[ -n $demo ]] || fail "talvo_rx_demo.exe was not built"
capture_exe=$build/tools/kpxadac-capture/kpxadac-capture.exe
info_exe=$build/tools/kpxadac-info/kpxadac-info.exe
generate_exe=$build/tools/kpxadac-generate/kpxadac-generate.exe
[[ -f $capture_exe ]] || fail "kpxadac-capture.exe was not built"
[[ -f $generate_exe ]] || fail "kpxadac-generate.exe was not built"
[[ -f $info_exe ]] || fail "kpxadac-info.exe was not built"
echo "  ${#binaries[@]} binaries, none needs a runtime DLL; $(basename "$dll") exports the API"

# ---- Wine ---------------------------------------------------------------------
# A throwaway prefix under the build, quiet, without the Mono and Gecko
# installers, and one persistent server, so that no program pays for
# Wine's start-up. Programs that link the DLL find it through WINEPATH.
export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
step "starting Wine"
mkdir -p "$WINEPREFIX"
# A server left running in this prefix (by a run by hand) is replaced.
wineserver -k >/dev/null 2>&1 || true
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  timeout 300 wineboot --init >/dev/null 2>&1 || fail "wineboot --init"
fi
WINEPATH=$(winepath -w "$(dirname "$dll")")
# The response library's DLL too: the scope (and its test) link it.
response_dll=$(find "$build/analysis" -maxdepth 1 -name '*kpxadac_response*.dll' | head -n 1)
[[ -z $response_dll ]] || WINEPATH+=";$(winepath -w "$(dirname "$response_dll")")"
export WINEPATH

passed=0
failed=0

# Each check below keeps its files in a fresh folder, collects what is wrong
# in `problems`, and counts as one passed or failed check.
fresh_dir() { rm -rf "$1" && mkdir -p "$1"; }
tally() {  # tally NAME
  local problem
  for problem in "${problems[@]}"; do echo "  $1: $problem"; done
  if ((${#problems[@]})); then failed=$((failed + 1)); else passed=$((passed + 1)); fi
}

# ---- 1. Tests on the virtual boards ---------------------------------------------
# The tests build their racks in-process; KPXADAC_SIM only selects the
# virtual boards over the driver on Windows (tests that need a rack from the
# environment set their own).
step "tests under Wine"
xml_dir=$build/gtest-xml
rm -rf "$xml_dir"
mkdir -p "$xml_dir"
ctest_log=$build/ctest-windows.log
set +o pipefail
KPXADAC_SIM=none GTEST_OUTPUT="xml:$(winepath -w "$xml_dir")\\" GTEST_COLOR=no \
  ctest --test-dir "$build" -LE driver -j"$jobs" --timeout 900 --output-on-failure 2>&1 |
  tee "$ctest_log"
ctest_status=${PIPESTATUS[0]}
set -o pipefail

# One line per CTest test. A GoogleTest executable counts its cases, from
# its XML report (named after the executable: a test registered again as
# NAME_driver reports in NAME.xml); any other test counts as one. Adds to
# passed and failed; cases_run is the number of cases that ran.
attribute() { sed -n "s/.* $1=\"\([0-9]*\)\".*/\1/p" <<<"$2"; }
count_cases() {  # count_cases CTEST_LOG XML_DIR CTEST_STATUS
  local name result report header run bad skipped ok before=$failed
  cases_run=0
  echo
  while read -r name result; do
    report=$2/${name%_driver}.xml
    if [[ -f $report ]]; then
      header=$(grep -m1 '<testsuites ' "$report")
      run=$(($(attribute tests "$header") - $(attribute disabled "$header")))
      bad=$(($(attribute failures "$header") + $(attribute errors "$header")))
      skipped=$(grep -c '<skipped' "$report" || true)
      ok=$((run - bad - skipped))
      # A crash after the report was written still fails the executable.
      if [[ $result != Passed ]] && ((bad == 0)); then bad=1; fi
    else
      run=1 skipped=0 ok=0 bad=0
      [[ $result == Passed ]] && ok=1 || bad=1
    fi
    printf '  %-32s %-8s %4d run, %d failed, %d skipped\n' "$name" "$result" "$run" "$bad" "$skipped"
    passed=$((passed + ok))
    failed=$((failed + bad))
    cases_run=$((cases_run + run - skipped))
  done < <(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) [.*]* *\([^ ]*\) .*/\1 \2/p' "$1")
  if (($3 != 0 && failed == before)); then
    echo "  ctest failed (status $3)"
    failed=$((failed + 1))
  fi
}
count_cases "$ctest_log" "$xml_dir" "$ctest_status"

# ---- 2. The demo on the driver, with no board ----------------------------------
step "receive demo on the Win32 driver, no board present"
run_dir=$build/demo-driver
fresh_dir "$run_dir"
status=0
(cd "$run_dir" && env -u KPXADAC_SIM KPXADAC_TRACE=trace.jsonl WINEDEBUG=-all,trace+file \
  wine "$demo" </dev/null >stdout.txt 2>wine-file.log) || status=$?
cat "$run_dir/stdout.txt"
problems=()
((status == 255)) || problems+=("exit status $status, expected 255 (-1)")
grep -qF 'Board KPX-ADC [0] not found! ' "$run_dir/stdout.txt" ||
  problems+=("no 'Board KPX-ADC [0] not found!' line")
[[ ! -e $run_dir/talvo_rx_data.bin ]] || problems+=("talvo_rx_data.bin was created")
# Wine's file channel shows each CreateFile with its arguments (the name
# with its backslashes doubled).
opens=0
for n in $(seq 0 64); do
  call='CreateFileW L"\\\\.\\KPXADAC_'"$n"'" GENERIC_READ GENERIC_WRITE'
  call+=' FILE_SHARE_READ FILE_SHARE_WRITE  creation 3 attributes 0x0'
  grep -qF "$call" "$run_dir/wine-file.log" && opens=$((opens + 1))
done
printf '  CreateFileA of %s..64 with the driver'"'"'s arguments: %d of 65\n' '\\.\KPXADAC_0' "$opens"
((opens == 65)) || problems+=("$opens of 65 board devices were opened as the driver expects")
traced=$(grep -c '"op":"open".*"ok":false,"error":2,' "$run_dir/trace.jsonl" 2>/dev/null || true)
traced=${traced:-0}
echo "  traced opens that failed with error 2: $traced of 65"
((traced == 65)) || problems+=("the trace shows $traced failed opens, expected 65")
tally "demo on the driver"

# ---- 3. The demo on the virtual boards -------------------------------------------
step "receive demo on the default virtual rack"
sim_dir=$build/demo-virtual
fresh_dir "$sim_dir"
status=0
(cd "$sim_dir" && KPXADAC_SIM='' wine "$demo" </dev/null >stdout.txt) || status=$?
cat "$sim_dir/stdout.txt"
problems=()
((status == 0)) || problems+=("exit status $status, expected 0")
size=$(stat -c %s "$sim_dir/talvo_rx_data.bin" 2>/dev/null || echo none)
[[ $size == 81920 ]] || problems+=("talvo_rx_data.bin has $size bytes, expected 81920")
tally "demo on the virtual boards"

# check_recording DIR SAMPLES: DIR holds ramp.sigmf-data and ramp.sigmf-meta
# from a SigMF capture and piped.bin from -o -. Adds to `problems` unless the
# metadata's digest is the data's, both files are the ramp (sample k is
# k mod 65536, so a line end put in shows) and the metadata passes the
# stored SigMF schema.
check_recording() {
  local dir=$1 samples=$2 digest verdict line
  digest=$(sha512sum "$dir/ramp.sigmf-data" 2>/dev/null | cut -d' ' -f1)
  echo "  sha512sum: ${digest:-no data file}"
  verdict=$(cd "$dir" && /usr/bin/python3 - "$repo/tests/capture/data/sigmf-schema.json" \
    "$digest" "$samples" <<'PYTHON' 2>&1
import json, struct, sys
import jsonschema
schema_path, digest, samples = sys.argv[1:]
ramp = struct.pack("<%dH" % int(samples), *(k % 65536 for k in range(int(samples))))
problems = []
for name in ("ramp.sigmf-data", "piped.bin"):
    data = open(name, "rb").read()
    if data != ramp:
        problems.append("%s (%d bytes) is not the ramp of %s samples" % (name, len(data), samples))
meta = json.load(open("ramp.sigmf-meta"))
if meta["global"].get("core:sha512") != digest:
    problems.append("core:sha512 %s is not the data's digest" % meta["global"].get("core:sha512"))
validator = jsonschema.Draft202012Validator(
    json.load(open(schema_path)), format_checker=jsonschema.Draft202012Validator.FORMAT_CHECKER)
problems += ["schema: " + e.message for e in validator.iter_errors(meta)]
print("\n".join(problems) if problems else "ok")
PYTHON
  ) || true
  if [[ $verdict == ok ]]; then
    echo "  core:sha512 matches, both outputs are the ramp, the metadata is valid SigMF"
  else
    while read -r line; do problems+=("$line"); done <<<"$verdict"
  fi
}

# ---- 4. kpxadac-capture: a SigMF recording, and the samples on standard output ---
step "kpxadac-capture: SigMF recording and -o - of a virtual ramp board"
rec_dir=$build/capture
fresh_dir "$rec_dir"
export KPXADAC_SIM='{"boards": [{"device": 0, "signal": {"type": "ramp"}}]}'
samples=300001 # blocks of 4096 bytes: many reads, and a last half block
problems=()
status=0
(cd "$rec_dir" && wine "$capture_exe" --samples "$samples" --chunk 4096 --format sigmf -o ramp \
  >stdout.txt 2>stderr.txt) || status=$?
cat "$rec_dir/stderr.txt"
((status == 0)) || problems+=("SigMF: exit status $status, expected 0")
[[ ! -s $rec_dir/stdout.txt ]] || problems+=("SigMF: standard output is not empty")
status=0
(cd "$rec_dir" && wine "$capture_exe" --samples "$samples" -o - >piped.bin 2>piped.txt) || status=$?
((status == 0)) || problems+=("-o -: exit status $status, expected 0")
unset KPXADAC_SIM
check_recording "$rec_dir" "$samples"
tally kpxadac-capture

# ---- 5. kpxadac-info --json with failing requests ----------------------------------
step "kpxadac-info --json on a rack with failing requests"
info_dir=$build/info-json
fresh_dir "$info_dir"
status=0
(cd "$info_dir" && KPXADAC_SIM='{"boards": [{"device": 0, "faults": [{"op": "IOCTL_GET_HSREG"}]},
                                           {"device": 3, "board_id": "0x86"}]}' \
  wine "$info_exe" --json >stdout.txt 2>stderr.txt) || status=$?
problems=()
((status == 0)) || problems+=("exit status $status, expected 0")
boards=$(/usr/bin/python3 -c 'import json, sys
print(" ".join("%s@%d" % (b["type"], b["device"]) for b in json.load(open(sys.argv[1]))["boards"]))' \
  "$info_dir/stdout.txt" 2>&1) ||
  problems+=("standard output is not JSON: $(head -c 300 "$info_dir/stdout.txt")")
echo "  boards in the JSON: $boards"
[[ $boards == "ADC@0 DAC@3" ]] || problems+=("expected the ADC board at 0 and the DAC board at 3")
grep -q 'IOCTL_GET_HSREG failed:  31' "$info_dir/stderr.txt" ||
  problems+=("the failed requests are not on standard error")
tally kpxadac-info

# ---- 6. kpxadac-generate: a ramp, and a recording from standard input -------------
step "kpxadac-generate: a ramp onto a recording DAC board, and back from standard input"
gen_dir=$build/generate
fresh_dir "$gen_dir"
problems=()
generated=300000
status=0
(cd "$gen_dir" && KPXADAC_SIM='{"boards": [{"device": 0, "board_id": "0x86",
                                            "output_file": "played.raw"}]}' \
  wine "$generate_exe" --wave ramp --samples "$generated" --block 4096 >stdout.txt 2>stderr.txt) ||
  status=$?
cat "$gen_dir/stderr.txt"
((status == 0)) || problems+=("ramp: exit status $status, expected 0")
status=0
(cd "$gen_dir" && KPXADAC_SIM='{"boards": [{"device": 0, "board_id": "0x87",
                                            "output_file": "replayed.raw"}]}' \
  wine "$generate_exe" --wave file --input - --block 1000 <played.raw >stdout.txt \
  2>stderr-input.txt) || status=$?
((status == 0)) || problems+=("--input -: exit status $status, expected 0")
verdict=$(cd "$gen_dir" && /usr/bin/python3 - "$generated" <<'PYTHON' 2>&1
import struct, sys
samples = int(sys.argv[1])
ramp = struct.pack("<%dH" % samples, *(k % 65536 for k in range(samples)))
problems = []
for name in ("played.raw", "replayed.raw"):
    data = open(name, "rb").read()
    if data != ramp:
        problems.append("%s (%d bytes) is not the ramp of %d samples" % (name, len(data), samples))
print("\n".join(problems) if problems else "ok")
PYTHON
) || true
if [[ $verdict == ok ]]; then
  echo "  both recordings are the ramp of $generated samples"
else
  while read -r line; do problems+=("$line"); done <<<"$verdict"
fi
tally kpxadac-generate
# ---- 7. kpxadac-capture onto a full disk --------------------------------------------
# Wine's server opens the files, so a server of its own runs in the private
# mount namespace that holds the small tmpfs; the persistent one stops first
# and starts again after.
step "kpxadac-capture onto a full 8 MiB disk"
disk_dir=$build/full-disk
fresh_dir "$disk_dir"
problems=()
if ! unshare -m true 2>/dev/null; then
  echo "  not run: unshare -m needs root (a private mount namespace for the small tmpfs)"
else
  wineserver -k >/dev/null 2>&1 || true
  status=0
  (cd "$disk_dir" && KPXADAC_SIM='{"boards": [{"device": 0, "signal": {"type": "ramp"}}]}' \
    unshare -m bash -c '
      mkdir -p disk && mount -t tmpfs -o size=8m kpxadac-test disk || exit 90
      wine "$0" --samples 20000000 --chunk 65536 --format sigmf -o disk/rec >stdout.txt 2>stderr.txt
      status=$?
      cp disk/rec.sigmf-data disk/rec.sigmf-meta . 2>/dev/null
      wineserver -k >/dev/null 2>&1
      exit $status' "$capture_exe") || status=$?
  wineserver -p
  cat "$disk_dir/stderr.txt" 2>/dev/null || true
  if ((status == 90)); then
    echo "  not run: the tmpfs could not be mounted"
  else
    ((status == 4)) || problems+=("exit status $status, expected 4 (writing failed)")
    verdict=$(cd "$disk_dir" && /usr/bin/python3 -c '
import json, os
meta = json.load(open("rec.sigmf-meta"))["global"]
size = os.path.getsize("rec.sigmf-data")
problems = []
if meta.get("kpxadac:state") != "write failed":
    problems.append("state %r, expected write failed" % meta.get("kpxadac:state"))
if size % 2 or meta.get("kpxadac:sample_count") != size // 2:
    problems.append("%d data bytes, the metadata describes %r samples"
                    % (size, meta.get("kpxadac:sample_count")))
if size < 4 << 20:
    problems.append("only %d bytes written" % size)
print("\n".join(problems) if problems else "ok")' 2>&1) || true
    if [[ $verdict == ok ]]; then
      echo "  exit status 4, whole samples kept and described, state \"write failed\""
    else
      while read -r line; do problems+=("$line"); done <<<"$verdict"
    fi
  fi
fi
tally "kpxadac-capture onto a full disk"
# ---- 8. The installer and the zip --------------------------------------------------
step "the installer and the zip of this build, in a fresh Wine prefix"
dist_dir=$build/dist
installer_log=$build/installer-tests.log
if "$repo/scripts/package.sh" --windows-build "$build" --dist "$dist_dir"; then
  status=0
  "$repo/scripts/windows-installer-tests.sh" "$(compgen -G "$dist_dir/kpxadac-sdk-*-win64-setup.exe")" \
    "$(compgen -G "$dist_dir/kpxadac-sdk-*-win64.zip")" "$build/installer-test" 2>&1 |
    tee "$installer_log" || status=$?
  counts=$(sed -n 's/^windows installer: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$installer_log")
  if [[ -n $counts ]]; then
    passed=$((passed + ${counts% *}))
    failed=$((failed + ${counts#* }))
  fi
  if [[ -z $counts ]] || { ((status != 0)) && [[ ${counts#* } == 0 ]]; }; then
    failed=$((failed + 1))
  fi
else
  echo "  scripts/package.sh --windows-build $build failed"
  failed=$((failed + 1))
fi

# ---- 9. The real backend through the test driver ----------------------------------
# A second prefix holds the test driver, so that the prefix above stays
# without boards. With KPXADAC_SIM unset every program goes through the
# library's Win32 calls (CreateFileA, DeviceIoControl, ReadFile, ...) to
# the driver in Wine's winedevice.exe. kpxadac-info, the demo and
# kpxadac-capture run on the driver's default board (the ADC board 0x8A at
# device 0 with the ramp); the tests then give it racks of their own. The
# board keeps its registers from one program to the next, as a real board
# does, so kpxadac-info comes first, while the board is as fresh as a
# virtual rack is in every process.
driver_sys=$build/tests/wine_driver/kpxadac_test.sys
[[ -f $driver_sys ]] || fail "the test driver $driver_sys was not built"
step "installing the test driver into the prefix $build/wineprefix-driver"
wineserver -k >/dev/null 2>&1 || true
export WINEPREFIX=$build/wineprefix-driver
trap 'for prefix in "$build/wineprefix" "$build/wineprefix-driver"; do
        WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; done' EXIT
mkdir -p "$WINEPREFIX"
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  timeout 300 wineboot --init >/dev/null 2>&1 || fail "wineboot --init of the driver's prefix"
fi
# The install restarts the prefix and leaves a persistent server in it.
"$repo/tests/wine_driver/install-into-wine.sh" "$driver_sys" || fail "installing the test driver"
echo "  the service kpxadac_test runs"

# The ramp's first N samples, as a file.
ramp_file() { /usr/bin/python3 -c 'import struct, sys
n = int(sys.argv[1]); sys.stdout.buffer.write(struct.pack("<%dH" % n, *(k % 65536 for k in range(n))))' "$1"; }

step "kpxadac-info --json on the test driver"
info_dir=$build/info-wine-driver
fresh_dir "$info_dir"
status=0
(cd "$info_dir" && env -u KPXADAC_SIM wine "$info_exe" --json >driver.json 2>stderr.txt) || status=$?
(cd "$info_dir" && KPXADAC_SIM=default wine "$info_exe" --json >virtual.json 2>/dev/null) || true
problems=()
((status == 0)) || problems+=("exit status $status, expected 0")
[[ ! -s $info_dir/stderr.txt ]] || problems+=("standard error: $(head -c 300 "$info_dir/stderr.txt")")
/usr/bin/python3 -c 'import json, sys; json.load(open(sys.argv[1]))' "$info_dir/driver.json" 2>/dev/null ||
  problems+=("standard output is not JSON: $(head -c 300 "$info_dir/driver.json")")
cmp -s "$info_dir/driver.json" "$info_dir/virtual.json" ||
  problems+=("differs from the default virtual rack's: $(diff "$info_dir/virtual.json" "$info_dir/driver.json" | head -6 | tr '\n' ' ' || true)")
echo "  $(tr -d '\n ' <"$info_dir/driver.json" | head -c 160 || true)"
tally "kpxadac-info on the test driver"

step "receive demo on the test driver"
run_dir=$build/demo-wine-driver
fresh_dir "$run_dir"
status=0
(cd "$run_dir" && env -u KPXADAC_SIM wine "$demo" </dev/null >stdout.txt) || status=$?
cat "$run_dir/stdout.txt"
problems=()
((status == 0)) || problems+=("exit status $status, expected 0")
cmp -s "$run_dir/stdout.txt" "$sim_dir/stdout.txt" ||
  problems+=("the transcript differs from the one on the virtual board: $(diff "$sim_dir/stdout.txt" "$run_dir/stdout.txt" | head -5 | tr '\n' ' ' || true)")
ramp_file 40960 >"$run_dir/ramp.bin"
cmp -s "$run_dir/talvo_rx_data.bin" "$run_dir/ramp.bin" ||
  problems+=("talvo_rx_data.bin is not the ramp's first 40960 samples")
tally "demo on the test driver"

step "kpxadac-capture: SigMF recording of the test driver's ramp"
rec_dir=$build/capture-wine-driver
fresh_dir "$rec_dir"
problems=()
status=0
(cd "$rec_dir" && env -u KPXADAC_SIM wine "$capture_exe" --samples "$samples" --chunk 4096 \
  --format sigmf -o ramp >stdout.txt 2>stderr.txt) || status=$?
cat "$rec_dir/stderr.txt"
((status == 0)) || problems+=("SigMF: exit status $status, expected 0")
[[ ! -s $rec_dir/stdout.txt ]] || problems+=("SigMF: standard output is not empty")
status=0
(cd "$rec_dir" && env -u KPXADAC_SIM wine "$capture_exe" --samples "$samples" -o - \
  >piped.bin 2>piped.txt) || status=$?
((status == 0)) || problems+=("-o -: exit status $status, expected 0")
check_recording "$rec_dir" "$samples"
tally "kpxadac-capture on the test driver"

# What one request costs through Wine's kernel, for the figures.
call_cost_exe=$build/tests/wine_driver/driver_call_cost.exe
if [[ -f $call_cost_exe ]]; then
  echo "  $(wine "$call_cost_exe" 2000 2>&1 | tr -d '\r')"
fi

step "library tests through the Win32 backend and the test driver (label driver)"
driver_xml_dir=$build/gtest-xml-driver
rm -rf "$driver_xml_dir"
mkdir -p "$driver_xml_dir"
driver_log=$build/ctest-windows-driver.log
set +o pipefail
env -u KPXADAC_SIM GTEST_OUTPUT="xml:$(winepath -w "$driver_xml_dir")\\" GTEST_COLOR=no \
  ctest --test-dir "$build" -L driver --timeout 900 --output-on-failure 2>&1 | tee "$driver_log"
driver_status=${PIPESTATUS[0]}
set -o pipefail
count_cases "$driver_log" "$driver_xml_dir" "$driver_status"
echo "  test cases run through the Win32 backend and the test driver: $cases_run"

driver_runs=${DRIVER_RUNS:-1}
if ((driver_runs > 1)); then
  step "tests labelled driver, $driver_runs runs in a row"
  problems=()
  env -u KPXADAC_SIM GTEST_COLOR=no ctest --test-dir "$build" -L driver --timeout 900 \
    --repeat "until-fail:$driver_runs" --output-on-failure >"$build/ctest-windows-driver-runs.log" 2>&1 ||
    problems+=("failed within $driver_runs runs: $(grep -m3 -E 'Failed|\*\*\*' "$build/ctest-windows-driver-runs.log" | tr '\n' ' ')")
  tally "tests labelled driver, $driver_runs runs"
fi

# ---- Summary ------------------------------------------------------------------
printf '\nwindows: finished in %ds\n' $((SECONDS - start_time))
echo "windows: $passed passed, $failed failed"
((failed == 0))
