#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Installs the built project into a temporary prefix, builds the merchant examples against it with
find_package(vemrick) and with pkg-config, each linked statically and dynamically, and runs them
against the test payment server; installs the Python package with pip into a virtual environment
and runs its tests there."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ["VEMRICK_SOURCE_DIR"]
BUILD = os.environ["VEMRICK_BUILD_DIR"]
sys.path.insert(0, os.path.join(SOURCE, "tests", "tool"))
sys.path.insert(0, os.path.join(SOURCE, "sim"))

import authstring  # noqa: E402
import servers  # noqa: E402


def run(*cmd):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    if proc.returncode != 0:
        raise AssertionError("%s failed:\n%s" % (" ".join(cmd), proc.stdout.decode(errors="replace")))
    return proc.stdout.decode()


class InstalledLibrary(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vemrick-install-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        cls.prefix = os.path.join(cls.tmp, "prefix")
        run("cmake", "--install", BUILD, "--prefix", cls.prefix)
        example = os.path.join(cls.tmp, "example")
        run("cmake", "-S", os.path.join(SOURCE, "examples"), "-B", example,
            "-DCMAKE_PREFIX_PATH=" + cls.prefix)
        run("cmake", "--build", example)
        # name: (program, linked against libvemrick.so.1)
        cls.consumers = {"find_package, static, C++": (os.path.join(example, "merchant"), False),
                         "find_package, shared, C": (os.path.join(example, "merchant_c"), True)}
        if shutil.which("pkg-config"):
            for package, shared in (("vemrick", True), ("vemrick-static", False)):
                program = os.path.join(cls.tmp, package)
                pc = os.path.join(cls.prefix, "lib", "pkgconfig", package + ".pc")
                flags = run("pkg-config", "--cflags", "--libs", pc).split()
                run("cc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-o", program,
                    os.path.join(SOURCE, "examples", "merchant.c"), *flags)
                cls.consumers["pkg-config %s, C" % package] = (program, shared)
        cls.env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(cls.prefix, "lib"))
        cls.env.pop("VEMRICK_LIBRARY", None)

    def test_prefix_holds_both_libraries_exporting_only_the_entry_points(self):
        for path in ("bin/vemrick", "lib/libvemrick.a", "lib/libvemrick.so.1", "share/man/man1/vemrick.1"):
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, path)), path)
        library = os.path.join(self.prefix, "lib", "libvemrick.so.1")
        self.assertIn("Library soname: [libvemrick.so.1]", run("readelf", "-d", library))
        self.assertEqual({line.split()[-1] for line in run("nm", "-D", "--defined-only", library).splitlines()},
                         {"QZGetPayTransaction", "QZIsValidPayTransaction", "QZProcessPayTransaction",
                          "QZProcessPreAuthorization", "QZProcessPayTransactionEx", "QZProcessPreAuthorizationEx",
                          "QZGetPayTransactionEx", "QZReadKeyFile", "QZKeyFileText", "QZExpiryDate",
                          "QZVersion"})

    def test_consumers_check_then_pay(self):
        """Each consumer, linked as it says, pays the checked order and refuses a changed one unsent."""
        order = ["M42", "ORDER-7", "EUR", "19.90", "Blue mug", "4000000000000002"]
        auth = authstring.authstring(**dict(zip([name for name, _ in authstring.FIELDS], order)))
        with servers.PayServer() as server:
            for name, (program, shared) in self.consumers.items():
                with self.subTest(name):
                    self.assertEqual("libvemrick.so.1" in run("readelf", "-d", program), shared)
                    for amount, status, out in (("19.90", 0, b"card 3: CHARLIE\n"),
                                                ("19.91", 1, b"order check failed (code 0)\n")):
                        r = subprocess.run([program, auth, server.url(), servers.DEMO_KEY] + order[:3] + [amount] +
                                           order[4:], stdout=subprocess.PIPE, timeout=60, env=self.env)
                        self.assertEqual(r.returncode, status, r.stdout)
                        self.assertIn(out, r.stdout)
                    self.assertEqual(len(server.new_log_entries()), 1)  # only the checked order was sent

    def test_python_package_installs_with_pip_and_passes_its_tests(self):
        python = "/usr/bin/python3"  # Debian's, whose packages python3-venv, -setuptools and -wheel pip needs
        if subprocess.run([python, "-c", "import ensurepip, setuptools, wheel"], stderr=subprocess.DEVNULL).returncode:
            self.skipTest("%s lacks venv, setuptools or wheel" % python)
        venv, package = os.path.join(self.tmp, "venv"), os.path.join(self.tmp, "python")
        shutil.copytree(os.path.join(BUILD, "python"), package)  # pip builds in the folder given
        run(python, "-m", "venv", "--system-site-packages", venv)
        run(os.path.join(venv, "bin", "pip"), "install", "--no-build-isolation", "--no-index",
            package)
        tests = subprocess.run([os.path.join(venv, "bin", "python"),
                                os.path.join(SOURCE, "tests", "embed", "test_python.py")],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300,
                               env=dict(self.env, VEMRICK_TEST_INSTALLED="1", PYTHONPATH=""))
        self.assertEqual(tests.returncode, 0, tests.stdout.decode(errors="replace"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
