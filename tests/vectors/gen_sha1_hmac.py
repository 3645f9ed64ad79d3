#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the generated SHA-1 and HMAC-SHA-1 vector files beside this script.

The inputs are not stored: they come from a small generator that the C++ tests repeat.
lcg_bytes(seed, n): x := seed; n times: x := (x * 1103515245 + 12345) mod 2^32, emit x >> 24.
A message of n bytes is lcg_bytes(n, n); an HMAC key of k bytes is lcg_bytes(0x10000 + k, k).
Run it again only to change the vectors; the tests read the files and do not run Python.
"""
import hashlib
import hmac
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))


def lcg_bytes(seed, n):
    x = seed & 0xFFFFFFFF
    out = bytearray(n)
    for i in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = x >> 24
    return bytes(out)


def message(n):
    return lcg_bytes(n, n)


def key(k):
    return lcg_bytes(0x10000 + k, k)


rng = random.Random(20240601)
SHA1_LENGTHS = sorted(set(list(range(0, 301)) + [511, 512, 513, 1023, 1024, 1025, 3 * 1024, 4095, 4096, 65535,
                                                 65536, 65537, 1 << 20]
                          + [rng.randrange(301, 1 << 20) for _ in range(12)]))
HMAC_MESSAGE_LENGTHS = [1, 2, 3, 4, 5, 8, 19, 20, 21, 31, 32, 55, 56, 57, 63, 64, 65, 100, 119, 120, 127,
                        128, 129, 191, 192, 200, 255, 256, 299, 300]


def write(name, header, lines):
    with open(os.path.join(HERE, name), "w") as f:
        for h in header:
            f.write("# " + h + "\n")
        for line in lines:
            f.write(line + "\n")


def main():
    write("sha1_generated.txt",
          ["SHA-1 digests generated with Python's hashlib (gen_sha1_hmac.py).",
           "message length in bytes, digest; the message of n bytes is lcg_bytes(n, n):",
           "x := n; n times: x := (x * 1103515245 + 12345) mod 2^32, byte x >> 24"],
          ["%d %s" % (n, hashlib.sha1(message(n)).hexdigest()) for n in SHA1_LENGTHS])

    lines = ["%d %d %s" % (k, m, hmac.new(key(k), message(m), "sha1").hexdigest())
             for k in range(0, 65) for m in HMAC_MESSAGE_LENGTHS]
    # Cases from the whole grid (keys 0..64, messages 1..300) whose value starts with a zero byte,
    # so that the text form must keep its leading "00".
    extra = []
    for k in range(0, 65):
        for m in range(1, 301):
            mac = hmac.new(key(k), message(m), "sha1").hexdigest()
            if mac.startswith("00") and len(extra) < 4 and m not in HMAC_MESSAGE_LENGTHS:
                extra.append("%d %d %s" % (k, m, mac))
    write("hmac_generated.txt",
          ["HMAC-SHA-1 values generated with Python's hmac and hashlib (gen_sha1_hmac.py).",
           "key length, message length, HMAC; message of n bytes = lcg_bytes(n, n),",
           "key of k bytes = lcg_bytes(0x10000 + k, k), with lcg_bytes(seed, n):",
           "x := seed; n times: x := (x * 1103515245 + 12345) mod 2^32, byte x >> 24",
           "The last lines are values beginning with a zero byte."],
          lines + extra)


if __name__ == "__main__":
    main()
