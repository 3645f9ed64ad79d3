# SPDX-License-Identifier: Apache-2.0
"""Shared helpers for the end-to-end tests: run the built tool and compare what it prints."""
import os
import re
import shlex
import subprocess
import sys

# A command put in front of the tool, e.g. valgrind for the memory checks.
WRAPPER = shlex.split(os.environ.get("VEMRICK_WRAPPER", ""))
SOURCE_DIR = os.environ.get("VEMRICK_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
# The tool under test: CTest names it; run by hand, a file tests the one `make build` made.
BIN = os.environ.get("VEMRICK_BIN") or os.path.join(SOURCE_DIR, "build", "bin", "vemrick")
sys.path.insert(0, os.path.join(SOURCE_DIR, "sim"))

import authstring  # noqa: E402  (sim/authstring.py)


class Result:
    def __init__(self, proc):
        self.status = proc.returncode
        self.out = proc.stdout.decode("latin-1")
        self.err = proc.stderr.decode("latin-1")

    def lines(self):
        """The stdout key=value lines as a list of (key, value)."""
        return [tuple(line.split("=", 1)) for line in self.out.splitlines() if "=" in line]

    def value(self, key):
        return dict(self.lines()).get(key)


FAILURE_LINE = re.compile(r"vemrick: [A-Za-z]+: [^\n]+ \(request (not sent|sent: the outcome is unknown; "
                          r"check with the payment server before paying again|refused by the proxy, which should "
                          r"not have passed it on; check with the payment server before paying again)\)\n")


NO_KEY = "vemrick: warning: no merchant key: the request is not signed and the reply is not verified\n"


def check(test, r, out=None, code=None, warning=""):
    """Asserts what every run that reaches a result shares: exit status 0, and on stderr the
    expected warning, then nothing, or for a library failure (1000 to 1005, 2010) the one
    diagnostic line. Then, when given, the exact standard output or the return code its last
    line holds."""
    last = r.out.rstrip("\n").rsplit("\n", 1)[-1]
    failed = last.startswith("ReturnCode=") and (1000 <= int(last[11:]) <= 1005 or last[11:] == "2010")
    test.assertEqual(r.status, 0, r.out)
    if failed:
        test.assertRegex(r.err, "\\A" + re.escape(warning) + FAILURE_LINE.pattern + "\\Z")
    else:
        test.assertEqual(r.err, warning, r.out)
    if out is not None:
        test.assertEqual(r.out, out)
    if code is not None:
        test.assertTrue(r.out.endswith("\nReturnCode=%d\n" % code), r.out)


def program_name(argv0):
    """The program name the tool will see when run(..., argv0=argv0)."""
    return BIN if WRAPPER else argv0


def run(*args, timeout=60, argv0=None, env=None, stdin=None, pass_fds=()):
    """Run the tool with the given words after the program name (env: variables to set, or with
    the value None to remove; stdin: bytes for standard input, else it is /dev/null)."""
    env = {k: v for k, v in dict(os.environ, **(env or {})).items() if v is not None}
    if not os.access(BIN, os.X_OK):
        raise RuntimeError("%s is not an executable: build first (make build) or set VEMRICK_BIN" % BIN)
    # The wrapper runs the tool by its path; argv0 can then not be chosen.
    argv, timeout = (WRAPPER + [BIN], timeout * 4) if WRAPPER else ([argv0 or BIN], timeout)
    feed = {"stdin": subprocess.DEVNULL} if stdin is None else {"input": stdin}
    proc = subprocess.run(argv + list(args), executable=None if WRAPPER else BIN, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, env=env, pass_fds=pass_fds, **feed)
    return Result(proc)
