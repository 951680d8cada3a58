#!/bin/bash
# A browser phone (Chromium, fake microphone) streaming through the gateway to
# the engine inside the test sandbox, with a private PulseAudio for the
# browser's output, the gateway's trace on, and optionally the Wi-Fi-like front
# between them. Leaves in OUT: trace.gateway (the gateway's trace lines),
# stats.json (the page's stats), gateway.err (how the playout went).
# Usage: devkit/browser_stream.sh BUILD OUT SECONDS MODE [STALL_MS] [LINK_EXTRA]
#   MODE 0 low, 1 normal, 2 steady; STALL_MS > 0 puts the front in between;
#   LINK_EXTRA is added to the page link (e.g. "&capture=worklet").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${SONVALE_IN_SANDBOX:-}" != 1 ]; then exec "$root/scripts/sandbox.sh" "$0" "$@"; fi
build=$(cd "$1" && pwd)
mkdir -p "$2" && out=$(cd "$2" && pwd)
seconds=$3 mode=$4 stall=${5:-0} extra=${6:-}
pin=4711
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    [ -f "$work/sound/pulseaudio.pid" ] && "$root/scripts/test-sound/stop.sh" "$work/sound" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/sound" "$work/data"
"$root/scripts/test-sound/start-pulseaudio.sh" "$work/sound" >/dev/null
. "$work/sound/env"
sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 1 sine 1000 vol 0.5
rm -f "$out/trace.gateway"
"$build/libexec/tarnwell/sonvale-engine" --pin "$pin" >"$out/engine.err" 2>&1 &
pids+=($!)
mkfifo "$work/gateway.in"
XDG_DATA_HOME="$work/data" SONVALE_TRACE="$out/trace" "$build/libexec/tarnwell/sonvale-web" \
    <"$work/gateway.in" >"$work/gateway.out" 2>"$out/gateway.err" &
pids+=($!)
exec 3>"$work/gateway.in"
echo "$pin" >&3
for _ in $(seq 300); do grep -q '"ready"' "$work/gateway.out" 2>/dev/null && break; sleep 0.1; done
port=47812
if [ "$stall" -gt 0 ]; then
    port=47813
    node "$root/devkit/wifi_front.mjs" "$work/data" $port 47812 "$stall" >"$work/front.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q ready "$work/front.out" 2>/dev/null && break; sleep 0.1; done
fi
node "$root/devkit/browser_phone.mjs" "https://127.0.0.1:$port/#pin=$pin$extra" "$seconds" "$work/tone.wav" "$mode" \
    >"$out/stats.json"
sleep 1
