#!/bin/sh
# The demo: inspect the sample AuthString shipped in examples/ with the built tool.
set -eu
bin=${1:-build/bin/vemrick}
here=$(cd "$(dirname "$0")/.." && pwd)
auth=$(cat "$here/examples/sample.authstring")
echo "\$ $bin -get <examples/sample.authstring>"
"$bin" -get "$auth"
