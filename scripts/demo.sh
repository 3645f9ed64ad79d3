#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The demo: starts the test payment server (sim/payserver.py) on a free loopback port and runs the
# given vemrick binary against it: an inspection of examples/sample.authstring, a payment and a
# pre-authorization of 30 days for the same AuthString. Then makes a throwaway CA and a server
# certificate with openssl (sim/certs.py), starts a second test server speaking HTTPS with it, and
# pays over https, trusting that CA with --cacert. Builds nothing.
# Usage: scripts/demo.sh [path/to/vemrick]   (default build/bin/vemrick)
# Exit status 0 only when the payments and the pre-authorization all print ReturnCode=0.
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
server_pids=
# shellcheck disable=SC2317  # called through the EXIT trap
stop_servers() {
    for pid in $server_pids; do
        kill "$pid" 2>/dev/null
    done
    for pid in $server_pids; do
        wait "$pid" 2>/dev/null
    done
    server_pids=
    rm -rf "$work"
}
trap stop_servers EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# start_server NAME [payserver options]: starts a test payment server and sets $port from its first
# line, "listening on 127.0.0.1:PORT", waiting for it for at most 10 s.
start_server() {
    name=$1
    shift
    python3 "$here/sim/payserver.py" --port 0 --lifetime 120 --key-file "$here/sim/demo.key" "$@" \
        >"$work/$name.out" 2>"$work/$name.err" &
    pid=$!
    server_pids="$server_pids $pid"
    port=
    tries=0
    while [ "$tries" -lt 100 ]; do
        line=$(head -n 1 "$work/$name.out" 2>/dev/null)
        case $line in
        "listening on 127.0.0.1:"*) port=${line##*:}; return 0 ;;
        esac
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
        tries=$((tries + 1))
    done
    echo "demo: the test payment server ($name) did not start" >&2
    cat "$work/$name.err" >&2
    exit 1
}

start_server http
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
echo "4. Pay it over https, trusting a throwaway CA (ca.pem, made with openssl by sim/certs.py)"
echo "   that signed the certificate of a second test server, for 127.0.0.1, ::1 and localhost:"
python3 "$here/sim/certs.py" "$work" >/dev/null || exit 1
start_server https --tls-cert "$work/server.pem" --tls-key "$work/server.key"
run --cacert "$work/ca.pem" "$auth" "https://127.0.0.1:$port/pay" 30 "" 0 "$key"
https_result=$last

echo
if [ "$pay_result" = "ReturnCode=0" ] && [ "$preauth_result" = "ReturnCode=0" ] &&
    [ "$https_result" = "ReturnCode=0" ]; then
    echo "Demo done: payments over http and https, and the pre-authorization, approved."
    exit 0
fi
echo "Demo failed: payment gave '$pay_result', pre-authorization '$preauth_result'," \
    "payment over https '$https_result'." >&2
for name in http https; do
    if [ -s "$work/$name.err" ]; then
        echo "The $name server said:" >&2
        cat "$work/$name.err" >&2
    fi
done
exit 1
