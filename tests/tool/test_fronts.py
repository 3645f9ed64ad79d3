#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The fronts merchants put before the payment server, end to end: name-based virtual hosts, error
pages of fronts and proxies, replies sent with a Content-Length on a connection held open, and
proxies that want credentials (Debian's tinyproxy with BasicAuth, and sim/proxy.py).

A reply that fails its checks is described by its status; the proxy credentials go to the proxy
only and never show on standard output, standard error, the trace or the journal.
"""
import base64
import json
import os
import time
import unittest

from harness import authstring, check
import launch  # sim/launch.py, on the path through harness
from test_pay import KeyFileMixin
from servers import (COMMANDS, PayServer, Proxy, Tinyproxy, certificates, class_servers, pay, time_limit,
                     tls_options)

USER, PASSWORD = "merchant", "s3cret-Pw"
CREDENTIALS = USER + ":" + PASSWORD
SECRETS = (PASSWORD, base64.b64encode(CREDENTIALS.encode()).decode())
SENT = " (request sent: the outcome is unknown; check with the payment server before paying again)\n"
NOT_SENT = " (request not sent)\n"
REFUSED = (" (request refused by the proxy, which should not have passed it on; check with the payment "
           "server before paying again)\n")
CACERT = ("--cacert", certificates()["ca"])


class Fronts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        modes = ("bad-gateway", "unavailable", "too-large", "html-error", "error-status-reply", "hold-open")
        servers = {m: PayServer("--misbehave", m) for m in modes}
        servers.update(vhost=PayServer("--require-host", "localhost"), proxy=Proxy(), plain=PayServer())
        cls.servers = class_servers(cls, servers)

    def test_status_names_what_went_wrong(self):
        """A reply that fails the checks is described by the status of the response that carried
        it, in the library's report, on stderr and in JSON; a valid signed reply is taken whatever
        the status. Through a proxy either may have answered."""
        closed = self.servers["plain"].url().replace(str(self.servers["plain"].port), "1")
        cases = [  # server (or a URL), through the proxy, return code, stderr line without "vemrick: "
            ("bad-gateway", False, 1005, "reply: server answered HTTP 502 Bad Gateway instead of a reply"),
            ("unavailable", False, 1005,
             "reply: server answered HTTP 503 Service Unavailable instead of a reply"),
            ("too-large", False, 1005, "reply: server answered HTTP 413 Payload Too Large instead of a reply"),
            ("html-error", True, 1005,
             "reply: proxy or server answered HTTP 500 Internal Server Error instead of a reply"),
            (closed, True, 1005, "reply: proxy or server answered HTTP 502 Bad Gateway instead of a reply"),
            ("error-status-reply", False, 0, None),
        ]
        for which, via_proxy, code, line in cases:
            with self.subTest(which, via_proxy=via_proxy):
                url = self.servers[which].url() if which in self.servers else which
                proxy = ("127.0.0.1", str(self.servers["proxy"].port)) if via_proxy else ("", "0")
                r = pay(url, proxy=proxy, options=("--json",))
                doc = json.loads(r.out)
                self.assertEqual((doc["returnCode"], doc.get("returnDescription")), (code, line), r.err)
                self.assertEqual(r.err, "vemrick: " + line + SENT if line else "")

    def test_reply_taken_at_its_length_on_a_connection_held_open(self):
        """The server sends the reply with its Content-Length and keeps the connection: the payment
        completes long before the 20 s time-out."""
        for command, run in COMMANDS.items():
            with self.subTest(command):
                start = time.monotonic()
                r = run(self.servers["hold-open"].url(), timeout="20")
                check(self, r, code=0)
                self.assertLess(time.monotonic() - start, time_limit(8))

    def test_virtual_host_sees_its_name(self):
        """Every request names its host, directly and through a proxy: a server that serves only
        requests for "localhost" takes those and refuses a request for its address."""
        server = self.servers["vhost"]
        proxy = ("127.0.0.1", str(self.servers["proxy"].port))
        for host, via, code in (("localhost", ("", "0"), 0), ("localhost", proxy, 0), ("127.0.0.1", ("", "0"), 1005)):
            with self.subTest(host=host, proxy=via[0]):
                if host == "localhost" and not launch.localhost_resolves():
                    self.skipTest(launch.NO_LOCALHOST)
                r = pay(server.url(host=host), proxy=via)
                check(self, r, code=code)
                entry = server.new_log_entries()[-1]
                self.assertIn(["Host", "%s:%d" % (host, server.port)], entry["headers"])
                if code:
                    self.assertIn("server answered HTTP 400 Bad Request instead of a reply", r.err)


class ProxyCredentials(KeyFileMixin, unittest.TestCase):
    """Tinyproxy demands Basic credentials for http requests and for CONNECT alike."""

    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {"tinyproxy": Tinyproxy(basic_auth=(USER, PASSWORD)),
                                          "plain": PayServer(), "tls": PayServer(*tls_options())})

    def test_credentials_decide(self):
        """Approved with the right credentials; without or with wrong ones the proxy's 407 is named:
        for http in phase proxy (the proxy got the request but should not have passed it on), for
        https before the request leaves. The credentials never show, not even in the trace or
        the journal, and never reach the payment server."""
        good = self.key_file(("%s:%s\r\n" % (USER, PASSWORD)).encode())
        wrong = self.key_file(("%s:wrong\n" % USER).encode())
        wants = "proxy: proxy answered HTTP 407 Proxy Authentication Required: it wants credentials"
        connect = "proxy: proxy answered HTTP/1.0 %s: it "
        cases = [  # scheme, proxy user file, code, stderr
            ("http", good, 0, ""),
            ("https", good, 0, ""),
            ("http", None, 1005, "vemrick: " + wants + REFUSED),
            # tinyproxy answers wrong credentials with 401, which a server may send too
            ("http", wrong, 1005, "vemrick: reply: proxy or server answered HTTP 401 Unauthorized instead of a "
                                  "reply" + SENT),
            ("https", None, 1002, "vemrick: " + connect % "407 Proxy Authentication Required" + "wants credentials"
             + NOT_SENT),
            ("https", wrong, 1002, "vemrick: " + connect % "401 Unauthorized" + "did not accept the credentials"
             + NOT_SENT),
        ]
        proxy = ("127.0.0.1", str(self.servers["tinyproxy"].port))
        journal = os.path.join(os.path.dirname(good), "journal")
        for scheme, user_file, code, err in cases:
            with self.subTest(scheme=scheme, user_file=user_file):
                server = self.servers["tls" if scheme == "https" else "plain"]
                options = CACERT + ("--journal", journal) + (("--proxy-user-file", user_file) if user_file else ())
                r = pay(server.url(scheme=scheme), proxy=proxy, options=options)
                check(self, r, code=code)
                self.assertEqual(r.err, err)
                entries = server.new_log_entries()
                self.assertEqual(len(entries), 1 if code == 0 else 0)
                traced = pay(server.url(scheme=scheme), proxy=proxy, options=options + ("--trace", "--json"))
                with open(journal) as f:
                    journaled = f.read()
                for secret in SECRETS:
                    for text in (r.out, traced.out, traced.err, journaled):
                        self.assertNotIn(secret, text)
                for entry in entries + server.new_log_entries():
                    self.assertNotIn("proxy-authorization", [name.lower() for name, _ in entry["headers"]])

    def test_user_file_checks(self):
        """A file that others can read is used, with a warning; one without a user:password line,
        or none at all, stops the run before anything is sent."""
        proxy = ("127.0.0.1", str(self.servers["tinyproxy"].port))
        line = ("%s:%s\n" % (USER, PASSWORD)).encode()
        malformed = ("ReturnCode=999\nReturnDescription=Proxy user file holds no user:password line "
                     "(at most 1024 bytes, no control characters)\n")
        cases = [  # file content (None: no file), mode, stdout (None: approved), stderr
            (line, 0o644, None, "vemrick: warning: proxy user file is accessible by others (chmod 600)\n"),
            (b"no colon\n", 0o600, malformed, malformed.split("=")[-1]),
            (b"", 0o600, malformed, malformed.split("=")[-1]),
            (b"user:pa\x01ss\n", 0o600, malformed, malformed.split("=")[-1]),
            (b"u:" + b"p" * 1023 + b"\n", 0o600, malformed, malformed.split("=")[-1]),
            (None, 0, "ReturnCode=999\nReturnDescription=Unable to open proxy user file\n",
             "Unable to open proxy user file\n"),
        ]
        for content, mode, out, err in cases:
            with self.subTest(content=content and content[:12], mode=oct(mode)):
                path = self.key_file(content, mode) if content is not None else "/nonexistent/user"
                r = pay(self.servers["plain"].url(), proxy=proxy, options=("--proxy-user-file", path))
                if out is None:
                    self.assertEqual(r.value("ReturnCode"), "0", r.err)
                else:
                    self.assertEqual(r.out, out)
                self.assertEqual(r.err, err)
        self.assertEqual(len(self.servers["plain"].new_log_entries()), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
