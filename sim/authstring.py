#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Make a buyer's AuthString: the base64 text of a pay request record.

The pay request is a byte record of space-filled text fields at fixed offsets:

    offset  width  field
         0      8  header (forwarded unexamined; "PREQ1.00" here)
         8     10  MerchantID
        18     50  TransactionID
        68      3  CurrencyCode
        71     12  TransactionAmount (decimal text)
        83    255  Description
       338     40  PAN
       378   rest  buyer's data, forwarded unexamined (22 spaces here, 400 bytes in all)

Used by the tests, the demo and merchants trying the tool against the test payment server.
"""
import argparse
import base64
import sys

HEADER = b"PREQ1.00"
FIELDS = (
    ("MerchantID", 10),
    ("TransactionID", 50),
    ("CurrencyCode", 3),
    ("TransactionAmount", 12),
    ("Description", 255),
    ("PAN", 40),
)
DEFAULTS = {
    "MerchantID": "M0001",
    "TransactionID": "T0001",
    "CurrencyCode": "EUR",
    "TransactionAmount": "10.00",
    "Description": "Demo order",
    "PAN": "4111111111111111",
}


def pay_request(header=HEADER, tail=b" " * 22, **fields):
    """Return the pay request bytes; each field is left-aligned and space-filled to its width."""
    out = bytearray(header)
    for name, width in FIELDS:
        value = fields.get(name, DEFAULTS[name])
        raw = value.encode("latin-1") if isinstance(value, str) else bytes(value)
        if len(raw) > width:
            raise ValueError("%s is longer than %d bytes" % (name, width))
        out += raw.ljust(width, b" ")
    return bytes(out + tail)


def authstring(**fields):
    return base64.b64encode(pay_request(**fields)).decode("ascii")


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name, width in FIELDS:
        p.add_argument("--" + name, default=DEFAULTS[name], help="%d characters at most (default %r)" % (width, DEFAULTS[name]))
    args = p.parse_args(argv)
    print(authstring(**{name: getattr(args, name) for name, _ in FIELDS}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
