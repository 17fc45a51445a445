#!/usr/bin/env bash
# Makes the SDK's packages into dist/:
#   - the Debian packages (CPack's DEB generator, cmake/Packaging.cmake):
#     libkpxadac1, libkpxadac-response1, libkpxadac-dev, kpxadac-tools,
#     python3-kpxadac and
#     soapysdr0.8-module-kpxadac, checked with lintian (no error allowed);
#   - the Windows installer kpxadac-sdk-<version>-win64-setup.exe (NSIS,
#     packaging/windows/kpxadac.nsi) and the zip kpxadac-sdk-<version>-win64.zip
#     with the same tree, from the mingw-w64 cross build, the programs'
#     manual pages in it as text (made from a native build's pages);
#   - the Python wheels (scripts/wheel.py): kpxadac-<version>-py3-none-
#     manylinux_2_N_x86_64.whl with libkpxadac.so.1 and
#     libkpxadac_response.so.1 inside (linked with libstdc++ and libgcc
#     statically, the response library's FFT Eigen's, so that they need
#     glibc alone) and kpxadac-<version>-py3-none-win_amd64.whl with the
#     cross build's two DLLs, each read back by `wheel.py check`.
# The packages take what `cmake --install` installs; a file in no component
# ("Unspecified") stops the script.
#
# Usage: scripts/package.sh [--deb] [--windows] [--wheel] [--build-dir DIR]
#                           [--dist DIR] [--windows-build TREE]
#   Without --deb, --windows or --wheel it makes all three. Build trees go to
#   DIR (default build-package/): DIR/deb, DIR/windows and DIR/wheel (the
#   Windows wheel takes DIR/windows's DLL). --windows-build takes
#   an already configured cross build tree instead (scripts/windows-tests.sh
#   passes its own). JOBS (default 2) sets the build's parallelism;
#   KPXADAC_WERROR=ON makes warnings errors. KPXADAC_MAN_PAGES names a folder
#   of a native build's manual pages (<build>/man) for the Windows zip;
#   without it they are made in DIR/deb.
set -euo pipefail
exec </dev/null
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
builds=$root/build-package
dist=$root/dist
jobs=${JOBS:-2}
werror=${KPXADAC_WERROR:-OFF}
make_deb=0
make_windows=0
make_wheel=0
windows_build=""
while (($#)); do
  case $1 in
    --deb) make_deb=1 ;;
    --windows) make_windows=1 ;;
    --wheel) make_wheel=1 ;;
    --build-dir) builds=$2; shift ;;
    --dist) dist=$2; shift ;;
    --windows-build) windows_build=$(cd "$2" && pwd); make_windows=1; shift ;;
    -h | --help) sed -n '2,27p' "$0"; exit 0 ;;
    *) echo "package.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
((make_deb || make_windows || make_wheel)) || make_deb=1 make_windows=1 make_wheel=1
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
command -v help2man >/dev/null || need+=(help2man)
command -v groff >/dev/null || need+=(groff-base)
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

# The native tree of the Debian packages (the Windows zip's manual pages come
# from it too).
configure_deb() {
  cmake -S "$root" -B "$builds/deb" -DCMAKE_BUILD_TYPE=Release -DKPXADAC_WERROR="$werror" \
    -DKPXADAC_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr -DKPXADAC_DEBIAN_PACKAGES=ON \
    -DKPXADAC_PYTHON_WITH_LIBRARY=OFF -DKPXADAC_PYTHON_INSTALL_DIR=lib/python3/dist-packages \
    -DCMAKE_INSTALL_DOCDIR=share/doc/libkpxadac-dev -DCMAKE_SKIP_INSTALL_RPATH=ON >/dev/null
}

