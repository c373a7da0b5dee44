#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, when any is missing.
set -euo pipefail
packages=(
    g++ clang cmake ninja-build pkg-config
    qt6-base-dev libgl-dev
    libpff-dev libbfio-dev libgsf-1-dev zlib1g-dev
    libgtest-dev libgmock-dev
    pff-tools pst-utils libemail-outlook-message-perl python3-olefile
    xvfb xauth fonts-liberation libx11-dev libclang-rt-14-dev
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
