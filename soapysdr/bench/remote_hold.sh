#!/usr/bin/env bash
# Whether a real-time virtual board's stream holds through SoapyRemote on
# loopback: SoapySDRServer and the reading client run in a network namespace
# of their own that has only loopback (the server answers discovery on every
# other interface), with a private D-Bus (the server quits without one).
#
# Usage: remote_hold.sh BUILD_DIR RATE_HZ SECONDS [STREAM_ARGS]
#   prints the client's line ("held: ..." or "not held: ..."); exit code as
#   kpxadac_soapy_bench hold (0 held, 1 not held, 2 failed).
set -euo pipefail
if [[ -z "${KPXADAC_REMOTE_HOLD_INSIDE:-}" ]]; then
  exec env KPXADAC_REMOTE_HOLD_INSIDE=1 unshare -rn "$0" "$@"
fi
build=$1 rate=$2 seconds=$3 stream_args=${4-remote:prot=tcp}
ip link set lo up
folder=$(mktemp -d)
dbus_pid="" server_pid=""
cleanup() {
  [[ -n $server_pid ]] && kill -INT "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [[ -n $dbus_pid ]] && kill "$dbus_pid" 2>/dev/null && wait "$dbus_pid" 2>/dev/null
  rm -rf "$folder"
}
trap cleanup EXIT
dbus-daemon --session --nofork --nopidfile --address="unix:path=$folder/bus" 2>/dev/null &
dbus_pid=$!
while [[ ! -S $folder/bus ]]; do sleep 0.05; done
port=55000  # the namespace has no other user of ports
export SOAPY_SDR_PLUGIN_PATH=$build/soapysdr
KPXADAC_SIM="{\"boards\": [{\"device\": 0, \"realtime\": true, \"synthesizer_rate_hz\": $rate}]}" \
  DBUS_SYSTEM_BUS_ADDRESS="unix:path=$folder/bus" \
  SoapySDRServer --bind="127.0.0.1:$port" >"$folder/server.log" 2>&1 &
server_pid=$!
until grep -q "Press Ctrl+C" "$folder/server.log"; do
  kill -0 "$server_pid" 2>/dev/null || { cat "$folder/server.log" >&2; exit 2; }
  sleep 0.1
done
status=0
"$build/soapysdr/kpxadac_soapy_bench" hold \
  --args "driver=remote,remote=tcp://127.0.0.1:$port,remote:driver=kpxadac" \
  --stream-args "$stream_args" --seconds "$seconds" 2>"$folder/client.log" || status=$?
[[ $status -eq 2 ]] && cat "$folder/client.log" >&2
exit $status
