#!/usr/bin/env bash
# Installs what is needed, builds, installs the Python package with the shared
# library for Debian's /usr/bin/python3 (into /usr/local, see docs/python.md),
# lists the boards from Python, and runs the receive demo on the default
# virtual board (one ADC board with a 10 MHz tone). The capture lands in
# build/demo-run/talvo_rx_data.bin.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DKPXADAC_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target talvo_rx_demo kpxadac >/dev/null
cmake --install "$root/build" --component python >/dev/null
mkdir -p "$root/build/demo-run"
cd "$root/build/demo-run"
unset KPXADAC_SIM KPXADAC_LIBRARY
/usr/bin/python3 -m kpxadac
echo
exec "$root/build/host/demos/talvo_rx_demo/talvo_rx_demo"
