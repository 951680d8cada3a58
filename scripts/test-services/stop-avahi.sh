#!/bin/sh
# Stops the avahi-daemon of this (sandbox) mount namespace through its own PID
# file and waits until it is gone; the D-Bus bus keeps running.
# Usage: stop-avahi.sh
pidfile=/run/avahi-daemon/pid
[ -f "$pidfile" ] || exit 0
pid=$(cat "$pidfile")
avahi-daemon --kill 2>/dev/null || kill "$pid" 2>/dev/null || true
i=0
while kill -0 "$pid" 2>/dev/null && [ $i -lt 250 ]; do i=$((i + 1)); sleep 0.02; done
