#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test:
#   1. the unit and program tests (warnings as errors), the Python package's
#      tests and its notebooks among them, the bash completion's words, in a
#      Debug and a Release tree, and the package installed for
#      /usr/bin/python3;
#   2. the Python wheels made by scripts/package.sh --wheel, the Linux one
#      installed and used in a fresh virtual environment, both checked
#      (scripts/check-wheels.sh), before anything of the SDK is installed;
#   3. the tests of 1 under AddressSanitizer and UndefinedBehaviorSanitizer;
#   4. the threaded tests under ThreadSanitizer;
#   5. the installed package used from C through pkg-config and from CMake;
#   6. the .bit header fuzz target for a bounded time;
#   7. the Windows build under Wine, with the installer and the zip;
#   8. last, so that nothing it installs can hide a missing step before it:
#      the Debian packages made by scripts/package.sh, installed with
#      apt-get, used from the system's paths and purged.
# Build trees go to build-test/ (override with KPXADAC_TEST_BUILD).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${KPXADAC_TEST_BUILD:-$root/build-test}
jobs=$(nproc)
"$root/scripts/install-deps.sh" clang libclang-rt-14-dev

passed=0
failed=0
stage() {  # stage NAME COMMAND...: runs one stage and counts it
  local name=$1
  shift
  echo "=== $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "=== $name FAILED"
  fi
}

build_and_test() {  # build_and_test DIR CTEST_ARGS [CMAKE_ARGS...]: a Debug tree unless told
  local dir=$1 ctest_args=$2
  shift 2
  # Warnings are errors here, never in a user's build.
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKPXADAC_WERROR=ON "$@" >/dev/null &&
    cmake --build "$dir" -j"$jobs" >"$dir/build.log" 2>&1 || { tail -50 "$dir/build.log"; return 1; }
  (cd "$dir" && ctest --output-on-failure -j"$jobs" $ctest_args)
}

stage "unit and program tests" build_and_test "$out/native" ""
# The optimiser sees more (and warns about more) than a Debug build.
stage "Release build and its tests" build_and_test "$out/release" "" -DCMAKE_BUILD_TYPE=Release
# Before the next stage installs the package into /usr/local: the wheels are
# tested on a system with no SDK.
wheels() {
  KPXADAC_WERROR=ON JOBS="$jobs" "$root/scripts/package.sh" --wheel --build-dir "$out/package" \
    --dist "$out/dist" && "$root/scripts/check-wheels.sh" "$out/dist"
}
if [[ -z "${KPXADAC_SKIP_PACKAGES:-}" ]]; then
  stage "Python wheels: made, installed in a fresh venv, used and uninstalled" wheels
fi
python_package() {  # installs the package into /usr/local; /usr/bin/python3 must list the default board
  local listing
  cmake --install "$out/native" --component python >/dev/null || return 1
  listing=$(cd / && env -u KPXADAC_LIBRARY -u PYTHONPATH -u KPXADAC_SIM /usr/bin/python3 -m kpxadac) ||
    return 1
  echo "$listing"
  grep -q "device 0: ADC 0, board ID 0x8A, FPGA part 4vlx40" <<<"$listing"
}
stage "Python package for /usr/bin/python3" python_package
stage "address and undefined-behaviour sanitizers" \
  build_and_test "$out/asan" "" -DKPXADAC_SANITIZE=address,undefined
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
stage "thread sanitizer" \
  build_and_test "$out/tsan" "" \
  -DKPXADAC_SANITIZE=thread -DKPXADAC_BUILD_TOOLS=OFF
stage "installed package" "$root/scripts/check-install.sh" "$out/native" "$out/install"
if [[ -x "$root/fuzz/run-fuzz.sh" ]]; then
  stage "fuzzing the .bit header walk, the rack parser and the SigMF metadata reader" \
    env KPXADAC_FUZZ_BUILD="$out/fuzz" KPXADAC_FUZZ_JOBS="$jobs" "$root/fuzz/run-fuzz.sh" 60
fi
if [[ -x "$root/scripts/windows-tests.sh" && -z "${KPXADAC_SKIP_WINDOWS:-}" ]]; then
  # The zip's manual pages: those the first stage's native build made.
  stage "Windows build under Wine" env KPXADAC_MAN_PAGES="$out/native/man" \
    "$root/scripts/windows-tests.sh" "$out/windows"
fi
# Last: it installs into /usr. The Python stage's files in /usr/local would
# come before the packages' on Python's path and the loader's, so they go.
debian_packages() {
  local manifest=$out/native/install_manifest_python.txt
  if [[ -f $manifest ]]; then
    grep '/kpxadac/[^/]*\.py$' "$manifest" | xargs -r dirname | sort -u | xargs -r rm -rf
    xargs -r rm -f <"$manifest"
    ldconfig
  fi
  KPXADAC_WERROR=ON JOBS="$jobs" "$root/scripts/package.sh" --deb --build-dir "$out/package" \
    --dist "$out/dist" && "$root/scripts/check-packages.sh" "$out/dist"
}
if [[ -z "${KPXADAC_SKIP_PACKAGES:-}" ]]; then
  stage "Debian packages: made, installed, used and purged" debian_packages
fi

echo
echo "test stages: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
