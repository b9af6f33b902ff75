"""A packager's build: the `linux` preset (BUILD_TESTING=OFF) configures,
builds and installs the two programs with a C++ compiler and CMake alone.

    /usr/bin/python3 tests/release/test_packager_build.py CMAKE

The tree is configured in a temporary directory with every package the tests
use made unfindable: find_package refuses each (CMAKE_DISABLE_FIND_PACKAGE_*,
PkgConfig among them, through which Unicorn and Capstone are found), and the
directories that hold libFuzzer's header are ignored. Nothing may even be
looked for: the cache holds no trace of a search for any of them. The tree
builds the two programs and nothing else, registers no test, and installs
exactly the programs and their manual pages, which encode and decode.
"""

import glob
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from test_install import INSTALLED, files_under  # noqa: E402

CMAKE = None
# What the tests, the emulator, the fuzzers and the benchmarks find.
PACKAGES = ("GTest", "OpenSSL", "PkgConfig", "benchmark")
# A cache entry any search for one of them, or for libFuzzer's header, leaves
# (besides the switches given on the command line).
SEARCHED = re.compile(r"^(?!CMAKE_DISABLE_FIND_PACKAGE_)(\w*(?:GTEST|GTest|gtest|OPENSSL|OpenSSL|PKG_CONFIG|PkgConfig"
                      r"|UNICORN|CAPSTONE|benchmark|FUZZED)\w*)[:=]", re.M)


def run(argv, **kwargs):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600,
                          **kwargs)


def executables(top):
    """The ELF executables built under top, outside CMake's own files."""
    found = set()
    for directory, subdirectories, names in os.walk(top):
        subdirectories[:] = [d for d in subdirectories if d != "CMakeFiles"]
        for name in names:
            path = os.path.join(directory, name)
            with open(path, "rb") as f:
                if f.read(4) == b"\x7fELF" and os.access(path, os.X_OK):
                    found.add(os.path.relpath(path, top))
    return found


class PackagerBuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.build = os.path.join(cls.temp.name, "build")
        ignored = glob.glob("/usr/lib/llvm-*/lib/clang/*/include/fuzzer")
        cls.configured = run([CMAKE, "-S", ROOT, "--preset", "linux", "-B", cls.build,
                              *("-DCMAKE_DISABLE_FIND_PACKAGE_%s=ON" % name for name in PACKAGES),
                              "-DCMAKE_IGNORE_PATH=" + ";".join(ignored)], cwd=ROOT)
        cls.built = cls.configured.returncode == 0 and run([CMAKE, "--build", cls.build])

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def test_configures_without_looking_for_any_test_package(self):
        self.assertEqual(self.configured.returncode, 0, self.configured.stdout)
        with open(os.path.join(self.build, "CMakeCache.txt")) as f:
            cache = f.read()
        self.assertRegex(cache, r"(?m)^BUILD_TESTING:BOOL=OFF$")
        self.assertEqual(SEARCHED.findall(cache), [])

    def test_builds_the_programs_and_no_test(self):
        self.assertTrue(self.built and self.built.returncode == 0, self.built and self.built.stdout)
        self.assertEqual(executables(self.build), {"b64filter", "b64unfilter"})
        listed = run(["ctest", "--test-dir", self.build, "-N"])
        self.assertRegex(listed.stdout, r"(?m)^Total Tests: 0$")

    def test_installs_the_programs_and_their_pages(self):
        self.assertTrue(self.built and self.built.returncode == 0, self.built and self.built.stdout)
        prefix = os.path.join(self.temp.name, "prefix")
        installed = run([CMAKE, "--install", self.build, "--strip", "--prefix", prefix])
        self.assertEqual(installed.returncode, 0, installed.stdout)
        self.assertEqual(files_under(prefix), INSTALLED)
        for name, given, made in (("b64filter", b"packaged", b"cGFja2FnZWQ=\r\n"),
                                  ("b64unfilter", b"cGFja2Fn\r\nZWQ=\r\n", b"packaged")):
            result = subprocess.run([os.path.join(prefix, "bin", name)], input=given, capture_output=True,
                                    timeout=60)
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, made, b""), name)


if __name__ == "__main__":
    CMAKE = sys.argv.pop(1)
    unittest.main()
