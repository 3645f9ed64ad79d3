# SPDX-License-Identifier: Apache-2.0
"""The test payment server and the forward proxy of sim/ for the end-to-end tests.

sim/launch.py, which the benchmarks share, starts every server on a free loopback port (--port 0)
with a --lifetime, so that one a test run forgets still exits by itself; its stderr goes to a
temporary file, its requests to a JSON log. Use them as context managers, or start a set for a
test class with class_servers(), which stops them again in the class clean-up. Tinyproxy runs
Debian's tinyproxy the same way, and certificates() makes the throwaway TLS certificates.
"""
import atexit
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time

import harness
from harness import authstring
from launch import PayServer, Proxy, SimServer, start_many, stop_many  # noqa: F401 (sim/launch.py)
import certs  # sim/certs.py
import launch

SIM = os.path.join(harness.SOURCE_DIR, "sim")
# A forgotten server ends by itself; under a wrapper such as valgrind a test file can run longer
# than the usual ten minutes, and its servers must outlive it.
if harness.WRAPPER:
    launch.LIFETIME = 3600


def private_copy(path):
    """A copy of the file that only its owner may read (the tool warns about any other key file),
    removed when the tests end."""
    fd, copy = tempfile.mkstemp(prefix="vemrick-key-")
    with os.fdopen(fd, "wb") as out, open(path, "rb") as src:
        shutil.copyfileobj(src, out)
    atexit.register(os.unlink, copy)
    return copy


DEMO_KEY = private_copy(os.path.join(SIM, "demo.key"))


_CERTS = {}


def certificates():
    """The certificates and keys of sim/certs.py as {name: path}, made on first use into a directory
    removed when the tests end."""
    if not _CERTS:
        directory = tempfile.mkdtemp(prefix="vemrick-certs-")
        atexit.register(shutil.rmtree, directory, True)
        _CERTS.update(certs.make(directory))
    return _CERTS


def tls_options(name="server"):
    """The test server's options to serve HTTPS with the certificate `name` of certificates()."""
    paths = certificates()
    return ("--tls-cert", paths[name], "--tls-key", paths[name + ".key"])


def ipv6_loopback():
    """True when ::1 can be bound here."""
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class Tinyproxy(launch.SimServer):
    """Debian's tinyproxy in the foreground on a free 127.0.0.1 port, with a configuration of its
    own: only 127.0.0.1 may use it, and no ConnectPort line, so CONNECT reaches any port. Its log
    lies in the server's temporary directory. It starts and stops like the sim/ servers, and like
    them it ends by itself after launch.LIFETIME seconds (coreutils' timeout) if forgotten.
    With basic_auth=(user, password) it serves only requests that carry those credentials."""
    CONFIG = 'Port %d\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\nLogLevel Connect\nLogFile "%s"\n'
    REQUEST = re.compile(r"Request \(file descriptor \d+\): CONNECT (\S+) ")

    def __init__(self, basic_auth=None):
        super().__init__()
        self.host, self._seen, self.basic_auth = "127.0.0.1", 0, basic_auth

    def start(self, directory):
        if not shutil.which("tinyproxy"):
            raise RuntimeError("tinyproxy is not installed (make test installs Debian's tinyproxy-bin)")
        self.log_path = os.path.join(directory, "tinyproxy.log")
        config = os.path.join(directory, "tinyproxy.conf")
        with socket.socket() as s:              # a free port; released for tinyproxy to take
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        with open(config, "w") as f:
            f.write(self.CONFIG % (self.port, self.log_path))
            if self.basic_auth:
                f.write("BasicAuth %s %s\n" % self.basic_auth)
        return subprocess.Popen(["timeout", str(launch.LIFETIME), "tinyproxy", "-d", "-c", config],
                                stdin=subprocess.DEVNULL, stdout=self._err, stderr=subprocess.STDOUT)

    def wait_ready(self):
        """Wait until the port takes connections, at most launch.START_TIMEOUT seconds."""
        deadline = time.monotonic() + launch.START_TIMEOUT
        while self.proc.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection((self.host, self.port), 0.5).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("tinyproxy did not start on port %d: %s%s" % (
            self.port, self.stderr_text(), self.log_text()))

    def log_text(self):
        return open(self.log_path, encoding="latin-1").read() if os.path.exists(self.log_path) else ""

    def new_connects(self):
        """The host:port of every CONNECT logged since the previous call."""
        targets = self.REQUEST.findall(self.log_text())
        new, self._seen = targets[self._seen:], len(targets)
        return new


def class_servers(cls, servers):
    """Start {name: server} for a test class and stop them in the class clean-up."""
    start_many(servers)
    cls.addClassCleanup(stop_many, list(servers.values()))
    return servers


# ---------------------------------------------------------------------------------------------
# Running the tool against a server

def pay(url, auth=None, timeout="30", proxy=("", "0"), key=DEMO_KEY, options=(), **run_kw):
    """The pay command line: [options] AuthString URL timeout proxyHost proxyPort merchantKeyFile."""
    return harness.run(*options, auth if auth is not None else authstring.authstring(), url, timeout,
                       proxy[0], proxy[1], key, **run_kw)


def preauth(url, auth=None, timeout="30", proxy=("", "0"), key=DEMO_KEY, days="7", options=(), **run_kw):
    """The pre-authorization command line: as pay, then the expiry in days."""
    return harness.run(*options, "-preauth", auth if auth is not None else authstring.authstring(),
                       url, timeout, proxy[0], proxy[1], key, days, **run_kw)


COMMANDS = {"pay": pay, "preauth": preauth}


def time_limit(seconds):
    """A generous upper bound for a run expected to take `seconds` of waiting; a wrapper such as
    valgrind makes the tool itself many times slower (a minute for one run on a loaded 2-core
    machine), so it gets more room."""
    return seconds * 2 + 60 if harness.WRAPPER else seconds
