#!/bin/sh
# Runs a command (the end-to-end tests of Tarnwell) under xvfb-run, inside the
# test sandbox, with a private /tmp: the X server's lock file and socket then
# belong to this test alone, so tests in parallel each get their own display.
# Usage (inside scripts/sandbox.sh): tarnwell_xvfb.sh COMMAND [ARG...]
set -eu
[ "${SONVALE_IN_SANDBOX:-}" = 1 ] || { echo "tarnwell_xvfb: run me inside scripts/sandbox.sh" >&2; exit 2; }
mount -t tmpfs -o mode=1777 tmpfs /tmp
exec xvfb-run --auto-servernum --server-args="-screen 0 1280x900x24 -nolisten tcp" "$@"
