#!/bin/bash
# Runs a command inside private network, mount, UTS and PID namespaces: only a
# loopback interface, a private /dev/shm (the ring), /run/dbus and
# /run/avahi-daemon. Fixed ports and the ring name never collide with anything
# outside, no packet leaves, and every process dies with the command.
# Usage: scripts/sandbox.sh COMMAND [ARG...]
set -euo pipefail
if [ "${SONVALE_IN_SANDBOX:-}" = 1 ]; then exec "$@"; fi
if [ "$(id -u)" -ne 0 ]; then exec sudo --preserve-env "$0" "$@"; fi
exec unshare --net --mount --uts --pid --fork --mount-proc --kill-child --propagation private \
    bash -c '
        set -e
        ip link set lo up
        for d in /dev/shm /run/dbus /run/avahi-daemon; do
            mkdir -p "$d"
            mount -t tmpfs -o mode=1777 tmpfs "$d"
        done
        hostname sonvale-test
        export SONVALE_IN_SANDBOX=1
        "$@"
    ' sandbox "$@"
