#!/bin/sh
# Runs bench_silent_wait (a POST to a silent server on 127.0.0.1 with a 3 s time-out) and checks
# its CPU use against the target of 2 % of one processor. Builds nothing.
# Usage: bench/silent_wait.sh [path/to/bench_silent_wait] [timeout seconds]
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build/bench/bench_silent_wait}
if [ ! -x "$bin" ]; then
    echo "silent_wait.sh: no executable at $bin (build the target bench_silent_wait first)" >&2
    exit 2
fi
out=$("$bin" ${2:-3}) || { echo "$out"; echo "silent_wait.sh: the POST did not end by time-out" >&2; exit 1; }
echo "$out"
echo "$out" | awk -F= '$1 == "cpu_percent" {
    if ($2 + 0 < 2) { print "target (< 2 % CPU while waiting): met"; exit 0 }
    print "target (< 2 % CPU while waiting): missed"; exit 1 }'
