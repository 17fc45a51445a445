#!/usr/bin/env bash
# Installs what building and testing the SDK needs, from Debian's packages.
# Extra package names may be passed as arguments.
set -euo pipefail
packages=(build-essential cmake pkg-config nlohmann-json3-dev googletest libgtest-dev libgmock-dev
          libcli11-dev libfmt-dev libbenchmark-dev libssl-dev python3 python3-jsonschema "$@")
# The SoapySDR module and the clients its tests use (SoapySDRUtil, Python,
# GNU Radio, SoapyRemote; the remote test runs the server in a network
# namespace of its own, with a private D-Bus for its DNS-SD announcement).
packages+=(libsoapysdr-dev soapysdr-tools python3-soapysdr gnuradio soapyremote-server
           soapysdr-module-remote dbus-daemon iproute2 util-linux)
# The analysis: FFTW on Linux; Eigen's header-only FFT for the Windows cross build.
packages+=(libfftw3-dev libeigen3-dev)
# The Python package kpxadac and its tests (python/, docs/python.md).
packages+=(python3-numpy python3-pytest python3-jsonschema python3-hypothesis)
# The live view, kpxadac-scope: its HTTP library, and the browser its test drives.
packages+=(libcpp-httplib-dev chromium chromium-driver)
# Node.js and npm build the scope's page. Where they are already installed
# (for example from NodeSource, whose nodejs includes npm) Debian's npm would
# conflict, so it is only taken on a machine without them.
command -v npm >/dev/null || packages+=(nodejs npm)
# The SCPI server kpxadac-scpi: standalone Asio, and the clients its tests
# drive (PyVISA with its pure-Python backend, lxi-tools).
packages+=(libasio-dev python3-pyvisa python3-pyvisa-py lxi-tools)
# The packages (scripts/package.sh): Debian's tools for .deb files, NSIS for
# the Windows installer, zip for the Windows zip (unzip for its check).
packages+=(dpkg-dev lintian nsis zip unzip)
# The programs' manual pages (help2man, from their --help; groff makes the
# Windows zip's text pages) and the bash completion's test (bash-completion).
packages+=(help2man groff-base bash-completion)
# The wheels' test (a venv of Debian's python3 and pip) and the notebooks:
# plots with matplotlib, executed with nbclient on an ipykernel.
packages+=(python3-venv python3-matplotlib python3-nbclient python3-nbformat python3-ipykernel)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
