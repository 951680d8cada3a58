#!/bin/sh
# Stops the server that start-pulse.sh DIR started (only those processes, by PID)
# and waits until they are gone.
# Usage: stop-pulse.sh DIR
dir=${1:?usage: stop-pulse.sh DIR}
for name in keepalive pulse; do
    [ -f "$dir/$name.pid" ] || continue
    pid=$(cat "$dir/$name.pid")
    rm -f "$dir/$name.pid"
    kill "$pid" 2>/dev/null || continue
    i=0
    while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do i=$((i + 1)); sleep 0.02; done
done
