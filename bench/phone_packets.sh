#!/bin/bash
# Records the datagrams that sonvale-phone puts on the wire for a sweep (its
# --dump-packets file), against an engine of its own to pair with.
# Usage: bench/phone_packets.sh PHONE ENGINE OUT [SECONDS]   (inside scripts/sandbox.sh)
set -euo pipefail
phone=$1 engine=$2 out=$3 seconds=${4:-10}
"$engine" >/dev/null 2>&1 &
engine_pid=$!
trap 'kill "$engine_pid" 2>/dev/null || true; wait "$engine_pid" 2>/dev/null || true' EXIT
"$phone" --sweep --duration "$seconds" --burst --connect-timeout 10 --dump-packets "$out" >/dev/null
