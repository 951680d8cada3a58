#!/bin/bash
# Stops the sound-server processes that a start script of this folder started in
# DIR (pulseaudio.pid, or the PipeWire set), newest first, and waits for them.
# Usage: stop.sh DIR [NAME...]   (NAME: keepalive, pulseaudio, pipewire-pulse, wireplumber, pipewire, dbus)
set -uo pipefail
dir=${1:?usage: stop.sh DIR [NAME...]}
shift
names=("$@")
[ ${#names[@]} -eq 0 ] && names=(keepalive pulseaudio pipewire-pulse wireplumber pipewire dbus)
for name in "${names[@]}"; do
    file="$dir/$name.pid"
    [ -f "$file" ] || continue
    pid=$(cat "$file")
    rm -f "$file"
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
done
exit 0