if ((make_deb)); then
  build=$builds/deb
  step "Debian packages: building in $build"
  configure_deb
  cmake --build "$build" -j"$jobs" >"$build/build.log" 2>&1 || { tail -40 "$build/build.log"; fail "build"; }
  no_unspecified "$build"
  step "Debian packages: cpack"
  rm -rf "$build/packages"
  (cd "$build" && cpack -G DEB --config CPackConfig.cmake >cpack.log 2>&1) ||
    { tail -40 "$build/cpack.log"; fail "cpack"; }
  rm -f "$dist"/*.deb
  cp "$build"/packages/*.deb "$dist/"
  for package in libkpxadac1 libkpxadac-response1 libkpxadac-dev kpxadac-tools python3-kpxadac soapysdr0.8-module-kpxadac; do
    compgen -G "$dist/${package}_${version}-*.deb" >/dev/null || fail "no $package package was made"
  done
  tools_files=$(dpkg-deb -c "$dist"/kpxadac-tools_*.deb)
  for program in $(programs); do
    grep -q "\./usr/bin/$program\$" <<<"$tools_files" || fail "kpxadac-tools lacks /usr/bin/$program"
    grep -q "\./usr/share/man/man1/$program\.1\.gz\$" <<<"$tools_files" ||
      fail "kpxadac-tools lacks the manual page of $program"
    # A program whose page is written in docs/man has no --help to complete from.
    [[ -f $root/docs/man/$program.1 ]] ||
      grep -q "\./usr/share/bash-completion/completions/$program\$" <<<"$tools_files" ||
      fail "kpxadac-tools lacks the bash completion of $program"
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

  # The manual pages as text, beside the documentation: made by the native
  # build (the programs' --help is the same on both systems).
  step "Windows: manual pages as text"
  man_pages=${KPXADAC_MAN_PAGES:-$builds/deb/man}
  if [[ -z ${KPXADAC_MAN_PAGES:-} ]]; then
    [[ -f $builds/deb/CMakeCache.txt ]] || configure_deb
    cmake --build "$builds/deb" -j"$jobs" --target kpxadac-man >"$builds/deb/man.log" 2>&1 ||
      { tail -40 "$builds/deb/man.log"; fail "manual pages"; }
  fi
  readme=$(find "$stage" -name README.md | head -1)
  [[ -n $readme ]] || fail "no README.md in the installed tree, so no documentation folder"
  man_text=$(dirname "$readme")/man
  mkdir -p "$man_text"
  for program in $(programs); do
    page=$man_pages/$program.1.gz
    [[ -f $page ]] || fail "no manual page $page"
    # Plain text (no overstriking nor escapes), Windows line ends.
    zcat "$page" | groff -t -man -Tascii -P-cbou 2>/dev/null | sed 's/$/\r/' >"$man_text/$program.txt"
    [[ -s $man_text/$program.txt ]] || fail "the text page of $program is empty"
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

if ((make_wheel)); then
  # Linux: the two libraries alone, linked so that they need nothing beyond
  # glibc (the response library's FFT is Eigen's, header-only: no FFTW).
  build=$builds/wheel
  step "Python wheels: the Linux library in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKPXADAC_WERROR="$werror" \
    -DKPXADAC_BUILD_TESTS=OFF -DKPXADAC_BUILD_TOOLS=OFF -DKPXADAC_FFT=eigen \
    "-DCMAKE_SHARED_LINKER_FLAGS=-static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL" >/dev/null
  cmake --build "$build" -j"$jobs" --target kpxadac kpxadac_response >"$build/build.log" 2>&1 ||
    { tail -40 "$build/build.log"; fail "build"; }
  rm -rf "$build/stage"
  for component in runtime response; do
    cmake --install "$build" --component $component --strip --prefix "$build/stage" >/dev/null
  done
  # Windows: the cross build's DLL (the tree of the installer when it was made).
  windows_tree=${windows_build:-$builds/windows}
  step "Python wheels: the Windows DLL in $windows_tree"
  if [[ ! -f $windows_tree/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$windows_tree" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DKPXADAC_WERROR="$werror" -DKPXADAC_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build "$windows_tree" -j"$jobs" --target kpxadac kpxadac_response \
    >"$windows_tree/wheel-build.log" 2>&1 || { tail -40 "$windows_tree/wheel-build.log"; fail "build"; }
  rm -rf "$windows_tree/wheel-stage"
  for component in runtime response; do
    cmake --install "$windows_tree" --component $component --strip --prefix "$windows_tree/wheel-stage" >/dev/null
  done
  dll=$(compgen -G "$windows_tree/wheel-stage/bin/*kpxadac.dll" | head -1) || true
  [[ -n $dll ]] || fail "no kpxadac DLL in $windows_tree/wheel-stage/bin"
  response_dll=$(compgen -G "$windows_tree/wheel-stage/bin/*kpxadac_response.dll" | head -1) || true
  [[ -n $response_dll ]] || fail "no kpxadac_response DLL in $windows_tree/wheel-stage/bin"

  step "Python wheels: made and checked"
  rm -f "$dist"/kpxadac-*.whl
  /usr/bin/python3 "$root/scripts/wheel.py" make --platform linux --version "$version" \
    --library "$build/stage/lib/libkpxadac.so.1" \
    --response "$build/stage/lib/libkpxadac_response.so.1" --dist "$dist" || fail "the Linux wheel"
  /usr/bin/python3 "$root/scripts/wheel.py" make --platform windows --version "$version" \
    --library "$dll" --response "$response_dll" --tools x86_64-w64-mingw32- --dist "$dist" || fail "the Windows wheel"
  /usr/bin/python3 "$root/scripts/wheel.py" check --version "$version" "$dist"/kpxadac-*manylinux*.whl ||
    fail "the Linux wheel's check"
  /usr/bin/python3 "$root/scripts/wheel.py" check --version "$version" --tools x86_64-w64-mingw32- \
    "$dist"/kpxadac-*win_amd64.whl || fail "the Windows wheel's check"
fi

step "done"
ls -l "$dist"
