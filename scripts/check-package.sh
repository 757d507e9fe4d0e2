#!/usr/bin/env bash
# Usage: scripts/check-package.sh [build-dir]
# CI check of the two Debian packages, as root and without starting any
# service: builds them (and, from the same build tree, a later version whose
# example configuration differs), runs lintian (any error or warning fails),
# looks inside, installs both, runs the installed programs and manual pages,
# verifies the unit and its sandbox, runs the installed bridge as the service
# user against the installed emulators (unit search, a calibration saved into
# the configuration), upgrades unattended to the later version (the calibrated
# configuration must survive), then removes and purges both packages.
# Any failed step fails the script; the machine is left without the packages.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-package}
name=patient-simulator-monitor-relay
emulators=$name-emulators
next_version=1.0.0+upgradecheck1
user=psmrelay
bin=/usr/bin/PatientSimulatorMonitorRelay
confdir=/etc/$name
statedir=/var/lib/$name
template=/usr/share/$name/bridge.xml
unit=/lib/systemd/system/$name.service
docdir=/usr/share/doc/$name
started=$(date +%s)

fail() {
    echo "check-package: FAILED: $*" >&2
    exit 1
}
step() { echo "check-package: $*"; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

[ "$(id -u)" -eq 0 ] || fail "must run as root (it installs the packages)"
for pkg in "$name" "$emulators"; do
    installed "$pkg" && fail "$pkg is already installed on this machine; remove it first"
done
missing=()
command -v man >/dev/null || missing+=(man-db groff-base)
command -v lintian >/dev/null || missing+=(lintian)
if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

work=$(mktemp -d)
pids=()
cleanup() {
    # unshare ignores SIGTERM while it waits; its death kills the namespace.
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    # Whatever failed, do not leave the packages (or the user) on the machine.
    for pkg in "$emulators" "$name"; do
        if dpkg-query -W "$pkg" >/dev/null 2>&1; then dpkg -P "$pkg" >/dev/null 2>&1 || true; fi
    done
    rm -rf "$work"
}
trap cleanup EXIT

step "building the packages"
bash "$here/scripts/package.sh" "$build" > "$work/paths" || fail "package.sh"
mapfile -t debs < <(tail -n 2 "$work/paths")
mkdir "$work/v1" "$work/v2"
[ ${#debs[@]} -eq 2 ] && cp "${debs[@]}" "$work/v1/" || fail "package.sh printed no .deb paths"
deb=$work/v1/$(basename "${debs[0]}")
emudeb=$work/v1/$(basename "${debs[1]}")
step "built $(basename "$deb") and $(basename "$emudeb")"
# The later version from the same build tree: only the changelog and the
# example differ, so nothing is compiled again.
bash "$here/scripts/package.sh" --next "$next_version" "$build" > "$work/paths" || fail "package.sh --next"
mapfile -t debs < <(tail -n 2 "$work/paths")
[ ${#debs[@]} -eq 2 ] && cp "${debs[@]}" "$work/v2/" || fail "package.sh --next printed no .deb paths"
step "built version $next_version for the upgrade ($(($(date +%s) - started)) s so far)"

# Errors and warnings fail; informational tags are printed for the record.
lintian --fail-on error,warning --display-info "$deb" "$emudeb" > "$work/lintian" 2>&1 ||
    fail "lintian: $(cat "$work/lintian")"
grep -v 'running with root privileges' "$work/lintian" || true
step "lintian reports no error or warning"

# dh_compress compresses the larger documents: either name will do.
contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's#^\.##; s#^\(/usr/share/doc/.*\)\.gz$#\1#'; }
contents "$deb" > "$work/contents"
contents "$emudeb" > "$work/emucontents"
for path in "$bin" "$unit" /usr/share/man/man1/PatientSimulatorMonitorRelay.1.gz "$template" \
    "$docdir/README.Debian" "$docdir/examples/bridge.xml" "$docdir/copyright" "$docdir/changelog" \
    "$docdir/examples/prometheus.yml" "$docdir/examples/grafana-dashboard.json"; do
    grep -qx "$path" "$work/contents" || fail "$name lacks $path"
done
for path in /usr/bin/relay-unit-emulator /usr/bin/sim-server-emulator \
    /usr/share/man/man1/relay-unit-emulator.1.gz /usr/share/man/man1/sim-server-emulator.1.gz \
    "/usr/share/doc/$emulators/README.relay-unit-emulator.md" \
    "/usr/share/doc/$emulators/README.sim-server-emulator.md" "/usr/share/doc/$emulators/copyright"; do
    grep -qx "$path" "$work/emucontents" || fail "$emulators lacks $path"
done
grep -q "^$confdir" "$work/contents" && fail "$name ships files in $confdir: $(grep "^$confdir" "$work/contents")"
grep -q "README.md" "$work/contents" && fail "$name ships the developers' README"
[ -z "$(dpkg-deb -I "$deb" conffiles 2>/dev/null)" ] || fail "$name has conffiles: the configuration is the bridge's"
depends=$(dpkg-deb -f "$deb" Depends)
# Libraries in Depends show that dpkg-shlibdeps looked at the binaries.
for dep in adduser libboost-program-options libc6 libstdc++6 libsystemd0; do
    [[ $depends == *"$dep"* ]] || fail "Depends of $name lacks $dep: $depends"
done
[[ $depends == *ncurses* || $depends == *libtinfo* ]] && fail "the bridge depends on curses: $depends"
starts='systemctl +(--[a-z-]+ +)*(enable|start|restart)|deb-systemd-helper +enable'
starts+='|deb-systemd-invoke +(start|restart)'
if dpkg-deb -I "$deb" postinst | grep -v 'was-enabled' | grep -Eq "$starts"; then
    # Re-enabling what the administrator enabled before (debhelper's snippet) is fine.
    dpkg-deb -I "$deb" postinst | grep -E "$starts" | grep -vq "deb-systemd-helper enable" &&
        fail "postinst enables or starts the service"
fi
grep -q 'IPAddress></IPAddress>' <(dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$template") ||
    fail "the service's first configuration has a fixed unit address"
step "contents, control fields and maintainer scripts are right"

# Unattended, as an update tool would run it: no terminal and no answers.
apt_install() { setsid -w apt-get install -y -q "$@" < /dev/null; }
apt_install "$deb" "$emudeb" > "$work/install.log" 2>&1 || fail "installing: $(tail -n 20 "$work/install.log")"
installed "$name" && installed "$emulators" || fail "the packages are not installed"
cmp -s "$template" "$confdir/bridge.xml" || fail "$confdir/bridge.xml is not the service's first configuration"
# Calibration saves need both writable by the service user.
for path in "$confdir" "$confdir/bridge.xml"; do
    [ "$(stat -c %U "$path")" = "$user" ] || fail "$path is not owned by $user"
done
version=$(dpkg-query -W -f='${Version}' "$name")
for program in "$bin" relay-unit-emulator sim-server-emulator; do
    expected="$(basename "$program") ${version%%+*}"
    [ "$("$program" --version)" = "$expected" ] || fail "$program --version is not '$expected'"
done
"$bin" --help > "$work/help" || fail "$bin --help exited $?"
grep -q 'PatientSimulatorMonitorRelay Usage' "$work/help" || fail "--help printed no usage listing"
step "installed; the programs run and print their version"

# Every manual page renders without warnings and describes every option of --help.
for program in PatientSimulatorMonitorRelay relay-unit-emulator sim-server-emulator; do
    page=/usr/share/man/man1/$program.1.gz
    LC_ALL=C MANWIDTH=80 man --warnings -l "$page" > "$work/man" 2> "$work/man.err" || fail "man -l $page exited $?"
    [ -s "$work/man.err" ] && fail "man -l $page warned: $(cat "$work/man.err")"
    grep -q '^NAME' "$work/man" || fail "$page rendered without a NAME section"
    "$program" --help > "$work/help" || fail "$program --help exited $?"
    for option in $(grep -o -- '--[a-z][a-z-]*' "$work/help" | sort -u); do
        grep -q -- "$option" "$work/man" || fail "$page does not describe $option"
    done
done
step "manual pages render and describe every option of --help"

if command -v systemd-analyze >/dev/null; then
    # Also checks that ExecStart exists and that the man page it names is there.
    systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
    exposure=$(systemd-analyze security --offline=yes "$unit" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
    [ -n "$exposure" ] || fail "systemd-analyze security printed no exposure level"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' || fail "the unit's exposure is $exposure, above 1.5"
    step "systemd-analyze verify accepts the unit; its exposure level is $exposure"
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

# The service's own set-up, without systemd: the installed bridge as the
# service user in the state directory, on the installed configuration pointed
# at the installed unit emulator, records the unit's address there, and a
# calibration steered from the installed server emulator rewrites the
# configuration and leaves its backup beside it; SIGTERM then ends it with 0.
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
        cd '$statedir' || exit 1
        setpriv --reuid '$user' --regid '$user' --init-groups '$bin' --configfile '$confdir/bridge.xml' &
        bridge=\$!
        # The stop is sent from inside: pids here are the namespace's own.
        while [ ! -e '$work/stop' ]; do sleep 0.1; done
        kill -TERM \$bridge; wait \$bridge; echo \"exit \$?\" > '$work/bridge.status'" \
        > "$work/bridge.log" 2>&1 &
    pids+=($!)
    wait_for "$work/bridge.log" "input HW_PATMON_CALIB_ARG1 as ID"
    [ "$(cat "$statedir/_lastconnectedIPAddress.txt")" = "127.0.0.2" ] ||
        fail "no last-connected address in $statedir"
    [ "$(stat -c %U "$statedir/_lastconnectedIPAddress.txt")" = "$user" ] ||
        fail "the last-connected file is not owned by $user"
    step "the installed bridge, as $user in $statedir, found the installed unit emulator"

    echo "calib 1 0" >&3
    wait_for "$work/bridge.log" "MR>CALIBRATION>Start/reset calibration"
    echo "calib 30 93" >&3
    wait_for "$work/bridge.log" "MR>CALIBRATION>Save SPO2 point 93"
    echo "calib 100 0" >&3
    wait_for "$work/bridge.log" "MR>Configuration file has been written at: $confdir/bridge.xml"
    exec 3>&-
    touch "$work/stop"
    wait_for "$work/bridge.status" "exit"
    [ "$(cat "$work/bridge.status")" = "exit 0" ] || fail "SIGTERM ended the bridge with $(cat "$work/bridge.status")"
    wait_for "$work/bridge.log" "MR>Stopping on SIGTERM..."
    # The namespace ends with its shell, and the emulators with it.
    wait "${pids[0]}" || fail "the namespace of the bridge ended with $?"
    pids=()
    grep -q 'key="93"' "$confdir/bridge.xml" || fail "the calibration did not reach $confdir/bridge.xml"
    compgen -G "$confdir/bridge.xml.*.bak" >/dev/null || fail "the calibration left no backup in $confdir"
    marker='key="93"'
    step "a calibration by $user rewrote $confdir/bridge.xml and kept a backup; SIGTERM ended it with 0"
else
    # Without namespaces, what a calibration does: a new file renamed over it.
    runuser -u "$user" -- sh -c "t=\$(mktemp '$confdir/bridge.xml.XXXXXX') &&
        sed 's#<SPO2Scale>[^<]*</SPO2Scale>#<SPO2Scale>7</SPO2Scale>#' '$confdir/bridge.xml' > \"\$t\" &&
        mv \"\$t\" '$confdir/bridge.xml'" || fail "$user cannot replace $confdir/bridge.xml"
    marker='<SPO2Scale>7</SPO2Scale>'
    step "no network namespace here; installed bridge not run"
fi
cp -p "$confdir/bridge.xml" "$work/calibrated.xml"

# The calibrated configuration is the technician's: an unattended upgrade to a
# version with another example goes through and leaves it as it is.
apt_install "$work/v2/"*.deb > "$work/upgrade.log" 2>&1 ||
    fail "the unattended upgrade failed: $(tail -n 20 "$work/upgrade.log")"
[ "$(dpkg-query -W -f='${Version}' "$name")" = "$next_version" ] || fail "the upgrade did not install $next_version"
grep -q "Example of version $next_version" "$docdir/examples/bridge.xml" || fail "the upgrade kept the old example"
cmp -s "$work/calibrated.xml" "$confdir/bridge.xml" || fail "the upgrade changed the calibrated configuration"
grep -qF "$marker" "$confdir/bridge.xml" || fail "the upgrade lost the calibration"
[ "$(stat -c %U "$confdir/bridge.xml")" = "$user" ] || fail "the upgrade took $confdir/bridge.xml from $user"
step "the unattended upgrade to $next_version kept the calibrated configuration"

dpkg -r "$emulators" "$name" || fail "dpkg -r"
for path in "$bin" "$unit" /usr/bin/relay-unit-emulator /usr/bin/sim-server-emulator; do
    [ -e "$path" ] && fail "dpkg -r left $path"
done
cmp -s "$work/calibrated.xml" "$confdir/bridge.xml" || fail "removing (not purging) lost the configuration"
dpkg -P "$emulators" "$name" || fail "dpkg -P"
[ -e "$confdir" ] && fail "purging left $confdir"
[ -e "$statedir" ] && fail "purging left $statedir"
getent passwd "$user" >/dev/null && fail "purging left the user $user"
step "removed (the configuration kept) and purged (everything gone)"
step "all checks passed in $(($(date +%s) - started)) s"
