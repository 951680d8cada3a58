#!/bin/sh
# Starts a D-Bus system bus (when none runs) and avahi-daemon inside the test
# sandbox, and waits until the daemon serves requests. Refuses to run outside the
# sandbox so that no mDNS ever leaves the machine.
# Usage: start-avahi.sh DIR [--host-name NAME]      (stop it with stop-avahi.sh)
set -eu
[ "${SONVALE_IN_SANDBOX:-}" = 1 ] || { echo "start-avahi: run me inside scripts/sandbox.sh" >&2; exit 2; }
dir=${1:?usage: start-avahi.sh DIR [--host-name NAME]}
host=""
[ "${2:-}" = --host-name ] && host=${3:?}
mkdir -p "$dir"
conf="$dir/avahi-daemon.conf"
{
    printf '[server]\n'
    [ -n "$host" ] && printf 'host-name=%s\n' "$host"
    printf 'use-ipv4=yes\nuse-ipv6=no\nenable-dbus=yes\nratelimit-interval-usec=0\n'
    printf '[wide-area]\nenable-wide-area=no\n'
    printf '[publish]\npublish-hinfo=no\npublish-workstation=no\npublish-aaaa-on-ipv4=no\n'
} > "$conf"
if [ ! -S /run/dbus/system_bus_socket ]; then
    dbus-daemon --system --fork
fi
avahi-daemon --daemonize --no-chroot --no-drop-root --no-rlimits -f "$conf"
i=0
while :; do
    state=$(dbus-send --system --print-reply=literal --dest=org.freedesktop.Avahi / \
        org.freedesktop.Avahi.Server.GetState 2>/dev/null | tr -d ' ') || true
    [ "$state" = int322 ] && exit 0
    i=$((i + 1))
    [ $i -gt 500 ] && { echo "start-avahi: avahi-daemon did not become ready" >&2; exit 1; }
    sleep 0.02
done
