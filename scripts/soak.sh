#!/usr/bin/env bash
# Usage: scripts/soak.sh [minutes]      (default 10)
#
# Soak run: the bridge between both emulators, in a private network namespace,
# for the given time. Every 20 to 40 s a fault from a fixed list is injected
# into the running emulators, in an order drawn from a fixed seed, and the run
# waits for waveform commands to reach the unit again. The report lists each
# fault, whether forwarding resumed and how long that took after the fault
# ended, and the bridge's RSS, open descriptors and threads at the start and
# the end. Exit status 1 when a fault was not recovered from, or descriptors or
# threads grew; 2 when the run could not start.
#
# Environment: SOAK_BUILD_DIR (default build-release: a Release build of the
# bridge and both emulators), SOAK_SEED (default 13), SOAK_KEEP=1 keeps the
# logs (their folder is printed).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-10}
build=${SOAK_BUILD_DIR:-$here/build-release}
seed=${SOAK_SEED:-13}

if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [ "$minutes" -lt 1 ]; then
    echo "usage: scripts/soak.sh [minutes]   (a whole number, at least 1)" >&2
    exit 2
fi
bridge_bin=$build/app/PatientSimulatorMonitorRelay
server_bin=$build/emulators/sim_server/sim-server-emulator
unit_bin=$build/emulators/relay_unit/relay-unit-emulator
for bin in "$bridge_bin" "$server_bin" "$unit_bin"; do
    if [ ! -x "$bin" ]; then
        echo "soak: $bin is missing; build first: scripts/build.sh Release $build" >&2
        exit 2
    fi
done

# Into a namespace of our own (loopback only), so that the fixed ports never
# meet a real server or another run.
if [ -z "${SOAK_IN_NETNS:-}" ]; then
    export SOAK_IN_NETNS=1
    exec sh "$here/tests/netns-run.sh" bash "$0" "$@"
fi
# The unit's resolver wants an address besides 127.0.0.1.
ip addr add 127.0.0.2/8 dev lo 2>/dev/null || true

work=$(mktemp -d)
cp "$here/examples/bridge.xml" "$work/"
pids=()
cleanup() {
    trap - EXIT INT TERM
    exec 3>&- 4>&- 2>/dev/null || true
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    if [ -n "${SOAK_KEEP:-}" ]; then
        echo "Logs kept in $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cd "$work"

now_ms() { date +%s%3N; }

# Both emulators take commands on standard input: a FIFO each, held open here.
mkfifo server.in unit.in
exec 3<>server.in 4<>unit.in
unit_t0=$(now_ms)
"$unit_bin" --address 127.0.0.2 --json --seed "$seed" <unit.in >unit.jsonl 2>unit.log &
pids+=($!)
"$server_bin" --quiet --samples-per-update 5 <server.in >server.log 2>&1 &
pids+=($!)
"$bridge_bin" --configfile bridge.xml >bridge.log 2>&1 &
bridge_pid=$!
pids+=($bridge_pid)

server_cmd() { echo "$*" >&3; }
unit_cmd() { echo "$*" >&4; }

# Unit time (ms since the unit started) of the first arterial waveform command
# the unit took at or after unit time $1; empty when none yet. Only the recent
# lines are read: the file grows by about a megabyte a minute.
first_wave_after() {
    tail -n 4000 unit.jsonl 2>/dev/null |
        awk -v from="$1" -F'[:,]' '/"name":"ABP"/ && /"taken":true/ {
            if ($2 + 0 >= from) { print $2; exit } }'
}

# Waits up to $2 s for forwarding from unit time $1 on; prints the delay in ms.
wait_forwarding() {
    local from=$1 limit=$2 deadline t
    deadline=$(($(now_ms) + limit * 1000))
    while [ "$(now_ms)" -lt "$deadline" ]; do
        t=$(first_wave_after "$from")
        if [ -n "$t" ]; then
            echo $((t - from))
            return 0
        fi
        if ! kill -0 "$bridge_pid" 2>/dev/null; then
            return 1
        fi
        sleep 0.2
    done
    return 1
}

unit_now() { echo $(($(now_ms) - unit_t0)); }

