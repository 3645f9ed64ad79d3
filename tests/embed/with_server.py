#!/usr/bin/env python3
"""Runs a command with the test payment server of sim/ started for it.

    with_server.py PROGRAM [ARGS...]

The server (sim/payserver.py on a free 127.0.0.1 port, signing with sim/demo.key) is named to
the command by VEMRICK_TEST_URL, and stopped when the command ends. Exits with the command's
status; the command may run at most TIMEOUT seconds.
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim"))
import launch  # noqa: E402

TIMEOUT = 600


def main(argv):
    if not argv:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with launch.PayServer() as server:
        env = dict(os.environ, VEMRICK_TEST_URL=server.url())
        try:
            return subprocess.run(argv, env=env, timeout=TIMEOUT).returncode
        except subprocess.TimeoutExpired:
            print("with_server.py: %s ran longer than %d s" % (argv[0], TIMEOUT), file=sys.stderr)
            return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
