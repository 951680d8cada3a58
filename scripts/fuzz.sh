#!/bin/bash
# Builds the libFuzzer targets with clang and runs each for a bounded time,
# then merges what it found into the saved corpus (fuzz/corpus/<target>), which
# `make test` replays. Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=$root/build-fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DTARNWELL_FUZZ=ON -DTARNWELL_TESTS=OFF -DTARNWELL_MODULES="${FUZZ_MODULES:-fuzz;tools}" >/dev/null
targets=$(cd "$root/fuzz/corpus" && ls)
for t in $targets; do cmake --build "$build" --target "fuzz_$t" >/dev/null; done
status=0
for t in $targets; do
    work=$build/corpus/$t
    mkdir -p "$work"
    echo "== fuzz_$t for ${seconds}s"
    if ! "$build/bin/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/crash-$t-" "$work" "$root/fuzz/corpus/$t" 2>"$build/$t.log"; then
        echo "fuzz_$t FAILED: see $build/$t.log and $build/crash-$t-*"
        status=1
    fi
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$build/$t.log" || true
    "$build/bin/fuzz_$t" -merge=1 "$root/fuzz/corpus/$t" "$work" 2>/dev/null
done
exit $status
