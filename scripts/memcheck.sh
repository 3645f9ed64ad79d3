#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Runs the unit tests and the end-to-end tests of the tool built in BUILD_DIR (a build without
# sanitizers) under valgrind memcheck, JOBS at a time. Fails on any memory error and on any
# definitely or indirectly lost block. The unit tests learn through VEMRICK_TIME_SCALE that they
# run many times slower than natively, and stretch their time-outs and time bounds by it; the
# end-to-end tests learn it from VEMRICK_WRAPPER.
# The unit tests trace where an uninitialised value came from (--track-origins); the end-to-end
# runs, short processes started by the hundred, leave it out (it doubles their time) unless
# VEMRICK_MEMCHECK_ORIGINS=1 asks for it.
set -euo pipefail
build=${1:?build dir}
jobs=${2:-2}
# shellcheck source=scripts/each-at-most.sh
. "$(dirname "$0")/each-at-most.sh"
# shellcheck disable=SC2054  # the commas belong to valgrind's options
vg=(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect
    --show-leak-kinds=definite,indirect)
e2e_vg=("${vg[@]}")
[ "${VEMRICK_MEMCHECK_ORIGINS:-0}" = 1 ] && e2e_vg+=(--track-origins=yes)
export VEMRICK_TIME_SCALE=10

# unit BINARY: runs it under memcheck (death tests end a forked child on purpose, leaving its
# memory to the system, and are left out), logging to BINARY.memcheck.log; BINARY.memcheck.failed
# marks a failure.
# shellcheck disable=SC2317  # called through each_at_most
unit() {
    rm -f "$1.memcheck.failed"
    "${vg[@]}" --track-origins=yes "$1" --gtest_filter='-*DeathTest*:*Death*' >"$1.memcheck.log" 2>&1 ||
        touch "$1.memcheck.failed"
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
if VEMRICK_WRAPPER="${e2e_vg[*]}" ctest --test-dir "$build" -L e2e -j "$jobs" --output-on-failure; then
    echo "memcheck: end-to-end runs clean"
else
    status=1
fi
exit $status
