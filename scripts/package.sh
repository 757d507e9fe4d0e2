#!/usr/bin/env bash
# Usage: scripts/package.sh [--next VERSION] [build-dir]
# Builds the two Debian packages (the bridge, and the emulators) from debian/
# with dpkg-buildpackage -b, after installing only what debian/control's
# Build-Depends name. Prints the paths of the two .deb files, the bridge's
# first, as its last two lines.
# The build runs in a copy of the source tree under build-dir (default
# build-package), whose build tree is kept: a second run compiles only what
# changed. --next VERSION builds the same source as a later version whose
# example configuration differs, as the package check's upgrade needs.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
next=""
if [ "${1:-}" = "--next" ]; then
    next=$2
    shift 2
fi
build=${1:-$here/build-package}
name=patient-simulator-monitor-relay
src=$build/src/$name

# A fresh copy of the tracked (and new, not ignored) files; the build tree
# (obj-*) stays, and the copies keep their times, so nothing unchanged is rebuilt.
mkdir -p "$src"
find "$src" -mindepth 1 -maxdepth 1 ! -name 'obj-*' -exec rm -rf {} +
(cd "$here" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf -) | tar -C "$src" -xf -

if [ -n "$next" ]; then
    version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
    dpkg --compare-versions "$next" gt "$version" || {
        echo "package.sh: --next $next is not later than $version" >&2
        exit 1
    }
    {
        echo "$name ($next) unstable; urgency=medium"
        echo
        echo "  * Rebuilt with a changed example configuration."
        echo
        echo " -- $(dpkg-parsechangelog -l "$src/debian/changelog" -S Maintainer)  $(date -R)"
        echo
        cat "$src/debian/changelog"
    } > "$src/debian/changelog.next"
    mv "$src/debian/changelog.next" "$src/debian/changelog"
    sed -i "s#</MonitorRelay>#    <!-- Example of version $next. -->\n</MonitorRelay>#" "$src/examples/bridge.xml"
fi

if ! (cd "$src" && dpkg-checkbuilddeps) 2>/dev/null; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q >&2
    $sudo apt-get build-dep -y -q "$src" >&2
fi

rm -f "$build"/src/*.deb "$build"/src/*.ddeb "$build"/src/*.changes "$build"/src/*.buildinfo
# No debug-symbol packages; a compiler cache where there is one (the packages
# do not depend on it).
export DEB_BUILD_OPTIONS="noddebs parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}"
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
# -nc: the kept build tree is reused; the copy above is already clean.
(cd "$src" && dpkg-buildpackage -b -nc --no-sign) >&2

for pkg in "$name" "$name-emulators"; do
    debs=("$build"/src/"$pkg"_*.deb)
    if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
        echo "package.sh: expected one $pkg .deb in $build/src, found: ${debs[*]}" >&2
        exit 1
    fi
    echo "${debs[0]}"
done
