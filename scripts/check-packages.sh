#!/usr/bin/env bash
# Installs the Debian packages from DIST with apt-get and uses them with
# nothing from the source tree on any path: kpxadac-info from PATH, a C
# program built with pkg-config and a CMake project with find_package, every
# program's manual page with man and its bash completion through
# bash-completion's own loader, the
# Python package from Debian's python3 on the system's library, and the
# SoapySDR module found by SoapySDRUtil with no plugin path. Then purges
# them and checks that none of their files is left.
#
# Usage: scripts/check-packages.sh DIST   (as root; DIST holds the .deb files)
set -euo pipefail
exec </dev/null
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dist=$(cd "$1" && pwd)
packages=(libkpxadac1 libkpxadac-response1 libkpxadac-dev kpxadac-tools python3-kpxadac
  soapysdr0.8-module-kpxadac)
work=$(mktemp -d /tmp/kpxadac-packages.XXXXXX)
trap 'rm -rf "$work"' EXIT
problems=0
problem() { echo "packages: FAILED: $*" >&2; problems=$((problems + 1)); }

debs=()
for package in "${packages[@]}"; do
  deb=$(compgen -G "$dist/${package}_*.deb" | head -1) || true
  [[ -n $deb ]] || { echo "packages: no $package in $dist" >&2; exit 1; }
  debs+=("$deb")
done
export DEBIAN_FRONTEND=noninteractive
# Left from an earlier run: removed first, so that this run installs them.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
  awk '$NF == "installed" || $NF == "config-files" {print $1}') || true
[[ -z $installed ]] || apt-get purge -y -q $installed >/dev/null

# Folders that exist before; the packages' own folders must go with them.
dirs_before=$work/dirs-before
for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done | awk '$1 ~ /^d/ {print substr($6, 2)}' |
  sed 's,/$,,' | sort -u | while read -r dir; do
  if [[ -d ${dir:-/} ]]; then echo "${dir:-/}"; fi
done >"$dirs_before"

echo "=== packages: apt-get install ${debs[*]##*/}"
apt-get install -y -q --no-install-recommends "${debs[@]}" >"$work/apt-install.log" 2>&1 ||
  { tail -30 "$work/apt-install.log"; exit 1; }
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Package} ${Version} ${Status}\n' "$package"
done
owned=$work/owned
dpkg -L "${packages[@]}" | sort -u >"$owned"

# A clean environment: system paths only, a scratch folder as the working
# directory, a copy of the example as the only source.
clean() {
  env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME="$work" LANG=C.UTF-8 "$@"
}
cd "$work"
cp "$root/examples/enumerate_boards.c" "$work/"
cp -r "$root/examples/cmake_consumer" "$work/cmake_consumer"

echo "=== packages: kpxadac-info from PATH"
[[ $(clean sh -c 'command -v kpxadac-info') == /usr/bin/kpxadac-info ]] ||
  problem "kpxadac-info is not /usr/bin/kpxadac-info on PATH"
clean kpxadac-info --json >info.json || problem "kpxadac-info --json failed"
/usr/bin/python3 -c 'import json, sys
boards = json.load(open("info.json"))["boards"]
assert [(b["type"], b["device"]) for b in boards] == [("ADC", 0)], boards' ||
  problem "kpxadac-info did not list the default board"
for program in talvo_rx_demo kpxadac-capture kpxadac-analyze kpxadac-response kpxadac-scope kpxadac-scpi; do
  [[ -x /usr/bin/$program ]] || problem "/usr/bin/$program is missing"
done
# The SCPI server's unit is shipped, and left disabled.
unit=/lib/systemd/system/kpxadac-scpi.service
if [[ -f $unit ]] && grep -qx 'ExecStart=/usr/bin/kpxadac-scpi' "$unit"; then
  [[ ! -e /etc/systemd/system/multi-user.target.wants/kpxadac-scpi.service ]] ||
    problem "the package enabled kpxadac-scpi.service"
else
  problem "$unit is missing or does not start /usr/bin/kpxadac-scpi"
fi
# /lib is /usr/lib on a merged-/usr system.
linked=$(clean ldd /usr/bin/kpxadac-info)
if grep -Eq 'libkpxadac\.so\.1 => /(usr/)?lib/x86_64-linux-gnu/' <<<"$linked"; then :; else
  problem "kpxadac-info does not take the system's libkpxadac.so.1"
fi

echo "=== packages: manual pages and bash completion"
programs=$(dpkg -L kpxadac-tools | sed -n 's,^/usr/bin/,,p' | sort)
for program in $programs; do
  page=$(clean man -w "$program" 2>/dev/null) || true
  [[ $page == /usr/share/man/man1/$program.1.gz ]] || problem "man -w $program gave '$page'"
  clean man -P cat "$program" 2>/dev/null | grep -q "^NAME" || problem "man $program shows no page"
