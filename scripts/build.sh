#!/usr/bin/env bash
# Usage: scripts/build.sh <build-type> <build-dir> [cmake args...]
# Build types: Debug, Release, Asan (ASan + UBSan), Tsan.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
type=${1:-Release}
dir=${2:-$here/build-$(echo "$type" | tr '[:upper:]' '[:lower:]')}
shift $(( $# > 2 ? 2 : $# ))
cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@"
cmake --build "$dir" -j "$(nproc)"
