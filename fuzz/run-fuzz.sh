#!/bin/sh
# Configures a clang build with the fuzz targets, builds them and runs each
# for a bounded time on a scratch copy of its corpus.
#
#   fuzz/run-fuzz.sh [seconds per target] [target...]
#
# Defaults: 60 seconds, every target (fuzz_bit_header fuzz_rack_config
# fuzz_sigmf_meta fuzz_sigmf_collection fuzz_scpi_parser).
# Environment: KPXADAC_FUZZ_BUILD (build directory, default
# /work/build-adc-fuzz), KPXADAC_FUZZ_JOBS (build jobs, default 2),
# KPXADAC_FUZZ_MAX_LEN (the longest input tried, default 1 MiB: long enough
# for texts nested 100000 deep and for files past the readers' own limits).
# A crash, a leak, an input that takes over 25 s or a run over 2 GiB of
# memory fails the target: the input is written to <build>/fuzz-artifacts/
# and the script exits nonzero; keep it as a regression case
# (tests/bitstream/, or fuzz/corpus/sigmf_meta/ with a test in
# tests/analysis/).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build=${KPXADAC_FUZZ_BUILD:-/work/build-adc-fuzz}
jobs=${KPXADAC_FUZZ_JOBS:-2}
seconds=${1:-60}
max_len=${KPXADAC_FUZZ_MAX_LEN:-1048576}
[ $# -gt 0 ] && shift
targets=${*:-fuzz_bit_header fuzz_rack_config fuzz_sigmf_meta fuzz_sigmf_collection fuzz_scpi_parser}

generator=
command -v ninja >/dev/null 2>&1 && generator="-G Ninja"
# shellcheck disable=SC2086
cmake -S "$source_dir" -B "$build" $generator -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKPXADAC_BUILD_FUZZERS=ON \
  -DKPXADAC_BUILD_TESTS=OFF -DKPXADAC_BUILD_TOOLS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" --target $targets -j "$jobs" >"$build/build.log" 2>&1 ||
  { tail -40 "$build/build.log"; exit 1; }

mkdir -p "$build/fuzz-artifacts"
status=0
for target in $targets; do
  seeds="$here/corpus/${target#fuzz_}"
  scratch="$build/fuzz-corpus/$target"
  mkdir -p "$scratch"
  echo "== $target: $seconds s"
  # New inputs go to the scratch corpus (first directory); the checked-in
  # seeds are only read.
  # libFuzzer's running log goes to a file; its final statistics are shown.
  log="$build/fuzz-artifacts/$target.log"
  if "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -max_len="$max_len" -timeout=25 -rss_limit_mb=2048 \
      -artifact_prefix="$build/fuzz-artifacts/$target-" "$scratch" "$seeds" >"$log" 2>&1; then
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|^Done" "$log" || true
  else
    tail -40 "$log"
    echo "== $target: FAILED (input kept in $build/fuzz-artifacts/)"
    status=1
  fi
done
exit $status
