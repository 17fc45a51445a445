#!/usr/bin/env bash
# Puts cpp-httplib's single header httplib.h into DEST for the Windows cross
# build. Debian's libcpp-httplib-dev holds the split build (declarations and
# a Linux library), so the header comes from Debian's source package of the
# same version, unpacked by dpkg-source with Debian's patches applied. apt
# works in a private folder here (the machine's own mirrors and keys, with
# source entries), so the machine's apt state is not touched.
#
# Usage: scripts/fetch-cpp-httplib.sh DEST
set -euo pipefail
dest=$1
version=$(dpkg-query -W -f='${source:Version}' libcpp-httplib-dev 2>/dev/null) ||
  { echo "fetch-cpp-httplib: libcpp-httplib-dev is not installed" >&2; exit 1; }
command -v dpkg-source >/dev/null || { echo "fetch-cpp-httplib: needs dpkg-dev" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts" "$work/src"
for sources in /etc/apt/sources.list.d/*.sources; do
  [[ -f $sources ]] || continue
  sed 's/^Types:.*/Types: deb-src/' "$sources" >"$work/parts/${sources##*/}"
done
sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
  2>/dev/null >"$work/sources.list" || true
apt_options=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts="$work/parts"
             -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache"
             -o APT::Sandbox::User=root -q)
# A mirror without sources (a third-party one) fails the update but not the
# download from Debian's, which is what counts.
apt-get "${apt_options[@]}" update >"$work/update.log" 2>&1 || true
(cd "$work/src" && apt-get "${apt_options[@]}" source "cpp-httplib=$version" >"$work/source.log" 2>&1) ||
  { cat "$work/update.log" "$work/source.log" >&2; exit 1; }
header=$(find "$work/src" -mindepth 2 -maxdepth 2 -name httplib.h | head -1)
[[ -n $header ]] || { echo "fetch-cpp-httplib: no httplib.h in the source package" >&2; exit 1; }
grep -q "CPPHTTPLIB_VERSION \"${version%%+*}\"" "$header" ||
  { echo "fetch-cpp-httplib: the header is not version ${version%%+*}" >&2; exit 1; }
mkdir -p "$dest"
cp "$header" "$dest/httplib.h"
echo "fetch-cpp-httplib: httplib.h of cpp-httplib $version (Debian's source package) in $dest"
