#!/bin/sh
# Starts a private, headless PulseAudio server for tests (root is fine) with one
# null sink "test_sink" as the default output. Clients reach it through the
# variables in DIR/env:  . DIR/env
# Further devices are added with pactl, e.g.
#   pactl load-module module-null-source source_name=X source_properties=device.description=Y
# Usage: start-pulse.sh DIR        (stop it with stop-pulse.sh DIR)
set -eu
dir=${1:?usage: start-pulse.sh DIR}
mkdir -p "$dir/xdg"
chmod 700 "$dir/xdg"
cat > "$dir/env" <<ENV
export XDG_RUNTIME_DIR='$dir/xdg'
export PULSE_SERVER='unix:$dir/native'
export PULSE_COOKIE='$dir/cookie'
ENV
. "$dir/env"
cat > "$dir/default.pa" <<PA
.fail
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
load-module module-null-sink sink_name=test_sink format=float32le rate=48000 channels=2 sink_properties=device.description=TestSink
set-default-sink test_sink
PA
pulseaudio --daemonize=no --exit-idle-time=-1 --enable-memfd=no --system=no -n -F "$dir/default.pa" \
    --log-target=file:"$dir/pulse.log" --log-level=notice </dev/null >/dev/null 2>&1 &
echo $! > "$dir/pulse.pid"
i=0
until pactl info >/dev/null 2>&1; do
    i=$((i + 1))
    [ $i -gt 100 ] && { echo "start-pulse: pulseaudio did not start" >&2; cat "$dir/pulse.log" >&2; exit 1; }
    sleep 0.05
done
# An idle null sink sleeps in 2 s blocks, so a recording would start late: keep a
# silent stream on it and restart its timer with one suspend/resume.
pacat --playback -d test_sink --raw --format=float32le --rate=48000 --channels=2 --latency-msec=20 \
    --client-name=keepalive </dev/zero >/dev/null 2>&1 &
echo $! > "$dir/keepalive.pid"
i=0
until pactl list sink-inputs short | grep -q .; do
    i=$((i + 1))
    [ $i -gt 100 ] && { echo "start-pulse: keep-alive stream did not connect" >&2; exit 1; }
    sleep 0.05
done
pactl suspend-sink test_sink 1
pactl suspend-sink test_sink 0
