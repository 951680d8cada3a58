#!/bin/sh
# Without a display Tarnwell says so in one line and exits 2, instead of Qt's
# abort; it starts no engine. Also when DISPLAY names a display nobody serves.
# Usage: tarnwell_no_display_test.sh TARNWELL
set -eu
tarnwell=${1:?usage: tarnwell_no_display_test.sh TARNWELL}
fail() { echo "FAIL: $*" >&2; exit 1; }

check() {
    expected=$1
    shift
    status=0
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" "$tarnwell" 2>&1) || status=$?
    [ "$status" -eq 2 ] || fail "exit status $status, expected 2; output: $out"
    [ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || fail "more than one line: $out"
    [ "$out" = "$expected" ] || fail "said: $out"
}
check "Tarnwell needs a graphical desktop session: neither DISPLAY nor WAYLAND_DISPLAY is set"
check "Tarnwell needs a graphical desktop session: cannot reach the display :97" DISPLAY=:97
! pgrep -f "sonvale-engine --pin" >/dev/null || fail "an engine was started"
echo "one line, status 2"
