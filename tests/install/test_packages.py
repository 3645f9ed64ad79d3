#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The Debian packages as an operations team meets them: installed with apt-get into a fresh Debian
12 root, used from inside it (the tool's version and a payment, the manual page, the Python package
and a payment from Python, a C program built with pkg-config), then purged, which must leave no
file of theirs behind.

    python3 tests/install/test_packages.py DEB_DIR     (as root; make deb-test runs it)

The root is made by mmdebstrap from the host's Debian mirror. The test payment server runs on the
host's loopback, which the chroot shares. The script runs itself in a mount namespace of its own,
so the mounts go away with it however it ends; the root's folder is removed on every exit that
Python sees (an interrupt and a termination included). VEMRICK_DEB_ROOT_CACHE names a folder
keeping the downloaded packages between runs.
"""
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(SOURCE, "sim"), os.path.join(SOURCE, "scripts")]

import authstring  # noqa: E402  (sim/)
import debian_mirrors  # noqa: E402  (scripts/)
import launch  # noqa: E402

PACKAGES = ["vemrick", "libvemrick1", "libvemrick-dev", "python3-vemrick"]
# What the checks use inside the root, installed before the snapshot so that purging our packages
# must bring the root back to it exactly.
ROOT_PACKAGES = ["man-db", "python3", "libssl3", "libc-ares2", "gcc", "libc6-dev", "pkg-config"]
# Folders whose contents change by themselves (package database, caches, logs) or are not files.
VOLATILE = re.compile(r"^/(proc|dev|sys|tmp|run|var/lib/(dpkg|apt|python)|var/cache|var/log)(/|$)")
ORDER = dict(MerchantID="M42", TransactionID="ORDER-7", CurrencyCode="EUR",
             TransactionAmount="19.90", Description="Blue mug", PAN="4000000000000002")
DEB_DIR = ""


def run(*cmd, timeout=600, **kw):
    """Runs cmd in a process group of its own, which is killed whole if the run is cut short (an
    interrupt, a termination, the time-out), so that no child keeps writing into the root."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                            start_new_session=True, **kw)
    try:
        out = proc.communicate(timeout=timeout)[0].decode(errors="replace")
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    if proc.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s" % (" ".join(cmd), proc.returncode, out[-4000:]))
    return out


def files_under(root):
    """Every path in the root but the volatile folders, as seen from inside it."""
    found = set()
    for top, dirs, files in os.walk(root):
        inside = "/" + os.path.relpath(top, root) if top != root else "/"
        dirs[:] = [d for d in dirs if not VOLATILE.match(os.path.join(inside, d))]
        found.update(os.path.join(inside, name) for name in dirs + files)
    return found


