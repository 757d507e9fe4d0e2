#!/usr/bin/env bash
# Usage: scripts/package.sh [build-dir]
# Builds the Debian package of the bridge (Release, installed under /usr) and
# prints the path of the .deb as its last line. Installs what is missing first.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-package}

bash "$here/scripts/setup.sh" >&2
# Only what the package holds is built: no tests, and installing does not
# build everything else first.
args=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DPSMR_BUILD_TESTS=OFF
      -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON)
# Reuse a compiler cache where there is one; the package does not depend on it.
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null; then
    args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$here" -B "$build" "${args[@]}" >&2
cmake --build "$build" -j "$(nproc)" --target PatientSimulatorMonitorRelay relay-unit-emulator \
    sim-server-emulator manpage >&2

rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB) >&2
debs=("$build"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "package.sh: expected one .deb in $build, found: ${debs[*]}" >&2
    exit 1
fi
echo "${debs[0]}"
