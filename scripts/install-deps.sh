#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on a fresh Debian 12 machine (as root).
set -euo pipefail
packages=(
    build-essential cmake pkg-config git
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libzstd-dev zstd libtbb-dev librust-blake3-dev b3sum
    nginx-light openssl curl ca-certificates python3 xvfb xauth e2fsprogs xfsprogs dosfstools
    clang libclang-rt-14-dev clang-format
    python3-fonttools fonts-dejavu-core fonts-league-spartan xdotool x11-apps x11-utils
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
