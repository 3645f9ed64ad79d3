#!/usr/bin/env python3
"""Runs a command with the test payment server of sim/ started for it.

    with_server.py PROGRAM [ARGS...]

The server (sim/payserver.py on a free 127.0.0.1 port, signing with sim/demo.key) is named to
the command by VEMRICK_TEST_URL, and stopped when the command ends. Exits with the command's
status; a command still running after 600 s is killed and the script fails.
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim"))
import launch  # noqa: E402

with launch.PayServer() as server:
    sys.exit(subprocess.run(sys.argv[1:], env=dict(os.environ, VEMRICK_TEST_URL=server.url()),
                            timeout=600).returncode)
