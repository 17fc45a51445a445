#!/usr/bin/env bash
# Makes the SDK's packages into dist/:
#   - the Debian packages (CPack's DEB generator, cmake/Packaging.cmake):
#     libkpxadac1, libkpxadac-dev, kpxadac-tools, python3-kpxadac and
#     soapysdr0.8-module-kpxadac, checked with lintian (no error allowed);
#   - the Windows installer kpxadac-sdk-<version>-win64-setup.exe (NSIS,
#     packaging/windows/kpxadac.nsi) and the zip kpxadac-sdk-<version>-win64.zip
#     with the same tree, from the mingw-w64 cross build.
# Both take what `cmake --install` installs; a file in no component
# ("Unspecified") stops the script.
#
# Usage: scripts/package.sh [--deb] [--windows] [--build-dir DIR] [--dist DIR]
#                           [--windows-build TREE]
#   Without --deb or --windows it makes both. Build trees go to DIR
#   (default build-package/): DIR/deb and DIR/windows. --windows-build takes
#   an already configured cross build tree instead (scripts/windows-tests.sh
#   passes its own). JOBS (default 2) sets the build's parallelism;
#   KPXADAC_WERROR=ON makes warnings errors.
set -euo pipefail
exec </dev/null
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
builds=$root/build-package
dist=$root/dist
jobs=${JOBS:-2}
werror=${KPXADAC_WERROR:-OFF}
make_deb=0
make_windows=0
windows_build=""
while (($#)); do
  case $1 in
    --deb) make_deb=1 ;;
    --windows) make_windows=1 ;;
    --build-dir) builds=$2; shift ;;
    --dist) dist=$2; shift ;;
    --windows-build) windows_build=$(cd "$2" && pwd); make_windows=1; shift ;;
    -h | --help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "package.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
((make_deb || make_windows)) || make_deb=1 make_windows=1
mkdir -p "$builds" "$dist"
builds=$(cd "$builds" && pwd)
dist=$(cd "$dist" && pwd)
version=$(sed -n 's/^project(kpxadac VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[[ -n $version ]] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
start=$SECONDS

fail() { echo "package.sh: $*" >&2; exit 1; }
step() { printf '=== package: %s (%ds)\n' "$*" $((SECONDS - start)); }

need=()
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v lintian >/dev/null || need+=(lintian)
command -v makensis >/dev/null || need+=(nsis)
command -v zip >/dev/null || need+=(zip)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
if ((${#need[@]})); then
  [[ $(id -u) -eq 0 ]] || fail "packages ${need[*]} are missing and this is not root"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# programs: every program that an install rule of the source tree installs.
programs() {
  grep -rhoP --include=CMakeLists.txt 'kpxadac_install_program\(\K[^)]+' "$root/host" "$root/tools" "$root/scpi" |
    sort -u
}

# no_unspecified BUILD: every install rule must name its component.
no_unspecified() {
  local scratch=$1/unspecified-check
  rm -rf "$scratch"
  cmake --install "$1" --component Unspecified --prefix "$scratch" >/dev/null
  if [[ -d $scratch ]] && [[ -n $(find "$scratch" -type f -o -type l) ]]; then
    find "$scratch" -type f -o -type l >&2
    fail "these files are installed in no component: add COMPONENT to their install rules"
  fi
  rm -rf "$scratch"
}

if ((make_deb)); then
  build=$builds/deb
  step "Debian packages: building in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKPXADAC_WERROR="$werror" \
    -DKPXADAC_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr -DKPXADAC_DEBIAN_PACKAGES=ON \
    -DKPXADAC_PYTHON_WITH_LIBRARY=OFF -DKPXADAC_PYTHON_INSTALL_DIR=lib/python3/dist-packages \
    -DCMAKE_INSTALL_DOCDIR=share/doc/libkpxadac-dev -DCMAKE_SKIP_INSTALL_RPATH=ON >/dev/null
  cmake --build "$build" -j"$jobs" >"$build/build.log" 2>&1 || { tail -40 "$build/build.log"; fail "build"; }
  no_unspecified "$build"
  step "Debian packages: cpack"
  rm -rf "$build/packages"
  (cd "$build" && cpack -G DEB --config CPackConfig.cmake >cpack.log 2>&1) ||
    { tail -40 "$build/cpack.log"; fail "cpack"; }
  rm -f "$dist"/*.deb
  cp "$build"/packages/*.deb "$dist/"
  for package in libkpxadac1 libkpxadac-dev kpxadac-tools python3-kpxadac soapysdr0.8-module-kpxadac; do
    compgen -G "$dist/${package}_${version}-*.deb" >/dev/null || fail "no $package package was made"
  done
  tools_files=$(dpkg-deb -c "$dist"/kpxadac-tools_*.deb)
  for program in $(programs); do
    grep -q "\./usr/bin/$program\$" <<<"$tools_files" || fail "kpxadac-tools lacks /usr/bin/$program"
  done
  step "Debian packages: lintian"
  lintian --fail-on error --tag-display-limit 0 "$dist"/*.deb | tee "$build/lintian.log" ||
    fail "lintian reports errors"
fi

if ((make_windows)); then
  build=${windows_build:-$builds/windows}
  step "Windows installer: cross build in $build"
  if [[ -z $windows_build ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DKPXADAC_WERROR="$werror" -DKPXADAC_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build "$build" -j"$jobs" >"$build/build.log" 2>&1 || { tail -40 "$build/build.log"; fail "build"; }
  no_unspecified "$build"
  name=kpxadac-sdk-$version-win64
  stage=$build/stage/$name
  rm -rf "$build/stage"
  cmake --install "$build" --prefix "$stage" --strip >/dev/null
  for program in $(programs); do
    [[ -f $stage/bin/$program.exe ]] || fail "$program.exe is not in the installed tree"
  done

  step "Windows zip"
  rm -f "$dist/$name.zip"
  (cd "$build/stage" && zip -q -r -X "$dist/$name.zip" "$name")

  step "Windows installer: makensis"
  # One line per file for the installer, and the reverse for the uninstaller
  # (files, then folders from the deepest).
  files=$build/stage/files.nsh
  unfiles=$build/stage/unfiles.nsh
  : >"$files"
  : >"$unfiles"
  while IFS= read -r dir; do
    rel=${dir#"$stage"}
    rel=${rel//\//\\}
    printf 'SetOutPath "$INSTDIR%s"\n' "$rel" >>"$files"
    while IFS= read -r file; do
      base=${file##*/}
      printf 'File "%s"\n' "$file" >>"$files"
      printf 'Delete "$INSTDIR%s\\%s"\n' "$rel" "$base" >>"$unfiles"
    done < <(find "$dir" -mindepth 1 -maxdepth 1 -type f | LC_ALL=C sort)
  done < <(find "$stage" -type d | LC_ALL=C sort)
  while IFS= read -r dir; do
    rel=${dir#"$stage"}
    printf 'RMDir "$INSTDIR%s"\n' "${rel//\//\\}" >>"$unfiles"
  done < <(find "$stage" -mindepth 1 -type d | LC_ALL=C sort -r)
  printf 'SetOutPath "$INSTDIR"\n' >>"$files"
  installer=$dist/$name-setup.exe
  rm -f "$installer"
  makensis -V2 -WX -DVERSION="$version" -DLICENSE="$root/LICENSE" -DFILES="$files" \
    -DUNFILES="$unfiles" -DOUTFILE="$installer" "$root/packaging/windows/kpxadac.nsi" ||
    fail "makensis"
fi

step "done"
ls -l "$dist"
