#!/usr/bin/env python3
"""Hostile servers: every exchange ends by itself, in bounded time and memory, with a precise code.

The transport ends an exchange after the time-out of silence, after four time-outs in all even
while bytes keep coming, and as soon as more than 1 MiB has arrived.
"""
import concurrent.futures
import os
import subprocess
import tempfile
import time
import unittest

import harness
from servers import COMMANDS, DEMO_KEY, PayServer, class_servers, time_limit

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
    auth = harness.authstring.authstring()
    if command == "pay":
        return [auth, url, timeout, "", "0", DEMO_KEY]
    return ["-preauth", auth, url, timeout, "", "0", DEMO_KEY, "7"]


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
        # All runs go at once: they mostly wait, and the slow cases would otherwise add up.
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            runs = {(command, name): pool.submit(run_measured,
                                                 command_words(command, self.servers[name].url(), timeout),
                                                 time_limit(wait + self.SLACK) + 30)
                    for command in COMMANDS for name, _, timeout, _, wait, _ in self.CASES}
        for command in COMMANDS:
            baseline = runs[(command, self.CASES[0][0])].result()[2]
            for name, _, _, code, wait, memory_bounded in self.CASES:
                with self.subTest(command=command, case=name):
                    r, elapsed, rss = runs[(command, name)].result()
                    self.assertEqual((r.status, r.err), (0, ""))
                    self.assertTrue(r.out.endswith("\nReturnCode=%d\n" % code), r.out)
                    self.assertLess(elapsed, time_limit(wait + self.SLACK))
                    self.assertGreaterEqual(elapsed, wait * 0.75)
                    if memory_bounded and rss is not None:
                        self.assertLess(rss, baseline + MEMORY_ROOM_KIB)


if __name__ == "__main__":
    unittest.main(verbosity=2)
