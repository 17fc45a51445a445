#!/usr/bin/env bash
# Builds the SDK in Release and runs every benchmark, printing each figure as
# a ratio of two things measured side by side in the same run. Each section
# is named as --skip names it:
#   micro:     the Google Benchmark programs (benchmarks/): library overhead on a
#              64 MiB read, register access, signal generation;
#   process:   kpxadac-capture of 4 GiB from an unpaced virtual board to a file,
#              against dd writing 4 GiB to the same folder, both ending with fsync,
#              and the same 4 GiB written by fio with the same block size, ending
#              with fsync, when fio is installed;
#   headroom:  real-time headroom: the highest sample rate (multiple of 105 MHz) at
#              which kpxadac-capture keeps a real-time virtual board's FIFO from
#              overflowing for the whole duration, writing to disk;
#   realtime:  real time at 105 MHz to disk, default FIFO, --runs runs: overruns of
#              each run and the CPU it took (core-seconds per GB, from getrusage);
#   python:    Python (benchmarks/python_bench.py with /usr/bin/python3): board.read
#              of 64 MiB against TalvoReadBuffer of 64 MiB in the same process, and
#              a stream from a real-time board at 105 MHz into numpy blocks whose
#              means the consumer takes, with its overruns;
#   soapy:     the SoapySDR module (when SoapySDR is installed): SoapySDRUtil --rate
#              on an unpaced board; readStream in CS16 and CF32 against the
#              acquisition API's own reading; through SoapyRemote on loopback, the
#              highest real-time rate (multiple of 105 MHz) held for 10 s;
#   scope:     kpxadac-scope on a real-time 105 MHz board, 65536-point spectra, one
#              browser-like client reading its event stream: spectrum updates per
#              second, the server's CPU (its own getrusage, in cores) and overruns.
#   records:   triggered records (benchmarks/records_bench.cpp): the process's CPU
#              for the records engine against the plain stream on an unpaced tone
#              board, with no trigger firing and with 1 Ki-sample records on every
#              period of a 100 kHz tone; then --duration seconds in real time at
#              105 MHz with 100 000 triggers a second: overruns, records, losses.
#   group:     groups of boards (benchmarks/group_bench.cpp): the time to align one
#              board's 1 Mi-sample window against board 0's (KpxGroup_Align, one
#              core; and as KpxGroup_Measure does it, buffers kept) and the FFT
#              pair it makes; then 4 real-time 105 MHz virtual
#              boards read as one group for --duration s: overruns, start skew.
#   load:      real time under load (needs stress-ng): 1 x 105 MHz to disk with the
#              default FIFO, --runs runs of --duration s each under
#              stress-ng --cpu 2 --io 1 --vm 1 --vm-bytes 1G, with the new defaults,
#              the old defaults (--buffered --ring 64 --normal-priority) and each
#              measure alone; then core-seconds per GB quiet for the new and the old
#              defaults, and (with linux-perf) where a quiet run's CPU goes.
#   wake:      wake-up latency (needs rt-tests' cyclictest): how late a SCHED_FIFO
#              thread at the reading thread's priority wakes from a 1 ms sleep, for
#              30 s with the cores otherwise idle, then with them kept busy by
#              work at SCHED_IDLE (which any waking thread preempts). What the
#              machine gives a reading thread, quite apart from the SDK.
#   scpi:      kpxadac-scpi on loopback (benchmarks/scpi_bench.py): *OPC? round
#              trips a second on one connection, FETCh:WAVeform? of 16 M samples to
#              a plain socket client and through PyVISA (pyvisa-py).
#   response:  kpxadac-response on real-time virtual boards at 105 MHz, a DAC wired
#              to an ADC through a plain wire, then through a low-pass device model:
#              wall time of a 200-point logarithmic response from 10 kHz to 50 MHz
#              with the multitone, the sweep and the stepped sine, --runs runs each,
#              the load average before each, and whether it was refused (goal: at
#              most 2 s with multitone or sweep).
# Nothing here is a test: the figures are for reading, and the script fails
# only when a program fails to build or run.
#
# Usage: scripts/bench.sh [options]
#   --build-dir DIR   build folder (default: <repo>/build-bench)
#   --dir DIR         folder for the capture and dd files (default: the build folder)
#   --duration S      seconds of each real-time run (default 60)
#   --multiples LIST  rates to try, in multiples of 105 MHz (default "1 1.5 2 3 4 6 8")
#   --runs N          runs of each whole-process command (default 3, best a multiple of 3)
#   --repetitions N   interleaved runs of each micro benchmark (default 15)
#   --capture-options "OPTS"  extra kpxadac-capture options for process and headroom (e.g. "--ring 64")
#   --headroom-to-null  real-time runs write to /dev/null: the headroom of the
#                     reading and writing threads without the disk
#   --python-duration S  seconds of the Python stream (default 10)
#   --soapy-multiples LIST  rates to try through SoapyRemote (default "1 1.5 2 3")
#   --skip LIST       any of micro,process,headroom,realtime,python,soapy,scope,records,group,
#                     load,wake,scpi,response, comma-separated
#   -j N              build jobs (default 2)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
dir=""
duration=60
python_duration=10
multiples="1 1.5 2 3 4 6 8"
runs=3
repetitions=15
skip=""
capture_options=""
headroom_to_null=0
soapy_multiples="1 1.5 2 3"
jobs=2
while (($#)); do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --python-duration) python_duration=$2; shift 2 ;;
    --multiples) multiples=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --repetitions) repetitions=$2; shift 2 ;;
    --capture-options) capture_options=$2; shift 2 ;;
    --headroom-to-null) headroom_to_null=1; shift ;;
    --soapy-multiples) soapy_multiples=$2; shift 2 ;;
    --skip) skip=$2; shift 2 ;;
    -j) jobs=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