class InstalledPackages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.debs = sorted(os.path.join(DEB_DIR, "%s_*.deb" % name) for name in PACKAGES)
        cls.debs = [found for pattern in cls.debs for found in glob.glob(pattern)]
        if len(cls.debs) != len(PACKAGES):
            raise AssertionError("%s lacks some of %s (make deb builds them)" % (DEB_DIR, PACKAGES))
        cls.root = tempfile.mkdtemp(prefix="vemrick-root-", dir=os.environ.get("TMPDIR"))
        cls.addClassCleanup(cls.remove_root)
        cache = os.environ.get("VEMRICK_DEB_ROOT_CACHE")
        hooks = []
        if cache:  # reuse and refill the downloaded packages
            os.makedirs(cache, exist_ok=True)
            hooks = ["--skip=download/empty",
                     "--setup-hook=mkdir -p \"$1\"/var/cache/apt/archives && "
                     "cp -a %s/. \"$1\"/var/cache/apt/archives/" % cache,
                     "--customize-hook=sync-out /var/cache/apt/archives %s" % cache]
        # Without fsync per file, and without man-db rebuilding its index whenever a package
        # brings a manual page (man -w finds the page without it).
        hooks += ["--dpkgopt=force-unsafe-io", "--customize-hook=rm -f \"$1\"/var/lib/man-db/auto-update"]
        run("mmdebstrap", "--variant=apt", "--include=" + ",".join(ROOT_PACKAGES), *hooks,
            "bookworm", cls.root, *debian_mirrors.mirrors(), timeout=900)
        run("mount", "-t", "proc", "proc", os.path.join(cls.root, "proc"))
        cls.before = files_under(cls.root)
        cls.work = os.path.join(cls.root, "tmp", "vemrick-test")
        os.makedirs(cls.work)
        for deb in cls.debs:
            shutil.copy(deb, cls.work)
        shutil.copy(os.path.join(SOURCE, "examples", "merchant.c"), cls.work)
        key = os.path.join(cls.work, "merchant.key")
        shutil.copy(os.path.join(SOURCE, "sim", "demo.key"), key)
        os.chmod(key, 0o600)
        cls.chroot("apt-get", "install", "-y", "--no-install-recommends",
                   *["/tmp/vemrick-test/" + os.path.basename(d) for d in cls.debs])
        cls.owned = set()
        for name in PACKAGES:
            cls.owned.update(os.path.normpath(line) for line in cls.chroot("dpkg", "-L", name).splitlines()
                             if line.startswith("/") and os.path.normpath(line) != "/")
        cls.server = launch.PayServer()
        cls.server.__enter__()
        cls.addClassCleanup(cls.server.__exit__, None, None, None)

    @classmethod
    def remove_root(cls):
        """Unmounts what is mounted in the root (this mount namespace is the script's own), then
        removes it; a root still mounted after that is left in place, and said."""
        def mounts():
            with open("/proc/self/mountinfo") as f:
                return [line.split()[4] for line in f if line.split()[4].startswith(cls.root + "/")]
        for point in sorted(mounts(), reverse=True):
            subprocess.run(["umount", "-l", point], stderr=subprocess.DEVNULL)
        if mounts():
            print("test_packages: %s still mounted; left in place" % mounts(), file=sys.stderr)
        else:
            shutil.rmtree(cls.root, True)

    @classmethod
    def chroot(cls, *cmd, **kw):
        return run("chroot", cls.root, "/usr/bin/env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                   "LANG=C.UTF-8", "DEBIAN_FRONTEND=noninteractive", *cmd, **kw)

    def test_1_each_part_works_inside_the_root(self):
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
            version = re.search(r"^project\(vemrick VERSION ([0-9.]+)", f.read(), re.M).group(1)
        auth = authstring.authstring(**ORDER)
        url = self.server.url()
        pay_python = ("import vemrick, sys; r = vemrick.pay(sys.argv[1], sys.argv[2], "
                      "key_file='/tmp/vemrick-test/merchant.key'); print(vemrick.__version__, r.return_code, r.cards)")
        build_c = ("cc -std=c99 -Wall -Werror -o /tmp/vemrick-test/merchant /tmp/vemrick-test/merchant.c "
                   "$(pkg-config --cflags --libs vemrick) && /tmp/vemrick-test/merchant \"$@\"")
        cases = [  # name, command inside the root, what its output must match
            ("tool --version", ["vemrick", "--version"],
             r"\Avemrick %s\nhttps: yes " % re.escape(version)),
            ("tool pays", ["vemrick", auth, url, "30", "", "0", "/tmp/vemrick-test/merchant.key"],
             r"\nPAN=4000000000000002 +\n.*\nReturnCode=0\n\Z"),
            ("manual page", ["man", "-w", "vemrick"], r"\A/usr/share/man/man1/vemrick\.1\.gz\n\Z"),
            ("Python pays", ["python3", "-c", pay_python, auth, url],
             r"\A%s 0 \('ALPHA', 'BRAVO12345', 'CHARLIE'\)\n\Z" % re.escape(version)),
            ("C program from pkg-config pays", ["sh", "-c", build_c, "sh", auth, url, "/tmp/vemrick-test/merchant.key"]
             + list(ORDER.values()), r"card 3: CHARLIE\n"),
        ]
        for name, cmd, expect in cases:
            with self.subTest(name):
                self.assertRegex(self.chroot(*cmd), re.compile(expect, re.S))
        self.assertEqual(len(self.server.new_log_entries()), 3)  # the three payments reached the host

    def test_2_purge_leaves_nothing_behind(self):
        self.assertTrue(self.owned >= {"/usr/bin/vemrick", "/usr/include/vemrick.h"}, self.owned)
        self.chroot("apt-get", "remove", "--purge", "-y", *PACKAGES)
        shutil.rmtree(self.work)
        left = {path for path in self.owned if os.path.lexists(self.root + path) and path not in self.before}
        self.assertEqual(left, set())
        self.assertEqual(files_under(self.root) ^ self.before, set())


def in_own_mount_namespace():
    """Runs this script again in a private mount namespace (unless it already is) and exits with
    its status: mounts made inside vanish when the namespace's last process ends."""
    if os.environ.get("VEMRICK_DEB_TEST_NS") == "1":
        return
    env = dict(os.environ, VEMRICK_DEB_TEST_NS="1")
    proc = subprocess.Popen(["unshare", "--mount", "--propagation", "private", sys.executable] + sys.argv, env=env)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda number, frame: proc.send_signal(number))
    sys.exit(proc.wait())


if __name__ == "__main__":
    if os.geteuid() != 0 or len(sys.argv) < 2:
        sys.exit("usage (as root): %s DEB_DIR" % sys.argv[0])
    in_own_mount_namespace()
    # However the run ends (the tests' end, an interrupt, a termination), the clean-ups run: the
    # test server stops and the root is unmounted and removed.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda number, frame: sys.exit(128 + number))
    DEB_DIR = os.path.abspath(sys.argv.pop(1))
    try:
        unittest.main(verbosity=2)
    finally:
        InstalledPackages.doClassCleanups()
