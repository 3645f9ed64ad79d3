#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Runs the unit tests and the end-to-end tests of the tool built in BUILD_DIR (a build without
# sanitizers) under valgrind memcheck, JOBS at a time. Fails on any memory error and on any
# definitely or indirectly lost block. The unit tests learn through VEMRICK_TIME_SCALE that they
# run many times slower than natively, and stretch their time-outs and time bounds by it; the
# end-to-end tests learn it from VEMRICK_WRAPPER.
# Where an uninitialised value came from (--track-origins) triples the time of some tests, so it is
# asked for only to explain a unit test that failed (its log then holds the run with origins), or
# for every run with VEMRICK_MEMCHECK_ORIGINS=1.
set -euo pipefail
build=${1:?build dir}
jobs=${2:-2}
# shellcheck source=scripts/each-at-most.sh
. "$(dirname "$0")/each-at-most.sh"
# shellcheck disable=SC2054  # the commas belong to valgrind's options
vg=(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect
    --show-leak-kinds=definite,indirect)
[ "${VEMRICK_MEMCHECK_ORIGINS:-0}" = 1 ] && vg+=(--track-origins=yes)
export VEMRICK_TIME_SCALE=10

# unit BINARY: runs it under memcheck (death tests end a forked child on purpose, leaving its
# memory to the system, and are left out); on a failure, again with origins. Leaves BINARY.memcheck.log
# and BINARY.memcheck.failed when it failed.
# shellcheck disable=SC2317  # called through each_at_most
unit() {
    local bin=$1
    rm -f "$bin.memcheck.failed"
    if ! "${vg[@]}" "$bin" --gtest_filter='-*DeathTest*:*Death*' >"$bin.memcheck.log" 2>&1; then
        touch "$bin.memcheck.failed"
        "${vg[@]}" --track-origins=yes "$bin" --gtest_filter='-*DeathTest*:*Death*' >"$bin.memcheck.log" 2>&1 || true
    fi
}
bins=$(find "$build/tests" -maxdepth 2 -type f -name 'test_*' -perm -u+x | sort)
# shellcheck disable=SC2086  # the paths are made of the build directory and test names
each_at_most "$jobs" unit $bins
status=0
for bin in $bins; do
    if [ -e "$bin.memcheck.failed" ]; then
        echo "memcheck: $(basename "$bin") FAILED"; tail -40 "$bin.memcheck.log"; status=1
    else
        echo "memcheck: $(basename "$bin") clean"
    fi
done
# The end-to-end tests run the tool through VEMRICK_WRAPPER.
if VEMRICK_WRAPPER="${vg[*]}" ctest --test-dir "$build" -L e2e -j "$jobs" --output-on-failure; then
    echo "memcheck: end-to-end runs clean"
else
    status=1
fi
exit $status
