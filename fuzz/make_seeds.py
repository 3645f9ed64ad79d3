#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Write the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are valid inputs of each reader (AuthStrings, signed replies, HTTP responses, URLs,
dates) and a few near misses, made with the test payment server's own message code and the
AuthString maker. Run it again after changing a layout; the output is committed.
"""
import base64
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim"))
import authstring  # noqa: E402
import payserver  # noqa: E402

FUZZ_KEY = b"fuzz-merchant-key"  # the key fuzz_replies signs with


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    auth = authstring.authstring().encode()
    three = authstring.authstring(PAN=payserver.THREE_CARD_PAN, TransactionAmount="12.51").encode()
    pr = authstring.pay_request()
    echo = pr[8:378]

    write("fuzz_base64", "authstring", auth)
    write("fuzz_base64", "wrapped", b"\r\n".join(auth[i:i + 76] for i in range(0, len(auth), 76)))
    write("fuzz_base64", "padding", b"Zm9vYg== Zm9=")

    write("fuzz_authstring", "sample", auth)
    write("fuzz_authstring", "three_cards", three)
    write("fuzz_authstring", "short", base64.b64encode(pr[:377]))

    replies = {
        "pay_one_card": payserver.build_reply(b"1041", FUZZ_KEY, echo),
        "pay_three_cards": payserver.build_reply(b"1041", FUZZ_KEY, echo, cards=payserver.THREE_CARDS,
                                                 return_code=51),
        "preauth_one_card": payserver.build_reply(b"1094", FUZZ_KEY, echo, expiry=b"20270101"),
        "pay_count_beyond": payserver.build_reply(b"1041", FUZZ_KEY, echo, count=2),
    }
    for name, reply in replies.items():
        flags = (1 if reply.startswith(b"1094") else 0) | 2 | 4  # see fuzz_replies.cpp
        write("fuzz_replies", name, bytes([flags]) + reply)
        body = base64.b64encode(reply)
        write("fuzz_http_reply", name,
              b"HTTP/1.0 200 OK\r\nContent-Type: application/x-qz\r\nContent-Length: %d\r\n\r\n%s"
              % (len(body), body))
    write("fuzz_http_reply", "bare_lf", b"HTTP/1.0 200 OK\nContent-Type: x\n\n" + base64.b64encode(b"x" * 500))
    write("fuzz_http_reply", "html", b"HTTP/1.0 500 Oops\r\n\r\n<html><body>error</body></html>")

    for i, url in enumerate([b"http://127.0.0.1:8080/cgi/x?a=1", b"http://h", b"http://h:/x", b"ftp://h/x",
                             b"http://:81/x", b"h/x", b"http://h:99999/a:b",
                             b"https://[::1]:8443/pay", b"HTTPS://h/p", b"http://[::1/x"]):
        write("fuzz_parse_url", "url%d" % i, url)

    connect_replies = {
        "established": b"HTTP/1.0 200 Connection established\r\n\r\n",
        "established_lf_early": b"HTTP/1.1 200 OK\nProxy-agent: p\n\n\x16\x03\x03\x00\x02",
        "forbidden": b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n",
        "auth": b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n",
        "not_http": b"200 OK\r\n\r\n",
    }
    for name, answer in connect_replies.items():
        write("fuzz_connect_reply", name, answer)

    for i, text in enumerate([b"20240229", b"2024 1 5", b"  ab c  ", b"   ", b"\tx ", b"99991231", b"2023-1-1"]):
        write("fuzz_strings", "text%d" % i, text)


if __name__ == "__main__":
    main()
