"""The test payment server and the forward proxy of sim/ for the end-to-end tests.

sim/launch.py, which the benchmarks share, starts every server on a free loopback port (--port 0)
with a --lifetime, so that one a test run forgets still exits by itself; its stderr goes to a
temporary file, its requests to a JSON log. Use them as context managers, or start a set for a
test class with class_servers(), which stops them again in the class clean-up.
"""
import atexit
import os
import shutil
import tempfile

import harness
from harness import authstring
from launch import PayServer, Proxy, SimServer, start_many, stop_many  # noqa: F401 (sim/launch.py)

SIM = os.path.join(harness.SOURCE_DIR, "sim")


def private_copy(path):
    """A copy of the file that only its owner may read (the tool warns about any other key file),
    removed when the tests end."""
    fd, copy = tempfile.mkstemp(prefix="vemrick-key-")
    with os.fdopen(fd, "wb") as out, open(path, "rb") as src:
        shutil.copyfileobj(src, out)
    atexit.register(os.unlink, copy)
    return copy


DEMO_KEY = private_copy(os.path.join(SIM, "demo.key"))


def class_servers(cls, servers):
    """Start {name: server} for a test class and stop them in the class clean-up."""
    start_many(servers)
    cls.addClassCleanup(stop_many, list(servers.values()))
    return servers


# ---------------------------------------------------------------------------------------------
# Running the tool against a server

def pay(url, auth=None, timeout="30", proxy=("", "0"), key=DEMO_KEY, **run_kw):
    """The pay command line: AuthString URL timeout proxyHost proxyPort merchantKeyFile."""
    return harness.run(auth if auth is not None else authstring.authstring(), url, timeout,
                       proxy[0], proxy[1], key, **run_kw)


def preauth(url, auth=None, timeout="30", proxy=("", "0"), key=DEMO_KEY, days="7", **run_kw):
    """The pre-authorization command line: as pay, then the expiry in days."""
    return harness.run("-preauth", auth if auth is not None else authstring.authstring(), url,
                       timeout, proxy[0], proxy[1], key, days, **run_kw)


COMMANDS = {"pay": pay, "preauth": preauth}


def time_limit(seconds):
    """A generous upper bound for a run expected to take `seconds` of waiting; a wrapper such as
    valgrind makes the tool itself many times slower, so it gets more room."""
    return seconds * 2 + 30 if harness.WRAPPER else seconds
