#!/bin/bash
# Runs every benchmark for a moment and writes a report from the results, so that
# none of them rots. Checks that each one ran, never how fast.
# Usage: bench/smoke.sh MICRO_BENCH PIPELINE_BENCH ENGINE WORK_DIR [PHONE]   (inside scripts/sandbox.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
micro=$1 pipeline=$2 engine=$3 work=$4 phone=${5:-}
mkdir -p "$work"
micro_packets=()
packets=()
if [ -n "$phone" ]; then
    "$here/phone_packets.sh" "$phone" "$engine" "$work/phone-packets.txt" 1
    micro_packets=("--packets=$work/phone-packets.txt")
    packets=(--packets "$work/phone-packets.txt")
fi
"$micro" "${micro_packets[@]}" --benchmark_min_time=0.001 --benchmark_out="$work/micro.json" \
    --benchmark_out_format=json >/dev/null
"$pipeline" --engine "$engine" "${packets[@]}" --quick --out "$work/pipeline.json"
python3 "$here/report.py" --micro "$work/micro.json" --pipeline "$work/pipeline.json" --out "$work/performance.md"
python3 - "$work/micro.json" "$work/performance.md" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
failed = [b["name"] for b in runs if b.get("error_occurred")]
if failed or len(runs) < 18:
    sys.exit(f"micro benchmarks that did not run: {failed} ({len(runs)} ran)")
page = open(sys.argv[2]).read()
for heading in ("## Goals", "## Throughput", "## Added latency", "## Cost of one real-time stream", "## Growth",
                "## Micro benchmarks"):
    if heading not in page:
        sys.exit(f"report lacks {heading}")
if "not measured" in page:
    sys.exit("report has a step that was not measured")
PY
echo "every benchmark ran"
