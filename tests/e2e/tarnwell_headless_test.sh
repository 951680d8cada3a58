#!/bin/sh
# Tarnwell --headless without a display: the printed half-block codes, redrawn
# as an image, decode to the printed links; the engine and the gateway run;
# SIGTERM ends them with status 0. Runs inside the sandbox.
# Usage: tarnwell_headless_test.sh TARNWELL
set -eu
tarnwell=${1:?usage: tarnwell_headless_test.sh TARNWELL}
libexec=libexec/tarnwell
fail() { echo "FAIL: $*" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# The sandbox has only loopback: an address a phone could reach, inside it.
ip link add tw0 type veth peer name tw1
ip addr add 10.77.0.2/24 dev tw0
ip link set tw1 up
ip link set tw0 up
export HOME="$dir" XDG_DATA_HOME="$dir" XDG_RUNTIME_DIR="$dir"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$tarnwell" --headless >"$dir/out" 2>"$dir/err" &
pid=$!
for _ in $(seq 600); do grep -q 'Engine running' "$dir/out" && break; sleep 0.1; done
grep -q '^Browser: https://10.77.0.2:' "$dir/out" && grep -q 'Engine running' "$dir/out" || fail "no running engine: $(cat "$dir/out" "$dir/err")"
for _ in $(seq 600); do pgrep -f "$libexec/sonvale-web" >/dev/null && break; sleep 0.1; done
pgrep -f "$libexec/sonvale-engine" >/dev/null || fail "no engine"
pgrep -f "$libexec/sonvale-web" >/dev/null || fail "no gateway"
for label in 'Phone app' 'Browser'; do
    link=$(sed -n "s|^$label: ||p" "$dir/out")
    [ -n "$link" ] || fail "no $label link: $(cat "$dir/out")"
    # The lines after the link, up to the blank line: two modules a character.
    python3 - "$dir/out" "$label: " "$dir/code.pgm" <<'PY'
import sys
lines = open(sys.argv[1], encoding="utf-8").read().split("\n")
lines = lines[next(i for i, l in enumerate(lines) if l.startswith(sys.argv[2])) + 1 :]
text = lines[: next(i for i, l in enumerate(lines) if not l or set(l) - set(" \u2580\u2584\u2588"))]
rows = [[c in half for c in l for _ in range(8)] for l in text for half in ("\u2580\u2588", "\u2584\u2588")]
body = b"".join(bytes(0 if d else 255 for d in r) * 8 for r in rows)
open(sys.argv[3], "wb").write(b"P5 %d %d 255\n" % (len(rows[0]), len(rows) * 8) + body)
PY
    got=$(zbarimg --nodbus --raw -q "$dir/code.pgm") || fail "$label: code not readable"
    [ "$got" = "$link" ] || fail "$label: code says '$got', link is '$link'"
done
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || fail "status $status after SIGTERM"
for _ in $(seq 100); do pgrep -f "$libexec/sonvale-" >/dev/null || break; sleep 0.1; done
! pgrep -af "$libexec/sonvale-" || fail "helpers still run"
echo "both codes decode to their links; engine and gateway ran; SIGTERM ended all, status 0"