sample() {
    local rss threads fds
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$bridge_pid/status")
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$bridge_pid/status")
    fds=$(find "/proc/$bridge_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
    echo "$rss $threads $fds"
}

start_s=$(date +%s)
end_s=$((start_s + minutes * 60))
echo "Soak run: $minutes min, seed $seed, logs in $work"
if ! warm=$(wait_forwarding 0 60); then
    echo "soak: the bridge never forwarded waveforms within 60 s; see bridge.log:" >&2
    tail -n 20 bridge.log >&2 || true
    exit 2
fi
echo "Forwarding after $((warm / 1000)).$(printf %03d $((warm % 1000))) s of unit time"
read -r rss0 threads0 fds0 <<<"$(sample)"

# Each fault: a name, the action, and how long it lasts before it is undone.
faults=(server-drop-app server-drop-sim midframe-app stall-app refuse-app mute-app
        unit-silent-15s unit-forget unit-loss-5pc-60s)
inject() {
    case $1 in
        server-drop-app) server_cmd fault drop app ;;
        server-drop-sim) server_cmd fault drop sim ;;
        midframe-app) server_cmd fault midframe app ;;
        stall-app) server_cmd fault stall app ;;
        refuse-app) server_cmd fault refuse app 5000 && sleep 5 ;;
        # Mute, then drop, so that the bridge reconnects into a server that
        # never completes the start-up; it must give up and try again.
        mute-app) server_cmd mute-app on && server_cmd fault drop app && sleep 15 &&
            server_cmd mute-app off ;;
        unit-silent-15s) unit_cmd silent 15 && sleep 15 ;;
        unit-forget) unit_cmd forget ;;
        unit-loss-5pc-60s) unit_cmd reply-loss 0.05 && sleep 60 && unit_cmd reply-loss 0 ;;
    esac
}

RANDOM=$seed
report=()
failed=0
n=0
order=()
while :; do
    # The whole list in a seeded order, again and again.
    if [ ${#order[@]} -eq 0 ]; then
        order=("${faults[@]}")
        for ((i = ${#order[@]} - 1; i > 0; i--)); do
            j=$((RANDOM % (i + 1)))
            tmp=${order[i]}
            order[i]=${order[j]}
            order[j]=$tmp
        done
    fi
    pause=$((20 + RANDOM % 21))
    # Stop injecting when the fault, its recovery and a quiet end no longer fit.
    if [ $(($(date +%s) + pause + 60 + 60)) -gt "$end_s" ]; then
        break
    fi
    sleep "$pause"
    fault=${order[0]}
    order=("${order[@]:1}")
    n=$((n + 1))
    at=$(($(date +%s) - start_s))
    inject "$fault"
    ended=$(unit_now)
    if delay=$(wait_forwarding "$ended" 60); then
        line=$(printf '%3d  %5d s  %-18s resumed after %6.2f s' "$n" "$at" "$fault" \
            "$(awk -v d="$delay" 'BEGIN { printf "%.2f", d / 1000 }')")
    else
        line=$(printf '%3d  %5d s  %-18s NOT RESUMED within 60 s' "$n" "$at" "$fault")
        failed=1
    fi
    echo "$line"
    report+=("$line")
    if ! kill -0 "$bridge_pid" 2>/dev/null; then
        echo "soak: the bridge ended" >&2
        failed=1
        break
    fi
done

# A quiet end: no fault for the rest of the run, then the closing sample.
remaining=$((end_s - $(date +%s)))
[ "$remaining" -gt 0 ] && sleep "$remaining"
grown=1
if kill -0 "$bridge_pid" 2>/dev/null; then
    # A sample can fall into a reconnection; growth must show in several.
    for _ in 1 2 3 4 5; do
        read -r rss1 threads1 fds1 <<<"$(sample)"
        if [ "$fds1" -le "$fds0" ] && [ "$threads1" -le "$threads0" ]; then
            grown=0
            break
        fi
        sleep 2
    done
else
    rss1=- threads1=- fds1=-
fi
final=ok
if ! delay=$(wait_forwarding "$(($(unit_now) - 2000))" 10); then
    final="NOT FORWARDING"
    failed=1
fi

echo
echo "=== Soak report: $minutes min, seed $seed, $n faults ==="
printf '%s\n' "${report[@]}"
echo "forwarding at the end: $final"
echo "bridge RSS (kB):   start $rss0, end $rss1"
echo "bridge threads:    start $threads0, end $threads1"
echo "bridge open fds:   start $fds0, end $fds1"
echo "bridge failure lines (MR>ERROR>): $(grep -c 'MR>ERROR>' bridge.log || true)"
if [ "$grown" -ne 0 ]; then
    echo "RESULT: descriptors or threads grew (or the bridge ended)"
    failed=1
fi
if [ "$failed" -ne 0 ]; then
    echo "RESULT: FAILED"
    exit 1
fi
echo "RESULT: passed"
