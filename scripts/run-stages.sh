#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Runs each named make target as one stage of a test run, every one to its end even when an
# earlier one failed, then prints one table of the stages with their result and wall seconds.
# Exits 1 when any stage failed.
# Usage: scripts/run-stages.sh MAKE STAGE...   (the Makefile passes $(MAKE) and TEST_STAGES)
set -u
make=${1:?make command}
shift
results=()
failed=0
for stage in "$@"; do
    echo "=== stage $stage ==="
    start=$(date +%s)
    if $make --no-print-directory "$stage"; then
        result=passed
    else
        result=FAILED
        failed=1
    fi
    results+=("$(printf '%-16s %-7s %6d' "$stage" "$result" $(($(date +%s) - start)))")
    echo "=== stage $stage: $result ==="
done
echo
printf '%-16s %-7s %6s\n' stage result seconds
printf '%s\n' "${results[@]}"
if [ "$failed" -ne 0 ]; then
    echo "make test: some stages FAILED"
    exit 1
fi
echo "make test: every stage passed"
