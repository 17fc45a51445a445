#!/usr/bin/env bash
# Installs the SDK from a build tree into a scratch prefix and uses it the way
# users do: a C program built with pkg-config, and a CMake project with
# find_package. The C program runs on a two-board virtual rack with the
# request trace on, and the trace must show its requests. The installed
# programs must run from wherever the prefix is, without LD_LIBRARY_PATH.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
prefix=$2
work=$prefix-use
rm -rf "$prefix" "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name kpxadac.pc -printf '%h\n' | head -1)

export PKG_CONFIG_PATH=$libdir
cc -std=c99 -Wall -Werror "$root/examples/enumerate_boards.c" $(pkg-config --cflags --libs kpxadac) \
  -Wl,-rpath,"$(pkg-config --variable=libdir kpxadac)" -o "$work/enumerate_boards"

export KPXADAC_SIM='{"boards":[{"device":0,"board_id":"0x8A"},{"device":4,"board_id":"0x86"}]}'
export KPXADAC_TRACE=$work/trace.jsonl
"$work/enumerate_boards" | tee "$work/output.txt"
grep -q "ADC 0: board ID 0x8A" "$work/output.txt"
grep -q "DAC 0: board ID 0x86" "$work/output.txt"
grep -q '"name":"IOCTL_WRITE_SET_HSREG","in":"7000000078563412","in_len":8,"out_len":4' "$KPXADAC_TRACE"
grep -q '"name":"IOCTL_GET_HSREG","in":"70000000","in_len":4,"out_len":4,"returned":4,"out":"78563412"' "$KPXADAC_TRACE"
grep -q '"op":"open","device":4,"ok":true' "$KPXADAC_TRACE"
echo "pkg-config build: ok ($(wc -l <"$KPXADAC_TRACE") trace lines)"

cmake -S "$root/examples/cmake_consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
unset KPXADAC_TRACE
LD_LIBRARY_PATH=$libdir "$work/cmake/enumerate_boards" >/dev/null
"$work/cmake/enumerate_boards_static" >/dev/null
echo "find_package build: ok"

# The acquisition API from the installed package: 10^8 samples of a
# real-time ramp must continue the ramp between the gaps the stream reports,
# and a consumer that sleeps far longer than the FIFO lasts must see gaps.
cc -std=c99 -Wall -Werror "$root/examples/stream_ramp.c" $(pkg-config --cflags --libs kpxadac) \
  -Wl,-rpath,"$(pkg-config --variable=libdir kpxadac)" -o "$work/stream_ramp"
KPXADAC_SIM='{"boards":[{"device":0,"realtime":true,"signal":{"type":"ramp"}}]}' \
  "$work/stream_ramp" 100000000 | tail -1 | tee "$work/stream.txt"
grep -q "100000000 samples, .* ramp continuous between gaps" "$work/stream.txt"
KPXADAC_SIM='{"boards":[{"device":0,"realtime":true,"fifo_depth":65536,"signal":{"type":"ramp"}}]}' \
  "$work/stream_ramp" 4000000 5 >"$work/slow.txt"
tail -1 "$work/slow.txt"
grep -q "^gap: " "$work/slow.txt"
grep -q "4000000 samples, .* ramp continuous between gaps" "$work/slow.txt"
echo "stream example: ok"

# The records engine from the installed package, in plain C: each trigger
# exactly where the ramp reaches the level, each record the ramp itself.
cc -std=c99 -Wall -Werror "$root/examples/records_ramp.c" $(pkg-config --cflags --libs kpxadac) \
  -Wl,-rpath,"$(pkg-config --variable=libdir kpxadac)" -o "$work/records_ramp"
KPXADAC_SIM='{"boards":[{"device":0,"signal":{"type":"ramp"}}]}' \
  "$work/records_ramp" 200 -1234 | tee "$work/records.txt"
grep -q "^200 records (complete), .* 0 faults$" "$work/records.txt"
echo "records example: ok"

# The installed programs find the installed library relative to themselves:
# a copy of the prefix elsewhere runs on its own library.
moved=$work/moved-prefix
cp -a "$prefix" "$moved"
for program in kpxadac-info kpxadac-capture kpxadac-generate kpxadac-analyze kpxadac-scope; do
  [[ -x $moved/bin/$program ]] || continue
  library=$(env -u LD_LIBRARY_PATH ldd "$moved/bin/$program" | awk '/libkpxadac/ {print $3}')
  [[ $library == "$moved"/* ]] || {
    echo "$program: the library comes from '$library', not from the installed prefix"
    exit 1
  }
done
env -u LD_LIBRARY_PATH KPXADAC_SIM='{"boards":[{"device":3}]}' "$moved/bin/kpxadac-info" --json |
  python3 -c 'import json, sys; assert json.load(sys.stdin)["boards"][0]["device"] == 3'
echo "installed programs: ok (run from a copy of the prefix, no LD_LIBRARY_PATH)"

# The tools need nothing of the library beyond what is installed: built on
# their own against the installed SDK (headers, library, CMake package), and
# one of them run on it.
tools_build=$work/tools
cmake -S "$root/tools" -B "$tools_build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DKPXADAC_WERROR=ON >"$work/tools-configure.log" 2>&1 || { cat "$work/tools-configure.log"; exit 1; }
cmake --build "$tools_build" -j"$(nproc)" >"$work/tools-build.log" 2>&1 ||
  { tail -40 "$work/tools-build.log"; exit 1; }
# No header of the source tree's library may be on the tools' include path.
if grep -rhoE -- "-I[^ ]*host/(library|platform|driver_interface|virtual_boards)" \
  "$tools_build" --include=flags.make | head -1 | grep -q .; then
  echo "tools: a source folder of the library is on the include path"
  exit 1
fi
built=$(find "$tools_build" -maxdepth 2 -type f -name 'kpxadac-*' -perm -u+x | wc -l)
env -u LD_LIBRARY_PATH LD_LIBRARY_PATH=$libdir KPXADAC_SIM='{"boards":[{"device":5}]}' \
  "$tools_build/kpxadac-info/kpxadac-info" --json |
  python3 -c 'import json, sys; assert json.load(sys.stdin)["boards"][0]["device"] == 5'
echo "tools built against the installed SDK: ok ($built programs)"
