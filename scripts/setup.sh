#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian 12 machine (as root or through sudo).
set -euo pipefail
packages=(cmake ninja-build g++ make libboost-dev libboost-program-options-dev libboost-system-dev
          libgtest-dev libgmock-dev googletest libbenchmark-dev iproute2 util-linux procps
          libncurses-dev libsystemd-dev pkg-config python3-prometheus-client python3-matplotlib
          dpkg-dev debhelper lintian file clang-14 libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q
    $sudo apt-get install -y -q "${missing[@]}"
fi
