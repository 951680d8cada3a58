#!/bin/bash
# A browser phone streams through the Wi-Fi-like front (stalls every few
# seconds, 0..30 ms of jitter) for SECONDS at one latency choice. Passes when
# every minute's median delay from capture to the engine's datagram stays within
# the choice's bound, nothing is concealed after the first 3 s (Normal,
# Steady), and Low's last minute is back down to its first.
# Usage: browser_wifi.sh BUILD MODE STALL_MS [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1 mode=$2 stall=$3 seconds=${4:-600}
out="$build/test-artefacts/wifi-$mode-$stall"
"$root/devkit/browser_stream.sh" "$build" "$out" "$seconds" "$mode" "$stall"
python3 - "$root/devkit" "$out/trace.gateway" "$mode" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
from gateway_legs import legs
run, mode = legs(sys.argv[2], 60), int(sys.argv[3])
bound = [60, 230, 420][mode]  # ms: the page's share plus the playout's bound
medians = [w["capture_send"][0] for w in run["windows"] if w["capture_send"][0] is not None]
print(run)
faults = [f"minute {i + 1}: {m} ms over {bound} ms" for i, m in enumerate(medians) if m > bound]
if mode > 0 and run["concealed_after_3s"]:
    faults.append(f'{run["concealed_after_3s"]} chunks concealed after the first 3 s')
if mode == 0 and len(medians) > 1 and medians[-1] > medians[0] + 10:
    faults.append(f"the delay stayed up: {medians[0]} ms at first, {medians[-1]} ms at the end")
print("\n".join(faults) or "pass")
sys.exit(1 if faults else 0)
PY
