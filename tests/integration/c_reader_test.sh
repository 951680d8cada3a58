#!/bin/bash
# Installs the ring library into a temporary prefix, builds a plain C reader with
# cc and pkg-config against it, and reads frames from a running engine's ring.
# Usage: c_reader_test.sh BUILD_DIR ENGINE
set -euo pipefail
build=$1
engine=$2
work=$(mktemp -d)
trap 'kill "${engine_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
pcdir=$(find "$work/prefix" -name svring.pc -printf '%h\n' | head -n1)
libdir=$(dirname "$pcdir")
export PKG_CONFIG_PATH=$pcdir

cat > "$work/reader.c" <<'C'
#define _POSIX_C_SOURCE 200809L
#include <sv_ring.h>
#include <stdio.h>
#include <time.h>

int main(void) {
    SVRingHandle h = {-1, NULL};
    if (!SVRing_OpenReader(&h)) { fprintf(stderr, "no ring\n"); return 2; }
    static float buf[960 * 2];
    size_t real = 0;
    for (int i = 0; i < 3000 && real < 960; ++i) {
        real += SVRing_Read(&h, buf, 960);
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, NULL);
    }
    SVRing_Close(&h);
    printf("%zu\n", real);
    return real >= 960 ? 0 : 1;
}
C
cc -std=c11 -Wall -Werror -o "$work/reader" "$work/reader.c" $(pkg-config --cflags --libs svring)

"$engine" > "$work/engine.out" &
engine_pid=$!
# The control port listens once the audio port is bound.
for _ in $(seq 600); do (exec 3<>/dev/tcp/127.0.0.1/47811) 2>/dev/null && break; sleep 0.05; done

# Four packets reach the jitter target; each is an empty payload, concealed as 960 frames.
for seq in 0 1 2 3; do
    printf "\x56\x53\0\0\x0$seq\0\0\0\0\0\0\0\0\0" > /dev/udp/127.0.0.1/47810
done
frames=$(LD_LIBRARY_PATH="$libdir" "$work/reader")
echo "C reader got $frames frames"
[ "$frames" -ge 960 ]
