#!/bin/bash
# Builds the engine and the benchmarks optimised, runs every benchmark inside the
# test sandbox (private network and /dev/shm: the fixed ports and the ring are the
# benchmark's own) and writes docs/performance.md from what they measured.
# Usage: scripts/bench.sh [BUILD_DIR]    (default build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-bench}")
jobs=$(nproc)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWELL_WERROR=ON >/dev/null
targets="sonvale-engine sonvale-micro-bench sonvale-pipeline-bench sonvale-rss-floor"
known=$(cmake --build "$build" --target help)
if grep -q '^sonvale-phone:' <<<"$known"; then targets="$targets sonvale-phone"; fi
if grep -q '^sonvale-mic:' <<<"$known"; then targets="$targets sonvale-mic"; fi
if grep -q '^sonvale-web-bench:' <<<"$known"; then targets="$targets sonvale-web sonvale-web-bench"; fi
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" --target $targets

results=$build/bench-results
mkdir -p "$results"
load=$(cut -d' ' -f1-3 /proc/loadavg)

# The packets: what sonvale-phone puts on the wire for a 10 s sweep, when it is built.
packets_flag=()
packets_opt=()
if [ -x "$build/bin/sonvale-phone" ]; then
    "$root/scripts/sandbox.sh" "$root/bench/phone_packets.sh" "$build/bin/sonvale-phone" \
        "$build/libexec/tarnwell/sonvale-engine" "$results/phone-sweep-10s.txt"
    packets_flag=("--packets=$results/phone-sweep-10s.txt")
    packets_opt=(--packets "$results/phone-sweep-10s.txt")
fi

echo "== micro benchmarks"
"$root/scripts/sandbox.sh" "$build/bin/sonvale-micro-bench" "${packets_flag[@]}" \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 \
    --benchmark_out="$results/micro.json" --benchmark_out_format=json
echo "== end to end (about three minutes)"
"$root/scripts/sandbox.sh" "$build/bin/sonvale-pipeline-bench" --engine "$build/libexec/tarnwell/sonvale-engine" \
    "${packets_opt[@]}" --out "$results/pipeline.json"

web_opt=()
if [ -x "$build/bin/sonvale-web-bench" ]; then
    echo "== browser gateway (about a minute)"
    "$root/scripts/sandbox.sh" "$build/bin/sonvale-web-bench" --web "$build/libexec/tarnwell/sonvale-web" \
        --seconds 20 >"$results/web.json"
    web_opt=(--web "$results/web.json")
fi

e2e_opt=()
if [ -x "$build/libexec/tarnwell/sonvale-mic" ] && [ -x "$build/bin/sonvale-phone" ]; then
    echo "== microphone to recording program (BENCH_MINUTES=${BENCH_MINUTES:-0.5} per setting, a few minutes)"
    "$root/scripts/sandbox.sh" python3 "$root/bench/e2e_delay.py" --build "$build" >"$results/e2e.json"
    e2e_opt=(--e2e "$results/e2e.json")
fi

python3 "$root/bench/report.py" --micro "$results/micro.json" --pipeline "$results/pipeline.json" \
    "${web_opt[@]}" "${e2e_opt[@]}" --load-before "$load" --out "$root/docs/performance.md"
echo "wrote docs/performance.md"
