#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""HTTPS end to end: the built tool against the test payment server speaking TLS, directly and
through CONNECT tunnels (sim/proxy.py and Debian's tinyproxy), over IPv4 and IPv6.

sim/certs.py makes the certificates for the run: a test CA that the tool trusts with --cacert,
and server certificates that are good, for another name, expired, or from a CA nobody trusts.
What fails a check must fail before the request leaves: the server's log then holds no request,
and the tool says why in one line on stderr.
"""
import os
import re
import subprocess
import tempfile
import time
import unittest

import harness
import certs  # sim/certs.py, on the path through harness
import launch  # sim/launch.py, on the path through harness
import payserver  # sim/payserver.py, on the path through harness
from harness import authstring
from test_pay import KeyFileMixin
from servers import (COMMANDS, PayServer, Proxy, Tinyproxy, certificates, class_servers, ipv6_loopback,
                     pay, time_limit, tls_options)

NUMBER = {"pay": "PayAuthorizationNumber", "preauth": "QZAuthorizationNumber"}
# What standard error must never hold: the card number, the merchant key, the request's signature.
KEY = b"demo-merchant-key-0001"
SECRETS = [authstring.DEFAULTS["PAN"], KEY.decode(),
           payserver.sign(KEY, b"20401.00" + authstring.pay_request() + b"000000000040").decode()]
IPV6 = ipv6_loopback()
UNREADABLE_CA = "ReturnCode=999\nReturnDescription=Unable to read CA file\n"
UNREADABLE_CERT = "ReturnCode=999\nReturnDescription=Unable to read client certificate\n"
BAD_USAGE = (1, "ReturnCode=999\nReturnDescription=Bad Usage\n\n")
VERIFY = "TLS: certificate verify failed \\(%s\\)"
KEY_SHARED = "vemrick: warning: client certificate key file is accessible by others (chmod 600)\n"


CACERT = ("--cacert", certificates()["ca"])


def assert_outcome(test, server, r, line):
    """line None: approved, the server logs one request; otherwise ReturnCode 1002 with nothing of
    a reply, no request reached the server, and stderr is that one line. Returns the requests."""
    requests = [e for e in server.new_log_entries() if "request_line" in e]
    if line is None:
        test.assertEqual((r.status, r.err, r.value("ReturnCode"), len(requests)), (0, "", "0", 1), r.err)
    else:
        test.assertTrue(r.status == 0 and r.out.endswith("\nReturnCode=1002\n") and "Card=" not in r.out
                        and not requests, r.out)
        test.assertRegex(r.err, r"\Avemrick: %s \(request not sent\)\n\Z" % line)
    return requests


class Https(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        servers = {name: PayServer(*tls_options(name)) for name in ("untrusted", "wrong-name", "expired", "cn-only")}
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
        verify = VERIFY
        cases = [  # name, server, host in the URL (None: its address), proxy,
                   # stderr line between "vemrick: " and " (request not sent)"
            ("CA nobody trusts", "untrusted", None, None, verify % "unable to get local issuer certificate"),
            ("another name", "wrong-name", "localhost", None, verify % "hostname mismatch"),
            ("the name only as common name", "cn-only", "localhost", None, verify % "hostname mismatch"),
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
                assert_outcome(self, self.servers[which], r, line)
                for secret in SECRETS:
                    self.assertNotIn(secret, r.err)

    def test_cacert_errors(self):
        """A --cacert file that cannot be read or holds nothing stops the run before anything is
        sent; --cacert without its file, or an unknown option, is a wrong command line."""
        server, words = self.servers["tls"], [authstring.authstring(), self.servers["tls"].url(), "30", "", "0", "k"]
        with tempfile.TemporaryDirectory(prefix="vemrick-ca-files-") as d:
            open(os.path.join(d, "empty.pem"), "w").close()
            with open(os.path.join(d, "random.pem"), "wb") as f:
                f.write(os.urandom(600))
            for command, run in COMMANDS.items():
                for path in (d + "/missing.pem", d + "/empty.pem", d + "/random.pem", d):
                    with self.subTest(command=command, path=path):
                        r = run(server.url(), options=("--cacert", path))
                        self.assertEqual((r.status, r.out), (0, UNREADABLE_CA))
        for argv in (["--cacert"], ["--no-verify"] + words, ["--no-verify", "-preauth"] + words + ["7"]):
            with self.subTest(argv=argv[:2]):
                r = harness.run(*argv)
                self.assertEqual((r.status, r.out), BAD_USAGE)
        self.assertEqual(server.new_log_entries(), [])


def read(path):
    with open(path, "rb") as f:
        return f.read()


def openssl_conf(directory, name, settings):
    """An OpenSSL configuration file whose system default for TLS holds settings."""
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write("openssl_conf = conf\n[conf]\nssl_conf = ssl\n[ssl]\nsystem_default = tls\n[tls]\n" + settings)
    return path


class TrustAndIdentity(KeyFileMixin, unittest.TestCase):
    """Client certificates, public key pins, a CA file holding only an intermediate CA, and floors
    that no OpenSSL configuration lowers."""

    @classmethod
    def setUpClass(cls):
        paths = certificates()
        cls.servers = class_servers(cls, {
            "tls": PayServer(*tls_options()), "chained": PayServer(*tls_options("chained")),
            "mutual": PayServer(*tls_options(), "--tls-client-ca", paths["client-ca"]),
            "rsa1024": PayServer(*tls_options("rsa1024")),
            "tls11": PayServer(*tls_options(), "--tls-only", "1.1"),
            "tls12": PayServer(*tls_options(), "--tls-only", "1.2")})
        cls.dir = tempfile.mkdtemp(prefix="vemrick-tls-files-")
        cls.addClassCleanup(subprocess.run, ("rm", "-rf", cls.dir))

    def pay(self, which, options, env=None):
        return pay(self.servers[which].url(scheme="https"), timeout="5", options=options, env=env)

    def test_client_certificates(self):
        """The server asking for a client certificate gets it from --cert and --cert-key or from one
        file holding both (a warning when others can read the key); no certificate, or one from
        another CA, and the server refuses the handshake before reading any request."""
        p = certificates()
        both = read(p["client"]) + read(p["client.key"])
        cases = [  # name, options, ReturnCode, client name the server logs (None: handshake refused), warned
            ("certificate and key", ("--cert", p["client"], "--cert-key", p["client.key"]), "0", certs.CLIENT, False),
            ("one file", ("--cert", self.key_file(both)), "0", certs.CLIENT, False),
            ("one file others can read", ("--cert", self.key_file(both, 0o644)), "0", certs.CLIENT, True),
            ("no certificate", (), "1002", None, False),
            ("certificate from another CA", ("--cert", p["stranger"], "--cert-key", p["stranger.key"]), "1002", None,
             False),
        ]
        for name, options, code, client, warned in cases:
            with self.subTest(name):
                r = self.pay("mutual", CACERT + options)
                entries = self.servers["mutual"].wait_log_entries(1)
                self.assertEqual((r.status, r.value("ReturnCode"), r.err.startswith(KEY_SHARED)),
                                 (0, code, warned), r.err)
                self.assertEqual([(e.get("tls_client"), "tls_error" in e, "request_line" in e) for e in entries],
                                 [(client, client is None, client is not None)])

    def test_unusable_client_certificates_stop_the_run(self):
        """A client certificate or key that cannot be used is a 999 before anything is sent, and
        no message shows any of the key."""
        p = certificates()
        encrypted = os.path.join(self.dir, "encrypted.key")
        subprocess.run(("openssl", "pkey", "-in", p["client.key"], "-aes256", "-passout", "pass:x", "-out",
                        encrypted), check=True, timeout=60)
        missing = os.path.join(self.dir, "missing.pem")
        cases = [  # name, options
            ("missing certificate file", ("--cert", missing, "--cert-key", p["client.key"])),
            ("certificate file holding only a key", ("--cert", p["client.key"])),
            ("directory", ("--cert", self.dir)),
            ("missing key file", ("--cert", p["client"], "--cert-key", missing)),
            ("key neither given nor in the certificate file", ("--cert", p["client"])),
            ("key of another certificate", ("--cert", p["client"], "--cert-key", p["stranger.key"])),
            ("encrypted key", ("--cert", p["client"], "--cert-key", encrypted)),
            ("key without a certificate", ("--cert-key", p["client.key"])),
        ]
        key_lines = [line for line in read(p["client.key"]).decode().splitlines() if "-----" not in line]
        for name, options in cases:
            with self.subTest(name):
                r = self.pay("mutual", CACERT + options)
                self.assertEqual((r.status, r.out), (0, UNREADABLE_CERT), r.err)
                self.assertRegex(r.err, r"\Avemrick: cannot use the client certificate: .+\n%s\n\Z"
                                 % UNREADABLE_CERT.split("=")[-1].strip())
                for line in key_lines:
                    self.assertNotIn(line, r.err)
        self.assertEqual(self.servers["mutual"].new_log_entries(), [])

    def test_chain_trust_and_pins(self):
        """A CA file holding only the intermediate CA is trusted; a pin of the leaf, the
        intermediate or the root keeps the connection; a pin no certificate of the chain matches,
        or a matching pin on a chain nobody trusts, is refused with nothing sent."""
        p = certificates()
        leaf, wrong = certs.pin(p["chained"]), certs.pin(p["server"])
        cases = [  # name, --cacert, --pin, stderr line (None: approved)
            ("only the intermediate CA trusted", "intermediate", None, None),
            ("leaf pinned", "ca", leaf, None),
            ("intermediate pinned", "ca", certs.pin(p["intermediate"]), None),
            ("root pinned, among others", "ca", wrong + ";" + certs.pin(p["ca"]), None),
            ("no certificate of the chain pinned", "ca", wrong,
             re.escape("TLS: public key pin did not match: no certificate of the server's verified chain "
                       "(/CN=127.0.0.1) has a pinned key")),
            ("pinned leaf from a CA nobody trusts", "other-ca", leaf,
             VERIFY % "unable to get local issuer certificate"),
        ]
        for name, ca, pin, line in cases:
            with self.subTest(name):
                r = self.pay("chained", ("--cacert", p[ca]) + (("--pin", pin) if pin else ()))
                assert_outcome(self, self.servers["chained"], r, line)

    def test_malformed_pins_are_wrong_command_lines(self):
        digest = certs.pin(certificates()["server"])[len("sha256//"):]
        for pin in ("", "sha256//", "sha256//" + digest[:-1], "sha256//" + digest[:-2] + "B=", "sha1//" + digest,
                    "SHA256//" + digest, "sha256//" + digest + ";", "sha256//" + digest + " ",
                    ";".join(["sha256//" + digest] * 65)):
            with self.subTest(pin=pin[:60]):
                r = self.pay("tls", CACERT + ("--pin", pin))
                self.assertEqual((r.status, r.out), BAD_USAGE)
        self.assertEqual(self.servers["tls"].new_log_entries(), [])

    def test_floors_no_configuration_lowers(self):
        """An OpenSSL configuration allowing TLS 1.0 at security level 0 still gets TLS 1.2 and
        level 2; one asking for TLS 1.3 only is obeyed."""
        weak = openssl_conf(self.dir, "weak.cnf", "MinProtocol = TLSv1\nCipherString = ALL@SECLEVEL=0\n")
        strict = openssl_conf(self.dir, "strict.cnf", "MinProtocol = TLSv1.3\n")
        cases = [  # name, configuration, server, stderr line (None: approved)
            ("weak: RSA-1024 server", weak, "rsa1024", VERIFY % "EE certificate key too weak"),
            ("weak: TLS 1.1 server", weak, "tls11", "TLS: tlsv1 alert protocol version"),
            ("weak: sound server", weak, "tls", None),
            ("TLS 1.3 only: TLS 1.2 server", strict, "tls12", "TLS: tlsv1 alert protocol version"),
            ("TLS 1.3 only: TLS 1.3 server", strict, "tls", None),
        ]
        for name, conf, which, line in cases:
            with self.subTest(name):
                requests = assert_outcome(self, self.servers[which], self.pay(which, CACERT, env={"OPENSSL_CONF": conf}),
                                          line)
                self.assertEqual([e.get("tls") for e in requests], ["TLSv1.3"] if line is None else [])


class SystemStore(unittest.TestCase):
    """Without --cacert the trust store is OpenSSL's hashed directory, looked up lazily, or its
    bundle file when SSL_CERT_FILE names one or no directory holds a hash link."""

    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {"tls": PayServer(*tls_options()),
                                          "untrusted": PayServer(*tls_options("untrusted"))})
        cls.dir = tempfile.mkdtemp(prefix="vemrick-store-")
        cls.addClassCleanup(subprocess.run, ("rm", "-rf", cls.dir))
        for name in ("hashed", "unhashed", "empty"):
            os.mkdir(os.path.join(cls.dir, name))
        for name in ("hashed", "unhashed"):
            with open(os.path.join(cls.dir, name, "test-ca.pem"), "wb") as f:
                f.write(read(certificates()["ca"]))
        subprocess.run(("openssl", "rehash", os.path.join(cls.dir, "hashed")), check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def test_which_store_is_used(self):
        d, ca = self.dir, certificates()["ca"]
        unknown = VERIFY % "unable to get local issuer certificate"
        cases = [  # name, SSL_CERT_DIR, SSL_CERT_FILE, server, stderr line (None: approved)
            ("hashed directory", d + "/hashed", None, "tls", None),
            ("hashed directory, unknown CA", d + "/hashed", None, "untrusted", unknown),
            ("one of several directories", d + "/empty:" + d + "/hashed", None, "tls", None),
            ("bundle named by SSL_CERT_FILE", d + "/empty", ca, "tls", None),
            ("bundle and directory", d + "/hashed", ca, "untrusted", unknown),
            ("no hash links: the default bundle", d + "/unhashed", None, "tls", unknown),
        ]
        for name, dirs, bundle, which, line in cases:
            with self.subTest(name):
                r = pay(self.servers[which].url(scheme="https"), timeout="5",
                        env={"SSL_CERT_DIR": dirs, "SSL_CERT_FILE": bundle})
                assert_outcome(self, self.servers[which], r, line)


if __name__ == "__main__":
    unittest.main(verbosity=2)
