#!/usr/bin/env python3
"""Installs the built project into a temporary prefix, builds the merchant example against it with
find_package(vemrick), and runs the example against the test payment server."""
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
        cls.prefix = os.path.join(cls.tmp, "prefix")
        run("cmake", "--install", BUILD, "--prefix", cls.prefix)
        example = os.path.join(cls.tmp, "example")
        run("cmake", "-S", os.path.join(SOURCE, "examples"), "-B", example,
            "-DCMAKE_PREFIX_PATH=" + cls.prefix)
        run("cmake", "--build", example)
        cls.merchant = os.path.join(example, "merchant")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_prefix_holds_tool_library_header_packages_and_manual(self):
        for path in ("bin/vemrick", "include/vemrick.h", "lib/libvemrick.a",
                     "lib/cmake/vemrick/vemrickConfig.cmake", "lib/pkgconfig/vemrick.pc",
                     "share/man/man1/vemrick.1"):
            with self.subTest(path):
                self.assertTrue(os.path.isfile(os.path.join(self.prefix, path)))
        if shutil.which("pkg-config"):
            flags = run("pkg-config", "--cflags", "--libs",
                        os.path.join(self.prefix, "lib/pkgconfig/vemrick.pc")).split()
            self.assertIn("-lvemrick", flags)
            for flag, folder in (("-I", "include"), ("-L", "lib")):
                given = [f[2:] for f in flags if f.startswith(flag)]
                self.assertEqual([os.path.realpath(g) for g in given],
                                 [os.path.realpath(os.path.join(self.prefix, folder))])

    def test_example_checks_then_pays(self):
        order = dict(MerchantID="M42", TransactionID="ORDER-7", CurrencyCode="EUR",
                     TransactionAmount="19.90", Description="Blue mug", PAN="4000000000000002")
        auth = authstring.authstring(**order)
        expected = [order[k] for k in ("MerchantID", "TransactionID", "CurrencyCode",
                                       "TransactionAmount", "Description", "PAN")]
        with servers.PayServer() as server:
            paid = subprocess.run([self.merchant, auth, server.url(), servers.DEMO_KEY] + expected,
                                  stdout=subprocess.PIPE, timeout=60)
            self.assertEqual(paid.returncode, 0, paid.stdout)
            self.assertIn(b"card 3: CHARLIE\n", paid.stdout)
            self.assertIn(b"approved, authorization ", paid.stdout)

            wrong = list(expected)
            wrong[3] = "19.91"
            refused = subprocess.run([self.merchant, auth, server.url(), servers.DEMO_KEY] + wrong,
                                     stdout=subprocess.PIPE, timeout=60)
            self.assertEqual(refused.returncode, 1)
            self.assertEqual(refused.stdout, b"order check failed (code 0)\n")
            self.assertEqual(len(server.new_log_entries()), 1)  # only the checked order was sent


if __name__ == "__main__":
    unittest.main(verbosity=2)
