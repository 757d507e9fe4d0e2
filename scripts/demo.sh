#!/usr/bin/env bash
# The main job: installs and builds, then runs the bridge between our emulated
# simulation server (127.0.0.1, SIM 55580, APP 55557) and an emulated
# MonitorRelay unit (127.0.0.2, UDP 14996), showing what the unit would put on
# the monitors: on a terminal as a live monitor screen (the logs go to files),
# otherwise as one line a second among the logs. Stops after DEMO_SECONDS
# (default 60), on Ctrl-C or on q, and leaves no process behind.
# DEMO_SNAPSHOT=FILE.svg keeps an SVG picture of the monitor, renewed every 5 s.
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
screen=false
if [ -t 0 ] && [ -t 1 ]; then
    screen=true
fi
snapshot=()
if [ -n "${DEMO_SNAPSHOT:-}" ]; then
    snapshot=(--snapshot "$(realpath -m "$DEMO_SNAPSHOT")")
fi
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
    if $screen; then
        echo "Demo stopped. The bridge's log is $work/bridge.log, the server's $work/server.log."
    else
        echo "Demo stopped. Logs were in $work (removed)."
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cd "$work"
unit=("$build/emulators/relay_unit/relay-unit-emulator" --address 127.0.0.2 "${snapshot[@]}")
"$build/emulators/sim_server/sim-server-emulator" --quiet --scenario demo-scenario.txt \
    < /dev/null > server.log 2>&1 &
pids+=($!)
if $screen; then
    "$build/app/PatientSimulatorMonitorRelay" --configfile bridge.xml > bridge.log 2>&1 &
    pids+=($!)
    # In the foreground: the screen needs the terminal's keys. The bridge keeps
    # searching until the unit answers.
    timeout --foreground "$seconds" "${unit[@]}" --screen 2> unit.log || true
    exit 0
fi

"${unit[@]}" --monitor-view > >(sed -u 's/^/[unit]   /') 2>&1 &
pids+=($!)
"$build/app/PatientSimulatorMonitorRelay" --configfile bridge.xml \
    > >(sed -u 's/^/[bridge] /') 2>&1 &
pids+=($!)

echo "Running for $seconds s (Ctrl-C to stop earlier)..."
sleep "$seconds" &
pids+=($!)
wait $!
