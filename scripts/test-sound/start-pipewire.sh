#!/bin/bash
# Starts a private PipeWire for a test: a session bus, pipewire, wireplumber and
# pipewire-pulse (the PulseAudio protocol), and waits until the pulse side
# answers and has a sink to play to.
# Usage: start-pipewire.sh DIR
#   DIR holds the runtime folder, the logs and one NAME.pid per process; the
#   lines printed on standard output (exported by DIR/env) are the variables
#   for its clients.
set -euo pipefail
dir=$(cd "${1:?usage: start-pipewire.sh DIR}" && pwd)
mkdir -p "$dir/xdg" "$dir/config" "$dir/state" && chmod 700 "$dir/xdg"
export XDG_RUNTIME_DIR="$dir/xdg"
export XDG_CONFIG_HOME="$dir/config"   # never the user's own settings
export XDG_STATE_HOME="$dir/state"
export PULSE_SERVER="unix:$dir/xdg/pulse/native"
export PULSE_COOKIE="$dir/cookie"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile </dev/null \
    >"$dir/dbus.log" 2>&1 &
echo $! > "$dir/dbus.pid"
for _ in $(seq 50); do [ -S "$dir/bus" ] && break; sleep 0.1; done
start() {  # NAME COMMAND...
    local name=$1
    shift
    "$@" </dev/null >"$dir/$name.log" 2>&1 &
    echo $! > "$dir/$name.pid"
}
start pipewire pipewire
for _ in $(seq 50); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
start wireplumber wireplumber
start pipewire-pulse pipewire-pulse
for _ in $(seq 100); do
    if pactl info >/dev/null 2>&1; then
        vars=$(printf 'XDG_RUNTIME_DIR=%s\nXDG_CONFIG_HOME=%s\nXDG_STATE_HOME=%s\nPULSE_SERVER=%s\nPULSE_COOKIE=%s\nDBUS_SESSION_BUS_ADDRESS=%s' \
            "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$PULSE_SERVER" "$PULSE_COOKIE" \
            "$DBUS_SESSION_BUS_ADDRESS")
        sed 's/^/export /' <<<"$vars" > "$dir/env"
        echo "$vars"
        exit 0
    fi
    sleep 0.1
done
echo "start-pipewire: pipewire-pulse did not answer" >&2
tail -n 20 "$dir"/*.log >&2 || true
exit 1