dir=${dir:-$build}
skipped() { [[ ",$skip," == *",$1,"* ]]; }

readonly base_rate=105e6
readonly gib=$((1 << 30))
capture="$build/tools/kpxadac-capture/kpxadac-capture"
bench="$build/benchmarks/kpxadac_bench"

echo "== Building (Release) in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKPXADAC_BUILD_TESTS=OFF \
  -DKPXADAC_BUILD_TOOLS=ON -DKPXADAC_BUILD_BENCHMARKS=ON >/dev/null
targets=(kpxadac_bench kpxadac-capture kpxadac)
soapy_bench="$build/soapysdr/kpxadac_soapy_bench"
if ! skipped soapy && [[ -d "$build/soapysdr" ]]; then
  targets+=(kpxadac_soapy_bench)
fi
skipped scope || targets+=(kpxadac-scope)
skipped records || targets+=(kpxadac_records_bench)
skipped group || targets+=(kpxadac_group_bench)
skipped scpi || targets+=(kpxadac-scpi)
skipped response || targets+=(kpxadac-response)
cmake --build "$build" -j"$jobs" --target "${targets[@]}" >"$build/bench-build.log" 2>&1 ||
  { tail -30 "$build/bench-build.log"; exit 1; }

echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

if ! skipped micro; then
  echo "== Micro benchmarks"
  json="$build/bench-micro.json"
  "$bench" --benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true \
    --benchmark_min_time=0.2 --benchmark_out="$json" --benchmark_out_format=json \
    >"$build/bench-micro.log" 2>&1 || { tail -20 "$build/bench-micro.log"; exit 1; }
  python3 "$root/benchmarks/summarize.py" "$json"
fi

