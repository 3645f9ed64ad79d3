#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The Python package (python/vemrick) over the built libvemrick.so named by VEMRICK_LIBRARY:
every function against the test payment server, the caller's mistakes, and threads paying at once.

With VEMRICK_TEST_INSTALLED set, the package is imported as installed (the install test runs these
tests in a virtual environment after `pip install`) instead of from VEMRICK_PYTHON_DIR, where the
build stages it.
"""
import ctypes
import datetime
import importlib.metadata
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock
from concurrent.futures import ThreadPoolExecutor

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if not os.environ.get("VEMRICK_TEST_INSTALLED"):
    sys.path.insert(0, os.environ["VEMRICK_PYTHON_DIR"])  # the package as the build stages it
sys.path.insert(0, os.path.join(SOURCE, "sim"))

import authstring  # noqa: E402  (sim/)
import certs  # noqa: E402
import launch  # noqa: E402
import vemrick  # noqa: E402
from vemrick import _native  # noqa: E402

KEY = b"demo-merchant-key-0001"
ORDER = dict(merchant_id="M42", transaction_id="ORDER-7", currency_code="EUR",
             transaction_amount="19.90", description="Blue mug", pan="4000000000000002")
THREE_CARDS = ("ALPHA", "BRAVO12345", "CHARLIE")
CLOSED_URL = "http://127.0.0.1:9/pay"  # the discard port: nothing listens on it here


def auth(**changes):
    order = dict(ORDER, **changes)
    return authstring.authstring(**{slot: order[name] for name, slot, _ in _native.FIELDS})


def padded(**changes):
    """The six fields as a Result holds them: filled with spaces to their widths."""
    order = dict(ORDER, **changes)
    return {name: order[name].ljust(width) for name, _, width in _native.FIELDS}


def fields_of(result):
    return {name: getattr(result, name) for name, _, _ in _native.FIELDS}


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vemrick-python-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        cls.key_files = {name: os.path.join(cls.tmp, name) for name in ("key", "short", "nul", "one byte")}
        for name, data in (("key", KEY + b"\n"), ("short", KEY), ("nul", b"a\0b\n"), ("one byte", b"\n")):
            with open(cls.key_files[name], "wb") as f:
                f.write(data)
            os.chmod(cls.key_files[name], 0o600)
        cls.servers = launch.start_many({"pay": launch.PayServer(), "proxy": launch.Proxy(),
                                         "auth-proxy": launch.Proxy("--require-auth", "merchant:pw:2"),
                                         "tampered": launch.PayServer("--misbehave", "bad-signature")})
        cls.addClassCleanup(launch.stop_many, cls.servers.values())
        cls.url = cls.servers["pay"].url()

    def key(self, options):
        """options with the key: KEY unless a key or a key file (by its name) is given."""
        return (dict(options, key_file=self.key_files[options["key_file"]]) if "key_file" in options
                else dict({"key": KEY}, **options))

    def test_transactions_echo_the_order_with_the_servers_code_and_cards(self):
        in_5_days = (datetime.date.today() + datetime.timedelta(days=5)).strftime("%Y%m%d")
        proxy = "127.0.0.1:%d" % self.servers["proxy"].port
        cases = [  # function, options, order changes, code, cards, expiry field sent
            (vemrick.pay, {}, {}, 0, THREE_CARDS, None),
            (vemrick.pay, {"key_file": "key"},
             dict(transaction_amount="7.51", pan="4111111111110042"), 51, ("0042",), None),
            (vemrick.pay, {"proxy": proxy}, dict(transaction_amount="3.05"), 5, THREE_CARDS, None),
            (vemrick.preauthorize, {"expiry_days": 5}, {}, 0, THREE_CARDS, in_5_days),
            (vemrick.preauthorize, {"expiry_date": "20300131"}, dict(transaction_amount="1.54"), 54,
             THREE_CARDS, "20300131"),
            (vemrick.preauthorize, {"expiry_date": datetime.date(2030, 2, 1)}, {}, 0, THREE_CARDS,
             "20300201"),
            (vemrick.preauthorize, {}, {}, 0, THREE_CARDS, " " * 8),
        ]
        for function, options, changes, code, cards, expiry in cases:
            with self.subTest(function=function.__name__, options=options, changes=changes):
                result = function(auth(**changes), self.url, timeout=20, **self.key(options))
                self.assertEqual((result.return_code, result.approved, result.error, result.request_sent, result.cards,
                                  len(result.authorization_number), len(result.authorization_date_time)),
                                 (code, code == 0, None, True, cards, 40, 20))
                self.assertEqual(fields_of(result), padded(**changes))
                entry = self.servers["pay"].new_log_entries()[-1]
                self.assertEqual((entry["type"], entry.get("expiry")),
                                 ("2040" if expiry is None else "1093", expiry))

    def test_failures_say_where_and_whether_the_request_went_out(self):
        cases = [  # function, AuthString, url, options, code, request sent, start of the error
            (vemrick.pay, auth(), CLOSED_URL, {}, 1002, False, "connect: "),
            (vemrick.pay, auth(), self.servers["tampered"].url(), {}, 1005, True,
             "reply: signature does not match"),
            (vemrick.pay, auth(), self.url, {"key_file": "short"}, 1005, True, "reply: "),
            (vemrick.pay, auth(), self.url, {"key": b"", "unsigned": True}, 1005, True, "reply: "),
            (vemrick.pay, "", self.url, {}, 1000, False, "arguments: "),
            (vemrick.pay, "not base64!", self.url, {}, 2010, False, "request: "),
            (vemrick.preauthorize, auth(), self.url, {"key": b""}, 1000, False, "arguments: "),
            (vemrick.preauthorize, auth(), self.url, {"expiry_date": "20301340"}, 1000, False,
             "arguments: "),
        ]
        for function, auth_string, url, options, code, sent, error in cases:
            with self.subTest(url=url, options=options, auth_string=auth_string[:8]):
                result = function(auth_string, url, timeout=10, **self.key(options))
                self.assertEqual((result.return_code, result.approved, result.request_sent,
                                  result.cards, result.authorization_number),
                                 (code, False, sent, (), ""))
                self.assertTrue(result.error and result.error.startswith(error), result.error)

    def test_proxy_credentials_go_to_the_proxy(self):
        """The proxy takes the right credentials (a password may hold ":"); without or with others
        its 407 is the error, in phase proxy."""
        proxy = "127.0.0.1:%d" % self.servers["auth-proxy"].port
        cases = [  # proxy_auth, code, error, what the proxy logged
            (("merchant", "pw:2"), 0, None, "accepted"),
            ((b"merchant", b"pw:2"), 0, None, "accepted"),
            (None, 1005, "proxy: proxy answered HTTP 407 Proxy Authentication Required: it wants "
                         "credentials", "none"),
            (("merchant", "pw"), 1005, "proxy: proxy answered HTTP 407 Proxy Authentication Required: "
                                       "it did not accept the credentials", "refused"),
        ]
        for proxy_auth, code, error, logged in cases:
            with self.subTest(proxy_auth=proxy_auth):
                result = vemrick.pay(auth(), self.url, key=KEY, proxy=proxy, proxy_auth=proxy_auth, timeout=10)
                self.assertEqual((result.return_code, result.error, result.request_sent), (code, error, True))
                entries = self.servers["auth-proxy"].new_log_entries()
                self.assertEqual([e["proxy_authorization"] for e in entries], [logged])
        a = auth()
        for error, proxy_auth in ((TypeError, "merchant:pw"), (TypeError, ("merchant", 7)),
                                  (ValueError, ("mer:chant", "pw")), (ValueError, ("merchant", "p\nw")),
                                  (ValueError, ("merchant", "p" * 1024))):
            with self.subTest(proxy_auth=proxy_auth), self.assertRaises(error):
                vemrick.pay(a, CLOSED_URL, key=KEY, proxy=proxy, proxy_auth=proxy_auth)
        self.assertEqual(self.servers["auth-proxy"].new_log_entries(), [])

    def test_https_trust_client_certificates_and_pins(self):
        p = certs.make(tempfile.mkdtemp(dir=self.tmp))
        client = dict(cacert=p["ca"], cert=p["client"], cert_key=p["client.key"])
        cases = [  # options, return code, request sent
            (client, 0, True),
            (dict(client, pin=certs.pin(p["server"])), 0, True),
            (dict(client, pin=certs.pin(p["untrusted"])), 1002, False),
            (dict(client, pin="sha256//not-a-digest"), 1000, False),
        ]
        with launch.PayServer("--tls-cert", p["server"], "--tls-key", p["server.key"],
                              "--tls-client-ca", p["client-ca"]) as server:
            for options, code, sent in cases:
                with self.subTest(options=sorted(options)):
                    result = vemrick.pay(auth(), server.url(), key=KEY, timeout=10, **options)
                    if result.error and "no TLS support" in result.error:
                        self.skipTest("this library was built without TLS")
                    self.assertEqual((result.return_code, result.request_sent), (code, sent), result.error)

    def test_https_sessions_are_resumed_and_checked_again(self):
        """The second payment to a server resumes the first one's TLS session; a CA file replaced
        between two payments is read again; a server now presenting a certificate for another
        name is refused, the session offered or not."""
        p = certs.make(tempfile.mkdtemp(dir=self.tmp))
        trust = os.path.join(self.tmp, "trust.pem")
        shutil.copyfile(p["ca"], trust)
        with launch.PayServer("--tls-cert", p["server"], "--tls-key", p["server.key"]) as server:
            port, results = server.port, []
            for replace_with in (None, None, "other-ca", "ca", None):  # the CA file before each
                if replace_with:
                    shutil.copyfile(p[replace_with], trust)
                result = vemrick.pay(auth(), server.url(), key=KEY, cacert=trust, timeout=10)
                if result.error and "no TLS support" in result.error:
                    self.skipTest("this library was built without TLS")
                resumed = [e["tls_resumed"] for e in server.new_log_entries() if "request_line" in e]
                results.append((result.return_code, resumed))
            self.assertEqual(results, [(0, [False]), (0, [True]), (1002, []), (0, [False]), (0, [True])])
        with launch.PayServer("--port", str(port), "--tls-cert", p["wrong-name"], "--tls-key",
                              p["wrong-name.key"]) as server:
            result = vemrick.pay(auth(), server.url(), key=KEY, cacert=trust, timeout=10)
            self.assertEqual((result.return_code, result.request_sent), (1002, False))
            self.assertIn("IP address mismatch", result.error)

    def test_wrong_arguments_raise_before_anything_is_sent(self):
        a, url = auth(), CLOSED_URL
        cases = [
            (TypeError, vemrick.pay, (a, url), dict(key=KEY.decode())),
            (TypeError, vemrick.pay, (a, url), dict(key=None)),
            (TypeError, vemrick.pay, (a, url), dict(key_file="key", key=KEY)),
            (TypeError, vemrick.pay, (123, url), {}),
            (ValueError, vemrick.pay, (a, url + "\0x"), {}),
            (ValueError, vemrick.pay, (a, url), dict(timeout=0)),
            (TypeError, vemrick.pay, (a, url), dict(timeout=2.5)),
            (ValueError, vemrick.pay, (a, url), dict(proxy="no-port")),
            (TypeError, vemrick.pay, (a, url), dict(proxy=["127.0.0.1", 8080])),
            (ValueError, vemrick.pay, (a, url), dict(key_file="nul")),
            (ValueError, vemrick.pay, (a, url), dict(key=b"")),
            (ValueError, vemrick.pay, (a, url), dict(key_file="one byte")),
            (ValueError, vemrick.preauthorize, (a, url), dict(expiry_days=91)),
            (TypeError, vemrick.preauthorize, (a, url), dict(expiry_days=1, expiry_date="20300101")),
            (TypeError, vemrick.is_valid, (a,), dict(merchant_id="M42")),
            (ValueError, vemrick.is_valid, (a,), dict(ORDER, currency_code="EURO")),
        ]
        for error, function, args, options in cases:
            with self.subTest(function=function.__name__, options=options):
                with self.assertRaises(error):
                    function(*args, **(options if function is vemrick.is_valid
                                        else self.key(options)))

    def test_expiry_days_count_calendar_days_across_daylight_saving_changes(self):
        cases = [(1729895400, 2, b"20241028"), (1711837800, 2, b"20240401"),  # as the tool's, in
                 (1711924200, -2, b"20240330"), (1730154600, -2, b"20241026")]  # tests/tool/test_pay.py
        with mock.patch.dict(os.environ, TZ="Europe/Berlin"):
            time.tzset()
            for now, days, date in cases:
                with self.subTest(now=now, days=days), mock.patch("time.time", return_value=now + 0.5):
                    self.assertEqual(vemrick._expiry(days, None), date)
        time.tzset()
        self.assertRaises(ValueError, vemrick._expiry, -10**9, None)

    def test_key_file_warning_and_errors(self):
        os.chmod(self.key_files["short"], 0o644)
        with self.assertWarnsRegex(UserWarning, "accessible by others"):
            self.assertEqual(vemrick._read_key_file(self.key_files["short"])[1], len(KEY) - 1)
        os.chmod(self.key_files["short"], 0o600)
        for path, error in (("missing", FileNotFoundError), (".", IsADirectoryError), ("nul", ValueError)):
            self.assertRaisesRegex(error, "Merchant Key File", vemrick._read_key_file, os.path.join(self.tmp, path))

    def test_inspect_reads_the_fields_or_says_why_not(self):
        for auth_string, code, fields, error in (
                (auth(), 0, padded(), None), (auth().encode("ascii"), 0, padded(), None),
                ("", 1000, dict.fromkeys(padded(), ""), "arguments: an empty AuthString"),
                ("QUJD", 2010, dict.fromkeys(padded(), ""), "request: ")):
            with self.subTest(auth_string=auth_string[:8]):
                result = vemrick.inspect(auth_string)
                self.assertEqual((result.return_code, result.approved, result.request_sent,
                                  fields_of(result)), (code, False, None, fields))
                self.assertEqual(result.error and result.error[:len(error)], error)
        self.assertNotIn(ORDER["pan"], repr(vemrick.inspect(auth())))

    def test_is_valid_compares_all_six_fields(self):
        cases = [  # AuthString, changes to the expected order, answer
            (auth(), {}, True), (auth(), dict(transaction_amount="19.9"), True),
            (auth(), dict(description="  Blue mug  "), True),
            (auth(), dict(transaction_amount="19.91"), False),
            (auth(), dict(pan="4000000000000010"), False),
            (auth(description="Blue müg"), dict(description=b"Blue m\xfcg"), True),
            ("", {}, False), ("QUJD", {}, False),
        ]
        for auth_string, changes, answer in cases:
            with self.subTest(changes=changes, auth_string=auth_string[:8]):
                self.assertIs(vemrick.is_valid(auth_string, **dict(ORDER, **changes)), answer)


    def test_threads_pay_in_parallel_each_getting_its_own_result(self):
        delay, cents = 0.5, ("00", "51", "14", "05", "37", "54", "91", "10")
        orders = [dict(transaction_id="PARALLEL-%d" % i, transaction_amount="%d.%s" % (i + 1, c),
                       pan="41111111111100%02d" % i) for i, c in enumerate(cents)]
        with launch.PayServer("--delay", str(delay)) as server, ThreadPoolExecutor(len(orders)) as pool:
            started = time.monotonic()
            results = list(pool.map(lambda order: vemrick.pay(auth(**order), server.url(), key=KEY, timeout=20),
                                    orders))
            elapsed = time.monotonic() - started
        self.assertLess(elapsed, len(orders) * delay / 2)  # one after another: len(orders) * delay
        for order, c, result in zip(orders, cents, results):
            self.assertEqual((fields_of(result), result.return_code, result.cards),
                             (padded(**order), int(c) if c in ("05", "14", "51", "54", "91") else 0,
                              (order["pan"][-4:],)), order["transaction_id"])

    def test_version_is_the_projects(self):
        versions = {vemrick.__version__}
        if os.environ.get("VEMRICK_TEST_INSTALLED"):
            versions.add(importlib.metadata.version("vemrick"))  # what pip recorded
        self.assertEqual(versions, {os.environ["VEMRICK_VERSION"]})

    def test_ctypes_records_match_the_c_header(self):
        program = os.environ.get("VEMRICK_LAYOUT_PROGRAM")
        if not program:
            self.skipTest("VEMRICK_LAYOUT_PROGRAM is not set")
        layout = json.loads(subprocess.run([program, "--layout"], stdout=subprocess.PIPE,
                                           check=True, timeout=60).stdout)
        ours = {"unsigned int": ctypes.sizeof(ctypes.c_uint)}
        for record, name in ((_native.PayRequestFields, "PayRequestFields"), (_native.CallOptions, "QZCallOptions"),
                             (_native.TransactionRecord, "TransactionRecord"), (_native.CallReport, "QZCallReport")):
            ours[name] = ctypes.sizeof(record)
            ours.update(("%s.%s" % (name, member), getattr(record, member).offset) for member, _ in record._fields_)
        self.assertEqual({k: ours[k] for k in layout}, layout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
