#!/usr/bin/env bash
# Windows build and tests, from Linux: cross-builds the SDK for 64-bit
# Windows with mingw-w64 and runs, under Wine,
#   1. every test executable, on the virtual boards;
#   2. the receive demo on the real Win32 device calls, where no board is
#      present: it must try \\.\KPXADAC_0 .. \\.\KPXADAC_64 with the driver's
#      open arguments, report the missing board, exit with -1 and create no
#      capture file;
#   3. the receive demo on the default virtual rack, end to end.
#
# Usage: scripts/windows-tests.sh [BUILD_DIR]
#   BUILD_DIR defaults to build-win in the repository. Missing packages are
#   installed with apt-get when running as root. JOBS (default 2) sets the
#   build's parallelism. Exits non-zero on any failure.
set -euo pipefail

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

# ---- Packages ----------------------------------------------------------
need_packages=()
command -v cmake >/dev/null || need_packages+=(cmake)
command -v make >/dev/null || need_packages+=(make)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need_packages+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || need_packages+=(wine)
[[ -x /usr/lib/wine/wine64 ]] || need_packages+=(wine64)
[[ -f /usr/src/googletest/CMakeLists.txt ]] || need_packages+=(googletest)
[[ -f /usr/include/nlohmann/json.hpp ]] || need_packages+=(nlohmann-json3-dev)
if ((${#need_packages[@]})); then
  step "installing ${need_packages[*]}"
  [[ $(id -u) -eq 0 ]] || fail "missing packages ${need_packages[*]} and not root"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need_packages[@]}"
fi

# ---- Cross build -------------------------------------------------------
step "configuring in $build"
cmake -S "$repo" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKPXADAC_BUILD_TESTS=ON
step "building (-j$jobs)"
cmake --build "$build" -j"$jobs"

# Everything must run on a bare Windows: no DLL of the compiler's runtime.
step "checking DLL imports"
objdump=x86_64-w64-mingw32-objdump
mapfile -t binaries < <(find "$build" -path "$build/wineprefix" -prune -o \
  \( -name '*.exe' -o -name '*.dll' \) -type f -print | grep -v '/CMakeFiles/')
((${#binaries[@]})) || fail "no Windows binaries were built"
for binary in "${binaries[@]}"; do
  if "$objdump" -p "$binary" | grep -Ei 'DLL Name: *(libstdc|libgcc|libwinpthread)'; then
    fail "$binary needs a compiler runtime DLL"
  fi
done
dll=$(find "$build" -name 'libkpxadac.dll' -o -name 'kpxadac.dll' | head -n 1)
[[ -n $dll ]] || fail "kpxadac.dll was not built"
"$objdump" -p "$dll" | grep -q '\bKpxadac16_Open\b' || fail "$dll does not export Kpxadac16_Open"
demo=$(find "$build" -name talvo_rx_demo.exe | head -n 1)
[[ -n $demo ]] || fail "talvo_rx_demo.exe was not built"

# ---- Wine ----------------------------------------------------------------
# A throwaway prefix under the build, quiet, without the Mono and Gecko
# installers, and one persistent server so no test pays for Wine's start.
export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
step "starting Wine"
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  timeout 300 wineboot --init >/dev/null 2>&1 || fail "wineboot --init"
fi

# ---- 1. Unit tests on the virtual boards ----------------------------------
# The tests build their racks in-process; KPXADAC_SIM only selects the
# virtual boards over the driver on Windows.
step "unit tests under Wine"
xml_dir=$build/gtest-xml
rm -rf "$xml_dir"
mkdir -p "$xml_dir"
ctest_status=0
KPXADAC_SIM=none GTEST_OUTPUT="xml:$(winepath -w "$xml_dir")\\" GTEST_COLOR=no \
  ctest --test-dir "$build" -j"$jobs" --timeout 900 --output-on-failure || ctest_status=$?

# Cases run and failed, from each executable's report.
passed=0
failed=0
reports=0
for report in "$xml_dir"/*.xml; do
  [[ -f $report ]] || continue
  header=$(grep -m1 '<testsuites ' "$report")
  attr() { sed -n "s/.* $1=\"\([0-9]*\)\".*/\1/p" <<<"$header"; }
  run=$(($(attr tests) - $(attr disabled)))
  bad=$(($(attr failures) + $(attr errors)))
  skipped=$(grep -c '<skipped' "$report" || true)
  printf '  %-40s %4d run, %d failed, %d skipped\n' "$(basename "$report" .xml)" "$run" "$bad" "$skipped"
  passed=$((passed + run - bad - skipped))
  failed=$((failed + bad))
  reports=$((reports + 1))
done
executables=$(ctest --test-dir "$build" -N | sed -n 's/^Total Tests: *//p')
if ((reports != executables)); then
  failed=$((failed + executables - reports))
  echo "  $((executables - reports)) of $executables test executables left no report (crashed?)"
fi
((ctest_status == 0 && failed == 0)) || tests_failed=1

# ---- 2. The demo on the driver, without a board ---------------------------
step "receive demo on the Win32 driver (no board)"
run_dir=$build/demo-run
rm -rf "$run_dir"
mkdir -p "$run_dir"
demo_status=0
(cd "$run_dir" && env -u KPXADAC_SIM WINEDEBUG=-all,trace+file wine "$demo" </dev/null \
  >stdout.txt 2>wine-file.log) || demo_status=$?
cat "$run_dir/stdout.txt"
demo_failed=()
((demo_status == 255)) || demo_failed+=("exit status $demo_status, expected 255 (-1)")
grep -qF 'Board KPX-ADC [0] not found! ' "$run_dir/stdout.txt" ||
  demo_failed+=("no 'Board KPX-ADC [0] not found!' line")
[[ ! -e $run_dir/talvo_rx_data.bin ]] || demo_failed+=("talvo_rx_data.bin was created")
# Wine's file channel shows each CreateFile with its arguments (the name
# with its backslashes doubled).
for n in $(seq 0 64); do
  call='CreateFileW L"\\\\.\\KPXADAC_'"$n"'" GENERIC_READ GENERIC_WRITE FILE_SHARE_READ FILE_SHARE_WRITE  creation 3 attributes 0x0'
  grep -qF "$call" "$run_dir/wine-file.log" || {
    demo_failed+=("no CreateFileA of \\\\.\\KPXADAC_$n with the driver's arguments")
    break
  }
done
opens=$(grep -cF 'CreateFileW L"\\\\.\\KPXADAC_' "$run_dir/wine-file.log" || true)
echo "  CreateFileA calls on board devices: $opens"
((opens == 65)) || demo_failed+=("$opens board device opens, expected 65")
((${#demo_failed[@]} == 0)) && demos_passed=1 || demos_passed=0

# ---- 3. The demo on the virtual boards ------------------------------------
step "receive demo on the virtual boards"
sim_dir=$build/demo-run-virtual
rm -rf "$sim_dir"
mkdir -p "$sim_dir"
sim_status=0
(cd "$sim_dir" && KPXADAC_SIM= wine "$demo" </dev/null >stdout.txt) || sim_status=$?
cat "$sim_dir/stdout.txt"
((sim_status == 0)) || demo_failed+=("virtual run: exit status $sim_status, expected 0")
size=$(stat -c %s "$sim_dir/talvo_rx_data.bin" 2>/dev/null || echo missing)
[[ $size == 81920 ]] || demo_failed+=("virtual run: talvo_rx_data.bin is $size bytes, expected 81920")

# ---- Summary -------------------------------------------------------------
demo_failures=${#demo_failed[@]}
for problem in "${demo_failed[@]}"; do
  echo "  demo: $problem"
done
((demo_failures == 0)) && demos_passed=$((demos_passed + 1))
passed=$((passed + demos_passed))
failed=$((failed + 2 - demos_passed))
printf '\nwindows: finished in %ds\n' $((SECONDS - start_time))
echo "windows: $passed passed, $failed failed"
((failed == 0 && ${tests_failed:-0} == 0))
