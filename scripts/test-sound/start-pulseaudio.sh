#!/bin/bash
# Starts a private PulseAudio for a test (as root is fine) with a null sink
# "test_sink" as the default output and no microphone, and waits until it answers.
# Usage: start-pulseaudio.sh DIR
#   DIR holds the socket, the log and one NAME.pid per process; the lines printed
#   on standard output are the variables for its clients (DIR/env exports them:
#   ". DIR/env").
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
load-module module-null-sink sink_name=test_sink format=float32le rate=48000 channels=2 sink_properties=device.description=TestSink
set-default-sink test_sink
PA
# No daemonizing (its pid is ours to stop), no shared-memory files (the sandbox's
# /dev/shm belongs to the ring), no idle exit.
pulseaudio --daemonize=no --exit-idle-time=-1 --enable-memfd=no --disable-shm=yes -n -F "$dir/default.pa" \
    --log-target=file:"$dir/pulseaudio.log" --log-level=notice </dev/null >/dev/null 2>&1 &
echo $! > "$dir/pulseaudio.pid"
up=0
for _ in $(seq 200); do
    if pactl info >/dev/null 2>&1; then up=1; break; fi
    kill -0 "$(cat "$dir/pulseaudio.pid")" 2>/dev/null || break
    sleep 0.05
done
if [ $up = 0 ]; then
    echo "start-pulseaudio: the server did not start" >&2
    cat "$dir/pulseaudio.log" >&2 || true
    exit 1
fi
# An idle null sink runs in 2 s blocks, so a recording would start late: keep a
# silent stream on it and restart its timer with one suspend/resume.
pacat --playback -d test_sink --raw --format=float32le --rate=48000 --channels=2 --latency-msec=20 \
    --client-name=keepalive </dev/zero >/dev/null 2>&1 &
echo $! > "$dir/keepalive.pid"
for _ in $(seq 200); do
    pactl list sink-inputs short | grep -q . && break
    sleep 0.05
done
pactl suspend-sink test_sink 1
pactl suspend-sink test_sink 0
vars=$(printf 'XDG_RUNTIME_DIR=%s\nPULSE_SERVER=%s\nPULSE_COOKIE=%s' "$XDG_RUNTIME_DIR" "$PULSE_SERVER" \
    "$PULSE_COOKIE")
sed 's/^/export /' <<<"$vars" > "$dir/env"
echo "$vars"
