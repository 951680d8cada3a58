#!/bin/bash
# Runs every benchmark for a moment and writes a report from the results, so that
# none of them rots. Checks that each one ran, never how fast.
# Usage (inside scripts/sandbox.sh):
#   bench/smoke.sh MICRO_BENCH PIPELINE_BENCH ENGINE WORK_DIR [--phone PHONE] [--web WEB_BENCH GATEWAY]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
micro=$1 pipeline=$2 engine=$3 work=$4
shift 4
phone="" web_bench="" gateway=""
while [ $# -gt 0 ]; do
    case $1 in
        --phone) phone=$2; shift 2 ;;
        --web) web_bench=$2 gateway=$3; shift 3 ;;
        *) echo "smoke.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
mkdir -p "$work"
micro_packets=()
packets=()
if [ -n "$phone" ]; then
    "$here/phone_packets.sh" "$phone" "$engine" "$work/phone-packets.txt" 1
    micro_packets=("--packets=$work/phone-packets.txt")
    packets=(--packets "$work/phone-packets.txt")
fi
web=()
sections=""
if [ -n "$web_bench" ]; then
    "$web_bench" --web "$gateway" --seconds 1 >"$work/web.json"
    web=(--web "$work/web.json")
    sections="## Browser gateway"
fi
"$micro" "${micro_packets[@]}" --benchmark_min_time=0.001 --benchmark_out="$work/micro.json" \
    --benchmark_out_format=json >/dev/null
"$pipeline" --engine "$engine" "${packets[@]}" --quick --out "$work/pipeline.json"
python3 "$here/report.py" --micro "$work/micro.json" --pipeline "$work/pipeline.json" "${web[@]}" \
    --out "$work/performance.md"
python3 - "$work/micro.json" "$work/performance.md" "$sections" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
failed = [b["name"] for b in runs if b.get("error_occurred")]
if failed or len(runs) < 18:
    sys.exit(f"micro benchmarks that did not run: {failed} ({len(runs)} ran)")
page = open(sys.argv[2]).read()
for heading in ("## Goals", "## Throughput", "## Added latency", "## Cost of one real-time stream", "## Growth",
                "## Micro benchmarks") + tuple(s for s in sys.argv[3:] if s):
    if heading not in page:
        sys.exit(f"report lacks {heading}")
if "not measured" in page:
    sys.exit("report has a step that was not measured")
PY
echo "every benchmark ran"
