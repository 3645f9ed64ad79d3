# SPDX-License-Identifier: Apache-2.0
"""Starts and stops the servers of sim/ for the end-to-end tests and the benchmarks.

Every server is started on a free loopback port (--port 0) with a --lifetime, so that one a run
forgets still exits by itself; its stderr goes to a temporary file, its requests to a JSON log.
Its address and port come from its start-up line ("listening on 127.0.0.1:PORT", or
"listening on [::1]:PORT" with --bind ::1).
Stopping terminates the process and waits for it. Use them as context managers, or start a set
at once with start_many() and stop it with stop_many().
"""
import json
import os
import re
import selectors
import socket
import subprocess
import sys
import tempfile
import time

SIM = os.path.dirname(os.path.abspath(__file__))
LIFETIME = 600          # seconds; a server left behind exits after this
START_TIMEOUT = 20      # seconds allowed for the start-up line
STOP_TIMEOUT = 10
STARTUP_LINE = re.compile(rb"listening on (\S+):([0-9]+)\n")


def localhost_resolves():
    """True when the name localhost resolves to an IPv4 loopback address here; a freshly
    bootstrapped root without /etc/hosts may not resolve it at all."""
    try:
        return any(a[4][0].startswith("127.") for a in socket.getaddrinfo("localhost", None, socket.AF_INET))
    except OSError:
        return False


NO_LOCALHOST = "localhost does not resolve to 127.0.0.1 on this machine (no /etc/hosts entry)"


class SimServer:
    """One sim/ server process. Options are passed on as given, after --port 0, --lifetime, --log."""
    script = None

    def __init__(self, *options):
        self.options = [str(o) for o in options]
        self.proc = None
        self.host = None        # as in a URL: 127.0.0.1, or [::1]
        self.port = None
        self._dir = None
        self._err = None
        self._log_seen = 0

    def __enter__(self):
        self.launch()
        try:
            self.wait_ready()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    def launch(self):
        self._dir = tempfile.TemporaryDirectory(prefix="vemrick-sim-")
        self.log_path = os.path.join(self._dir.name, "requests.jsonl")
        self._err = open(os.path.join(self._dir.name, "stderr.txt"), "w+b")
        self.proc = self.start(self._dir.name)

    def start(self, directory):
        """Starts the process, its stderr going to self._err; a server of another kind overrides
        this (and wait_ready) and keeps its files in directory."""
        argv = [sys.executable, os.path.join(SIM, self.script), "--port", "0",
                "--lifetime", str(LIFETIME), "--log", self.log_path] + self.options
        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=self._err)

    def wait_ready(self):
        """Read the start-up line "listening on ADDRESS:PORT", waiting at most START_TIMEOUT."""
        line = b""
        deadline = time.monotonic() + START_TIMEOUT
        with selectors.DefaultSelector() as sel:
            sel.register(self.proc.stdout, selectors.EVENT_READ)
            while not line.endswith(b"\n") and time.monotonic() < deadline:
                if sel.select(max(0.0, deadline - time.monotonic())):
                    chunk = os.read(self.proc.stdout.fileno(), 256)
                    if not chunk:
                        break
                    line += chunk
        match = STARTUP_LINE.fullmatch(line)
        if not match:
            raise RuntimeError("%s did not start (first line %r): %s"
                               % (self.script, line, self.stderr_text()))
        self.host, self.port = match.group(1).decode(), int(match.group(2))

    def terminate(self):
        """Ask the process to stop (SIGTERM) without waiting; stop() waits for it."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()

    def stop(self):
        if self.proc is not None:
            self.terminate()
            try:
                self.proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            if self.proc.stdout is not None:
                self.proc.stdout.close()
            self.proc = None
        if self._err is not None:
            self._err.close()
            self._err = None
        if self._dir is not None:
            self._dir.cleanup()
            self._dir = None

    def url(self, path="/pay", host=None, scheme=None):
        """The server's URL; https when it was started with --tls-cert, unless scheme says otherwise."""
        scheme = scheme or ("https" if "--tls-cert" in self.options else "http")
        return "%s://%s:%d%s" % (scheme, host or self.host, self.port, path)

    def stderr_text(self):
        if self._err is None:
            return ""
        self._err.flush()
        self._err.seek(0)
        return self._err.read().decode("latin-1")

    def log_entries(self):
        """All log entries so far, one dict per connection."""
        try:
            with open(self.log_path, encoding="ascii") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def new_log_entries(self):
        """The log entries written since the previous call."""
        entries = self.log_entries()
        new, self._log_seen = entries[self._log_seen:], len(entries)
        return new

    def wait_log_entries(self, count, seconds=10):
        """The log entries written since the previous call, waiting up to seconds for count of
        them: the server logs a connection once it is done with it, which may be after the client
        has gone (a refused handshake)."""
        deadline = time.monotonic() + seconds
        entries = self.new_log_entries()
        while len(entries) < count and time.monotonic() < deadline:
            time.sleep(0.05)
            entries += self.new_log_entries()
        return entries


class PayServer(SimServer):
    """sim/payserver.py; with no --key-file option it signs with sim/demo.key."""
    script = "payserver.py"


class Proxy(SimServer):
    """sim/proxy.py: a forward proxy to servers on 127.0.0.1."""
    script = "proxy.py"


def start_many(servers):
    """Start the given {name: server} all at once; returns them running, or stops all and raises."""
    launched = []
    try:
        for server in servers.values():
            server.launch()
            launched.append(server)
        for server in launched:
            server.wait_ready()
    except BaseException:
        stop_many(launched)
        raise
    return servers


def stop_many(servers):
    """Stop the servers, signalling all of them before waiting for each."""
    for server in servers:
        server.terminate()
    for server in servers:
        server.stop()
