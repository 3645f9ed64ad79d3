# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash
# Sourced by the test scripts that spread runs over the processors.

# each_at_most JOBS FUNCTION ITEM...: runs FUNCTION ITEM in the background for every ITEM, at most
# JOBS at a time, and returns once all have ended. FUNCTION records its own outcome (in files,
# say): the exit statuses are not collected.
each_at_most() {
    local jobs=$1 function=$2 running=0 item
    shift 2
    for item in "$@"; do
        if [ "$running" -ge "$jobs" ]; then
            wait -n || true
            running=$((running - 1))
        fi
        "$function" "$item" &
        running=$((running + 1))
    done
    wait
}
