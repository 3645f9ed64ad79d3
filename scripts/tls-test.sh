#!/bin/bash
# Proves the documented deployment over TLS: the tool speaks plain HTTP to a local stunnel in client
# mode, which verifies the server's certificate and carries the request over TLS to the payment
# server's own TLS end (here a second stunnel in front of sim/payserver.py). Everything listens on
# 127.0.0.1; the certificate is made on the fly. Then checks that a tunnel trusting another
# certificate refuses the server, so the payment fails instead of going out unverified.
# Usage: scripts/tls-test.sh [path/to/vemrick]
set -euo pipefail
bin=${1:-build/bin/vemrick}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
    for _ in $(seq 100); do
        python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),0.2)" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "tls-test: nothing listens on port $1" >&2; return 1
}
make_cert() { # name -> $work/name.pem (key and self-signed certificate for host "payserver.test")
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=payserver.test" \
        -addext "subjectAltName=DNS:payserver.test" -keyout "$work/$1.pem" -out "$work/$1.crt" 2>/dev/null
    cat "$work/$1.crt" >>"$work/$1.pem"
}
start_stunnel() { # name, config text
    printf 'foreground = yes\npid =\n%s\n' "$2" >"$work/$1.conf"
    stunnel "$work/$1.conf" >"$work/$1.log" 2>&1 &
    pids+=($!)
}

make_cert server
make_cert other

python3 "$here/sim/payserver.py" --port 0 --lifetime 120 >"$work/payserver.out" 2>"$work/payserver.err" &
pids+=($!)
for _ in $(seq 100); do grep -q '^listening on' "$work/payserver.out" 2>/dev/null && break; sleep 0.1; done
plain=$(sed -n 's/^listening on 127.0.0.1://p' "$work/payserver.out")
[ -n "$plain" ] || { echo "tls-test: the test payment server did not start" >&2; exit 1; }

tls=$(free_port) good=$(free_port) bad=$(free_port)
start_stunnel server "[payserver]
accept = 127.0.0.1:$tls
connect = 127.0.0.1:$plain
cert = $work/server.pem"
start_stunnel client "[verified]
client = yes
accept = 127.0.0.1:$good
connect = 127.0.0.1:$tls
verifyChain = yes
CAfile = $work/server.crt
checkHost = payserver.test

[wrong-trust]
client = yes
accept = 127.0.0.1:$bad
connect = 127.0.0.1:$tls
verifyChain = yes
CAfile = $work/other.crt
checkHost = payserver.test"
wait_port "$tls"; wait_port "$good"; wait_port "$bad"

auth=$(cat "$here/examples/sample.authstring")
echo "\$ vemrick <AuthString> http://127.0.0.1:$good/pay 30 \"\" 0 sim/demo.key   (through the TLS tunnel)"
out=$("$bin" "$auth" "http://127.0.0.1:$good/pay" 30 "" 0 "$here/sim/demo.key")
echo "$out"
echo "$out" | grep -qx 'ReturnCode=0' || { echo "tls-test: the payment through the tunnel failed" >&2; exit 1; }

echo "\$ vemrick ... through a tunnel that trusts another certificate"
out=$("$bin" "$auth" "http://127.0.0.1:$bad/pay" 5 "" 0 "$here/sim/demo.key")
echo "$out" | tail -n 1
if echo "$out" | grep -qx 'ReturnCode=0'; then
    echo "tls-test: a tunnel with the wrong trust anchor let the payment through" >&2; exit 1
fi
grep -q 'certificate verify failed\|CERT_VERIFY_FAILED\|self-signed\|unable to get' "$work/client.log" ||
    { echo "tls-test: the client tunnel did not report a certificate failure" >&2; cat "$work/client.log" >&2; exit 1; }
echo "tls-test: payment over verified TLS succeeded; unverified server refused"
