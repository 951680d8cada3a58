#!/bin/sh
# `cmake --install` into a fresh prefix puts Tarnwell, its engine, its desktop
# entry and its icon where a desktop finds them, and the installed Tarnwell runs
# the installed engine. Runs inside the test sandbox (the engine's fixed ports).
# Usage: tarnwell_install_test.sh BUILD_DIR
set -eu
build=${1:?usage: tarnwell_install_test.sh BUILD_DIR}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

[ -x "$prefix/bin/Tarnwell" ] || fail "bin/Tarnwell missing"
[ -x "$prefix/libexec/tarnwell/sonvale-engine" ] || fail "libexec/tarnwell/sonvale-engine missing"
grep -qx "ExecStart=$prefix/libexec/tarnwell/sonvale-mic" "$prefix/lib/systemd/user/sonvale-mic.service" ||
    fail "the microphone's user service does not start the installed sonvale-mic"
entry="$prefix/share/applications/tarnwell.desktop"
[ -f "$entry" ] || fail "desktop entry missing"
[ -f "$prefix/share/icons/hicolor/scalable/apps/tarnwell.svg" ] || fail "icon missing"
desktop-file-validate "$entry" || fail "desktop entry does not validate"
grep -qx "Exec=$prefix/bin/Tarnwell" "$entry" || fail "Exec does not name the installed Tarnwell"

# The installed program finds its engine among its own resources (and its
# gateway, which keeps its certificate in the user's data folder).
export XDG_DATA_HOME="$prefix/data"
QT_QPA_PLATFORM=offscreen "$prefix/bin/Tarnwell" >/dev/null 2>&1 &
app=$!
engine=""
for _ in $(seq 1 200); do
    engine=$(pgrep -P "$app" -f "^$prefix/libexec/tarnwell/sonvale-engine --pin [0-9]{4}\$" || true)
    [ -n "$engine" ] && break
    sleep 0.05
done
[ -n "$engine" ] || { kill -KILL "$app"; fail "the installed Tarnwell did not start the installed engine"; }
kill -TERM "$app"
status=0
wait "$app" || status=$?
[ "$status" -eq 0 ] || fail "Tarnwell exited with $status after SIGTERM"
! kill -0 "$engine" 2>/dev/null || fail "the engine outlived Tarnwell"
echo "installed and ran from $prefix"
