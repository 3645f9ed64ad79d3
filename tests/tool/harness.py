"""Shared helpers for the end-to-end tests: run the built tool and compare what it prints."""
import os
import shlex
import subprocess
import sys

BIN = os.environ.get("VEMRICK_BIN", "")
# A command put in front of the tool, e.g. valgrind for the memory checks.
WRAPPER = shlex.split(os.environ.get("VEMRICK_WRAPPER", ""))
SOURCE_DIR = os.environ.get("VEMRICK_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
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


def program_name(argv0):
    """The program name the tool will see when run(..., argv0=argv0)."""
    return BIN if WRAPPER else argv0


def run(*args, timeout=60, argv0=None):
    """Run the tool with the given words after the program name."""
    if not BIN:
        raise RuntimeError("VEMRICK_BIN is not set")
    if WRAPPER:
        # The wrapper runs the tool by its path; argv0 can then not be chosen.
        argv = WRAPPER + [BIN] + list(args)
        proc = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout * 4)
    else:
        argv = [argv0 or BIN] + list(args)
        proc = subprocess.run(argv, executable=BIN, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)
    return Result(proc)
