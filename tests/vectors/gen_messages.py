#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the server-message vectors messages_build.txt and messages_replies.txt next to this
script. The signatures come from Python's hmac and hashlib, independently of the library, so the
library's message layouts and signed ranges are checked against a second implementation.

Run it again only when a case is added; its output is committed as data.
"""

import base64
import hashlib
import hmac
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def field(text, width):
    raw = text.encode("ascii")
    assert len(raw) <= width
    return raw + b" " * (width - len(raw))


def pay_request(length, merchant="M1", amount="12.50", description="Two tickets"):
    """A pay request of `length` bytes: header, the six fields, then every byte value in turn so
    that the messages are seen to carry binary tails unchanged."""
    fields = (b"PREQ1.00" + field(merchant, 10) + field("T-42", 50) + b"EUR" +
              field(amount, 12) + field(description, 255) + field("4111111111111111", 40))
    assert len(fields) == 378 and length >= 378
    tail = bytes(i % 256 for i in range(length - 378))
    return fields + tail


def sign(key, data):
    return hmac.new(key, data, hashlib.sha1).hexdigest().upper().encode("ascii")


def message(kind, request, key, expiry):
    head = b"20401.00" if kind == "2040" else b"10931.00" + (expiry.encode("ascii") if expiry else b" " * 8)
    signed = head + request + b"%*.*d" % (12, 12, 40)
    signature = sign(key, signed)
    return signature, signed + signature


def reply(kind, request, key, return_code, cards, signed_from):
    """A reply echoing `request`, signed from offset `signed_from` (8 is right for "1041", 0 for
    "1094"; the other value gives a reply that must fail verification)."""
    head = b"10411.00" if kind == "1041" else b"10941.00" + b"X" * 8
    body = (head + request[8:378] + b"20240105123000      " + b"%12d" % 40 +
            b"%4s" % return_code.encode("ascii") + b"%4d" % len(cards) +
            b"".join(field(c, 10) for c in cards))
    signature = sign(key, body[signed_from:])
    return signature, body + signature


def write_build(path):
    key20 = bytes(range(1, 21))
    key64 = bytes((7 * i + 3) % 256 for i in range(64))
    cases = [
        ("2040", key20, "", pay_request(400)),
        ("2040", key64, "", pay_request(378, merchant="ZZ", amount="0.01")),
        ("1093", key20, "20240105", pay_request(400)),
        ("1093", key20, "", pay_request(400)),
        ("1093", key64, "20991231", pay_request(1000)),
    ]
    with open(path, "w") as out:
        out.write("# Generated with Python's hmac and hashlib by gen_messages.py.\n")
        out.write("# type key(hex) expiry pay-request(hex) signature message(base64); '-' = empty\n")
        for kind, key, expiry, request in cases:
            signature, msg = message(kind, request, key, expiry)
            out.write("%s %s %s %s %s %s\n" % (kind, key.hex() or "-", expiry or "-", request.hex(),
                                               signature.decode(), base64.b64encode(msg).decode()))


def write_replies(path):
    key = b"merchant-secret-key"
    request = pay_request(378)
    cases = [
        # type, return code field, cards, signed from, expected verification
        ("1041", "0", ["1234"], 8, 1), ("1041", "51", ["1234", "98765", "0"], 8, 1),
        ("1041", "0", ["1234"], 0, 0), ("1094", "0", ["1234"], 0, 1),
        ("1094", "7", ["1", "22"], 0, 1), ("1094", "0", ["1234"], 8, 0),
    ]
    with open(path, "w") as out:
        out.write("# Generated with Python's hmac and hashlib by gen_messages.py.\n")
        out.write("# type key(hex) reply(hex) return-code card-count signature verifies(1/0)\n")
        for kind, code, cards, signed_from, ok in cases:
            signature, msg = reply(kind, request, key, code, cards, signed_from)
            out.write("%s %s %s %s %d %s %d\n" % (kind, key.hex(), msg.hex(), code, len(cards),
                                                  signature.decode(), ok))


if __name__ == "__main__":
    write_build(os.path.join(HERE, "messages_build.txt"))
    write_replies(os.path.join(HERE, "messages_replies.txt"))
