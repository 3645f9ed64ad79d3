#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Runs the unit tests and the end-to-end tests of the tool built in BUILD_DIR (a build without
# sanitizers) under valgrind memcheck. Fails on any memory error and on any definitely or
# indirectly lost block. The unit tests learn through VEMRICK_TIME_SCALE that they run many times
# slower than natively, and stretch their time-outs and time bounds by it; the end-to-end tests
# learn it from VEMRICK_WRAPPER.
set -euo pipefail
build=${1:?build dir}
jobs=${2:-2}
vg=(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect
    --show-leak-kinds=definite,indirect --track-origins=yes)
export VEMRICK_TIME_SCALE=10
status=0
for bin in $(find "$build/tests" -maxdepth 2 -type f -name 'test_*' -perm -u+x | sort); do
    # Death tests end a forked child on purpose, leaving its memory to the system.
    if "${vg[@]}" "$bin" --gtest_filter='-*DeathTest*:*Death*' >"$bin.memcheck.log" 2>&1; then
        echo "memcheck: $(basename "$bin") clean"
    else
        echo "memcheck: $(basename "$bin") FAILED"; tail -40 "$bin.memcheck.log"; status=1
    fi
done
# The end-to-end tests run the tool through VEMRICK_WRAPPER.
if VEMRICK_WRAPPER="${vg[*]}" ctest --test-dir "$build" -L e2e -j "$jobs" --output-on-failure; then
    echo "memcheck: end-to-end runs clean"
else
    status=1
fi
exit $status
