#!/usr/bin/env python3
"""Command-line checks and offline inspection, byte for byte."""
import os
import subprocess
import unittest

import harness
from harness import authstring, run

PROG = harness.program_name("vemrick")
USAGE = (
    "Usage: %s AuthString URL timeout proxyHost proxyPort merchantKeyFile\n"
    "       %s -{g}et AuthString\n"
    "       %s -preauth AuthString URL timeout proxyHost proxyPort merchantKeyFile expireSeconds\n"
) % (PROG, PROG, PROG)
BAD_USAGE_OUT = "ReturnCode=999\nReturnDescription=Bad Usage\n\n"
BAD_USAGE_ERR = USAGE + "Bad Usage\n\n"


def inspect_lines(fields, code):
    names = ("MerchantID", "TransactionID", "CurrencyCode", "TransactionAmount", "Description", "PAN")
    return "".join("%s=%s\n" % (n, fields.get(n, "")) for n in names) + "ReturnCode=%d\n" % code


class WrongCommandLines(unittest.TestCase):
    CASES = [
        ("no arguments", []),
        ("one word", ["x"]),
        ("-get with two words", ["-get", "a", "b"]),
        ("-g with nothing", ["-g"]),
        ("-preauth with six words", ["-preauth", "a", "u", "30", "", "0", "k"]),
        ("-preauth with eight words", ["-preauth", "a", "u", "30", "", "0", "k", "5", "extra"]),
        ("pay with five words", ["a", "u", "30", "", "0"]),
        ("pay with seven words", ["a", "u", "30", "", "0", "k", "extra"]),
        ("options are case-sensitive", ["-GET", "a"]),
    ]

    def test_usage_exit_status_and_exact_output(self):
        for name, words in self.CASES:
            with self.subTest(name):
                r = run(*words, argv0="vemrick")
                self.assertEqual(r.status, 1)
                self.assertEqual(r.out, BAD_USAGE_OUT)
                self.assertEqual(r.err, BAD_USAGE_ERR)


class Inspect(unittest.TestCase):
    FIELDS = dict(MerchantID="M7", TransactionID="ORDER-9", CurrencyCode="USD",
                  TransactionAmount="99.95", Description="A lamp", PAN="5500000000000004")

    def padded(self):
        widths = dict(authstring.FIELDS)
        return {k: v.ljust(widths[k]) for k, v in self.FIELDS.items()}

    def test_g_and_get_print_the_untrimmed_fields(self):
        auth = authstring.authstring(**self.FIELDS)
        for option in ("-g", "-get"):
            with self.subTest(option):
                r = run(option, auth)
                self.assertEqual((r.status, r.err), (0, ""))
                self.assertEqual(r.out, inspect_lines(self.padded(), 0))

    def test_auth_string_split_over_lines_decodes(self):
        auth = authstring.authstring(**self.FIELDS)
        wrapped = "\n".join(auth[i:i + 76] for i in range(0, len(auth), 76))
        self.assertEqual(run("-get", wrapped).out, inspect_lines(self.padded(), 0))

    def test_unusable_auth_strings(self):
        cases = [
            ("not base64", "!!!!", 2010),
            ("too short for the fields", authstring.base64.b64encode(b"x" * 100).decode(), 2010),
            ("empty word", "", 1000),
        ]
        for name, auth, code in cases:
            with self.subTest(name):
                r = run("-get", auth)
                self.assertEqual((r.status, r.err), (0, ""))
                self.assertEqual(r.out, inspect_lines({}, code))


class Dispatch(unittest.TestCase):
    def test_unknown_dash_word_with_seven_arguments_is_a_payment(self):
        # The dash-word is taken as the AuthString; the pay command then fails on the key file.
        r = run("-x", "http://127.0.0.1:9/", "30", "", "0", "/nonexistent/key")
        self.assertEqual(r.status, 0)
        self.assertEqual(r.out, "ReturnCode=999\nReturnDescription=Unable to open Merchant Key File\n")
        self.assertEqual(r.err, "Unable to open Merchant Key File\n")


class UnwritableOutput(unittest.TestCase):
    """A result that cannot be written is reported on stderr with exit status 2, never lost quietly."""
    CASES = [  # name, how standard output is set up in the child
        ("full device", lambda: os.dup2(os.open("/dev/full", os.O_WRONLY), 1)),
        ("closed", lambda: os.close(1)),
    ]

    def test_exit_status_2(self):
        for name, setup in self.CASES:
            for words in (["-g", authstring.authstring()], ["x"]):
                with self.subTest(stdout=name, words=words[0]):
                    proc = subprocess.run(harness.WRAPPER + [harness.BIN] + words, stdin=subprocess.DEVNULL,
                                          stderr=subprocess.PIPE, preexec_fn=setup, timeout=120)
                    self.assertEqual(proc.returncode, 2)
                    self.assertTrue(proc.stderr.decode().endswith("vemrick: cannot write the result: %s\n"
                                                                  % os.strerror(28 if name == "full device" else 9)),
                                    proc.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
