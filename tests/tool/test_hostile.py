#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Hostile servers: every exchange ends by itself, in bounded time and memory, with a precise code.

The transport ends an exchange after the time-out of silence, after four time-outs in all even
while bytes keep coming, and as soon as more than 1 MiB has arrived.
"""
import concurrent.futures
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import harness
from harness import authstring, check
from servers import COMMANDS, DEMO_KEY, PayServer, Proxy, class_servers, pay, time_limit
from test_pay import KeyFileMixin, field_lines, reply_out, result_out

# Room above an ordinary payment's peak memory that a capped reply may take (KiB). Collecting an
# 8 MiB body whole would take several times the body's size.
MEMORY_ROOM_KIB = 6 * 1024
# GNU time reports the peak memory of the tool's own process (a child forked straight from this
# Python process would carry the interpreter's peak over into its exec).
GNU_TIME = "/usr/bin/time"


def run_measured(words, limit):
    """Run the tool; returns (Result, seconds, peak RSS in KiB or None when it cannot be measured).
    A run still going after `limit` seconds is killed and fails the test."""
    measure = os.access(GNU_TIME, os.X_OK) and not harness.WRAPPER
    with tempfile.NamedTemporaryFile("r") as report:
        argv = ([GNU_TIME, "-f", "%M", "-o", report.name] if measure else []) + harness.WRAPPER
        start = time.monotonic()
        proc = subprocess.run(argv + [harness.BIN] + list(words), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=limit)
        elapsed = time.monotonic() - start
        rss = int(report.read().split()[-1]) if measure else None
    return harness.Result(proc), elapsed, rss


def command_words(command, url, timeout):
    words = [harness.authstring.authstring(), url, timeout, "", "0", DEMO_KEY]
    return words if command == "pay" else ["-preauth"] + words + ["7"]


class HostileServers(unittest.TestCase):
    # A reset is what the client sees when the server closes with request bytes still unread
    # (close-during-send) or with SO_LINGER 0 (reset, reset-before): send or recv then fails,
    # which is 1002 every time. 1003 would need an orderly close with nothing received.
    CASES = [  # name, server options, time-out word, return code, seconds of waiting, memory-bounded
        ("ordinary reply (memory baseline)", (), "30", 0, 0, False),
        ("reply one byte every 3 ms", ("--misbehave", "trickle", "--trickle-interval", "0.003"),
         "30", 0, 2, False),
        ("trickle outlasting four time-outs", ("--misbehave", "trickle", "--trickle-interval", "0.5"),
         "1", 1005, 4, False),
        ("endless body", ("--misbehave", "endless"), "30", 1005, 0, True),
        ("8 MiB body", ("--misbehave", "huge-body"), "30", 1005, 0, True),
        ("closes at the first request byte", ("--misbehave", "close-during-send"), "30", 1002, 0, False),
        ("resets after reading the request", ("--misbehave", "reset"), "30", 1002, 0, False),
        ("resets before reading the request", ("--misbehave", "reset-before"), "30", 1002, 0, False),
        ("valid reply to another transaction", ("--misbehave", "other-transaction"), "30", 1005, 0, False),
    ]
    SLACK = 5   # seconds added to the expected waiting for the upper bound

    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {case[0]: PayServer(*case[1]) for case in cls.CASES})

    def test_bounded_exchanges(self):
        # All runs go at once: they mostly wait, and the slow cases would otherwise add up. Under a
        # wrapper such as valgrind they compute instead, so two at a time, as the machine has cores.
        with concurrent.futures.ThreadPoolExecutor(2 if harness.WRAPPER else 8) as pool:
            runs = {(command, name): pool.submit(run_measured,
                                                 command_words(command, self.servers[name].url(), timeout),
                                                 time_limit(wait + self.SLACK) + 30)
                    for command in COMMANDS for name, _, timeout, _, wait, _ in self.CASES}
        for command in COMMANDS:
            baseline = runs[(command, self.CASES[0][0])].result()[2]
            for name, _, _, code, wait, memory_bounded in self.CASES:
                with self.subTest(command=command, case=name):
                    r, elapsed, rss = runs[(command, name)].result()
                    check(self, r, code=code)
                    self.assertLess(elapsed, time_limit(wait + self.SLACK))
                    self.assertGreaterEqual(elapsed, wait * 0.75)
                    if memory_bounded and rss is not None:
                        self.assertLess(rss, baseline + MEMORY_ROOM_KIB)


# A pay request whose fields repeat every 16 bytes, so that "1041" + "1.00" + the signed 2040 around
# it reads as a reply echoing it, signed over the range a reply's signature covers.
REFLECTING_REQUEST = ((b"    EUR 20401.00" * 24)[:378] + b"    " + b"000000000040" + b"0000" + b"0002"
                      + b"FORGED  ")
LINE_INJECTION = "x\x7f\nTransactionID=T0002-expensive\nTransactionAmount=999.00\nReturnCode=0\n"


def sanitized(text):
    return "".join("?" if ord(c) < 0x20 or ord(c) == 0x7F else c for c in text)


class Attacks(KeyFileMixin, unittest.TestCase):
    """No buyer, server or network can make the tool print an approval the server did not give,
    or a line that a key=value reader takes for another value."""

    @classmethod
    def setUpClass(cls):
        modes = ("reflect", "inject-date", "reset-after-reply", "silent")
        cls.servers = class_servers(cls, dict(
            {m: PayServer("--misbehave", m) for m in modes}, plain=PayServer(), proxy=Proxy(),
            unsigned=PayServer("--accept-unsigned", "--misbehave", "inject-date")))

    def test_refused_before_sending(self):
        reflecting = authstring.base64.b64encode(REFLECTING_REQUEST).decode()
        port = self.servers["plain"].port
        for command, run in COMMANDS.items():
            cases = [  # name, server, AuthString, URL (None: the server's), proxy, code
                ("reflected request", "reflect", reflecting, None, ("", "0"), 2010),
                ("https to a plain port: no request in clear", "plain", None,
                 "https://127.0.0.1:%d/pay" % port, ("", "0"), 1002),
                ("a scheme the tool does not speak", "plain", None, "ftp://127.0.0.1:%d/pay" % port,
                 ("", "0"), 1002),
                ("port above 65535", "plain", None, "http://127.0.0.1:%d/pay" % (port + 65536),
                 ("", "0"), 1002),
                ("port with a letter", "plain", None, "http://127.0.0.1:%dx/pay" % port, ("", "0"), 1002),
                ("negative proxy port", "plain", None, None, ("127.0.0.1", "-5"), 1002),
            ]
            for name, which, auth, url, proxy, code in cases:
                with self.subTest(command=command, case=name):
                    server = self.servers[which]
                    check(self, run(url or server.url(), auth, proxy=proxy), code=code)
                    self.assertEqual([e for e in server.new_log_entries() if "request_line" in e], [])
                    self.assertEqual(self.servers["proxy"].new_log_entries(), [])

    def test_refused_reply_shows_nothing_of_it(self):
        for command, run in COMMANDS.items():
            with self.subTest(command=command):
                check(self, run(self.servers["inject-date"].url()),
                      result_out(command, [], field_lines({}), "", "", 1005))

    def test_every_value_keeps_to_its_line(self):
        fields = {"Description": LINE_INJECTION}
        shown = {"Description": sanitized(LINE_INJECTION)}
        for command, run in COMMANDS.items():
            with self.subTest(command=command):
                server = self.servers["plain"]
                r = run(server.url(), authstring.authstring(**fields))
                check(self, r, reply_out(command, shown, ["1111"], server.new_log_entries()[0]["reply"], 0))
        with self.subTest("inspect"):
            check(self, harness.run("-g", authstring.authstring(**fields)), field_lines(shown) + "ReturnCode=0\n")
        with self.subTest("unsigned reply"):
            server = self.servers["unsigned"]
            r = pay(server.url(), key=self.key_file(b"\n"))
            reply = server.new_log_entries()[0]["reply"]
            check(self, r, result_out("pay", ["?Card=0?"], field_lines({}), sanitized(reply[378:398]), reply[-40:], 0),
                  warning=harness.NO_KEY)

    def test_complete_reply_survives_a_reset(self):
        server = self.servers["reset-after-reply"]
        for command, run in COMMANDS.items():
            with self.subTest(command=command):
                r = run(server.url())
                check(self, r, reply_out(command, {}, ["1111"], server.new_log_entries()[0]["reply"], 0))

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv") and not harness.WRAPPER,
                         "needs root and setpriv, and the tool run directly")
    def test_no_core_dump_while_the_key_is_held(self):
        # The files in /proc/PID/ of a process that turned core dumps off belong to root, whoever it
        # runs as: run the tool as nobody and look while it waits on a silent server.
        nobody = 65534
        with tempfile.TemporaryDirectory() as d:
            os.chmod(d, 0o755)
            tool = shutil.copy(harness.BIN, os.path.join(d, "vemrick"))
            key = shutil.copy(DEMO_KEY, os.path.join(d, "key"))
            os.chown(key, nobody, nobody)
            server = self.servers["silent"]
            argv = ["setpriv", "--reuid=%d" % nobody, "--regid=%d" % nobody, "--clear-groups", tool,
                    harness.authstring.authstring(), server.url(), "3", "", "0", key]
            with subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE) as proc:
                server.wait_log_entries(1)
                owner = os.stat("/proc/%d/environ" % proc.pid).st_uid
                out, err = proc.communicate(timeout=30)
        self.assertEqual(owner, 0)
        self.assertTrue(out.endswith(b"\nReturnCode=1003\n"), (out, err))


if __name__ == "__main__":
    unittest.main(verbosity=2)
