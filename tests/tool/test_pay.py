#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Payments and pre-authorizations end to end: the built tool against the test payment server.

Every run must exit with status 0 and print the result lines; only ReturnCode tells the outcome.
Hostile transports (trickle, endless and huge bodies, resets, replies to another transaction) are
in test_hostile.py.
"""
import concurrent.futures
import datetime
import os
import socket
import tempfile
import time
import unittest

import harness
import servers
from harness import NO_KEY, authstring, check
from servers import COMMANDS, PayServer, Proxy, class_servers, pay, preauth

DEMO_KEY = b"demo-merchant-key-0001"
# Per command: the names of the date/time and number lines, and where the date/time lies in a reply.
TRAILER = {"pay": ("PayAuthorizationDateTime", "PayAuthorizationNumber", 378),
           "preauth": ("PreAuthDateTime", "QZAuthorizationNumber", 386)}


def field_lines(fields):
    """The six field lines for a request made of DEFAULTS overridden by `fields`, space-filled."""
    return "".join("%s=%s\n" % (name, fields.get(name, authstring.DEFAULTS[name]).ljust(width))
                   for name, width in authstring.FIELDS)


def result_out(command, cards, fields_text, date_time, number, code):
    date_key, number_key, _ = TRAILER[command]
    return ("".join("Card=%s\n" % c for c in cards) + fields_text
            + "%s=%s\n%s=%s\nReturnCode=%d\n" % (date_key, date_time, number_key, number, code))


def reply_out(command, fields, cards, reply, code):
    """What the tool prints for the reply the server logged: its date/time and signature."""
    at = TRAILER[command][2]
    return result_out(command, cards, field_lines(fields), reply[at:at + 20], reply[-40:], code)


def failure_out(text):
    return "ReturnCode=999\nReturnDescription=%s\n" % text


class KeyFileMixin:
    """Key files in a directory that lives as long as the test class."""

    @classmethod
    def key_file(cls, content, mode=0o600):
        """A file holding `content`; None gives a path where no file is, "dir" a directory, and
        another text is a path taken as it is."""
        if "_keys" not in cls.__dict__:
            cls._keys = tempfile.TemporaryDirectory(prefix="vemrick-keys-")
            cls.addClassCleanup(cls._keys.cleanup)
        if isinstance(content, str):
            return cls._keys.name if content == "dir" else content
        path = os.path.join(cls._keys.name, "key%d" % len(os.listdir(cls._keys.name)))
        if content is not None:
            with open(os.open(path, os.O_WRONLY | os.O_CREAT, mode), "wb") as f:
                f.write(content)
            os.chmod(path, mode)
        return path


class Replies(unittest.TestCase):
    """An accepted reply prints its cards in reply order, the request's fields untrimmed, the
    server's date/time and signature, and the server's return code. The same reply with one
    signature character changed prints only the request's fields and ReturnCode=1005."""
    ROWS = [  # name, server, request fields, cards the server returns, its return code
        ("three cards, approved", "plain", {"PAN": "4000000000000002"}, ["ALPHA", "BRAVO12345", "CHARLIE"], 0),
        ("insufficient funds passed through", "plain", {"TransactionAmount": "12.51"}, ["1111"], 51),
        ("the most cards a reply holds", "plain", {"PAN": "4000000000001024"},
         ["CARD%04d" % i for i in range(1, 1025)], 0),
        ("every field at full width", "plain",
         {"MerchantID": "M" * 10, "TransactionID": "T" * 50, "CurrencyCode": "CHF",
          "TransactionAmount": "123456789.00", "Description": "Caf\xe9 " + "d" * 250, "PAN": "9" * 40},
         ["9999"], 0),
        ("head with bare LF line ends", "bare-lf", {}, ["1111"], 0),
        ("body in 76-character lines", "split-body", {"TransactionAmount": "3.05"}, ["1111"], 5),
    ]

    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {
            "plain": PayServer(), "tampered": PayServer("--misbehave", "bad-signature"),
            "bare-lf": PayServer("--misbehave", "bare-lf"),
            "split-body": PayServer("--misbehave", "split-body")})

    def test_reply_lines_exactly(self):
        for command in COMMANDS:
            for name, which, fields, cards, code in self.ROWS:
                auth = authstring.authstring(**fields)
                for server, tampered in [(which, False)] + ([("tampered", True)] if which == "plain" else []):
                    with self.subTest(command=command, case=name, server=server):
                        server = self.servers[server]
                        r = COMMANDS[command](server.url(), auth)
                        entries = server.new_log_entries()
                        self.assertEqual([(e["type"], e["error"]) for e in entries],
                                         [({"pay": "2040", "preauth": "1093"}[command], None)],
                                         server.stderr_text())
                        check(self, r, result_out(command, [], field_lines(fields), "", "", 1005) if tampered
                              else reply_out(command, fields, cards, entries[0]["reply"], code))


