#!/usr/bin/env python3
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
                flags = run("pkg-config", "--cflags", "--libs", cls.pc_file(package)).split()
                run("cc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-o", program,
                    os.path.join(SOURCE, "examples", "merchant.c"), *flags)
                cls.consumers["pkg-config %s, C" % package] = (program, shared)
        cls.env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(cls.prefix, "lib"))
        cls.env.pop("VEMRICK_LIBRARY", None)

    @classmethod
    def pc_file(cls, package):
        return os.path.join(cls.prefix, "lib", "pkgconfig", package + ".pc")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_prefix_holds_tool_library_header_packages_and_manual(self):
        for path in ("bin/vemrick", "include/vemrick.h", "lib/libvemrick.a", "lib/libvemrick.so",
                     "lib/libvemrick.so.1", "lib/cmake/vemrick/vemrickConfig.cmake",
                     "lib/pkgconfig/vemrick.pc", "lib/pkgconfig/vemrick-static.pc",
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
            flags = run("pkg-config", "--libs", self.pc_file("vemrick-static")).split()
            self.assertEqual(os.path.realpath(flags[0]),
                             os.path.realpath(os.path.join(self.prefix, "lib/libvemrick.a")))

    def test_shared_library_exports_only_the_entry_points(self):
        library = os.path.join(self.prefix, "lib", "libvemrick.so.1")
        self.assertIn("(SONAME)             Library soname: [libvemrick.so.1]",
                      run("readelf", "-d", library))
        exported = {line.split()[-1]
                    for line in run("nm", "-D", "--defined-only", library).splitlines()}
        self.assertEqual(exported, {"QZGetPayTransaction", "QZIsValidPayTransaction",
                                    "QZProcessPayTransaction", "QZProcessPreAuthorization",
                                    "QZProcessPayTransactionEx", "QZProcessPreAuthorizationEx"})

    def test_example_checks_then_pays(self):
        order = ["M42", "ORDER-7", "EUR", "19.90", "Blue mug", "4000000000000002"]
        auth = authstring.authstring(**dict(zip([name for name, _ in authstring.FIELDS], order)))
        self.assertEqual(len(self.consumers), 4 if shutil.which("pkg-config") else 2)
        with servers.PayServer() as server:
            for name, (program, shared) in self.consumers.items():
                with self.subTest(name):
                    def merchant(*expected):
                        return subprocess.run(
                            [program, auth, server.url(), servers.DEMO_KEY] + list(expected),
                            stdout=subprocess.PIPE, timeout=60, env=self.env)
                    self.assertEqual("libvemrick.so.1" in run("readelf", "-d", program), shared)
                    paid = merchant(*order)
                    self.assertEqual(paid.returncode, 0, paid.stdout)
                    self.assertIn(b"card 3: CHARLIE\n", paid.stdout)
                    self.assertIn(b"approved, authorization ", paid.stdout)
                    refused = merchant(*order[:3], "19.91", *order[4:])
                    self.assertEqual((refused.returncode, refused.stdout),
                                     (1, b"order check failed (code 0)\n"))
                    # only the checked order was sent
                    self.assertEqual(len(server.new_log_entries()), 1)

    def test_python_package_installs_with_pip_and_passes_its_tests(self):
        python = next((p for p in ("/usr/bin/python3", sys.executable) if os.access(p, os.X_OK) and
                       subprocess.run([p, "-c", "import ensurepip, setuptools, wheel"],
                                      stderr=subprocess.DEVNULL).returncode == 0), None)
        if python is None:
            self.skipTest("no Python here with venv, setuptools and wheel (Debian: python3-venv, "
                          "python3-setuptools, python3-wheel)")
        venv, package = os.path.join(self.tmp, "venv"), os.path.join(self.tmp, "python")
        shutil.copytree(os.path.join(SOURCE, "python"), package)  # pip builds in the folder given
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
