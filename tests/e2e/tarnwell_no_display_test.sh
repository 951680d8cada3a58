#!/bin/sh
# Without a display Tarnwell says so in one line and exits 2, instead of Qt's
# abort; it starts no engine. --help and --version still answer (status 0), an
# unknown option is refused (status 2).
# Usage: tarnwell_no_display_test.sh TARNWELL
set -eu
tarnwell=${1:?usage: tarnwell_no_display_test.sh TARNWELL}
fail() { echo "FAIL: $*" >&2; exit 1; }
status=0
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:97 "$tarnwell" 2>&1) || status=$?
[ "$status" -eq 2 ] || fail "exit status $status, expected 2; output: $out"
[ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || fail "more than one line: $out"
printf "%s\n" "$out" | grep -q -- --headless || fail "the line does not mention --headless: $out"
! pgrep -f "sonvale-engine --pin" >/dev/null || fail "an engine was started"
for option in --help --version; do
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$tarnwell" $option >/dev/null || fail "$option: status $?"
done
status=0
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$tarnwell" --no-such-option 2>&1) || status=$?
[ "$status" -eq 2 ] && printf '%s\n' "$out" | grep -q no-such-option || fail "unknown option: $status $out"
! pgrep -f "sonvale-engine --pin" >/dev/null || fail "an engine was started"
echo "one line, status 2; --help and --version answer; unknown options refused"
