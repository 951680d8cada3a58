#!/bin/sh
# Runs a command (the end-to-end tests of Tarnwell) under xvfb-run, inside the
# test sandbox. The X socket folder is private to the sandbox and the server takes
# no lock file, so tests in parallel each have their own display :99 without
# touching the rest of /tmp (where a checkout may live). The screen is a
# common laptop's, 1366x768.
# Usage (inside scripts/sandbox.sh): tarnwell_xvfb.sh COMMAND [ARG...]
set -eu
[ "${SONVALE_IN_SANDBOX:-}" = 1 ] || { echo "tarnwell_xvfb: run me inside scripts/sandbox.sh" >&2; exit 2; }
mkdir -p /tmp/.X11-unix
mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix
exec xvfb-run --server-num=99 --server-args="-screen 0 1366x768x24 -nolisten tcp -nolock" "$@"
