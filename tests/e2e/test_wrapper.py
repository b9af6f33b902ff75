"""./b64filter, the wrapper (its body is tools/run-image). Given arguments,
one line on standard error says that the filter reads standard input only;
the image still gets the arguments, and the output and the exit status are
the image's, as without them. Started through symbolic links from anywhere,
it runs the image of the tree it is in. It asks tools/install-deps for what
running the image needs, no more, and configures build/win32 again when a
preset has changed.

    /usr/bin/python3 tests/e2e/test_wrapper.py           (stand-ins, no Wine)
    B64FILTER_WIN32_IMAGE=build/win32/b64filter.exe /usr/bin/python3 tests/e2e/test_wrapper.py --wine

Without --wine the wrapper runs in a copied tree of stand-ins: an
install-deps that records its arguments, a cmake that records its own, and
a tools/wine-run that records its arguments, writes its input in capitals
and exits with 42, so that the output and the status can only be passed on,
never made by the wrapper.
"""

import os
import random
import shutil
import string
import subprocess
import sys
import tempfile
import time
import unittest

import harness

sys.path.insert(0, os.path.join(harness.SOURCE_ROOT, "tests", "tools"))
import test_install_deps as packages  # noqa: E402 (the fake apt's helpers)

WRAPPER = os.path.join(harness.SOURCE_ROOT, "b64filter")
ARGUMENTS = [(), ("--help",), ("photo.jpg", "two words")]
STAND_IN_STATUS = 42
DATA = b"some input"


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
        self.tree = os.path.join(temp.name, "tree")
        self.elsewhere = os.path.join(temp.name, "elsewhere")
        os.makedirs(self.elsewhere)
        for name in ("b64filter", "CMakePresets.json", "tools/run-image", "tools/configure"):
            os.makedirs(os.path.dirname(os.path.join(self.tree, name)), exist_ok=True)
            shutil.copy2(os.path.join(harness.SOURCE_ROOT, name), os.path.join(self.tree, name))
        self.records = {name: os.path.join(temp.name, name) for name in ("install-deps", "cmake", "wine-run")}
        stand_in(os.path.join(self.tree, "tools", "install-deps"),
                 'echo "$@" >> "%s"\n' % self.records["install-deps"])
        stand_in(os.path.join(self.tree, "bin", "cmake"), 'echo "$@" >> "%s"\n' % self.records["cmake"])
        self.configured()
        stand_in(os.path.join(self.tree, "tools", "wine-run"),
                 'printf "%%s\\n" "$@" > "%s"\ntr a-z A-Z\nexit %d\n' % (self.records["wine-run"], STAND_IN_STATUS))
        self.path = "%s:%s" % (os.path.join(self.tree, "bin"), os.environ["PATH"])

    def configured(self):
        """build/win32 as tools/configure leaves it, its presets older than that."""
        tree = os.path.join(self.tree, "build", "win32")
        os.makedirs(tree, exist_ok=True)
        for name in ("build.ninja", "presets.stamp"):
            open(os.path.join(tree, name), "w").close()
        past = time.time() - 100
        os.utime(os.path.join(self.tree, "CMakePresets.json"), (past, past))

    def run_wrapper(self, argv, cwd=None, path=None, data=DATA):
        for record in self.records.values():
            if os.path.exists(record):
                os.remove(record)
        wrapper = harness.Target("host", argv, {"PATH": path or self.path})
        result = subprocess.run(argv, input=data, capture_output=True, cwd=cwd or self.elsewhere,
                                env=wrapper.environment(), timeout=harness.DEFAULT_TIMEOUT)
        return harness.Result(result.returncode, result.stdout, result.stderr)

    def recorded(self, name):
        if not os.path.exists(self.records[name]):
            return []
        with open(self.records[name], encoding="ascii") as f:
            return f.read().splitlines()

    def test_arguments_are_told_and_passed_on(self):
        data = "".join(random.Random(21).choices(string.ascii_lowercase, k=300)).encode()
        for arguments in ARGUMENTS:
            with self.subTest(arguments=arguments):
                result = self.run_wrapper([os.path.join(self.tree, "b64filter"), *arguments], data=data)
                self.assertEqual((result.code, result.stdout), (STAND_IN_STATUS, data.upper()))
                check_told(self, arguments, result.stderr)
                image = os.path.join(self.tree, "build", "win32", "b64filter.exe")
                self.assertEqual(self.recorded("wine-run"), [image, *arguments])

    def test_started_through_links_from_anywhere(self):
        links = os.path.join(self.elsewhere, "bin")
        os.makedirs(links)
        os.symlink(os.path.join(self.tree, "b64filter"), os.path.join(links, "absolute"))
        os.symlink(os.path.relpath(os.path.join(self.tree, "b64filter"), links), os.path.join(links, "relative"))
        os.symlink("relative", os.path.join(links, "b64filter"))  # a link to a link
        below = os.path.join(links, "below")
        os.mkdir(below)
        # how it is started, from which directory
        table = [
            ([os.path.join(self.tree, "b64filter")], self.elsewhere),
            (["bin/absolute"], self.elsewhere),
            (["../relative"], below),
            ([os.path.join(links, "b64filter")], "/"),
            (["b64filter"], "/"),  # found on PATH
        ]
        image = os.path.join(self.tree, "build", "win32", "b64filter.exe")
        for argv, cwd in table:
            with self.subTest(argv=argv, cwd=cwd):
                result = self.run_wrapper(argv, cwd=cwd, path=links + ":" + self.path)
                self.assertEqual((result.code, result.stdout, result.stderr), (STAND_IN_STATUS, DATA.upper(), b""))
                self.assertEqual(self.recorded("wine-run"), [image])

    def test_a_changed_preset_reaches_the_tree(self):
        presets = os.path.join(self.tree, "CMakePresets.json")
        ninja = os.path.join(self.tree, "build", "win32", "build.ninja")
        # the tree's state before the run -> whether the run configures it
        table = [
            ("configured", False),
            ("presets edited", True),
            ("configured since", False),
            ("never configured", True),
        ]
        for before, configures in table:
            with self.subTest(before=before):
                if before == "presets edited":  # after the stamp, by more than any clock's step
                    stamp = os.path.join(self.tree, "build", "win32", "presets.stamp")
                    os.utime(stamp, (os.stat(presets).st_mtime - 10,) * 2)
                if before == "never configured":
                    os.remove(ninja)
                result = self.run_wrapper([os.path.join(self.tree, "b64filter")])
                self.assertEqual(result.code, STAND_IN_STATUS, result.stderr)
                calls = self.recorded("cmake")
                self.assertEqual(calls[:-1], ["--preset win32"] if configures else [], result.stderr)
                self.assertEqual(calls[-1], "--build %s" % os.path.join(self.tree, "build", "win32"))

    def test_asks_for_what_running_the_image_needs(self):
        shutil.copy2(os.path.join(harness.SOURCE_ROOT, "tools", "install-deps"), os.path.join(self.tree, "tools"))
        state = os.path.join(self.tree, "apt")
        os.mkdir(state)
        path = packages.fake_apt(state, ("*",), self.path)
        env = {"FAKE_APT_STATE": state}
        wrapper = harness.Target("host", [os.path.join(self.tree, "b64filter")], dict(env, PATH=path))
        result = harness.run(wrapper, stdin=DATA)
        self.assertEqual((result.code, result.stdout), (STAND_IN_STATUS, DATA.upper()), result.stderr)
        kinds, asked = packages.apt_runs(state)
        self.assertEqual(kinds, [packages.UPDATE, packages.PLAIN])
        self.assertEqual(set(asked[0]), set(packages.purpose_list("run")))
        self.assertEqual(set(asked[0]) & packages.CONTRIBUTORS_ONLY, set())
        # The wrapper's second run finds all of it there.
        self.assertEqual(harness.run(wrapper, stdin=DATA).code, STAND_IN_STATUS)
        self.assertEqual(packages.apt_runs(state)[0], [packages.UPDATE, packages.PLAIN])


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
