#!/usr/bin/env bash
# Usage: scripts/check-package.sh [build-dir]
# CI check of the Debian package, as root and without starting any service:
# builds it, looks inside, installs it on this machine, runs the installed
# program and manual page, verifies the unit, runs the bridge as the service
# user against both emulators (unit search, a calibration saved into the
# installed configuration), reinstalls, then removes and purges the package.
# Any failed step fails the script; the machine is left without the package.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
name=patient-simulator-monitor-relay
user=psmrelay
bin=/usr/bin/PatientSimulatorMonitorRelay
confdir=/etc/$name
statedir=/var/lib/$name
unit=/lib/systemd/system/$name.service
page=/usr/share/man/man1/PatientSimulatorMonitorRelay.1.gz

fail() {
    echo "check-package: FAILED: $*" >&2
    exit 1
}
step() { echo "check-package: $*"; }
installed() { dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'ok installed'; }

[ "$(id -u)" -eq 0 ] || fail "must run as root (it installs the package)"
installed && fail "$name is already installed on this machine; remove it first"
if ! command -v man >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q man-db groff-base
fi

work=$(mktemp -d)
pids=()
cleanup() {
    # unshare ignores SIGTERM while it waits; its death kills the namespace.
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    # Whatever failed, do not leave the package (or its user) on the machine.
    if dpkg-query -W "$name" >/dev/null 2>&1; then dpkg -P "$name" >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

step "building the package"
deb=$(bash "$here/scripts/package.sh" "$@" | tail -n 1) || fail "package.sh"
[ -f "$deb" ] || fail "package.sh printed no .deb path (got '$deb')"
step "built $deb"

dpkg-deb -c "$deb" | awk '{print $NF}' > "$work/contents"
for path in "$bin" /usr/bin/relay-unit-emulator /usr/bin/sim-server-emulator "$confdir/bridge.xml" \
    "$unit" "$page" "/usr/share/doc/$name/bridge.xml"; do
    grep -qx "\.$path" "$work/contents" || fail "the package lacks $path"
done
conffiles=$(dpkg-deb -I "$deb" conffiles)
[ "$conffiles" = "$confdir/bridge.xml" ] || fail "conffiles is '$conffiles', not $confdir/bridge.xml"
[ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || fail "wrong package name"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer field"
depends=$(dpkg-deb -f "$deb" Depends)
# Libraries in Depends show that dpkg-shlibdeps looked at the binaries.
for dep in adduser libboost-program-options libc6 libstdc++6; do
    [[ $depends == *"$dep"* ]] || fail "Depends lacks $dep: $depends"
done
starts='systemctl +(--[a-z-]+ +)*(enable|start|restart)|deb-systemd-helper +enable'
starts+='|deb-systemd-invoke +(start|restart)'
if dpkg-deb -I "$deb" postinst | grep -Eq "$starts"; then
    fail "postinst enables or starts the service"
fi
grep -q 'IPAddress></IPAddress>' <(dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$confdir/bridge.xml") ||
    fail "the service's configuration has a fixed unit address"
step "contents, control fields and conffiles are right"

if ! dpkg -i "$deb"; then
    # A fresh machine may lack a dependency (adduser, say): apt brings it and
    # finishes the installation dpkg began.
    DEBIAN_FRONTEND=noninteractive apt-get install -f -y -q || fail "dpkg -i"
fi
installed || fail "dpkg -i left the package not installed"
"$bin" --help > "$work/help" || fail "$bin --help exited $?"
grep -q 'PatientSimulatorMonitorRelay Usage' "$work/help" || fail "--help printed no usage listing"
# Calibration saves need both writable by the service user.
for path in "$confdir" "$confdir/bridge.xml"; do
    [ "$(stat -c %U "$path")" = "$user" ] || fail "$path is not owned by $user"
done
step "installed; $bin --help runs"

LC_ALL=C MANWIDTH=80 man --warnings -l "$page" > "$work/man" 2> "$work/man.err" || fail "man -l exited $?"
[ -s "$work/man.err" ] && fail "man -l warned: $(cat "$work/man.err")"
grep -q '^NAME' "$work/man" || fail "the manual page rendered without a NAME section"
for option in $(grep -o -- '--[a-z]\+' "$work/help" | sort -u); do
    grep -q -- "$option" "$work/man" || fail "the manual page does not describe $option"
done
step "manual page renders and describes every option of --help"

if command -v systemd-analyze >/dev/null; then
    # Also checks that ExecStart exists and that the man page it names is there.
    systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
    step "systemd-analyze verify accepts the unit"
else
    step "no systemd-analyze here; unit not verified"
fi

# Waits until the file holds a line with the text, or fails after 15 s.
wait_for() {
    local file=$1 text=$2
    for _ in $(seq 150); do
        grep -qF -- "$text" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "no '$text' in $file within 15 s: $(tail -n 20 "$file")"
}

# The service's own set-up, without systemd: the bridge as the service user in
# the state directory, on the installed configuration pointed at an emulated
# unit, records the unit's address there, and a calibration steered from the
# emulated server rewrites the configuration and leaves its backup beside it.
# Private network and PID namespaces keep the fixed ports away from anything
# else and end every program when unshare ends.
if unshare -n -p -f --mount-proc true 2>/dev/null; then
    runuser -u "$user" -- sed -i 's#<IPAddress>[^<]*</IPAddress>#<IPAddress>127.0.0.2</IPAddress>#' \
        "$confdir/bridge.xml" || fail "$user cannot edit $confdir/bridge.xml"
    mkfifo "$work/server-commands"
    # Opened for reading too, so that opening never waits for the server.
    exec 3<> "$work/server-commands"
    unshare -n -p -f --mount-proc --kill-child sh -c "ip link set lo up || exit 1
        relay-unit-emulator --address 127.0.0.2 > '$work/unit.log' 2>&1 &
        sim-server-emulator --idle < '$work/server-commands' > '$work/server.log' 2>&1 &
        cd '$statedir' && exec runuser -u '$user' -- '$bin' --configfile '$confdir/bridge.xml'" \
        > "$work/bridge.log" 2>&1 &
    pids+=($!)
    wait_for "$work/bridge.log" "input HW_PATMON_CALIB_ARG1 as ID"
    [ "$(cat "$statedir/_lastconnectedIPAddress.txt")" = "127.0.0.2" ] ||
        fail "no last-connected address in $statedir"
    [ "$(stat -c %U "$statedir/_lastconnectedIPAddress.txt")" = "$user" ] ||
        fail "the last-connected file is not owned by $user"
    step "the installed bridge, as $user in $statedir, found the emulated unit"

    echo "calib 1 0" >&3
    wait_for "$work/bridge.log" "MR>CALIBRATION>Start/reset calibration"
    echo "calib 30 93" >&3
    wait_for "$work/bridge.log" "MR>CALIBRATION>Save SPO2 point 93"
    echo "calib 100 0" >&3
    wait_for "$work/bridge.log" "MR>Configuration file has been written at: $confdir/bridge.xml"
    exec 3>&-
    kill -KILL "${pids[0]}"
    wait "${pids[0]}" 2>/dev/null || true
    pids=()
    grep -q 'key="93"' "$confdir/bridge.xml" || fail "the calibration did not reach $confdir/bridge.xml"
    compgen -G "$confdir/bridge.xml.*.bak" >/dev/null || fail "the calibration left no backup in $confdir"
    marker='key="93"'
    step "a calibration by $user rewrote $confdir/bridge.xml and kept a backup"
else
    # Without namespaces, what a calibration does: a new file renamed over it.
    runuser -u "$user" -- sh -c "t=\$(mktemp '$confdir/bridge.xml.XXXXXX') &&
        sed 's#<SPO2Scale>[^<]*</SPO2Scale>#<SPO2Scale>7</SPO2Scale>#' '$confdir/bridge.xml' > \"\$t\" &&
        mv \"\$t\" '$confdir/bridge.xml'" || fail "$user cannot replace $confdir/bridge.xml"
    marker='<SPO2Scale>7</SPO2Scale>'
    step "no network namespace here; installed bridge not run"
fi

# The calibrated configuration is the user's: an upgrade keeps it.
dpkg -i "$deb" || fail "dpkg -i over the installed package"
grep -qF "$marker" "$confdir/bridge.xml" || fail "reinstalling replaced the calibrated configuration"
[ "$(stat -c %U "$confdir/bridge.xml")" = "$user" ] || fail "reinstalling took $confdir/bridge.xml from $user"
step "reinstalling keeps the calibrated configuration"

dpkg -r "$name" || fail "dpkg -r"
[ -e "$bin" ] && fail "dpkg -r left $bin"
[ -e "$unit" ] && fail "dpkg -r left $unit"
dpkg -P "$name" || fail "dpkg -P"
[ -e "$confdir" ] && fail "purging left $confdir"
[ -e "$statedir" ] && fail "purging left $statedir"
getent passwd "$user" >/dev/null && fail "purging left the user $user"
step "removed and purged"
step "all checks passed"
