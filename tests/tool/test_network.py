#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Networks that misbehave, made inside a private network and mount namespace (needs root; skipped
otherwise): addresses whose packets vanish (routed to a tunnel device nobody reads), an /etc/hosts of the
test's own, and a name server on 127.0.0.1:53 that answers every name but one with "truncated" and
then never answers the retry over TCP.

The tool must fall back from the silent address to the one that answers, bound the whole connect
step and the name lookup by its time-out, and say what happened. Through the library (the Python
package over VEMRICK_LIBRARY), lookups that time out in many threads must leave no thread and no
descriptor behind, and unloading the library afterwards must not harm the process.
"""
import concurrent.futures
import _ctypes
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import harness
import servers
from harness import authstring
from servers import PayServer, class_servers, pay

HOSTS = """127.0.0.1 localhost
::1 localhost
2001:db8::99 pay.test
127.0.0.1 pay.test
2001:db8::99 dead.test
192.0.2.99 dead.test
"""
INSIDE = "VEMRICK_TEST_NAMESPACE"


def sh(*argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def private_network(directory):
    """Loopback up, documentation addresses routed to a tunnel device (nothing answers there),
    and this test's own /etc/hosts and /etc/resolv.conf."""
    sh("ip", "link", "set", "lo", "up")
    sh("ip", "tuntap", "add", "mode", "tun", "t0")  # no program reads it: what it sends is lost
    sh("ip", "link", "set", "t0", "up")
    sh("ip", "addr", "add", "192.0.2.1/24", "dev", "t0")
    sh("ip", "addr", "add", "2001:db8::1/64", "dev", "t0", "nodad")
    for name, text in (("hosts", HOSTS), ("resolv.conf", "nameserver 127.0.0.1\n")):
        path = os.path.join(directory, name)
        with open(path, "w") as f:
            f.write(text)
        sh("mount", "--bind", path, "/etc/" + name)


class NameServer:
    """UDP and TCP on 127.0.0.1:53: dns.test gets 127.0.0.1 (A) or no address (other types), any
    other name a "truncated" answer; TCP connections are accepted and never answered."""

    def __init__(self):
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", 53))
        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.tcp.bind(("127.0.0.1", 53))
        self.tcp.listen(64)
        self.held = []

    def serve(self):
        threading.Thread(target=self.hold, daemon=True).start()
        self.answer()

    def answer(self):
        while True:
            query, peer = self.udp.recvfrom(512)
            end = 12
            while end < len(query) and query[end] != 0:
                end += 1 + query[end]
            question, labels = query[12:end + 5], query[13:end]
            qtype = struct.unpack("!H", query[end + 1:end + 3])[0]
            if labels.replace(b"\x04", b".") == b"dns.test":
                record = (b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 60, 4) + socket.inet_aton("127.0.0.1")
                          if qtype == 1 else b"")
                head = struct.pack("!HHHHH", 0x8180, 1, 1 if record else 0, 0, 0)
            else:
                record, head = b"", struct.pack("!HHHHH", 0x8380, 1, 0, 0, 0)  # truncated
            self.udp.sendto(query[:2] + head + question + record, peer)

    def hold(self):
        while True:
            self.held.append(self.tcp.accept()[0])


def counts(settled=None):
    """This process's threads and open descriptors; given the counts expected, waits up to 5 s for
    them (a joined thread may still be ending)."""
    for _ in range(50):
        now = len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))
        if now == settled or settled is None:
            break
        time.sleep(0.1)
    return now


class Network(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.servers = class_servers(cls, {"pay": PayServer()})
        cls.port = cls.servers["pay"].port

    def url(self, name):
        return "http://%s:%d/pay" % (name, self.port)

    def test_a_silent_address_costs_the_next_one_a_moment_only(self):
        start = time.monotonic()
        r = pay(self.url("pay.test"), timeout="5")
        self.assertIn("ReturnCode=0\n", r.out, r.err)
        self.assertLess(time.monotonic() - start, servers.time_limit(4))

    def test_failures_name_each_address_and_the_time_out_bounds_the_step(self):
        cases = [  # name, timeout, what stderr says, seconds at least
            ("dead.test", "2", "[2001:db8::99]:%d, 192.0.2.99:%d: no answer within 2 s"
             % (self.port, self.port), 2),
            ("slow.test", "2", "slow.test: no answer within 2 s", 2),
            ("dns.test", "2", "", 0),  # through the name server: approved
        ]
        for name, timeout, said, seconds in cases:
            with self.subTest(name=name):
                start = time.monotonic()
                r = pay(self.url(name), timeout=timeout)
                took = time.monotonic() - start
                self.assertGreaterEqual(took, seconds - 0.1)
                self.assertLess(took, servers.time_limit(seconds + 2))
                self.assertIn(said, r.err)
                self.assertIn("ReturnCode=%d\n" % (1002 if said else 0), r.out, r.err)


@unittest.skipUnless(os.environ.get("VEMRICK_LIBRARY"), "the shared library is not built here")
class Library(unittest.TestCase):
    def test_timed_out_lookups_leave_nothing_behind_and_the_library_can_go(self):
        sys.path.insert(0, os.environ["VEMRICK_PYTHON_DIR"])  # the package as the build stages it
        import vemrick
        from vemrick import _native
        before = counts()
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            results = list(pool.map(lambda _: vemrick.pay(
                authstring.authstring(), "http://slow.test/pay", key=b"k", timeout=1), range(24)))
        self.assertEqual({r.error for r in results}, {"resolve: slow.test: no answer within 1 s"})
        self.assertEqual(counts(before), before)
        # Unloaded for good: the package's reference and this one both let go.
        handle = _native._open()._handle
        _native._loaded = None
        for _ in range(2):
            _ctypes.dlclose(handle)
        with open("/proc/self/maps") as f:
            self.assertNotIn(os.path.basename(os.environ["VEMRICK_LIBRARY"]), f.read())
        time.sleep(1.5)  # anything left running in the unloaded code would crash the process now
        self.assertEqual(counts(before), before)


def main():
    """Runs the tests again inside a new network and mount namespace; a machine where one cannot be
    made (not root, a container without the rights or without tunnel devices) skips them, saying
    why."""
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("ip"):
        print("skipped: needs root, unshare and ip for a private network namespace")
        return 0
    if not os.environ.get(INSIDE):
        missing = [path for path in ("/etc/hosts", "/etc/resolv.conf") if not os.path.isfile(path)]
        if missing:
            print("skipped: no %s here to mount this test's own over" % " or ".join(missing))
            return 0
        if subprocess.run(["unshare", "-n", "-m", "true"], stderr=subprocess.DEVNULL).returncode:
            print("skipped: no new network namespace can be made here")
            return 0
        env = dict(os.environ, **{INSIDE: "1"})
        return subprocess.run(["unshare", "-n", "-m", sys.executable] + sys.argv, env=env).returncode
    if sys.argv[1:] == ["--name-server"]:
        server = NameServer()
        print("ready", flush=True)
        server.serve()
    with tempfile.TemporaryDirectory(prefix="vemrick-net-") as directory:
        try:
            private_network(directory)
        except (OSError, subprocess.CalledProcessError) as e:
            print("skipped: cannot make the private network here: %s" % e)
            return 0
        # A process of its own, so that the connections it holds are not counted as this one's.
        with subprocess.Popen([sys.executable, __file__, "--name-server"],
                              stdout=subprocess.PIPE) as server:
            try:
                server.stdout.readline()
                return 0 if unittest.main(exit=False).result.wasSuccessful() else 1
            finally:
                server.kill()


if __name__ == "__main__":
    sys.exit(main())
