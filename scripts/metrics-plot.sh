#!/usr/bin/env bash
# Usage: scripts/metrics-plot.sh [minutes] [out.svg]   (default 10, docs/metrics-soak.svg)
#
# A soak run (scripts/soak.sh, with its faults) with the bridge's metrics
# endpoint switched on, scraped once a second; then a plot of the values per
# second per waveform and of the unit's reply age, with the faults marked.
# Needs python3-prometheus-client and python3-matplotlib, and the Release
# build the soak run uses (SOAK_BUILD_DIR, default build-release).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-10}
out=$(realpath -m "${2:-$here/docs/metrics-soak.svg}")

# The soak's own namespace, entered here so that the scraper shares it.
if [ -z "${SOAK_IN_NETNS:-}" ]; then
    export SOAK_IN_NETNS=1
    exec sh "$here/tests/netns-run.sh" bash "$0" "$minutes" "$out"
fi
# Debian's interpreter, where python3-prometheus-client and python3-matplotlib are.
python=/usr/bin/python3
export SOAK_BUILD_DIR=${SOAK_BUILD_DIR:-$here/build-release}

# The soak script takes its configuration beside itself: a copy of both, with
# the endpoint switched on.
tree=$(mktemp -d)
scraper=
cleanup() {
    if [ -n "$scraper" ]; then
        kill "$scraper" 2>/dev/null || true
        wait "$scraper" 2>/dev/null || true
    fi
    rm -rf "$tree"
}
trap cleanup EXIT
mkdir -p "$tree/scripts" "$tree/examples"
cp "$here/scripts/soak.sh" "$tree/scripts/"
sed 's|</MonitorRelay>|    <Metrics address="127.0.0.1" port="9743"/>\n</MonitorRelay>|' \
    "$here/examples/bridge.xml" >"$tree/examples/bridge.xml"

"$python" "$here/scripts/metrics-plot.py" scrape http://127.0.0.1:9743/metrics "$tree/metrics.csv" &
scraper=$!
status=0
bash "$tree/scripts/soak.sh" "$minutes" | tee "$tree/soak.txt" || status=$?
kill "$scraper" 2>/dev/null || true
wait "$scraper" 2>/dev/null || true
scraper=
"$python" "$here/scripts/metrics-plot.py" plot "$tree/metrics.csv" "$out" "$tree/soak.txt"
echo "Plot: $out ($(($(wc -l <"$tree/metrics.csv") - 1)) scrapes)"
exit "$status"
