#!/usr/bin/env bash
# Usage: scripts/build.sh <build-type> <build-dir> [cmake args...]
# Build types: Debug, Release, Asan (ASan + UBSan), Tsan, ThreadSafety (clang's lock
# checking over the product's code: compiles the program and its libraries, runs nothing).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
type=${1:-Release}
dir=${2:-$here/build-$(echo "$type" | tr '[:upper:]' '[:lower:]')}
shift $(( $# > 2 ? 2 : $# ))
extra=()
targets=()
if [ "$type" = ThreadSafety ]; then
    extra=(-DCMAKE_CXX_COMPILER=clang++-14 -DPSMR_BUILD_TESTS=OFF -DPSMR_BUILD_TOOLS=OFF)
    targets=(--target PatientSimulatorMonitorRelay)
fi
cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "${extra[@]}" "$@"
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