class NoAcceptedReply(unittest.TestCase):
    """A reply that is wrong in any one way gives 1005; no connection 1002, no reply 1003. The
    request's fields are printed, with an empty date/time and number."""
    CASES = [  # server misbehaviour (None: nothing listens), return code
        (None, 1002), ("close", 1003), ("silent", 1003), ("lower-case-signature", 1005),
        ("wrong-type", 1005), ("wrong-version", 1005), ("no-echo", 1005), ("truncated", 1005),
        ("cards-0", 1005), ("cards-1025", 1005), ("cards-beyond", 1005), ("sig-offset", 1005),
        ("html-error", 1005),
    ]

    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {m: PayServer("--misbehave", m) for m, _ in cls.CASES if m})

    def test_codes_and_lines(self):
        with socket.socket() as s:  # a loopback port that nothing listens on (bound, then released)
            s.bind(("127.0.0.1", 0))
            closed = "http://127.0.0.1:%d/pay" % s.getsockname()[1]
        for command, run in COMMANDS.items():
            for mode, code in self.CASES:
                with self.subTest(command=command, mode=mode):
                    r = run(self.servers[mode].url() if mode else closed, timeout="2")
                    check(self, r, result_out(command, [], field_lines({}), "", "", code))


class KeyFiles(KeyFileMixin, unittest.TestCase):
    """The key file holds the key and one final byte, which is dropped. An empty key posts the
    AuthString unchanged and leaves the reply's signature unchecked."""
    CASES = [  # name, key file content, server, return code, what the server received (None: nothing)
        ("key and line end", DEMO_KEY + b"\n", "plain", 0, "2040"),
        ("key and any one final byte", DEMO_KEY + b"#", "plain", 0, "2040"),
        ("no line end: the key loses its last character", DEMO_KEY, "plain", 1005, "2040"),
        ("one byte: AuthString posted unchanged", b"\n", "unsigned", 0, "unsigned"),
        ("one byte: reply signature not checked", b"\n", "unsigned bad-signature", 0, "unsigned"),
        ("one byte: reply echo still checked", b"\n", "unsigned no-echo", 1005, "unsigned"),
        ("one byte: server wants a signed message", b"\n", "plain", 1005, "unsigned"),
        ("key of 65 bytes cannot sign", b"k" * 65 + b"\n", "plain", 2010, None),
        ("file of 600 bytes: key of 510", b"k" * 600, "plain", 2010, None),
    ]
    FAILURES = [  # name, key file content (None: no such file; "dir": a directory), message
        ("missing file", None, "Unable to open Merchant Key File"),
        ("empty file", b"", "Unable to read Merchant Key File"),
        ("a directory", "dir", "Unable to read Merchant Key File"),
        ("a NUL would shorten the key", DEMO_KEY + b"\0rest\n", "Merchant Key File holds a NUL byte"),
        ("a NUL would empty the key", b"\0\n", "Merchant Key File holds a NUL byte"),
        ("endless NUL bytes", "/dev/zero", "Merchant Key File holds a NUL byte"),
    ]

    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {
            "plain": PayServer(), "unsigned": PayServer("--accept-unsigned"),
            "unsigned bad-signature": PayServer("--accept-unsigned", "--misbehave", "bad-signature"),
            "unsigned no-echo": PayServer("--accept-unsigned", "--misbehave", "no-echo")})

    def test_key_file_contents(self):
        for name, content, which, code, received in self.CASES:
            with self.subTest(name):
                server = self.servers[which]
                check(self, pay(server.url(), key=self.key_file(content)), code=code,
                      warning=NO_KEY if content == b"\n" else "")
                entries = server.new_log_entries()
                self.assertEqual([e["type"] for e in entries], [received] if received else [])
                if received == "unsigned":
                    self.assertEqual(entries[0]["message"], authstring.pay_request().decode("latin-1"))

    def test_key_file_others_can_read_is_used_with_a_warning(self):
        r = pay(self.servers["plain"].url(), key=self.key_file(DEMO_KEY + b"\n", 0o644))
        self.assertEqual(r.err, "vemrick: warning: Merchant Key File is accessible by others (chmod 600)\n")
        self.assertTrue(r.out.endswith("\nReturnCode=0\n"), r.out)
        self.assertEqual(len(self.servers["plain"].new_log_entries()), 1)

    def test_unreadable_key_file_stops_before_the_library(self):
        server = self.servers["plain"]
        for command, run in COMMANDS.items():
            for name, content, message in self.FAILURES:
                with self.subTest(command=command, case=name):
                    r = run(server.url(), key=self.key_file(content))
                    self.assertEqual((r.status, r.out, r.err), (0, failure_out(message), message + "\n"))
                    self.assertEqual(server.new_log_entries(), [])