mkdir -p "$dir"
calc() { awk "BEGIN { printf \"%.6f\", $* }"; }
free_bytes() { df -B1 --output=avail "$dir" | tail -1 | tr -d ' '; }
# Wall-clock seconds of a command, with its output in $log.
seconds_of() {
  local start end
  start=$(date +%s.%N)
  "$@" >"$log" 2>&1
  end=$(date +%s.%N)
  calc "$end - $start"
}
# "wall user+system" seconds of a command (getrusage of the child), output in $log.
rusage_of() {
  /usr/bin/python3 -c '
import resource, subprocess, sys, time
start = time.monotonic()
with open(sys.argv[1], "w") as log:
    subprocess.run(sys.argv[2:], stdout=log, stderr=subprocess.STDOUT)
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{time.monotonic() - start:.3f} {used.ru_utime + used.ru_stime:.3f}")' "$log" "$@"
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
log="$build/bench-last-run.log"

if ! skipped process; then
  echo "== Whole process: 4 GiB to $dir, kpxadac-capture ${capture_options:+($capture_options) }against dd (goal: at least 0.9)"
  target="$dir/bench-4gib.bin"
  samples="$dir/bench-4gib-samples.bin"
  if (($(free_bytes) < 10 * gib)); then
    echo "   skipped: less than 10 GiB free in $dir"
  else
    sim='{"boards":[{"device":0}]}'
    run_capture() { env KPXADAC_SIM="$sim" "$capture" $capture_options --samples $((2 * gib)) -o "$1"; }
    # dd of zeros as asked, and dd of the board's samples from a file in the
    # page cache, since a virtual disk may store zeros faster than data.
    run_capture "$samples" >"$log" 2>&1 || { cat "$log"; exit 1; }
    cat "$samples" >/dev/null
    declare -A times=([capture]="" [zeros]="" [copy]="" [fio]="")
    commands=(capture zeros copy)
    command -v fio >/dev/null && commands+=(fio)
    for ((i = 0; i < runs; i++)); do
      # Each command takes each place in the order in turn: the disk is
      # still busy with the previous one's data for a while.
      for ((k = 0; k < ${#commands[@]}; k++)); do
        name=${commands[(i + k) % ${#commands[@]}]}
        sync
        case $name in
          capture) t=$(seconds_of run_capture "$target") ;;
          zeros) t=$(seconds_of dd if=/dev/zero of="$target" bs=4M count=1024 conv=fsync) ;;
          copy) t=$(seconds_of dd if="$samples" of="$target" bs=4M conv=fsync) ;;
          fio) t=$(seconds_of fio --name=sequential --filename="$target" --rw=write --bs=4M \
            --size=4G --ioengine=psync --end_fsync=1) ;;
        esac
        size=$(stat -c %s "$target")
        rm -f "$target"
        ((size == 4 * gib)) || { echo "   $name wrote $size bytes:"; cat "$log"; exit 1; }
        times[$name]+="$t "
      done
    done
    rm -f "$samples"
    capture_s=$(median ${times[capture]})
    zeros_s=$(median ${times[zeros]})
    copy_s=$(median ${times[copy]})
    mbps() { calc "4 * $gib / $1 / 1e6"; }
    printf '   kpxadac-capture %.2f s (%.0f MB/s); medians of %d runs\n' \
      "$capture_s" "$(mbps "$capture_s")" "$runs"
    printf '   dd of zeros %.2f s (%.0f MB/s): ratio %.3f\n' "$zeros_s" "$(mbps "$zeros_s")" \
      "$(calc "$zeros_s / $capture_s")"
    printf '   dd of the same samples %.2f s (%.0f MB/s): ratio %.3f\n' "$copy_s" \
      "$(mbps "$copy_s")" "$(calc "$copy_s / $capture_s")"
    if [[ -n ${times[fio]} ]]; then
      fio_s=$(median ${times[fio]})
      printf '   fio, 4 MiB sequential writes and fsync, %.2f s (%.0f MB/s): ratio %.3f (goal: at least 0.95)\n' \
        "$fio_s" "$(mbps "$fio_s")" "$(calc "$fio_s / $capture_s")"
    fi
    echo "   runs (s): capture ${times[capture]}; dd zeros ${times[zeros]}; dd samples ${times[copy]}; fio ${times[fio]:-not run}"
  fi
fi

if ! skipped headroom; then
  target="$dir/bench-realtime.bin"
  ((headroom_to_null)) && target=/dev/null
  place=$dir
  ((headroom_to_null)) && place=/dev/null
  echo "== Real-time headroom: ${duration} s to $place per rate, default FIFO" \
    "(4 Mi samples), kpxadac-capture ${capture_options:-with its defaults} (goal: at least 1.5)"
  held=""
  for m in $multiples; do
    rate=$(awk "BEGIN { printf \"%.0f\", $m * $base_rate }")
    bytes=$(awk "BEGIN { printf \"%.0f\", $rate * 2 * $duration }")
    if ((!headroom_to_null && $(free_bytes) < bytes + 2 * gib)); then
      echo "   ${m} x 105 MHz: not tried, $((bytes / gib)) GiB would not fit in $dir"
      break
    fi
    sync
    config="{\"boards\":[{\"device\":0,\"realtime\":true,\"synthesizer_rate_hz\":$rate}]}"
    status=0
    secs=$(seconds_of env KPXADAC_SIM="$config" "$capture" $capture_options --duration "$duration" \
      --sample-rate "$rate" -o "$target") || true
    # The capture's summary line: "overruns: N (M samples lost)".
    grep -q "overruns: 0 (" "$log" || status=1
    ((headroom_to_null)) || rm -f "$target"
    if ((status == 0)); then
      printf '   %s x 105 MHz: held, no overrun (%.1f s with the final flush)\n' "$m" "$secs"
      held=$m
    else
      echo "   $m x 105 MHz: not held: $(grep -E 'overruns: [0-9]+ \(|failed' "$log" | head -2 | tr '\n' ' ')"
      break
    fi
  done
  echo "   largest rate held for ${duration} s: ${held:-none} x 105 MHz"
fi

if ! skipped realtime; then
  target="$dir/bench-realtime.bin"
  echo "== Real time at 1 x 105 MHz: $runs runs of ${duration} s to $dir, default FIFO (goal: no overrun in any run)"
  bytes=$(awk "BEGIN { printf \"%.0f\", $base_rate * 2 * $duration }")
  config='{"boards":[{"device":0,"realtime":true}]}'
  for ((i = 1; i <= runs; i++)); do
    if (($(free_bytes) < bytes + 2 * gib)); then
      echo "   run $i: not tried, $((bytes / gib)) GiB would not fit in $dir"
      break
    fi
    sync
    read -r wall cpu < <(rusage_of env KPXADAC_SIM="$config" "$capture" $capture_options \
      --duration "$duration" -o "$target")
    rm -f "$target"
    printf '   run %d: %s; %.1f s, %.2f core-seconds per GB captured\n' "$i" \
      "$(grep -oE 'overruns: [0-9]+ \([0-9]+ samples lost\)' "$log" || echo "capture failed")" \
      "$wall" "$(calc "$cpu / ($bytes / 1e9)")"
  done
fi

if ! skipped load; then
  target="$dir/bench-load.bin"
  bytes=$(awk "BEGIN { printf \"%.0f\", $base_rate * 2 * $duration }")
  config='{"boards":[{"device":0,"realtime":true}]}'
  # Each line: a name, then the options that give it.
  settings=("new defaults|"
            "old defaults|--buffered --ring 64 --normal-priority"
            "unbuffered writes alone|--ring 64 --normal-priority"
            "ring by time (1 s) alone|--buffered --normal-priority"
            "real-time thread and locked ring alone|--buffered --ring 64")
  load_run() {  # load_run OPTIONS: one capture, its summary line
    local wall cpu
    sync
    read -r wall cpu < <(rusage_of env KPXADAC_SIM="$config" "$capture" $capture_options $1 \
      --duration "$duration" -o "$target")
    rm -f "$target"
    printf '%s; %.1f s, %.2f core-seconds per GB%s' \
      "$(grep -oE 'overruns: [0-9]+ \([0-9]+ samples lost\)' "$log" || echo "capture failed")" \
      "$wall" "$(calc "$cpu / ($bytes / 1e9)")" \
      "$(grep -q 'ring is' "$log" && echo ', the ring ran more than 3/4 full' || true)"
  }
  if ! command -v stress-ng >/dev/null; then
    echo "== Real time under load: not run (stress-ng is not installed)"
  elif (($(free_bytes) < bytes + 2 * gib)); then
    echo "== Real time under load: not run, $((bytes / gib)) GiB would not fit in $dir"
  else
    echo "== Real time under load at 1 x 105 MHz to $dir, default FIFO, $runs runs of ${duration} s each"
    echo "   under stress-ng --cpu 2 --io 1 --vm 1 --vm-bytes 1G (goal: no overrun with the new defaults)"
    stress-ng --cpu 2 --io 1 --vm 1 --vm-bytes 1G --timeout 0 >/dev/null 2>&1 &
    stress=$!
    sleep 5
    # Rotated order, so that no setting always runs first.
    for ((i = 1; i <= runs; i++)); do
      for ((k = 0; k < ${#settings[@]}; k++)); do
        setting=${settings[$(((k + i - 1) % ${#settings[@]}))]}
        echo "   ${setting%%|*}, run $i: $(load_run "${setting#*|}")"
      done
    done
    kill "$stress"
    wait "$stress" 2>/dev/null || true
    echo "   quiet (no load):"
    for setting in "${settings[0]}" "${settings[1]}"; do
      echo "   ${setting%%|*}: $(load_run "${setting#*|}")"
    done
    if command -v perf >/dev/null; then
      echo "   where a quiet run's CPU goes (perf record -g, new defaults, top entries by symbol):"
      perf record -q -g -o "$build/bench-load.perf" -- env KPXADAC_SIM="$config" "$capture" \
        --duration "$duration" -o "$target" >"$log" 2>&1 || true
      rm -f "$target"
      perf report -q -i "$build/bench-load.perf" --no-children --sort comm,dso,symbol --stdio \
        2>/dev/null | grep -E '^ +[0-9]+\.[0-9]+%' | head -12 | sed 's/ \{2,\}/  /g; s/^/     /' || true
    fi
  fi
fi

if ! skipped wake; then
  if ! command -v cyclictest >/dev/null; then
    echo "== Wake-up latency: not run (cyclictest, from rt-tests, is not installed)"
  else
    echo "== Wake-up latency of a SCHED_FIFO thread (priority 40, 1 ms sleeps, 30 s, cyclictest)"
    wake_latency() {  # the worst and the average, in microseconds, over all cores' threads
      cyclictest --mlockall --priority 40 --interval 1000 --duration 30 --smp --quiet 2>/dev/null |
        awk '/Max:/ { for (i = 1; i <= NF; i++) { if ($i == "Max:" && $(i+1) > max) max = $(i+1);
                                                   if ($i == "Avg:") { sum += $(i+1); n++ } } }
             END { printf "worst %.1f ms, average %d us", max / 1000, n ? sum / n : 0 }'
    }
    echo "   cores otherwise idle: $(wake_latency)"
    chrt --idle 0 stress-ng --cpu "$(nproc)" --timeout 0 >/dev/null 2>&1 &
    busy=$!
    sleep 2
    echo "   cores kept busy at SCHED_IDLE: $(wake_latency)"
    kill "$busy"
    wait "$busy" 2>/dev/null || true
  fi
fi

if ! skipped python; then
  echo "== Python (benchmarks/python_bench.py with /usr/bin/python3)"
  python_bench() {  # python_bench RACK ARGS...
    local rack=$1
    shift
    env KPXADAC_SIM="$rack" KPXADAC_LIBRARY="$build/host/libkpxadac.so.1" PYTHONPATH="$root/python" \
      PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 "$root/benchmarks/python_bench.py" "$@"
  }
  echo "   board.read of 64 MiB / TalvoReadBuffer of 64 MiB (goal: at least 0.95)"
  python_bench '{"boards":[{"device":0}]}' read --repetitions "$repetitions"
  echo "   ${python_duration} s stream from a real-time board at 105 MHz, default FIFO, block means" \
    "(goal: no overrun)"
  python_bench '{"boards":[{"device":0,"realtime":true}]}' stream --duration "$python_duration"
fi

if ! skipped soapy; then
  echo "== SoapySDR module"
  if [[ ! -x $soapy_bench ]]; then
    echo "   skipped: the module is not built (SoapySDR not found)"
  else
    export SOAPY_SDR_PLUGIN_PATH="$build/soapysdr"
    # SoapySDRUtil prints its rate every 5 s of streaming; the last of three.
    KPXADAC_SIM='{"boards":[{"device":0}]}' timeout -s INT 16 \
      SoapySDRUtil --args=driver=kpxadac --rate=105e6 --direction=RX >"$log" 2>&1 || true
    util_rate=$(tr '\b' '\n' <"$log" | grep -oE '^ ?[0-9.e+]+ Msps' | tail -1 | tr -dc '0-9.e+')
    if [[ -n $util_rate ]]; then
      printf '   SoapySDRUtil --rate on an unpaced board (S16): %.0f Msps = %.1f x 105 MHz%s\n' \
        "$util_rate" "$(calc "$util_rate / 105")" "$(grep -q Overflow "$log" && echo ', with overflows')"
    else
      echo "   SoapySDRUtil --rate printed no rate:"; cat "$log"
    fi
    echo "   readStream against the acquisition API, unpaced ramp board (goal: CS16 at least 0.8):"
    KPXADAC_SIM='{"boards":[{"device":0,"signal":{"type":"ramp"}}]}' "$soapy_bench" throughput \
      --runs "$runs" | sed 's/^/     /'
    if unshare -rn true 2>/dev/null; then
      echo "   through SoapyRemote on loopback (TCP, remote:mtu=65536), 10 s per rate, default FIFO (goal: at least 1):"
      held=""
      for m in $soapy_multiples; do
        rate=$(awk "BEGIN { printf \"%.0f\", $m * $base_rate }")
        status=0
        line=$("$root/soapysdr/bench/remote_hold.sh" "$build" "$rate" 10 \
          "remote:prot=tcp,remote:mtu=65536" 2>&1 | tail -1) || status=$?
        echo "     $m x 105 MHz: $line"
        ((status == 0)) || break
        held=$m
      done
      echo "   largest rate held through SoapyRemote: ${held:-none} x 105 MHz"
      line=$("$root/soapysdr/bench/remote_hold.sh" "$build" 105000000 10 "" 2>&1 | tail -1) || true
      echo "   with SoapyRemote's defaults (UDP, remote:mtu=1500) at 1 x 105 MHz: $line"
    else
      echo "   SoapyRemote skipped: no private network namespace (unshare -rn)"
    fi
  fi
fi

if ! skipped scope; then
  echo "== kpxadac-scope: ${duration} s on a real-time 105 MHz board, 65536 points, one client" \
    "(goal: at least 20 updates per second, at most one core, no overrun)"
  scope="$build/tools/kpxadac-scope/kpxadac-scope"
  scope_out="$build/bench-scope.out"
  KPXADAC_SIM='{"boards":[{"device":0,"realtime":true}]}' \
    "$scope" --port 0 --fft-size 65536 >"$scope_out" 2>"$log" &
  scope_pid=$!
  url=""
  for ((i = 0; i < 100; i++)); do
    url=$(grep -oE 'http://[^ ]+' "$scope_out" || true)
    [[ -n $url ]] && break
    sleep 0.1
  done
  [[ -n $url ]] || { kill "$scope_pid"; cat "$log"; exit 1; }
  frames=$(timeout "$duration" curl -sN "${url}api/events" | grep -c '^event: frame' || true)
  kill -INT "$scope_pid"
  wait "$scope_pid" || { cat "$log"; exit 1; }
  # The server's summary line: spectra, seconds, CPU from getrusage, overruns.
  summary=$(grep 'spectra in' "$log")
  echo "   client received $frames frames in ${duration} s ($(calc "$frames / $duration") per second)"
  echo "   server: ${summary#kpxadac-scope: }"
fi

if ! skipped records; then
  echo "== Triggered records (goals: no overrun at 105 MHz with 100 000 triggers/s;" \
    "at most 1.2 x the plain stream's CPU when no trigger fires)"
  "$build/benchmarks/kpxadac_records_bench" --samples $((1 << 30)) --runs "$runs" \
    --seconds "$duration" --rate "$base_rate" >"$log" 2>&1 || { cat "$log"; exit 1; }
  sed 's/^/   /' "$log"
fi

if ! skipped group; then
  echo "== Groups: alignment of a 1 Mi-sample window per board on one core (goal: at most 50 ms" \
    "per board); 4 real-time 105 MHz boards read as a group (goal: no overrun)"
  json="$build/bench-group.json"
  "$build/benchmarks/kpxadac_group_bench" --benchmark_repetitions="$repetitions" \
    --benchmark_filter='GroupAlign.*/1048576|GroupFft' --benchmark_out="$json" \
    --benchmark_out_format=json >"$log" 2>&1 || { cat "$log"; exit 1; }
  # CPU time per run (one core), median and best of the repetitions.
  /usr/bin/python3 - "$json" <<'PY'
import json, statistics, sys
runs = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type") == "iteration" and not b.get("error_occurred"):
        runs.setdefault(b["run_name"], []).append(b["cpu_time"])
what = {"BM_GroupAlign/1048576": "one board's 1 Mi-sample window against board 0's",
        "BM_GroupAlignInMeasure/1048576": "one board in a measure (board 0 transformed once, buffers kept)",
        "BM_GroupAlignReference/1048576": "board 0's part of a measure, once for all boards",
        "BM_GroupFft/2097152": "for scale, an FFT of 2 Mi points forward and back"}
for name, times in runs.items():
    print(f"   {what.get(name, name)}: {statistics.median(times):.1f} ms median, "
          f"{min(times):.1f} ms best (CPU)")
PY
  "$build/benchmarks/kpxadac_group_bench" --realtime 4 "$duration" >"$log" 2>&1 || true
  sed 's/^/   /' "$log"
fi

if ! skipped scpi; then
  echo "== kpxadac-scpi on loopback (goals: at least 10 000 *OPC? a second;" \
    "FETCh:WAVeform? of 16 M samples at 1 GB/s or more to a plain socket)"
  /usr/bin/python3 "$root/benchmarks/scpi_bench.py" --server "$build/scpi/kpxadac-scpi" \
    >"$log" 2>&1 || { cat "$log"; exit 1; }
  sed 's/^scpi: /   /' "$log"
fi

if ! skipped response; then
  echo "== kpxadac-response, 200 points 10 kHz to 50 MHz at 105 MHz, real-time boards" \
    "(goal: at most 2 s of wall time with multitone or sweep; the stepped sine's beside it)"
  # Two devices between the DAC and the ADC: a plain wire (the model's
  # cheapest path) and a one-biquad low-pass with a whole delay. A
  # fractional delay is left out: its interpolator (64 multiplications a
  # sample) does not keep up with 105 MS/s on one core, so every run
  # overruns. A run that is refused (an overrun, an underrun) says so and
  # the script goes on.
  for device in wire low-pass; do
    through='{}'
    [[ $device == low-pass ]] &&
      through='{"gain_db":-3,"delay_samples":12,"sos":[[0.0675,0.1349,0.0675,1,-1.143,0.4128]]}'
    rack='{"boards":[{"device":0,"realtime":true,"input":{"dac":1,"through":'"$through"'}},
      {"device":1,"board_id":"0x86","realtime":true}]}'
    for method in multitone sweep sine; do
      for ((run = 1; run <= runs; run++)); do
        load=$(cut -d' ' -f1 /proc/loadavg)
        start_ns=$(date +%s%N)
        status=0
        KPXADAC_SIM=$rack "$build/tools/kpxadac-response/kpxadac-response" --start 10e3 \
          --stop 50e6 --points 200 --method "$method" --output "$dir/response-$method.csv" \
          >"$log" 2>&1 || status=$?
        end_ns=$(date +%s%N)
        wall=$(calc "($end_ns - $start_ns) / 1e9")
        # The summary line, or the refusal (the stepped sine's point lines left out).
        said=$(grep -v ': point [0-9]* of ' "$log" | tail -1 | sed 's/^kpxadac-response: //') || true
        if ((status == 0)); then
          echo "   $device, $method run $run: $wall s wall (load $load); $said"
        else
          echo "   $device, $method run $run: REFUSED (status $status) after $wall s (load $load): $said"
        fi
      done
    done
  done
fi
