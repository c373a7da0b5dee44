#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, when any is missing.
# Installs run with --no-install-recommends, so what a peer program only recommends but the
# tests need from it is named here too.
set -euo pipefail
packages=(
    # building
    g++ cmake ninja-build pkg-config
    qt6-base-dev libgl-dev
    libpff-dev libbfio-dev libgsf-1-dev zlib1g-dev
    libgtest-dev libgmock-dev
    # the smoke test's window probe (X11, and Damage to see when the window has painted)
    libx11-dev libxdamage-dev
    # peer readers of what we write: libpff's pffinfo/pffexport, libpst's readpst,
    # msgconvert (its Email::Address is only recommended) and Python's olefile
    pff-tools pst-utils libemail-outlook-message-perl libemail-address-perl python3-olefile
    # the program on a virtual screen (xvfb-run needs xauth, only recommended) with a font
    xvfb xauth fonts-liberation
    # the fuzzer: clang and its libFuzzer and sanitizer runtimes
    clang libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
