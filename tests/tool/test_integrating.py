#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""What integrators build on: the AuthString on standard input, --json, --trace, --journal,
--key-fd, and the answer to "was the request sent?"."""
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import harness
from harness import authstring, run
from servers import DEMO_KEY, PayServer, class_servers

PAN = "4111111111111111"
KEY = open(DEMO_KEY, "rb").read()[:-1]


def command(mode, url, auth="-", key=DEMO_KEY, timeout="5"):
    """The words of a mode after the options."""
    return {"inspect": ["-g", auth],
            "pay": [auth, url, timeout, "", "0", key],
            "preauth": ["-preauth", auth, url, timeout, "", "0", key, "7"]}[mode]


class Integrating(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {m: PayServer(*(("--misbehave", m) if m else ()))
                                          for m in ("", "silent", "bad-signature", "close", "reset")})
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
            self.servers["silent"].wait_log_entries(1)
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
            ("expiry too far", command("preauth", self.url())[:-1] + ["91"], auth, 999, None),
            ("bad arguments", command("pay", ""), auth, 1000, False),
            ("refused connection", command("pay", "http://127.0.0.1:1/pay"), auth, 1002, False),
            ("closed after the request", command("pay", self.url("close")), auth, 1003, True),
            ("reset after the request", command("pay", self.url("reset")), auth, 1002, True),
            ("silent server", command("pay", self.url("silent"), timeout="1"), auth, 1003, True),
            ("refused reply", command("pay", self.url("bad-signature")), auth, 1005, True),
            ("undecodable AuthString", command("pay", self.url()), "!!!!", 2010, False),
            ("oversized stdin", command("preauth", self.url()), auth + "\n" * (64 * 1024), 2010, False),
            ("inspect", command("inspect", ""), authstring.authstring(Description="a\x01\n\"\\\xe9\xff"),
             0, None),
        ]
        for name, words, stdin, code, sent in cases:
            with self.subTest(name):
                self.servers[""].new_log_entries()
                r = run("--json", *words, stdin=stdin.encode("latin-1"))
                self.assertTrue(r.out.endswith("}\n") and r.out.count("\n") == 1, r.out)
                doc = json.loads(r.out)
                self.assertEqual(doc["returnCode"], code)
                self.assertEqual(doc.get("requestSent"), sent)
                self.assertEqual("returnDescription" in doc, code >= 999, doc)
                self.assertEqual(doc.get("mode"), None if name == "wrong command line" else
                                 {"-g": "inspect", "-preauth": "preauth"}.get(words[0], "pay"))
                if code >= 1000:  # a "not sent" that was sent invites a second payment
                    self.assertIn(" (request sent: the outcome is unknown;" if sent else " (request not sent)",
                                  r.err)
                if sent is False:
                    self.assertEqual(self.servers[""].new_log_entries(), [])
                if code in (1000, 2010):  # the library returned before reading the AuthString
                    self.assertEqual((doc["authorizationNumber"], doc["authorizationDateTime"]), ("", ""))
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
        target = os.path.join(self.tmp.name, "target")
        open(target, "w").close()
        os.symlink(target, os.path.join(self.tmp.name, "symlink"))
        os.mkfifo(os.path.join(self.tmp.name, "fifo"))
        for name in ("directory", "symlink", "fifo"):
            with self.subTest("no regular file: " + name):
                self.servers[""].new_log_entries()
                path = self.tmp.name if name == "directory" else os.path.join(self.tmp.name, name)
                r = run("--journal", path, *command("pay", self.url()), stdin=auth.encode(), timeout=20)
                self.assertEqual(r.out, "ReturnCode=999\nReturnDescription=Unable to write journal\n")
                self.assertEqual(self.servers[""].new_log_entries(), [])
                self.assertEqual(os.path.getsize(target), 0)
        with self.subTest("others may read it"):
            path = os.path.join(self.tmp.name, "shared")
            open(path, "w").close()
            os.chmod(path, 0o644)
            r = run("--journal", path, *command("pay", self.url()), stdin=auth.encode())
            self.assertEqual(r.err, "vemrick: warning: journal is accessible by others (chmod 600)\n")
            self.assertTrue(r.out.endswith("\nReturnCode=0\n"), r.out)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"), "needs root to mount a small disk")
    def test_journal_on_a_full_disk_keeps_whole_lines(self):
        """The disk fills in the middle of the result line: the result is still printed with a
        warning, the journal is left with whole lines, and once there is room again the next
        payment's lines follow cleanly."""
        auth, out = authstring.authstring(), os.path.join(self.tmp.name, "full")
        os.mkdir(out)
        with open(os.path.join(out, "auth"), "w") as f:
            f.write(auth)
        run("--journal", os.path.join(out, "probe"), *command("pay", self.url()), stdin=auth.encode())
        sending, result = (len(line) for line in open(os.path.join(out, "probe"), "rb"))
        # A disk of two pages: one for a filler file, one for the journal, whose first line leaves
        # room for the "sending" line and half of the result line.
        first = '{"pad":"%s"}\n' % ("x" * (4096 - sending - result // 2 - 11))
        script = """umask 077; mount -t tmpfs -o size=8k tmpfs "$D" || exit 99
            head -c 4096 /dev/zero >"$D/filler" && printf %s "$FIRST" >"$D/journal" || exit 98
            for run in 1 2; do
                "$@" <"$OUT/auth" >"$OUT/$run.out" 2>"$OUT/$run.err"; echo $? >"$OUT/$run.status"
                cp "$D/journal" "$OUT/journal$run"; rm -f "$D/filler"
            done"""
        os.mkdir(os.path.join(out, "disk"))
        proc = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh"]
                              + harness.WRAPPER + [harness.BIN, "--journal", os.path.join(out, "disk", "journal")]
                              + command("pay", self.url(), auth="-"),
                              env=dict(os.environ, D=os.path.join(out, "disk"), FIRST=first, OUT=out),
                              stderr=subprocess.PIPE, timeout=120 * (4 if harness.WRAPPER else 1))
        # 99: no tmpfs; unshare fails in a chroot whose / is no mount point of its own.
        if proc.returncode == 99 or b"cannot change root filesystem propagation" in proc.stderr:
            self.skipTest("cannot mount a tmpfs here: %s" % proc.stderr.decode(errors="replace"))
        self.assertEqual(proc.returncode, 0, proc.stderr)

        def read(name):
            with open(os.path.join(out, name), encoding="latin-1") as f:
                return f.read()
        self.assertEqual((read("1.status"), read("2.status")), ("0\n", "0\n"))
        self.assertTrue(read("1.out").endswith("\nReturnCode=0\n"), read("1.out"))
        self.assertRegex(read("1.err"), r"\Avemrick: journal: the result could not be recorded: [^\n]+\n\Z")
        self.assertEqual(read("2.err"), "")
        for name, phases in (("journal1", ["sending"]), ("journal2", ["sending", "sending", "result"])):
            text = read(name)
            self.assertTrue(text.endswith("\n"), text[-80:])
            self.assertEqual([json.loads(line).get("phase") for line in text.splitlines()], [None] + phases)

    def test_inputs_that_never_end_cost_the_time_out(self):
        """Standard input or the key descriptor held open by a stuck parent: the run ends after the
        command's time-out, and nothing is sent."""
        auth = authstring.authstring()
        cases = [  # name, words, what the pipe gets before it stalls, expected output
            ("AuthString", command("pay", self.url(), timeout="2"), auth[:100],
             "ReturnCode=1000\n"),
            ("key", ["--key-fd", "PIPE"] + command("pay", self.url(), auth=auth, key="-", timeout="2"),
             "", "ReturnCode=999\nReturnDescription=Unable to read Merchant Key File\n"),
        ]
        for name, words, early, out in cases:
            with self.subTest(name):
                self.servers[""].new_log_entries()
                read_end, write_end = os.pipe()
                self.addCleanup(os.close, write_end)
                os.write(write_end, early.encode())
                words = [str(read_end) if w == "PIPE" else w for w in words]
                started = time.monotonic()
                proc = subprocess.run(harness.WRAPPER + [harness.BIN] + words, pass_fds=(read_end,),
                                      stdin=read_end if name == "AuthString" else subprocess.DEVNULL,
                                      capture_output=True, timeout=30 * (4 if harness.WRAPPER else 1))
                elapsed = time.monotonic() - started
                os.close(read_end)
                # the time-out plus a second, with room for a loaded machine
                self.assertLess(elapsed, (2 + 1) * (4 if harness.WRAPPER else 2))
                self.assertTrue(proc.stdout.decode().endswith(out), proc.stdout)
                self.assertIn("standard input did not end within 2 s" if name == "AuthString"
                              else "Unable to read Merchant Key File", proc.stderr.decode())
                self.assertEqual(self.servers[""].new_log_entries(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
