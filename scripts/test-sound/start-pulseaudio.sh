#!/bin/bash
# Starts a private PulseAudio for a test (as root is fine) with a null sink as
# the speakers and no microphone, and waits until it answers.
# Usage: start-pulseaudio.sh DIR
#   DIR holds the socket, the log and pulseaudio.pid; the lines printed on
#   standard output (also written to DIR/env) are the variables for its clients.
# Runs the server again on the same socket when DIR was used before.
set -euo pipefail
dir=$(cd "${1:?usage: start-pulseaudio.sh DIR}" && pwd)
mkdir -p "$dir/xdg" && chmod 700 "$dir/xdg"
export XDG_RUNTIME_DIR="$dir/xdg"
export PULSE_SERVER="unix:$dir/native"
export PULSE_COOKIE="$dir/cookie"   # never the user's own ~/.config/pulse
cat > "$dir/default.pa" <<PA
.fail
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
load-module module-null-sink sink_name=test_speakers sink_properties=device.description=Test-speakers
load-module module-suspend-on-idle
PA
# No daemonizing (its pid is ours to stop), no shared-memory files (the sandbox's
# /dev/shm belongs to the ring), no idle exit.
pulseaudio --daemonize=no --exit-idle-time=-1 --enable-memfd=no --disable-shm=yes -n -F "$dir/default.pa" \
    --log-target=file:"$dir/pulseaudio.log" --log-level=notice </dev/null >/dev/null 2>&1 &
echo $! > "$dir/pulseaudio.pid"
for _ in $(seq 100); do
    if pactl info >/dev/null 2>&1; then
        printf 'XDG_RUNTIME_DIR=%s\nPULSE_SERVER=%s\nPULSE_COOKIE=%s\n' \
            "$XDG_RUNTIME_DIR" "$PULSE_SERVER" "$PULSE_COOKIE" | tee "$dir/env"
        exit 0
    fi
    kill -0 "$(cat "$dir/pulseaudio.pid")" 2>/dev/null || break
    sleep 0.1
done
echo "start-pulseaudio: the server did not start" >&2
cat "$dir/pulseaudio.log" >&2 || true
exit 1
