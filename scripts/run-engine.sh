#!/bin/sh
# Starts the engine in the foreground with a fresh four-digit PIN.
set -eu
build=${1:-build}
pin=$(printf "%04d" "$(shuf -i 0-9999 -n 1 --random-source=/dev/urandom)")
echo "Starting sonvale-engine with PIN $pin (UDP 47810, control TCP 47811). Press Ctrl-C to stop."
exec "$build/libexec/tarnwell/sonvale-engine" --pin "$pin"
