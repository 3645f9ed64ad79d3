#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Runs every fuzz target built in BUILD_DIR for SECONDS each: first over its kept regression
# inputs, then from its committed seed corpus (copied, so the committed one stays as it is).
# Prints the executions per target; fails on any crash, leak or sanitizer report.
set -euo pipefail
build=${1:?build dir}
seconds=${2:-60}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$here/fuzz/artifacts"

targets=$(sed -n '/set(VEMRICK_FUZZ_TARGETS/,/)/p' "$here/fuzz/CMakeLists.txt" | grep -o 'fuzz_[a-z0-9_]*')
status=0
summary=""
for t in $targets; do
    bin="$build/fuzz/$t"
    regress="$here/fuzz/regressions/$t"
    if [ -d "$regress" ] && [ -n "$(ls -A "$regress")" ]; then
        if ! "$bin" -runs=0 "$regress"/* >"$work/$t.regress.log" 2>&1; then
            echo "fuzz: $t fails on a kept regression input:"; tail -30 "$work/$t.regress.log"
            status=1; continue
        fi
    fi
    mkdir -p "$work/$t"
    seeds="$here/fuzz/corpus/$t"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$work/$t"/
    if "$bin" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=1024 -timeout=10 \
        -artifact_prefix="$here/fuzz/artifacts/$t-" "$work/$t" >"$work/$t.log" 2>&1; then
        runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$t.log" | grep -o '[0-9]*$' || echo '?')
        summary+=$(printf '%-18s %12s executions in %ss\n' "$t" "$runs" "$seconds")$'\n'
    else
        echo "fuzz: $t found a failure:"; tail -40 "$work/$t.log"
        status=1
    fi
done
printf '%s' "$summary"
[ $status -eq 0 ] && echo "fuzz: all targets clean"
exit $status
