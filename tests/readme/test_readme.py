#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Runs the README's runnable blocks as a newcomer would paste them, so that they cannot rot.

The blocks fenced as `sh runnable` run in order in one bash (stopping at the first failing
command), those fenced as `python runnable` with build/venv/bin/python3 at their place in that
order. They run in a scratch copy of the checkout whose build/ holds the tested build's tool and
library (VEMRICK_BUILD_DIR), and, where the test can make one (as root), in a network namespace of
its own, so that the README's fixed ports cannot collide with another run. A command commented
`# ends in ReturnCode=N` must end in that line; nothing may warn, and the blocks must leave the
checkout as they found it.
"""
import ctypes
import fcntl
import os
import re
import signal
import socket
import struct
import subprocess
import tempfile
import unittest

SOURCE = os.environ.get("VEMRICK_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD = os.environ.get("VEMRICK_BUILD_DIR", os.path.join(SOURCE, "build"))
FENCE = re.compile(r"^```(sh|python) runnable\n(.*?)^```$", re.M | re.S)
EXPECT = re.compile(r"# ends in (ReturnCode=\d+)")


def blocks(text):
    """The runnable blocks of a README text as (language, code)."""
    return FENCE.findall(text)


def script(found):
    """One bash script of the blocks, in order, and the ReturnCode lines it must print."""
    lines, expected = ["set -e"], []
    for language, code in found:
        if language == "python":
            lines += ["build/venv/bin/python3 - <<'README_PYTHON'", code.rstrip("\n"), "README_PYTHON"]
            continue
        for line in re.sub(r"\s*\\\n\s*", " ", code).splitlines():  # continued lines joined
            m = EXPECT.search(line)
            if m:
                expected.append(m.group(1))
                line = '{ %s; } | tee build/readme.last; [ "$(tail -n 1 build/readme.last)" = %s ]' % (
                    line[:m.start()].rstrip(), m.group(1))
            lines.append(line)
    return "\n".join(lines) + "\n", expected


def own_network():
    """Moves this process into a new network namespace with its loopback up; False if it cannot."""
    libc = ctypes.CDLL(None, use_errno=True)
    if os.geteuid() != 0 or libc.unshare(0x40000000) != 0:  # CLONE_NEWNET
        return False
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        ifreq = struct.pack("16sH14x", b"lo", 0x1 | 0x40)  # IFF_UP | IFF_RUNNING
        fcntl.ioctl(s, 0x8914, ifreq)  # SIOCSIFFLAGS
    return True


def tracked_state():
    """What git says about the checkout's files (None outside a git checkout)."""
    try:
        return subprocess.run(["git", "-C", SOURCE, "status", "--porcelain", "--untracked-files=all"],
                              capture_output=True, timeout=60, check=True).stdout
    except (OSError, subprocess.SubprocessError):
        return None


class Blocks(unittest.TestCase):
    def test_fences(self):
        """Only whole fences count: an info string with more words, or text around, is no block."""
        text = "```sh runnable\na\n```\n```sh\nb\n```\n``` sh runnable\nc\n```\n```python runnable\nd\n```\n"
        self.assertEqual(blocks(text), [("sh", "a\n"), ("python", "d\n")])
        body, expected = script([("sh", "x \\\n  z  # ends in ReturnCode=51\ny\n")])
        self.assertEqual(expected, ["ReturnCode=51"])
        self.assertIn("{ x z; } | tee build/readme.last", body)

    def test_readme_runs(self):
        with open(os.path.join(SOURCE, "README.md")) as f:
            found = blocks(f.read())
        self.assertGreaterEqual(len(found), 4, "the README lost its runnable blocks")
        body, expected = script(found)
        before = tracked_state()
        with tempfile.TemporaryDirectory(prefix="vemrick-readme-") as work:
            for name in os.listdir(SOURCE):
                if name != ".git" and not name.startswith("build"):
                    os.symlink(os.path.join(SOURCE, name), os.path.join(work, name))
            os.mkdir(os.path.join(work, "build"))
            for name in ("bin", "lib", "python"):
                os.symlink(os.path.join(BUILD, name), os.path.join(work, "build", name))
            proc = subprocess.Popen(["bash", "-c", body], cwd=work, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, start_new_session=True)
            try:
                out, err = proc.communicate(timeout=600)
            finally:
                try:  # the servers the blocks started in the background
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        out, err = out.decode("latin-1"), err.decode("latin-1")
        report = "stdout:\n%s\nstderr:\n%s" % (out, err)
        self.assertEqual(proc.returncode, 0, report)
        self.assertEqual(re.findall(r"^ReturnCode=\d+$", out, re.M), expected, report)
        self.assertNotIn("warning", err.lower(), report)
        self.assertNotIn("Traceback", err, report)
        self.assertEqual(tracked_state(), before)


if __name__ == "__main__":
    if not own_network():
        print("readme: no network namespace of its own (not root?): the README's ports are shared",
              flush=True)
    unittest.main(verbosity=2)
