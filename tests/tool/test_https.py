#!/usr/bin/env python3
"""HTTPS end to end: the built tool against the test payment server speaking TLS, directly and
through CONNECT tunnels (sim/proxy.py and Debian's tinyproxy), over IPv4 and IPv6.

sim/certs.py makes the certificates for the run: a test CA that the tool trusts with --cacert,
and server certificates that are good, for another name, expired, or from a CA nobody trusts.
What fails a check must fail before the request leaves: the server's log then holds no request,
and the tool says why in one line on stderr.
"""
import os
import tempfile
import time
import unittest

import harness
import payserver  # sim/payserver.py, on the path through harness
from harness import authstring
from servers import (COMMANDS, PayServer, Proxy, Tinyproxy, certificates, class_servers, ipv6_loopback,
                     pay, time_limit, tls_options)

NUMBER = {"pay": "PayAuthorizationNumber", "preauth": "QZAuthorizationNumber"}
# What standard error must never hold: the card number, the merchant key, the request's signature.
KEY = b"demo-merchant-key-0001"
SECRETS = [authstring.DEFAULTS["PAN"], KEY.decode(),
           payserver.sign(KEY, b"20401.00" + authstring.pay_request() + b"000000000040").decode()]
UNREADABLE_CA = "ReturnCode=999\nReturnDescription=Unable to read CA file\n"
BAD_USAGE = "ReturnCode=999\nReturnDescription=Bad Usage\n\n"


def cacert(name="ca"):
    return ("--cacert", certificates()[name])


def requests(server):
    """The request lines in the server's new log entries; a connection that sent none is not listed."""
    return [e["request_line"] for e in server.new_log_entries() if "request_line" in e]


class Approved(unittest.TestCase):
    """With the test CA given by --cacert the tool checks the IP address or name in the URL against
    the certificate and pays and pre-authorizes, directly or through a proxy's CONNECT tunnel. The
    server logs the TLS version: 1.3 when it offers it."""
    CASES = [  # name, server, host in the URL (None: its address), proxy, options, TLS version
        ("direct", "tls", None, None, cacert(), "TLSv1.3"),
        ("server offering only TLS 1.2", "tls1.2", None, None, cacert(), "TLSv1.2"),
        ("-- ends the options", "tls", None, None, cacert() + ("--",), "TLSv1.3"),
        ("through tinyproxy", "tls", None, "tinyproxy", cacert(), "TLSv1.3"),
        ("through the test proxy", "tls", None, "proxy", cacert(), "TLSv1.3"),
        ("by the name localhost", "tls", "localhost", None, cacert(), "TLSv1.3"),
        ("by the name localhost, through the test proxy", "tls", "localhost", "proxy", cacert(),
         "TLSv1.3"),
    ]

    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {
            "tls": PayServer(*tls_options()), "tls1.2": PayServer(*tls_options(), "--tls-only", "1.2"),
            "proxy": Proxy(), "tinyproxy": Tinyproxy()})

    def connects(self, via):
        proxy = self.servers[via]
        if via == "tinyproxy":
            return proxy.new_connects()
        return [e["target"] for e in proxy.new_log_entries() if e["request_line"].startswith("CONNECT ")]

    def test_paid_over_tls(self):
        for command, run in COMMANDS.items():
            for name, which, host, via, options, version in self.CASES:
                with self.subTest(command=command, case=name):
                    server = self.servers[which]
                    proxy = ("127.0.0.1", str(self.servers[via].port)) if via else ("", "0")
                    r = run(server.url(host=host), proxy=proxy, options=options)
                    entries = server.new_log_entries()
                    self.assertEqual([(e.get("tls"), e.get("tls_error"), e.get("error")) for e in entries],
                                     [(version, None, None)], r.err)
                    self.assertEqual((r.status, r.err), (0, ""))
                    self.assertEqual((r.value(NUMBER[command]), r.value("ReturnCode")),
                                     (entries[0]["reply"][-40:], "0"), r.out)
                    if via:
                        self.assertEqual(self.connects(via), ["%s:%d" % (host or "127.0.0.1", server.port)])


class Refused(unittest.TestCase):
    """Whatever fails the checks ends in 1002 before the request leaves: the server's log holds no
    request, standard output no card, and standard error one line naming the phase and the cause,
    with neither the card number, nor the key, nor the signature in it."""
    VERIFY = "TLS: certificate verify failed \\(%s\\)"
    CASES = [  # name, server, host in the URL (None: its address), --cacert certificate (None: the
               # system store), proxy, stderr line between "vemrick: " and " (request not sent)"
        ("certificate from a CA nobody trusts", "untrusted", None, "ca", None,
         VERIFY % "unable to get local issuer certificate"),
        ("test CA unknown to the system store", "tls", None, None, None,
         VERIFY % "unable to get local issuer certificate"),
        ("certificate for another name, URL by address", "wrong-name", None, "ca", None,
         VERIFY % "IP address mismatch"),
        ("certificate for another name, URL by name", "wrong-name", "localhost", "ca", None,
         VERIFY % "hostname mismatch"),
        ("expired certificate", "expired", None, "ca", None, VERIFY % "certificate has expired"),
        ("server offering only TLS 1.1", "tls1.1", None, "ca", None, "TLS: tlsv1 alert protocol version"),
        ("plain HTTP port behind an https URL", "plain", None, "ca", None, "TLS: wrong version number"),
        ("proxy answering CONNECT with 403", "tls", None, "ca", "refusing", "proxy: .*403.*"),
    ]

    @classmethod
    def setUpClass(cls):
        servers = {name: PayServer(*tls_options(name)) for name in ("untrusted", "wrong-name", "expired")}
        servers.update({"tls": PayServer(*tls_options()), "plain": PayServer(),
                        "tls1.1": PayServer(*tls_options(), "--tls-only", "1.1"),
                        "refusing": Proxy("--refuse-connect")})
        cls.servers = class_servers(cls, servers)

    def test_nothing_leaves(self):
        for name, which, host, ca, via, line in self.CASES:
            with self.subTest(name):
                server = self.servers[which]
                proxy = ("127.0.0.1", str(self.servers[via].port)) if via else ("", "0")
                r = pay(server.url(host=host, scheme="https"), proxy=proxy, options=cacert(ca) if ca else ())
                self.assertEqual(requests(server), [])
                self.assertEqual(r.status, 0)
                self.assertTrue(r.out.endswith("\nReturnCode=1002\n"), r.out)
                self.assertNotIn("Card=", r.out)
                self.assertRegex(r.err, r"\Avemrick: %s \(request not sent\)\n\Z" % line)
                for secret in SECRETS:
                    self.assertNotIn(secret, r.err)


