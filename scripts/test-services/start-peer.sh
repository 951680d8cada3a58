#!/bin/bash
# Creates a second network namespace (the "phone") joined to this sandbox by a
# veth pair (10.77.0.1/24 here on "vcomputer", 10.77.0.2/24 there on "vphone"),
# with its own D-Bus bus and avahi-daemon, so that DNS-SD is seen over a real
# multicast link. Both addresses exist only inside these two namespaces.
# Writes the PID of a process inside the peer to DIR/peer.pid; run commands there
# with: nsenter -t "$(cat DIR/peer.pid)" -n -m COMMAND
# Usage: start-peer.sh DIR     (everything ends with the sandbox)
set -euo pipefail
[ "${SONVALE_IN_SANDBOX:-}" = 1 ] || { echo "start-peer: run me inside scripts/sandbox.sh" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:?usage: start-peer.sh DIR}
mkdir -p "$dir"
unshare --net --mount --propagation private sleep infinity </dev/null >/dev/null 2>&1 &
peer=$!
# unshare execs sleep, so $! runs in the new namespaces once it has exec'd.
for _ in $(seq 1 100); do
    [ "$(readlink "/proc/$peer/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.01
done
echo "$peer" > "$dir/peer.pid"
ip link add vcomputer type veth peer name vphone netns "$peer"
ip addr add 10.77.0.1/24 dev vcomputer
ip link set vcomputer up
nsenter -t "$peer" -n -m bash -ec "
    ip link set lo up
    ip addr add 10.77.0.2/24 dev vphone
    ip link set vphone up
    for d in /run/dbus /run/avahi-daemon; do mkdir -p \$d; mount -t tmpfs -o mode=755 tmpfs \$d; done
    '$here/start-avahi.sh' '$dir/peer-avahi' --host-name phone"
