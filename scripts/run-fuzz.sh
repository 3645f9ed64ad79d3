#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Runs every fuzz target built in BUILD_DIR for SECONDS each: first over its kept regression
# inputs, then from its committed seed corpus (copied, so the committed one stays as it is).
# Runs as many targets at a time as there are processors (FUZZ_JOBS overrides). Prints the
# executions per target; fails on any crash, leak or sanitizer report.
set -euo pipefail
build=${1:?build dir}
seconds=${2:-60}
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/each-at-most.sh
. "$here/scripts/each-at-most.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$here/fuzz/artifacts"

# fuzz_one TARGET: writes $work/TARGET.result: a summary line, or what failed with the log's end.
# shellcheck disable=SC2317  # called through each_at_most
fuzz_one() {
    local t=$1 bin="$build/fuzz/$1" regress="$here/fuzz/regressions/$1" seeds="$here/fuzz/corpus/$1" runs
    if [ -d "$regress" ] && [ -n "$(ls -A "$regress")" ]; then
        if ! "$bin" -runs=0 "$regress"/* >"$work/$t.regress.log" 2>&1; then
            { echo "fuzz: $t fails on a kept regression input:"; tail -30 "$work/$t.regress.log"; } >"$work/$t.failed"
            return
        fi
    fi
    mkdir -p "$work/$t"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$work/$t"/
    if "$bin" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=1024 -timeout=10 \
        -artifact_prefix="$here/fuzz/artifacts/$t-" "$work/$t" >"$work/$t.log" 2>&1; then
        runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$t.log" | grep -o '[0-9]*$' || echo '?')
        printf '%-18s %12s executions in %ss\n' "$t" "$runs" "$seconds" >"$work/$t.result"
    else
        { echo "fuzz: $t found a failure:"; tail -40 "$work/$t.log"; } >"$work/$t.failed"
    fi
}

targets=$(sed -n '/set(VEMRICK_FUZZ_TARGETS/,/)/p' "$here/fuzz/CMakeLists.txt" | grep -o 'fuzz_[a-z0-9_]*')
# shellcheck disable=SC2086  # the target names are words
each_at_most "$jobs" fuzz_one $targets
status=0
for t in $targets; do
    if [ -f "$work/$t.result" ]; then
        cat "$work/$t.result"
    else
        cat "$work/$t.failed" 2>/dev/null || echo "fuzz: $t gave no result"
        status=1
    fi
done
[ $status -eq 0 ] && echo "fuzz: all targets clean"
exit $status
