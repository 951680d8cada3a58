#!/bin/bash
# Runs the engine's integration tests with the engine under valgrind: any
# invalid access or leak fails the run.
# Usage: valgrind_engine.sh TEST_BINARY [GTEST_FILTER]
set -uo pipefail
binary=$1
filter=${2:-*}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
export SONVALE_ENGINE_WRAPPER="valgrind -q --log-file=$logs/engine.%p.log --leak-check=full \
--show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect --error-exitcode=99"
"$binary" --gtest_filter="$filter"
status=$?
for log in "$logs"/*.log; do
    [ -s "$log" ] || continue
    echo "valgrind found problems in the engine ($log):"
    cat "$log"
    status=1
done
exit $status
