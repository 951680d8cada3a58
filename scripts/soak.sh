#!/bin/bash
# Long soak and chaos runs against the real engine, each in its own sandbox, and
# docs/reliability.md written from what they measured.
# Usage: scripts/soak.sh BUILD_DIR [STREAM_SECONDS] [CONNECTIONS] [KILLS]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-600}
connections=${3:-1000}
kills=${4:-100}
out=$root/docs/reliability.md
shown=${build#"$root"/}  # the build folder as a reader would type it
sandbox=$root/scripts/sandbox.sh
mkdir -p "$root/docs"

run() {  # run NAME COMMAND...: prints the JSON line of the run
    local name=$1
    shift
    echo "== $name: $*" >&2
    "$sandbox" "$@" | tail -n1
}

stream=$(run stream "$build/bin/soak_engine" stream "$seconds")
abuse=$(run abuse "$build/bin/soak_engine" abuse "$connections")
restarts=""
if [ -x "$build/bin/soak_restarts" ]; then
    restarts=$(run restarts "$build/bin/soak_restarts" "$kills" "$build/libexec/tarnwell/sonvale-engine" 1500)
fi

field() { python3 -c 'import json,sys; print(json.loads(sys.argv[1]).get(sys.argv[2], ""))' "$1" "$2"; }
verdict() { [ "$(field "$1" pass)" = True ] && echo pass || echo FAIL; }

{
    echo "# Reliability"
    echo
    echo "Written by \`make soak\` on $(date -u +%Y-%m-%d) ($(uname -srm), $(nproc) cores)."
    echo "Every run starts the real engine in a private network namespace."
    echo
    echo "| run | load held | faults survived | bad inputs tried | data lost | result | reproduce |"
    echo "|---|---|---|---|---|---|---|"
    echo "| streaming with impairments | $(field "$stream" seconds) s real-time stream, $(field "$stream" packets_sent) datagrams; engine CPU $(field "$stream" cpu_percent_of_core) % of a core; RSS $(field "$stream" rss_kb_after_warmup) kB after warm-up, $(field "$stream" rss_kb_end) kB at the end | 10 % loss, 5 % reordering, 2 % duplicates, 30 ms jitter | — | $(( $(field "$stream" frames_expected) - $(field "$stream" frames_written) )) frames (written $(field "$stream" frames_written) = played + concealed $(field "$stream" frames_expected)) | $(verdict "$stream") | \`scripts/sandbox.sh $shown/bin/soak_engine stream $seconds\` |"
    echo "| control and datagram abuse | a phone streaming and pinging throughout ($(field "$abuse" packets_sent) packets, missed pings $(field "$abuse" missed_pings), slowest ping $(field "$abuse" max_ping_ms) ms) | $(field "$abuse" connections) connections dropped mid-line, after hello, during a flood, idle | $(field "$abuse" garbage_datagrams) garbage datagrams from an unpaired host; lines of every length up to and past 65536 bytes | $(( $(field "$abuse" frames_expected) - $(field "$abuse" frames_written) )) of the phone's $(field "$abuse" frames_expected) frames | $(verdict "$abuse") | \`scripts/sandbox.sh $shown/bin/soak_engine abuse $connections\` |"
    if [ -n "$restarts" ]; then
        echo "| engine killed under the controller | $(field "$restarts" kills) SIGKILLs; slowest relaunch $(field "$restarts" max_relaunch_ms) ms; PIN kept: $([ "$(field "$restarts" same_pin)" = True ] && echo yes || echo no) | SIGKILL of the engine | — | engines at once at most $(field "$restarts" max_engines); zombies $(field "$restarts" zombies) | $(verdict "$restarts") | \`scripts/sandbox.sh $shown/bin/soak_restarts $kills $shown/libexec/tarnwell/sonvale-engine 1500\` |"
    fi
    echo
    echo "Fuzzing (\`make fuzz\`) runs libFuzzer on the packet decoder, the control stream (with its mode lines),"
    echo "the jitter buffer and the pairing URL parser; \`make test\` replays the saved corpus in fuzz/corpus."
} > "$out"
# The gateway's abuse run adds its section; a defence that did not hold fails the run.
gateway=""
if [ -x "$build/bin/soak_web" ]; then
    echo "== gateway: $build/bin/soak_web --expect-defences" >&2
    section=$("$sandbox" "$build/bin/soak_web" --expect-defences)
    gateway=$(tail -n1 <<<"$section")
    { echo; sed '$d' <<<"$section"; } >> "$out"
fi
cat "$out"
# The real-time tests that need an idle machine, one after another.
echo "== ctest -L soak" >&2
(cd "$build" && ctest --output-on-failure -L soak)
labelled=$?
[ $labelled -eq 0 ] || exit 1
for r in "$stream" "$abuse" "$restarts" "$gateway"; do
    [ -z "$r" ] && continue
    [ "$(field "$r" pass)" = True ] || exit 1
done