class LibraryArguments(KeyFileMixin, unittest.TestCase):
    """When the library returns before filling the record, pay prints its "Unknown!" presets
    (the three-character currency slot shows "Unk") and the pre-authorization empty fields."""
    PRESETS = "".join("%s=%s\n" % (name, "Unknown!"[:width]) for name, width in authstring.FIELDS)
    CLEARED = "".join("%s=\n" % name for name, _ in authstring.FIELDS)
    CASES = [  # command, AuthString (None: a good one), URL ("server" or a text), key file, fields, code
        ("pay", None, "", DEMO_KEY + b"\n", PRESETS, 1000),
        ("pay", "", "server", DEMO_KEY + b"\n", PRESETS, 1000),
        ("pay", "!!!!", "server", DEMO_KEY + b"\n", PRESETS, 2010),
        ("pay", authstring.base64.b64encode(b"x" * 100).decode(), "server", DEMO_KEY + b"\n", PRESETS, 2010),
        ("preauth", None, "", DEMO_KEY + b"\n", CLEARED, 1000),
        ("preauth", None, "server", b"\n", CLEARED, 1000),  # the pre-authorization needs a key
        ("preauth", "!!!!", "server", DEMO_KEY + b"\n", CLEARED, 2010),
    ]

    @classmethod
    def setUpClass(cls):
        cls.server = class_servers(cls, {"plain": PayServer()})["plain"]

    def test_nothing_is_sent_and_the_record_is_untouched(self):
        for command, auth, url, key, fields, code in self.CASES:
            with self.subTest(command=command, auth=auth, url=url, key=key):
                unknown = "Unknown!" if command == "pay" else ""
                r = COMMANDS[command](self.server.url() if url == "server" else url, auth,
                                      key=self.key_file(key))
                check(self, r, result_out(command, [], fields, unknown, unknown, code),
                      warning=NO_KEY if key == b"\n" else "")
                self.assertEqual(self.server.new_log_entries(), [])


def local_date(days):
    return (datetime.date.today() + datetime.timedelta(days)).strftime("%Y%m%d")


# Around both changes of daylight-saving time in Europe/Berlin in 2024, the expiry counts calendar
# days, not multiples of 24 hours: seconds since 1970, days, date sent.
# (2024-10-26 00:30 CEST: 48 h later is the 27th; 2024-03-30 23:30 CET: 48 h later is the 2nd; then
# 2024-04-01 00:30 CEST and 2024-10-28 23:30 CET, two days back.)
DST_EXPIRY = [(1729895400, 2, "20241028"), (1711837800, 2, "20240401"),
              (1711924200, -2, "20240330"), (1730154600, -2, "20241026")]


