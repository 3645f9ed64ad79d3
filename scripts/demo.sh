#!/bin/sh
# The demo: starts the test payment server (sim/payserver.py) on a free loopback port and runs the
# given vemrick binary against it: an inspection of examples/sample.authstring, a payment and a
# pre-authorization of 30 days for the same AuthString. Builds nothing.
# Usage: scripts/demo.sh [path/to/vemrick]   (default build/bin/vemrick)
# Exit status 0 only when the payment and the pre-authorization both print ReturnCode=0.
set -u
bin=${1:-build/bin/vemrick}
here=$(cd "$(dirname "$0")/.." && pwd)

if [ ! -x "$bin" ]; then
    echo "demo: $bin is not an executable; build first (make build)" >&2
    exit 2
fi
auth=$(cat "$here/examples/sample.authstring") || exit 2

work=$(mktemp -d) || exit 2
# The tool warns about a key file that others may read: give it a private copy.
key=$work/merchant.key
(umask 077 && cp "$here/sim/demo.key" "$key") || exit 2
server_pid=
# shellcheck disable=SC2317  # called through the EXIT trap
stop_server() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
        server_pid=
    fi
    rm -rf "$work"
}
trap stop_server EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

python3 "$here/sim/payserver.py" --port 0 --lifetime 120 --key-file "$here/sim/demo.key" \
    >"$work/server.out" 2>"$work/server.err" &
server_pid=$!

# The server's first line is "listening on 127.0.0.1:PORT"; wait for it for at most 10 s.
port=
tries=0
while [ "$tries" -lt 100 ]; do
    line=$(head -n 1 "$work/server.out" 2>/dev/null)
    case $line in
    "listening on 127.0.0.1:"*) port=${line##*:}; break ;;
    esac
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
    tries=$((tries + 1))
done
if [ -z "$port" ]; then
    echo "demo: the test payment server did not start" >&2
    cat "$work/server.err" >&2
    exit 1
fi
url=http://127.0.0.1:$port/pay
echo "Test payment server listening on 127.0.0.1:$port (merchant key sim/demo.key)"

# Prints the command line (the AuthString shortened, empty words as "") and then runs it, printing
# its output; the last output line is kept in $last.
run() {
    printf '\n$ %s' "$bin"
    for word in "$@"; do
        if [ "$word" = "$auth" ]; then
            word="$(printf '%.16s' "$auth")..."
        elif [ -z "$word" ]; then
            word='""'
        fi
        printf ' %s' "$word"
    done
    printf '\n'
    output=$("$bin" "$@")
    printf '%s\n' "$output"
    last=$(printf '%s\n' "$output" | tail -n 1)
}

echo
echo "1. Inspect the sample AuthString (offline):"
run -get "$auth"

echo
echo "2. Pay it (message 2040, signed reply 1041):"
run "$auth" "$url" 30 "" 0 "$key"
pay_result=$last

echo
echo "3. Pre-authorize it for 30 days (message 1093, signed reply 1094):"
run -preauth "$auth" "$url" 30 "" 0 "$key" 30
preauth_result=$last

echo
if [ "$pay_result" = "ReturnCode=0" ] && [ "$preauth_result" = "ReturnCode=0" ]; then
    echo "Demo done: payment and pre-authorization approved."
    exit 0
fi
echo "Demo failed: payment gave '$pay_result', pre-authorization gave '$preauth_result'." >&2
if [ -s "$work/server.err" ]; then
    echo "The server said:" >&2
    cat "$work/server.err" >&2
fi
exit 1
