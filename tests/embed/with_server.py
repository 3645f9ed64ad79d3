#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Runs a command with the test payment server of sim/ started for it.

    with_server.py [--https] PROGRAM [ARGS...]

The server (sim/payserver.py on a free 127.0.0.1 port, signing with sim/demo.key) is named to
the command by VEMRICK_TEST_URL, and stopped when the command ends. Exits with the command's
status; a command still running after 600 s is killed and the script fails. With --https the
server speaks HTTPS with certificates of sim/certs.py, and the command's system trust store is
their test CA alone (SSL_CERT_FILE, and an SSL_CERT_DIR without hash links).
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim"))
import launch  # noqa: E402

import certs  # noqa: E402
import tempfile  # noqa: E402

args, options, env = sys.argv[1:], (), dict(os.environ)
with tempfile.TemporaryDirectory(prefix="vemrick-with-server-") as directory:
    if args[:1] == ["--https"]:
        # The test CA as the whole system store, so that every entry point trusts it.
        args, paths = args[1:], certs.make(directory)
        options = ("--tls-cert", paths["server"], "--tls-key", paths["server.key"])
        env.update(SSL_CERT_FILE=paths["ca"], SSL_CERT_DIR=directory)
    with launch.PayServer(*options) as server:
        env["VEMRICK_TEST_URL"] = server.url()
        sys.exit(subprocess.run(args, env=env, timeout=600).returncode)
