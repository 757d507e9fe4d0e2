#!/usr/bin/env bash
# The main job: installs and builds, then runs the bridge between our emulated
# simulation server (127.0.0.1, SIM 55580, APP 55557) and an emulated
# MonitorRelay unit (127.0.0.2, UDP 14996), showing once a second what the
# unit would put on the monitors. Stops after DEMO_SECONDS (default 60) or on
# Ctrl-C, and leaves no process behind.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${DEMO_SECONDS:-60}
build=$here/build-release

bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" Release "$build" -DPSMR_BUILD_TESTS=OFF >/dev/null
echo "Built in $build"

for port in 55580 55557; do
    if ss -Htln "sport = :$port" | grep -q .; then
        echo "TCP port $port is in use: is a simulation server running? Stop it first." >&2
        exit 1
    fi
done
if ss -Huln "sport = :14996" | grep -q .; then
    echo "UDP port 14996 is in use: is another bridge running? Stop it first." >&2
    exit 1
fi

work=$(mktemp -d)
cp "$here/examples/bridge.xml" "$here/examples/demo-scenario.txt" "$work/"
pids=()
cleanup() {
    trap - EXIT INT TERM
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    echo
    echo "Demo stopped. Logs were in $work (removed)."
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cd "$work"
"$build/emulators/relay_unit/relay-unit-emulator" --address 127.0.0.2 --monitor-view \
    > >(sed -u 's/^/[unit]   /') 2>&1 &
pids+=($!)
# Five samples per update make blocks of exactly ten arterial samples, which
# the unit's 50 and 25 per second conversions use whole.
"$build/emulators/sim_server/sim-server-emulator" --quiet --scenario demo-scenario.txt \
    --samples-per-update 5 \
    < /dev/null > server.log 2>&1 &
pids+=($!)
"$build/app/PatientSimulatorMonitorRelay" --configfile bridge.xml \
    > >(sed -u 's/^/[bridge] /') 2>&1 &
pids+=($!)

echo "Running for $seconds s (Ctrl-C to stop earlier)..."
sleep "$seconds" &
pids+=($!)
wait $!
