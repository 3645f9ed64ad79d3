#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Command-line checks and offline inspection, byte for byte."""
import os
import re
import subprocess
import unittest

import harness
from harness import authstring, check, run

PROG = harness.program_name("vemrick")
USAGE = (
    "Usage: %s AuthString URL timeout proxyHost proxyPort merchantKeyFile\n"
    "       %s -{g}et AuthString\n"
    "       %s -preauth AuthString URL timeout proxyHost proxyPort merchantKeyFile expireSeconds\n"
    "Options, before the rest: --cacert FILE, --cert FILE, --cert-key FILE, --pin sha256//BASE64[;...], "
    "--json, --trace, --journal FILE,\n--key-fd N (merchantKeyFile then -), --proxy-user-file FILE "
    "(user:password), -- (ends the options);\n"
    "AuthString - reads it from standard input\n"
) % (PROG, PROG, PROG)
BAD_USAGE_OUT = "ReturnCode=999\nReturnDescription=Bad Usage\n\n"
BAD_USAGE_ERR = USAGE + "Bad Usage\n\n"


class WrongCommandLines(unittest.TestCase):
    CASES = [
        ("no arguments", []), ("one word", ["x"]), ("-get with two words", ["-get", "a", "b"]),
        ("-g with nothing", ["-g"]), ("-preauth with six words", ["-preauth", "a", "u", "30", "", "0", "k"]),
        ("-preauth with eight words", ["-preauth", "a", "u", "30", "", "0", "k", "5", "extra"]),
        ("pay with five words", ["a", "u", "30", "", "0"]), ("options are case-sensitive", ["-GET", "a"]),
        ("pay with seven words", ["a", "u", "30", "", "0", "k", "extra"]),
        ("--help with a word", ["--help", "x"]), ("--version before a mode", ["--version", "-g", "a"]),
        ("--HELP", ["--HELP"]), ("-help", ["-help"]),
    ]

    def test_usage_exit_status_and_exact_output(self):
        for name, words in self.CASES:
            with self.subTest(name):
                r = run(*words, argv0="vemrick")
                self.assertEqual((r.status, r.out, r.err), (1, BAD_USAGE_OUT, BAD_USAGE_ERR))


class Information(unittest.TestCase):
    """--help and --version alone: the answer on stdout, exit status 0, nothing on stderr."""
    VERSION = re.compile(r"vemrick %s\nhttps: (yes|no) \([^\n]+\)\n\Z" % re.escape(os.environ["VEMRICK_VERSION"]))

    def test_answers(self):
        for option, expect in (("--help", lambda out: out.startswith(USAGE) and all(
                                    "  %s " % o in out for o in ("--cacert", "--cert", "--cert-key", "--json", "--trace", "--journal",
                                                                 "--key-fd", "--help", "--version"))),
                               ("--version", self.VERSION.match)):
            with self.subTest(option):
                r = run(option, argv0="vemrick")
                self.assertEqual((r.status, r.err), (0, ""))
                self.assertTrue(expect(r.out), r.out)


class Inspect(unittest.TestCase):
    """-g and -get print the six fields untrimmed; an AuthString the library refuses prints empty
    fields (the record is cleared even where the library leaves it alone) and the library's code."""
    FIELDS = dict(MerchantID="M7", TransactionID="ORDER-9", CurrencyCode="USD",
                  TransactionAmount="99.95", Description="A lamp", PAN="5500000000000004")

    def test_fields_and_refusals(self):
        widths = dict(authstring.FIELDS)
        padded = {k: v.ljust(widths[k]) for k, v in self.FIELDS.items()}
        cases = [("-g", authstring.authstring(**self.FIELDS), padded, 0),
                 ("-get", authstring.authstring(**self.FIELDS), padded, 0),
                 ("-get", "!!!!", {}, 2010), ("-get", "", {}, 1000)]
        for option, auth, fields, code in cases:
            with self.subTest(option=option, auth=auth[:8]):
                check(self, run(option, auth), "".join("%s=%s\n" % (n, fields.get(n, "")) for n, _ in
                                                       authstring.FIELDS) + "ReturnCode=%d\n" % code)


class Dispatch(unittest.TestCase):
    def test_unknown_dash_word_with_seven_arguments_is_a_payment(self):
        # The dash-word is taken as the AuthString; the pay command then fails on the key file.
        r = run("-x", "http://127.0.0.1:9/", "30", "", "0", "/nonexistent/key")
        self.assertEqual((r.status, r.out, r.err), (0, "ReturnCode=999\nReturnDescription=Unable to open "
                                                    "Merchant Key File\n", "Unable to open Merchant Key File\n"))


class UnwritableOutput(unittest.TestCase):
    """A result that cannot be written is reported on stderr with exit status 2, never lost quietly."""
    CASES = [  # name, how standard output is set up in the child
        ("full device", lambda: os.dup2(os.open("/dev/full", os.O_WRONLY), 1)),
        ("closed", lambda: os.close(1)),
    ]

    def test_exit_status_2(self):
        for name, setup in self.CASES:
            for words in (["-g", authstring.authstring()], ["x"], ["--version"]):
                with self.subTest(stdout=name, words=words[0]):
                    proc = subprocess.run(harness.WRAPPER + [harness.BIN] + words, stdin=subprocess.DEVNULL,
                                          stderr=subprocess.PIPE, preexec_fn=setup, timeout=120)
                    self.assertEqual(proc.returncode, 2)
                    self.assertTrue(proc.stderr.decode().endswith("vemrick: cannot write the result: %s\n"
                                                                  % os.strerror(28 if name == "full device" else 9)),
                                    proc.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