class Expiry(unittest.TestCase):
    """The pre-authorization's expiry: days from now as a local YYYYMMDD date, at most 90 days."""
    SENT = [("0", 0), ("90", 90), ("-1", -1), ("abc", 0)]  # expiry days text, days ahead of today
    OUT_OF_RANGE = "Expire Days gives a date outside the years 0001 to 9999"
    REFUSED = [  # expiry days text, description; all refused before the key file is read
        ("91", "Expire Days is two large (max 90 days)"),
        ("99999999999999999999", "Expire Days is two large (max 90 days)"),
        ("", "Expire Days is NULL"),
        ("-99999999", OUT_OF_RANGE),
        ("-9223372036854775808", OUT_OF_RANGE),
    ]

    @classmethod
    def setUpClass(cls):
        cls.server = class_servers(cls, {"plain": PayServer()})["plain"]

    def test_expiry_date_sent(self):
        for text, days in self.SENT:
            with self.subTest(days=text):
                before = local_date(days)
                check(self, preauth(self.server.url(), days=text), code=0)
                entries = self.server.new_log_entries()
                self.assertEqual([e["type"] for e in entries], ["1093"])
                self.assertIn(entries[0]["expiry"], {before, local_date(days)})  # midnight may pass

    def test_expiry_counts_calendar_days(self):
        inject = os.environ.get("VEMRICK_INJECT")
        if not inject or harness.WRAPPER:
            self.skipTest("the tool's clock is fixed through the fault injector (VEMRICK_INJECT)")
        for now, days, date in DST_EXPIRY:
            with self.subTest(now=now, days=days):
                env = dict(LD_PRELOAD=inject, VEMRICK_NOW=str(now), TZ="Europe/Berlin")
                check(self, preauth(self.server.url(), days=str(days), env=env), code=0)
                self.assertEqual([e["expiry"] for e in self.server.new_log_entries()], [date])

    def test_expiry_refused(self):
        missing_key = os.path.join(tempfile.gettempdir(), "vemrick-no-such-key")
        for text, description in self.REFUSED:
            for key in (servers.DEMO_KEY, missing_key):
                with self.subTest(days=text, key=key):
                    check(self, preauth(self.server.url(), days=text, key=key), failure_out(description))
                    self.assertEqual(self.server.new_log_entries(), [])


class ProxyMode(unittest.TestCase):
    """With a proxy host and a non-zero port the request goes to the proxy with the absolute URL in
    its request line; otherwise straight to the server."""
    CASES = [  # proxy host, proxy port ("P": the proxy's), server, goes through the proxy, code
        ("127.0.0.1", "P", "plain", True, 0),
        ("127.0.0.1", "P", "tampered", True, 1005),
        ("127.0.0.1", "0", "plain", False, 0),
        ("", "P", "plain", False, 0),
        ("127.0.0.1", "abc", "plain", False, 0),
    ]

    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {"proxy": Proxy(), "plain": PayServer(),
                                          "tampered": PayServer("--misbehave", "bad-signature")})

    def test_routes(self):
        proxy = self.servers["proxy"]
        for command, run in COMMANDS.items():
            for host, port, which, proxied, code in self.CASES:
                with self.subTest(command=command, host=host, port=port, server=which):
                    server = self.servers[which]
                    check(self, run(server.url(), proxy=(host, str(proxy.port) if port == "P" else port)),
                          code=code)
                    self.assertEqual([e["request_line"] for e in proxy.new_log_entries()],
                                     ["POST %s HTTP/1.0" % server.url()] if proxied else [])
                    self.assertEqual([e["request_line"] for e in server.new_log_entries()],
                                     ["POST /pay HTTP/1.0"])


class Timeouts(unittest.TestCase):
    """A time-out text below 1 or not a number gives 30 s; the server here answers after 2 s, so
    those runs approve while a 1 s time-out gives up. The runs go in parallel."""
    CASES = [("0", 0), ("abc", 0), ("99999999999999999999", 0), ("1", 1003)]  # time-out word, code

    @classmethod
    def setUpClass(cls):
        cls.server = class_servers(cls, {"slow": PayServer("--delay", 2)})["slow"]

    def test_time_out_words(self):
        with concurrent.futures.ThreadPoolExecutor(len(self.CASES)) as pool:
            runs = [(word, code, pool.submit(pay, self.server.url(), timeout=word))
                    for word, code in self.CASES]
        for word, code, future in runs:
            with self.subTest(timeout=word):
                check(self, future.result(), code=code)


if __name__ == "__main__":
    unittest.main(verbosity=2)
