#!/bin/sh
# Runs a test program in a private network namespace with only loopback up,
# so tests that bind fixed ports cannot collide with each other or the host.
if [ "$1" = "--check" ]; then
    unshare -n sh -c 'ip link set lo up' 2>/dev/null && exit 0
    unshare -rn sh -c 'ip link set lo up' 2>/dev/null && exit 0
    exit 1
fi
if unshare -n true 2>/dev/null; then
    exec unshare -n sh -c 'ip link set lo up && exec "$@"' netns-run "$@"
fi
exec unshare -rn sh -c 'ip link set lo up && exec "$@"' netns-run "$@"
