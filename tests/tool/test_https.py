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
import launch  # sim/launch.py, on the path through harness
import payserver  # sim/payserver.py, on the path through harness
from harness import authstring
from servers import (COMMANDS, PayServer, Proxy, Tinyproxy, certificates, class_servers, ipv6_loopback,
                     pay, time_limit, tls_options)

NUMBER = {"pay": "PayAuthorizationNumber", "preauth": "QZAuthorizationNumber"}
# What standard error must never hold: the card number, the merchant key, the request's signature.
KEY = b"demo-merchant-key-0001"
SECRETS = [authstring.DEFAULTS["PAN"], KEY.decode(),
           payserver.sign(KEY, b"20401.00" + authstring.pay_request() + b"000000000040").decode()]
IPV6 = ipv6_loopback()
UNREADABLE_CA = "ReturnCode=999\nReturnDescription=Unable to read CA file\n"


CACERT = ("--cacert", certificates()["ca"])


class Https(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        servers = {name: PayServer(*tls_options(name)) for name in ("untrusted", "wrong-name", "expired")}
        servers.update(tls=PayServer(*tls_options()), plain=PayServer(), tinyproxy=Tinyproxy(),
                       stall=PayServer("--misbehave", "tls-stall"), refusing=Proxy("--refuse-connect"),
                       tls11=PayServer(*tls_options(), "--tls-only", "1.1"))
        if IPV6:
            servers.update(tls6=PayServer(*tls_options(), "--bind", "::1"), proxy6=Proxy("--bind", "::1"))
        cls.servers = class_servers(cls, servers)

    def run_tool(self, run, which, via=None, via_host="127.0.0.1", host=None, **kw):
        """run against server `which`, through the proxy `via` reached as via_host."""
        proxy = (via_host, str(self.servers[via].port)) if via else ("", "0")
        return run(self.servers[which].url(host=host, scheme="https"), proxy=proxy, **kw)

    def test_approved(self):
        """With --cacert the tool pays and pre-authorizes, directly, through tinyproxy's tunnel, at
        [::1] and through a proxy at ::1 or [::1]. The server logs TLS 1.3."""
        cases = [("tls", None, None), ("tls", "tinyproxy", "127.0.0.1")]  # server, proxy, its host
        if IPV6:
            cases += [("tls6", None, None), ("tls6", "proxy6", "::1"), ("tls", "proxy6", "[::1]")]
        for command, run in COMMANDS.items():
            for which, via, via_host in cases:
                with self.subTest(command=command, server=which, via=via_host):
                    r = self.run_tool(run, which, via, via_host, options=CACERT)
                    server, entries = self.servers[which], self.servers[which].new_log_entries()
                    self.assertEqual([(e.get("tls"), e.get("error")) for e in entries], [("TLSv1.3", None)], r.err)
                    self.assertEqual((r.status, r.err, r.value(NUMBER[command]), r.value("ReturnCode")),
                                     (0, "", entries[0]["reply"][-40:], "0"), r.out)
                    if via:
                        proxy = self.servers[via]
                        self.assertEqual(proxy.new_connects() if via == "tinyproxy" else
                                         [e["target"] for e in proxy.new_log_entries()],
                                         ["%s:%d" % (server.host, server.port)])

    def test_refused_before_the_request_leaves(self):
        """Whatever fails the checks, and a handshake or CONNECT never answered, ends in 1002 within
        the time-out plus a second: the server's log holds no request, and standard error one line
        naming the phase and the cause, without the card number, the key or the signature."""
        verify = "TLS: certificate verify failed \\(%s\\)"
        cases = [  # name, server, host in the URL (None: its address), proxy,
                   # stderr line between "vemrick: " and " (request not sent)"
            ("CA nobody trusts", "untrusted", None, None, verify % "unable to get local issuer certificate"),
            ("another name", "wrong-name", "localhost", None, verify % "hostname mismatch"),
            ("expired certificate", "expired", None, None, verify % "certificate has expired"),
            ("server offering only TLS 1.1", "tls11", None, None, "TLS: tlsv1 alert protocol version"),
            ("plain HTTP port behind an https URL", "plain", None, None, "TLS: wrong version number"),
            ("proxy answering CONNECT with 403", "tls", None, "refusing", "proxy: .*403.*"),
            ("TLS handshake never answered", "stall", None, None, "TLS: no answer within 2 s"),
            ("CONNECT never answered", "tls", None, "stall", "proxy: no answer within 2 s"),
        ]
        for name, which, host, via, line in cases:
            with self.subTest(name):
                if host == "localhost" and not launch.localhost_resolves():
                    self.skipTest(launch.NO_LOCALHOST)
                start = time.monotonic()
                r = self.run_tool(pay, which, via, host=host, timeout="2", options=CACERT)
                self.assertLess(time.monotonic() - start, time_limit(2 * (2 + 1)))
                self.assertEqual([e for e in self.servers[which].new_log_entries() if "request_line" in e], [])
                self.assertTrue(r.status == 0 and r.out.endswith("\nReturnCode=1002\n") and "Card=" not in r.out, r.out)
                self.assertRegex(r.err, r"\Avemrick: %s \(request not sent\)\n\Z" % line)
                for secret in SECRETS:
                    self.assertNotIn(secret, r.err)

    def test_cacert_errors(self):
        """A --cacert file that cannot be read or holds nothing stops the run before anything is
        sent; --cacert without its file, or an unknown option, is a wrong command line."""
        server, words = self.servers["tls"], [authstring.authstring(), self.servers["tls"].url(), "30", "", "0", "k"]
        with tempfile.TemporaryDirectory(prefix="vemrick-ca-files-") as d:
            open(os.path.join(d, "empty.pem"), "w").close()
            for command, run in COMMANDS.items():
                for path in (d + "/missing.pem", d + "/empty.pem", d):
                    with self.subTest(command=command, path=path):
                        r = run(server.url(), options=("--cacert", path))
                        self.assertEqual((r.status, r.out), (0, UNREADABLE_CA))
        for argv in (["--cacert"], ["--no-verify"] + words, ["--no-verify", "-preauth"] + words + ["7"]):
            with self.subTest(argv=argv[:2]):
                r = harness.run(*argv)
                self.assertEqual((r.status, r.out), (1, "ReturnCode=999\nReturnDescription=Bad Usage\n\n"))
        self.assertEqual(server.new_log_entries(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
