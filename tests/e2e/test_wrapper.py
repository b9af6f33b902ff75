"""./b64filter given arguments: one line on standard error says that the
filter reads standard input only; the image still gets the arguments, and
the output and the exit status are the image's, as without them.

    /usr/bin/python3 tests/e2e/test_wrapper.py           (stand-ins, no Wine)
    B64FILTER_WIN32_IMAGE=build/win32/b64filter.exe /usr/bin/python3 tests/e2e/test_wrapper.py --wine

Without --wine the wrapper runs in a copied tree of stand-ins: an
install-deps and a cmake that do nothing, and a tools/wine-run that records
its arguments, writes its input in capitals and exits with 42, so that the
output and the status can only be passed on, never made by the wrapper.
"""

import os
import random
import shutil
import string
import sys
import tempfile
import unittest

import harness

WRAPPER = os.path.join(harness.SOURCE_ROOT, "b64filter")
ARGUMENTS = [(), ("--help",), ("photo.jpg", "two words")]
STAND_IN_STATUS = 42


def stand_in(path, body):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="ascii") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, 0o755)


def check_told(case, arguments, stderr):
    """No word without arguments; with them, exactly one line about standard input."""
    if not arguments:
        case.assertEqual(stderr, b"")
        return
    case.assertEqual(stderr.count(b"\n"), 1, stderr)
    case.assertTrue(stderr.endswith(b"\n"), stderr)
    case.assertIn(b"reads standard input only", stderr)


class StandIns(unittest.TestCase):
    def setUp(self):
        temp = tempfile.TemporaryDirectory()
        self.addCleanup(temp.cleanup)
        self.tree = temp.name
        shutil.copy(WRAPPER, self.tree)
        stand_in(os.path.join(self.tree, "tools", "install-deps"), "exit 0\n")
        stand_in(os.path.join(self.tree, "bin", "cmake"), "exit 0\n")
        os.makedirs(os.path.join(self.tree, "build", "win32"))
        open(os.path.join(self.tree, "build", "win32", "build.ninja"), "w").close()
        self.record = os.path.join(self.tree, "arguments")
        stand_in(os.path.join(self.tree, "tools", "wine-run"),
                 'printf "%%s\\n" "$@" > "%s"\ntr a-z A-Z\nexit %d\n' % (self.record, STAND_IN_STATUS))

    def test_arguments_are_told_and_passed_on(self):
        data = "".join(random.Random(21).choices(string.ascii_lowercase, k=300)).encode()
        path = "%s:%s" % (os.path.join(self.tree, "bin"), os.environ["PATH"])
        for arguments in ARGUMENTS:
            with self.subTest(arguments=arguments):
                wrapper = harness.Target("host", [os.path.join(self.tree, "b64filter"), *arguments],
                                         {"PATH": path})
                result = harness.run(wrapper, stdin=data)
                self.assertEqual((result.code, result.stdout), (STAND_IN_STATUS, data.upper()))
                check_told(self, arguments, result.stderr)
                with open(self.record, encoding="ascii") as f:
                    passed = f.read().splitlines()
                image = os.path.join(self.tree, "build", "win32", "b64filter.exe")
                self.assertEqual(passed, [image, *arguments])


class UnderWine(unittest.TestCase):
    def test_the_image_ignores_them(self):
        data = random.Random(22).randbytes(3 * harness.CHUNK_BYTES + 7)
        for arguments in ARGUMENTS:
            with self.subTest(arguments=arguments):
                wrapper = harness.Target("wine", [WRAPPER, *arguments], {})
                result = harness.run(wrapper, stdin=data)
                self.assertEqual((result.code, result.stdout), (0, harness.expected_output(data)))
                check_told(self, arguments, result.stderr)


if __name__ == "__main__":
    wine = sys.argv[-1] == "--wine"
    if wine:
        sys.argv.pop()
    unittest.main(defaultTest="UnderWine" if wine else "StandIns")
