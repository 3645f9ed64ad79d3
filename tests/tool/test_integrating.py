#!/usr/bin/env python3
"""What integrators build on: the AuthString on standard input, --json, --trace, --journal,
--key-fd, and the answer to "was the request sent?"."""
import json
import os
import subprocess
import tempfile
import time
import unittest

import harness
from harness import authstring
from servers import DEMO_KEY, PayServer, class_servers

PAN = "4111111111111111"
KEY = open(DEMO_KEY, "rb").read()[:-1]


def run(*words, stdin=b"", pass_fds=(), timeout=60):
    proc = subprocess.run(harness.WRAPPER + [harness.BIN] + list(words), input=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, pass_fds=pass_fds,
                          timeout=timeout * (4 if harness.WRAPPER else 1))
    return harness.Result(proc)


def command(mode, url, auth="-", key=DEMO_KEY, timeout="5"):
    """The words of a mode after the options."""
    return {"inspect": ["-g", auth],
            "pay": [auth, url, timeout, "", "0", key],
            "preauth": ["-preauth", auth, url, timeout, "", "0", key, "7"]}[mode]


class Integrating(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {m: PayServer(*(("--misbehave", m) if m else ()))
                                          for m in ("", "silent", "bad-signature", "close")})
        cls.tmp = tempfile.TemporaryDirectory(prefix="vemrick-integrating-")
        cls.addClassCleanup(cls.tmp.cleanup)

    def url(self, mode=""):
        return self.servers[mode].url()

    def test_stdin_and_key_fd_give_the_same_output_as_the_words(self):
        auth = authstring.authstring()
        read_end, write_end = os.pipe()
        os.write(write_end, KEY + b"\n")
        os.close(write_end)
        self.addCleanup(os.close, read_end)
        cases = [  # mode, options, words and standard input that give the same as the plain words
            (mode, [], command(mode, self.url()), b"\n  " + auth.encode() + b" \r\n", ())
            for mode in ("inspect", "pay", "preauth")]
        cases.append(("pay", ["--key-fd", str(read_end)], command("pay", self.url(), auth, key="-"), b"", (read_end,)))
        for mode, options, words, stdin, fds in cases:
            with self.subTest(mode=mode, options=options):
                expected = run(*command(mode, self.url(), auth)).out.split("DateTime=")[0]
                r = run(*options, *words, stdin=stdin, pass_fds=fds)
                self.assertEqual(r.out.split("DateTime=")[0], expected)
                self.assertTrue(r.out.endswith("ReturnCode=0\n"), r.out)

    @unittest.skipIf(harness.WRAPPER, "kills the tool itself, whose command line /proc must show")
    def test_while_a_silent_server_holds_the_payment(self):
        """The AuthString read from stdin stays off /proc/PID/cmdline; kill -9 then leaves exactly
        the journal's "sending" line."""
        auth, path = authstring.authstring(), os.path.join(self.tmp.name, "killed")
        self.servers["silent"].new_log_entries()
        with subprocess.Popen([harness.BIN, "--journal", path] + command("pay", self.url("silent"), timeout="30"),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            proc.stdin.write(auth.encode())
            proc.stdin.close()
            proc.stdin = None
            deadline = time.monotonic() + 10
            while not self.servers["silent"].new_log_entries() and time.monotonic() < deadline:
                time.sleep(0.05)
            cmdline = open("/proc/%d/cmdline" % proc.pid, "rb").read()
            proc.kill()
            proc.communicate()
        self.assertNotIn(auth[:40].encode(), cmdline)
        self.assertIn(b"-", cmdline.split(b"\0"))
        self.assertEqual([json.loads(line)["phase"] for line in open(path)], ["sending"])

    def test_json(self):
        auth = authstring.authstring()
        cases = [  # name, words, stdin, returnCode, requestSent (None: absent)
            ("approval", command("pay", self.url()), auth, 0, True),
            ("decline", command("preauth", self.url()), authstring.authstring(TransactionAmount="1.51"),
             51, True),
            ("wrong command line", ["x"], "", 999, None),
            ("key file missing", command("pay", self.url(), key="/nonexistent"), auth, 999, None),
            ("bad arguments", command("pay", ""), auth, 1000, False),
            ("refused connection", command("pay", "http://127.0.0.1:1/pay"), auth, 1002, False),
            ("silent server", command("pay", self.url("silent"), timeout="1"), auth, 1003, True),
            ("refused reply", command("pay", self.url("bad-signature")), auth, 1005, True),
            ("undecodable AuthString", command("pay", self.url()), "!!!!", 2010, False),
            ("oversized stdin", command("pay", self.url()), "A" * (64 * 1024 + 1), 2010, False),
            ("inspect", command("inspect", ""), authstring.authstring(Description="a\x01\n\"\\\xe9\xff"),
             0, None),
        ]
        for name, words, stdin, code, sent in cases:
            with self.subTest(name):
                r = run("--json", *words, stdin=stdin.encode("latin-1"))
                self.assertTrue(r.out.endswith("}\n") and r.out.count("\n") == 1, r.out)
                doc = json.loads(r.out)
                self.assertEqual(doc["returnCode"], code)
                self.assertEqual(doc.get("requestSent"), sent)
                self.assertEqual("returnDescription" in doc, code >= 999, doc)
                if name == "inspect":
                    self.assertEqual(doc["Description"], "a\x01\n\"\\\xe9\xff".ljust(255))
                    self.assertIn("\\u00e9\\u00ff", r.out)
                if name == "approval":
                    self.assertEqual((doc["mode"], doc["PAN"].strip(), len(doc["cards"])), ("pay", PAN, 1))

    def test_trace_shows_every_step_and_no_secret(self):
        auth = authstring.authstring()
        cases = [  # name, url, steps expected in order
            ("approved", self.url(), ["options", "key", "request", "resolve", "connect", "sent",
                                      "first byte", "received", "checks", "result"]),
            ("refused reply", self.url("bad-signature"), ["options", "key", "request", "connect",
                                                          "sent", "checks", "result"]),
        ]
        for name, url, steps in cases:
            with self.subTest(name):
                r = run("--trace", *command("pay", url), stdin=auth.encode())
                seen = [line.split(": ")[2] for line in r.err.splitlines() if line.startswith("vemrick: trace ")]
                self.assertEqual([s for s in seen if s in steps], steps, r.err)
                reply_sig = r.value("PayAuthorizationNumber") or "no signature printed"
                for secret in (PAN, KEY.decode(), auth[:40], reply_sig):
                    self.assertNotIn(secret, r.err)
                self.assertIn("411111******1111", r.err)

    def test_journal(self):
        auth = authstring.authstring()
        for name, url, code in (("approval", self.url(), 0), ("failure", self.url("close"), 1003)):
            with self.subTest(name):
                path = os.path.join(self.tmp.name, name)
                run("--journal", path, *command("pay", url), stdin=auth.encode())
                lines = [json.loads(line) for line in open(path)]
                self.assertEqual([line["phase"] for line in lines], ["sending", "result"])
                self.assertEqual((lines[1]["returnCode"], lines[1]["requestSent"]), (code, True))
                self.assertEqual(lines[0]["PAN"], "411111******1111")
                self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
                self.assertNotIn(PAN, open(path).read())
        with self.subTest("unwritable journal"):
            self.servers[""].new_log_entries()
            r = run("--journal", self.tmp.name, *command("pay", self.url()), stdin=auth.encode())
            self.assertEqual(r.out, "ReturnCode=999\nReturnDescription=Unable to write journal\n")
            self.assertEqual(self.servers[""].new_log_entries(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
