#!/usr/bin/env bash
# Installs the test driver into the Wine prefix $WINEPREFIX and starts it.
#
# Usage: tests/wine_driver/install-into-wine.sh DRIVER_SYS [RACK_TEXT]
#   DRIVER_SYS  the built kpxadac_test.sys
#   RACK_TEXT   the boards it starts with (tests/wine_driver/kpxadac_test_driver.h);
#               without it, one ADC board at device 0 with board ID 0x8A
#
# The driver goes to C:\windows\system32\drivers and is registered as the
# kernel service kpxadac_test with Start=2, set with `reg add` (Wine's
# `sc config` does not set it), so that the prefix loads it as it starts,
# before the first program. The prefix is then restarted: every process in
# it ends (`wineserver -k`, a persistent server too) and the next program
# starts it again with the driver. (`sc start` right after `sc create`
# fails in a fresh prefix with 1060.) It leaves a persistent wineserver
# running in the prefix. Running it again replaces the driver and its rack.
set -euo pipefail
[[ -n ${WINEPREFIX:-} ]] || { echo "install-into-wine.sh: WINEPREFIX is not set" >&2; exit 1; }
driver=$1
rack=${2:-}
service=kpxadac_test
key='HKLM\System\CurrentControlSet\Services\'$service

restart_prefix() { wineserver -k >/dev/null 2>&1 || true; wineserver -w; }

# A running driver keeps its file open.
restart_prefix
target=$WINEPREFIX/drive_c/windows/system32/drivers/$service.sys
mkdir -p "$(dirname "$target")"
cp "$driver" "$target"
if ! wine reg query "$key" /v ImagePath >/dev/null 2>&1; then
  wine sc create "$service" type= kernel start= auto \
    binPath= 'C:\windows\system32\drivers\'"$service"'.sys' >/dev/null
fi
wine reg add "$key" /v Start /t REG_DWORD /d 2 /f >/dev/null
if [[ -n $rack ]]; then
  wine reg add "$key" /v Rack /t REG_SZ /d "$rack" /f >/dev/null
else
  wine reg delete "$key" /v Rack /f >/dev/null 2>&1 || true
fi
restart_prefix
# A persistent server keeps the prefix, and the driver with its rack, alive
# between programs; `wineserver -k` ends it.
wineserver -p
for _ in $(seq 1 60); do
  wine sc query "$service" 2>/dev/null | grep -q RUNNING && exit 0
  sleep 0.5
done
echo "install-into-wine.sh: the service $service does not run" >&2
wine sc query "$service" >&2 || true
exit 1