class Stalls(unittest.TestCase):
    """A server that never answers the TLS handshake, and a proxy that never answers CONNECT, end
    the run after the time-out, like a silent server, but with 1002: nothing was sent."""
    TIMEOUT = 2
    CASES = [  # name, server, proxy, phase on stderr
        ("TLS handshake never answered", "stall", None, "TLS"),
        ("CONNECT never answered", "tls", "stall", "proxy"),
    ]

    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {"stall": PayServer("--misbehave", "tls-stall"),
                                          "tls": PayServer(*tls_options())})

    def test_bounded_by_the_time_out(self):
        for name, which, via, phase in self.CASES:
            with self.subTest(name):
                server = self.servers[which]
                proxy = ("127.0.0.1", str(self.servers[via].port)) if via else ("", "0")
                start = time.monotonic()
                r = pay(server.url(scheme="https"), proxy=proxy, timeout=str(self.TIMEOUT), options=cacert())
                elapsed = time.monotonic() - start
                # Time-out plus a second, with room for a loaded machine.
                self.assertLess(elapsed, time_limit(2 * (self.TIMEOUT + 1)))
                self.assertGreaterEqual(elapsed, self.TIMEOUT * 0.75)
                self.assertEqual(requests(server), [])
                self.assertEqual(r.status, 0)
                self.assertTrue(r.out.endswith("\nReturnCode=1002\n"), r.out)
                self.assertRegex(r.err, r"\Avemrick: %s: .+ \(request not sent\)\n\Z" % phase)


@unittest.skipUnless(ipv6_loopback(), "no ::1 on this machine")
class IPv6(unittest.TestCase):
    """[::1] in a URL, over http and https (the certificate names ::1), and ::1 as the proxy host."""
    CASES = [  # name, server, goes through the proxy at ::1
        ("https to [::1]", "tls6", False),
        ("http to [::1]", "plain6", False),
        ("https through a proxy at ::1", "tls", True),
        ("https to [::1] through a proxy at ::1", "tls6", True),
    ]

    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {
            "tls6": PayServer(*tls_options(), "--bind", "::1"), "plain6": PayServer("--bind", "::1"),
            "tls": PayServer(*tls_options()), "proxy6": Proxy("--bind", "::1")})

    def test_paid(self):
        proxy6 = self.servers["proxy6"]
        for name, which, proxied in self.CASES:
            with self.subTest(name):
                server = self.servers[which]
                r = pay(server.url(), proxy=("::1", str(proxy6.port)) if proxied else ("", "0"),
                        options=cacert())
                self.assertEqual((r.status, r.err), (0, ""))
                self.assertTrue(r.out.endswith("\nReturnCode=0\n"), r.out)
                self.assertEqual(requests(server), ["POST /pay HTTP/1.0"])
                self.assertEqual([e["target"] for e in proxy6.new_log_entries()],
                                 ["%s:%d" % (server.host, server.port)] if proxied else [])


class CaFileAndOptions(unittest.TestCase):
    """A --cacert file that cannot be read or holds nothing stops the run before anything is sent.
    An unknown option, or --cacert without its file, is a wrong command line."""
    UNREADABLE = [  # name, the --cacert path ({dir}: a directory of empty and missing files)
        ("missing file", "{dir}/missing.pem"), ("empty file", "{dir}/empty.pem"), ("a directory", "{dir}"),
    ]

    @classmethod
    def setUpClass(cls):
        cls.server = class_servers(cls, {"tls": PayServer(*tls_options())})["tls"]
        files = tempfile.TemporaryDirectory(prefix="vemrick-ca-files-")
        cls.addClassCleanup(files.cleanup)
        cls.dir = files.name
        open(os.path.join(cls.dir, "empty.pem"), "w").close()

    def test_unreadable_ca_file(self):
        for command, run in COMMANDS.items():
            for name, path in self.UNREADABLE:
                with self.subTest(command=command, case=name):
                    r = run(self.server.url(), options=("--cacert", path.format(dir=self.dir)))
                    self.assertEqual((r.status, r.out), (0, UNREADABLE_CA))
                    self.assertEqual(self.server.new_log_entries(), [])

    def test_bad_usage(self):
        words = [authstring.authstring(), self.server.url(), "30", "", "0", "key"]
        cases = [
            ("unknown option", ["--no-verify"] + words),
            ("unknown option before -preauth", ["--no-verify", "-preauth"] + words + ["7"]),
            ("--cacert without its file", ["--cacert"]),
        ]
        for name, argv in cases:
            with self.subTest(name):
                r = harness.run(*argv)
                self.assertEqual((r.status, r.out), (1, BAD_USAGE))
                self.assertEqual(self.server.new_log_entries(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
