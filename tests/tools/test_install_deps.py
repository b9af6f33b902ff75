"""tools/install-deps on a broken package index, and ./check's verdict line.
apt-get, dpkg, dpkg-query and sudo are fakes first on PATH (fake_apt.py):
no network, no real index, nothing installed.

Usage: test_install_deps.py
"""

import importlib.machinery
import os
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
verdict = importlib.machinery.SourceFileLoader(
    "check_verdict", os.path.join(ROOT, "tools", "check-verdict")).load_module()

UPDATE, PLAIN, PINNED = "update", "install", "pinned install"
BROKEN_URL = "http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"


class InstallDeps(unittest.TestCase):

    def run_script(self, update_fails, install, *args, absent=("nasm", "wine32:i386")):
        """Runs tools/install-deps; returns (status, stderr, the apt-get runs
        by kind, what is still absent)."""
        state = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", state])
        bin_dir = os.path.join(state, "bin")
        os.mkdir(bin_dir)
        for tool in ("apt-get", "dpkg", "dpkg-query", "sudo"):
            os.symlink(os.path.join(HERE, "fake_apt.py"), os.path.join(bin_dir, tool))
        for name, value in (("absent", "\n".join(absent) + "\n"), ("update_fails", str(update_fails)),
                            ("install", install), ("calls", "")):
            with open(os.path.join(state, name), "w") as f:
                f.write(value)
        env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"], FAKE_APT_STATE=state,
                   APT_UPDATE_PAUSE="0")
        done = subprocess.run([os.path.join(ROOT, "tools", "install-deps"), *args], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        with open(os.path.join(state, "calls")) as f:
            calls = [UPDATE if c.startswith("update") else PINNED if "Preferences=" in c else PLAIN
                     for c in f.read().splitlines()]
        with open(os.path.join(state, "absent")) as f:
            left = f.read().split()
        return done.returncode, done.stderr, calls, left, done.stdout

    def test_bad_index(self):
        # (update runs that fail, how an install goes) -> status, apt-get runs, left absent
        table = [
            ((2, "ok"), 0, [UPDATE] * 3 + [PLAIN], []),
            ((5, "ok"), 0, [UPDATE] * 3 + [PLAIN], []),
            ((5, "skew"), 0, [UPDATE] * 3 + [PLAIN, PINNED], []),
            ((5, "fail"), 1, [UPDATE] * 3 + [PLAIN, PINNED], ["nasm", "wine32:i386"]),
            # A good index: a failing install is apt's own message, nothing pinned.
            ((0, "skew"), 1, [UPDATE, PLAIN], ["nasm", "wine32:i386"]),
        ]
        for given, status, calls, left in table:
            with self.subTest(given=given):
                got = self.run_script(*given)
                self.assertEqual(got[0:1] + got[2:4], (status, calls, left), got[1])
                broken_message = "could not install: nasm wine32:i386" in got[1]
                self.assertEqual(broken_message, status != 0, got[1])

    def test_the_final_message_names_the_index_and_what_to_do(self):
        status, err, *_ = self.run_script(5, "fail")
        message = err[err.index("could not install"):]
        for part in (BROKEN_URL, "File has unexpected size", "update failed 3 times", "again later",
                     "another mirror", "Troubleshooting"):
            self.assertIn(part, message)
        _, err, *_ = self.run_script(0, "fail")
        self.assertNotIn("index is broken", err)

    def test_wine_packages_may_stay_missing_when_asked(self):
        status, err, calls, left, _ = self.run_script(5, "no-wine32", "--wine-optional")
        self.assertEqual((status, left), (0, ["wine32:i386"]), err)
        self.assertIn("WARNING: not installed: wine32:i386;", err)
        self.assertEqual(calls[-1], PLAIN)  # the rest, installed at the first plain try
        status, _, _, left, _ = self.run_script(5, "no-wine32")
        self.assertEqual((status, left), (1, ["nasm", "wine32:i386"]))
        status, _, _, left, _ = self.run_script(0, "fail", "--wine-optional")
        self.assertEqual((status, left), (1, ["nasm", "wine32:i386"]))

    def test_nothing_missing_nothing_run(self):
        status, _, calls, _, out = self.run_script(5, "fail", absent=())
        self.assertEqual((status, calls, out), (0, [], ""))
        status, _, calls, left, out = self.run_script(5, "fail", "--missing")
        self.assertEqual((status, calls, out), (0, [], "nasm\nwine32:i386\n"))


def junit(*cases):
    """A ctest JUnit file of cases (name, None for a pass or the skipped test's output)."""
    suite = ElementTree.Element("testsuite")
    for name, output in cases:
        case = ElementTree.SubElement(suite, "testcase", name=name)
        if output is not None:
            ElementTree.SubElement(case, "skipped", message="SKIP_RETURN_CODE=77")
        ElementTree.SubElement(case, "system-out").text = output or ""
    handle = tempfile.NamedTemporaryFile(suffix=".xml", delete=False)
    ElementTree.ElementTree(suite).write(handle)
    handle.close()
    return handle.name


class Verdict(unittest.TestCase):

    def test_skips_are_counted_by_reason_across_trees(self):
        wine = "skipped: Wine cannot run here: Exec format error\n"
        host = junit(("a", None), ("e2e_wine", "note\n" + wine), ("wine_prefix", wine), ("b", None))
        asan = junit(("c", None), ("FilterMain.X/Image", "t.cpp:9: Skipped\nno image built\n"))
        self.assertEqual(verdict.verdict([host, asan]),
                         "check: passed, but 3 of 6 tests skipped (2: Wine cannot run here: Exec format error;"
                         " 1: no image built)")
        self.assertEqual(verdict.verdict([junit(("a", None)), junit(("b", None))]), "check: passed, all 2 tests run")
        self.assertEqual(verdict.verdict([junit(("a", None))], "wine32:i386"),
                         "check: passed, but 0 of 1 tests skipped; not installed: wine32:i386")


if __name__ == "__main__":
    unittest.main()