done
# Loaded on demand by bash-completion, as an interactive shell would.
completed=$(clean bash -c 'source /usr/share/bash-completion/bash_completion
  __load_completion kpxadac-capture && complete -p kpxadac-capture
  COMP_WORDS=(kpxadac-capture --format ""); COMP_CWORD=2; _kpxadac_complete
  echo "words: ${COMPREPLY[*]}"' 2>&1) || true
echo "$completed"
grep -q "^words: raw sigmf$" <<<"$completed" ||
  problem "bash-completion did not offer raw and sigmf for kpxadac-capture --format"

echo "=== packages: a C program built with pkg-config"
if clean sh -c 'cc -std=c99 -Wall -Werror enumerate_boards.c $(pkg-config --cflags --libs kpxadac) \
      -o enumerate_boards' && clean ./enumerate_boards >enumerate.txt; then
  cat enumerate.txt
  grep -q "ADC 0: board ID 0x8A" enumerate.txt || problem "the C program did not list the ADC board"
else
  problem "the C program did not build or run"
fi

echo "=== packages: a CMake project with find_package(kpxadac)"
if clean cmake -S cmake_consumer -B consumer-build >cmake.log 2>&1 &&
  clean cmake --build consumer-build >>cmake.log 2>&1 &&
  clean ./consumer-build/enumerate_boards >/dev/null &&
  clean ./consumer-build/enumerate_boards_static >/dev/null; then
  echo "find_package build: ok"
else
  tail -20 cmake.log
  problem "the CMake project did not build or run"
fi

echo "=== packages: /usr/bin/python3 -c \"import kpxadac\""
listing=$(clean /usr/bin/python3 -c "
import kpxadac
with kpxadac.Rack() as rack:
    for board in rack.boards:
        print(board.device, board.type.name, hex(board.board_id), kpxadac.__file__)
print([line.split()[-1] for line in open('/proc/self/maps') if 'libkpxadac' in line][0])" 2>&1) ||
  problem "import kpxadac failed: $listing"
echo "$listing"
grep -q "^0 ADC 0x8a /usr/lib/python3/dist-packages/kpxadac/__init__.py$" <<<"$listing" ||
  problem "Python did not list the default board from /usr/lib/python3/dist-packages"
grep -q '^/usr/lib/[^/]*/libkpxadac\.so\.1' <<<"${listing##*$'\n'}" ||
  problem "Python did not load the system's library"

echo "=== packages: kpxadac.response from libkpxadac-response1"
# python3-kpxadac and kpxadac-tools take the response library from its own
# package, the shared library's place, not from one another.
for package in python3-kpxadac kpxadac-tools; do
  depends=$(dpkg-query -W -f='${Depends}' "$package")
  grep -q 'libkpxadac-response1 (' <<<"$depends" || problem "$package does not depend on libkpxadac-response1: $depends"
done
grep -q '/libkpxadac_response\.so\.1$' <(dpkg -L libkpxadac-response1) ||
  problem "libkpxadac-response1 lacks libkpxadac_response.so.1"
if grep -q 'libkpxadac_response' <(dpkg -L kpxadac-tools); then
  problem "kpxadac-tools still carries the response library"
fi
# ADC 0 reads DAC 1 (board ID 0x86) through a device model of -3 dB.
wired='{"boards": [{"device": 0, "read_timeout_ms": 10000, "input": {"dac": 1, "through": {"gain_db": -3}}},
  {"device": 1, "board_id": "0x86"}]}'
response=$(clean KPXADAC_SIM="$wired" /usr/bin/python3 -c "
import kpxadac
from kpxadac import response
with kpxadac.Rack() as rack:
    result = response.measure(rack.dac(0), rack.adc(0), 1e5, 1e6, points=4)
print(response.library_version(), result, result.magnitude_db)
assert abs(result.magnitude_db + 3).max() < 0.5, result.magnitude_db
print([line.split()[-1] for line in open('/proc/self/maps') if 'libkpxadac_response' in line][0])" 2>&1) ||
  problem "kpxadac.response failed: $response"
echo "$response"
grep -q '^/usr/lib/[^/]*/libkpxadac_response\.so\.1' <<<"${response##*$'\n'}" ||
  problem "kpxadac.response did not load the system's libkpxadac_response.so.1"

echo "=== packages: SoapySDRUtil --find=\"driver=kpxadac\" with no plugin path"
clean SoapySDRUtil --find="driver=kpxadac" >soapy.txt 2>&1 || true
cat soapy.txt
grep -q "driver = kpxadac" soapy.txt || problem "SoapySDRUtil did not find the kpxadac device"

echo "=== packages: apt-get purge"
apt-get purge -y -q "${packages[@]}" >"$work/apt-purge.log" 2>&1 ||
  { tail -30 "$work/apt-purge.log"; problem "apt-get purge failed"; }
left=0
while read -r path; do
  [[ -z $path || $path == /. ]] && continue
  # A folder that was there before stays: on a merged-/usr system /lib is
  # such a folder, a link to usr/lib.
  grep -qxF "$path" "$dirs_before" && continue
  if [[ -L $path || -f $path ]]; then
    echo "  left: $path"
    left=$((left + 1))
  elif [[ -d $path ]]; then
    echo "  left folder: $path ($(find "$path" | head -3 | tr '\n' ' '))"
    left=$((left + 1))
  fi
done <"$owned"
((left == 0)) || problem "$left files or folders of the packages are left after the purge"
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ -z $status || $status == *not-installed ]] || problem "$package is still known to dpkg: $status"
done
echo "packages: $(wc -l <"$owned") paths owned, $left left after the purge"

((problems == 0)) || { echo "packages: $problems problem(s)"; exit 1; }
echo "packages: installed, used and purged"
