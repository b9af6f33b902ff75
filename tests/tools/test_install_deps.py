"""tools/install-deps on a broken package index, its lists, what it asks
for on each kind of machine, and ./check's verdict line. apt-get, apt-cache,
dpkg, dpkg-query and sudo are fakes first on PATH (fake_apt.py): no network,
no real index, nothing installed; B64FILTER_RUNS_32BIT gives the kernel's
answer to tools/can-run-image. RunList alone reads the real dpkg, and the
win32 tree that B64FILTER_WIN32_IMAGE is in.

Usage: test_install_deps.py [InstallDeps Verdict | RunList]
"""

import importlib.machinery
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
verdict = importlib.machinery.SourceFileLoader(
    "check_verdict", os.path.join(ROOT, "tools", "check-verdict")).load_module()

UPDATE, PLAIN, PINNED = "update", "install", "pinned install"
BROKEN_URL = "http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"
OLD, NEW = "3.0.11-1~deb12u2", "3.0.15-1~deb12u1"  # libssl3 in the main and the security suite
RUN = ("nasm", "wine32:i386")  # what ./b64filter may lack
ALL = ("nasm", "wine32:i386", "libssl-dev")  # what ./check may lack: libssl-dev wants the newest libssl3
# The contributors' tools, which running the image never needs.
CONTRIBUTORS_ONLY = {"valgrind", "cppcheck", "clang-tidy", "dosbox", "gnuplot", "devscripts",
                     "libbenchmark-dev", "clang-19", "libgtest-dev", "wine64"}


def fake_apt(state, absent, path=os.environ["PATH"], **files):
    """path with apt-get, apt-cache, dpkg, dpkg-query, sudo and id first, as fake_apt.py over state."""
    bin_dir = os.path.join(state, "bin")
    os.mkdir(bin_dir)
    for tool in ("apt-get", "apt-cache", "dpkg", "dpkg-query", "sudo", "id"):
        os.symlink(os.path.join(HERE, "fake_apt.py"), os.path.join(bin_dir, tool))
    files = dict(dict(foreign=""), **files, absent="\n".join(absent) + "\n", calls="")
    for name, value in files.items():
        with open(os.path.join(state, name), "w") as f:
            f.write(value)
    return bin_dir + os.pathsep + path


def purpose_list(*purpose, arch="amd64", runs_32bit="yes"):
    """The packages tools/install-deps installs for a purpose (none: its
    default), on a machine of arch whose kernel runs 32-bit programs or not."""
    with tempfile.TemporaryDirectory() as state:
        env = dict(os.environ, PATH=fake_apt(state, ("*",), arch=arch), FAKE_APT_STATE=state,
                   B64FILTER_RUNS_32BIT=runs_32bit)
        return subprocess.run([os.path.join(ROOT, "tools", "install-deps"), *purpose, "--missing"], env=env,
                              capture_output=True, text=True, check=True).stdout.split()


def apt_runs(state):
    """The apt-get runs made, by kind, and the packages each install asked for."""
    with open(os.path.join(state, "calls")) as f:
        calls = f.read().splitlines()
    kinds = [UPDATE if c.startswith("update") else PINNED if "Preferences=" in c else PLAIN for c in calls]
    asked = [[a for a in c.split()[1:] if not a.startswith("-")] for c in calls if not c.startswith("update")]
    return kinds, asked


class InstallDeps(unittest.TestCase):

    def run_script(self, update_fails, *args, failure="error", native=OLD, install="", absent=RUN, uid="0",
                   sudo=""):
        """Runs tools/install-deps; returns (status, stderr, the apt-get runs
        by kind, what is still absent, stdout)."""
        state = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", state])
        path = fake_apt(state, absent, update_fails=str(update_fails), failure=failure, native=native,
                        install=install, uid=uid, sudo=sudo)
        env = dict(os.environ, PATH=path, FAKE_APT_STATE=state, APT_UPDATE_PAUSE="0", B64FILTER_RUNS_32BIT="yes")
        done = subprocess.run([os.path.join(ROOT, "tools", "install-deps"), *args], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        with open(os.path.join(state, "absent")) as f:
            left = f.read().split()
        return done.returncode, done.stderr, apt_runs(state)[0], left, done.stdout

    def test_bad_index(self):
        # An update that fails (times, how), libssl3:amd64 as installed, what
        # is missing -> status, apt-get runs, left absent. After a failed
        # update apt lacks the security suite's i386 versions: an install
        # that raises libssl3:amd64 to the security version cannot find
        # its i386 half, unless that suite is pinned down; and when the
        # amd64 half is installed at that version already, the pin cannot
        # help, since it never downgrades.
        table = [
            ((2, "error", OLD, ALL), 0, [UPDATE] * 3 + [PLAIN], []),
            ((5, "error", OLD, RUN), 0, [UPDATE] * 3 + [PLAIN], []),
            ((5, "error", OLD, ALL), 0, [UPDATE] * 3 + [PLAIN, PINNED], []),
            ((5, "error", "", ALL), 0, [UPDATE] * 3 + [PLAIN, PINNED], []),
            ((5, "error", NEW, RUN), 1, [UPDATE] * 3 + [PLAIN, PINNED], list(RUN)),
            ((5, "error", NEW, ALL), 1, [UPDATE] * 3 + [PLAIN, PINNED], list(ALL)),
            # A network error is only a warning to apt, but fails the update all the same.
            ((2, "warning", OLD, ALL), 0, [UPDATE] * 3 + [PLAIN], []),
            ((5, "warning", OLD, ALL), 0, [UPDATE] * 3 + [PLAIN, PINNED], []),
            # A good index: nothing pinned.
            ((0, "error", NEW, ALL), 0, [UPDATE, PLAIN], []),
        ]
        for (fails, failure, native, absent), status, calls, left in table:
            with self.subTest(fails=fails, failure=failure, native=native, absent=absent):
                got = self.run_script(fails, failure=failure, native=native, absent=absent)
                self.assertEqual(got[0:1] + got[2:4], (status, calls, left), got[1])
                broken_message = "could not install: " + " ".join(absent) in got[1]
                self.assertEqual(broken_message, status != 0, got[1])
                pin_message = "Pinning bookworm-security down did not help" in got[1]
                self.assertEqual(pin_message, status != 0, got[1])

    def test_an_install_that_fails_for_another_reason(self):
        for fails, calls in ((5, [UPDATE] * 3 + [PLAIN, PINNED]), (0, [UPDATE, PLAIN])):
            with self.subTest(fails=fails):
                status, err, got, left, _ = self.run_script(fails, install="fail")
                self.assertEqual((status, got, left), (1, calls, list(RUN)), err)

    def test_the_final_message_names_the_index_and_what_to_do(self):
        status, err, *_ = self.run_script(5, native=NEW)
        message = err[err.index("could not install"):]
        for part in (BROKEN_URL, "File has unexpected size", "update failed 3 times", "again later",
                     "another mirror", "Troubleshooting"):
            self.assertIn(part, message)
        _, err, *_ = self.run_script(0, install="fail")
        self.assertNotIn("index is broken", err)

    def test_wine_packages_may_stay_missing_when_asked(self):
        status, err, calls, left, _ = self.run_script(5, "--wine-optional", native=NEW)
        self.assertEqual((status, left), (0, ["wine32:i386"]), err)
        self.assertIn("WARNING: not installed: wine32:i386;", err)
        self.assertEqual(calls[-1], PLAIN)  # the rest, installed at the first plain try
        status, _, _, left, _ = self.run_script(5, native=NEW)
        self.assertEqual((status, left), (1, list(RUN)))
        status, _, _, left, _ = self.run_script(0, "--wine-optional", install="fail")
        self.assertEqual((status, left), (1, list(RUN)))

    def test_nothing_missing_nothing_run(self):
        status, _, calls, _, out = self.run_script(5, install="fail", absent=())
        self.assertEqual((status, calls, out), (0, [], ""))
        status, _, calls, left, out = self.run_script(5, "--missing", install="fail")
        self.assertEqual((status, calls, out), (0, [], "nasm\nwine32:i386\n"))

    def test_only_root_installs_and_sudo_never_asks(self):
        # (user, sudo, what is absent, arguments) -> status, apt-get runs, stdout, the line naming the command
        command = "only root can install nasm wine32:i386: run  sudo %s/tools/install-deps run\n" % ROOT
        table = [
            (("0", "asks", RUN, ("run",)), 0, [UPDATE, PLAIN], "", ""),
            (("1000", "", RUN, ("run",)), 0, [UPDATE, PLAIN], "", ""),
            (("1000", "asks", RUN, ("run",)), 4, [], "", "tools/install-deps: " + command),
            (("1000", "asks", (), ("run",)), 0, [], "", ""),
            (("1000", "asks", RUN, ("run", "--missing")), 4, [], "nasm\nwine32:i386\n", ""),
            (("1000", "", RUN, ("run", "--missing")), 0, [], "nasm\nwine32:i386\n", ""),
            (("1000", "asks", (), ("run", "--missing")), 0, [], "", ""),
        ]
        for (uid, sudo, absent, args), status, calls, out, said in table:
            with self.subTest(uid=uid, sudo=sudo, absent=absent, args=args):
                got, err, runs, _, stdout = self.run_script(0, *args, absent=absent, uid=uid, sudo=sudo)
                self.assertEqual((got, runs, stdout), (status, calls, out), err)
                if status == 4 or not calls:
                    self.assertEqual(err, said)

    def test_one_list_per_purpose(self):
        lists = {purpose: purpose_list(purpose) for purpose in ("run", "all")}
        self.assertEqual(purpose_list(), lists["all"])
        self.assertLess(set(lists["run"]), set(lists["all"]))
        self.assertEqual(set(lists["run"]) & CONTRIBUTORS_ONLY, set())
        self.assertLessEqual({"wine", "wine32:i386", "nasm", "lld-19", "cmake"}, set(lists["run"]))
        for args in (("run", "all"), ("cross", "run"), ("--missing", "--wine-optional"), ("test",)):
            self.assertEqual(self.run_script(0, *args)[0], 2, args)

    def test_the_cross_list_holds_each_cross_toolchain(self):
        """Each cmake/cross-ARCH.cmake's compiler and qemu-user are in the
        `cross` list, GoogleTest's sources too; nothing of another architecture
        (the targets' libraries come from tools/cross-sysroot)."""
        listed = set(purpose_list("cross"))
        toolchains = [name for name in os.listdir(os.path.join(ROOT, "cmake"))
                      if re.fullmatch(r"cross-.+\.cmake", name)]
        self.assertEqual(len(toolchains), 4)
        for name in toolchains:
            with open(os.path.join(ROOT, "cmake", name)) as f:
                triplet = re.search(r"set\(B64_CROSS_TRIPLET (\S+)\)", f.read()).group(1)
            self.assertIn("g++-" + triplet, listed, name)
        self.assertLessEqual({"qemu-user", "googletest"}, listed)
        self.assertEqual([p for p in listed if ":" in p], [])


class Machines(unittest.TestCase):
    """What is asked of apt on each kind of machine, from nothing installed:
    where the image cannot run (not x86, or a kernel without 32-bit
    programs), nothing of i386 and no i386 architecture added, and of Wine
    only the 64-bit one an amd64 kernel runs (for the x64 images); `run` is
    then the Linux build's needs, and `all` what the archive has of the
    rest."""

    def ask(self, purpose, arch, runs_32bit, lacking=()):
        """(status, the packages asked for, the foreign architectures after, stderr)."""
        state = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, state)
        path = fake_apt(state, ("*",), arch=arch, lacking="".join(p + "\n" for p in lacking))
        env = dict(os.environ, PATH=path, FAKE_APT_STATE=state, B64FILTER_RUNS_32BIT=runs_32bit)
        done = subprocess.run([os.path.join(ROOT, "tools", "install-deps"), purpose], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        with open(os.path.join(state, "foreign")) as f:
            foreign = f.read().split()
        asked = {p for run in apt_runs(state)[1] for p in run}
        return done.returncode, asked, foreign, done.stderr

    def test_what_each_machine_asks_for(self):
        full = {purpose: set(purpose_list(purpose)) for purpose in ("run", "all")}
        wine = {"wine", "wine32:i386", "wine64"}
        linux_build = {"cmake", "ninja-build", "g++"}
        # The archive's gaps are made up: a package it lacks for that architecture.
        # (arch, kernel runs 32-bit programs, what the archive lacks) -> run, all, foreign architectures
        table = [
            (("amd64", "yes", ()), full["run"], full["all"], ["i386"]),
            (("amd64", "no", ()), linux_build, full["all"] - {"wine32:i386"}, []),
            # The kernel's answer is not asked where the CPU is not x86 (a
            # qemu-user binfmt would run the probe).
            (("arm64", "yes", ("dosbox",)), linux_build, full["all"] - wine - {"dosbox"}, []),
            (("armhf", "no", ("libunicorn-dev", "valgrind")), linux_build,
             full["all"] - wine - {"libunicorn-dev", "valgrind"}, []),
            (("s390x", "no", ("wine", "python3-clang-14")), linux_build,
             full["all"] - wine - {"python3-clang-14"}, []),
            # An i386 machine's own wine32 is the 32-bit Wine; there is no wine64.
            (("i386", "yes", ("wine64",)), full["run"] - {"wine32:i386"} | {"wine32"},
             full["all"] - wine | {"wine", "wine32"}, []),
        ]
        for (arch, runs_32bit, lacking), run, everything, foreign in table:
            for purpose, expected in (("run", run), ("all", everything)):
                with self.subTest(arch=arch, runs_32bit=runs_32bit, purpose=purpose):
                    status, asked, added, err = self.ask(purpose, arch, runs_32bit, lacking)
                    self.assertEqual((status, asked, added), (0, expected, foreign), err)
                    left_out = sorted(set(lacking) & set(purpose_list(purpose, arch=arch, runs_32bit=runs_32bit)))
                    said = re.findall(r"(?m)^WARNING: not in the archive for %s, left out: (.*)$" % arch, err)
                    self.assertEqual([sorted(said[0].split())] if said else [], [left_out] if left_out else [])


class RunList(unittest.TestCase):
    """What `tools/install-deps run` installs holds every program the win32
    tree was configured with, and Wine's, by the real dpkg: each belongs to
    a package that installing the list installs (the list and what it
    depends on, through the first of each alternative, as apt takes it)."""

    def test_the_image_build_and_wine_are_in_it(self):
        listed = purpose_list("run")
        installed = installs(listed)
        cache = os.path.join(os.path.dirname(os.environ["B64FILTER_WIN32_IMAGE"]), "CMakeCache.txt")
        with open(cache) as f:
            found = re.findall(r"^(?!CMAKE_TOOLCHAIN_FILE)\w+:FILEPATH=(/\S+)$|^CMAKE_COMMAND:INTERNAL=(/\S+)$",
                               f.read(), re.M)
        programs = [a or b for a, b in found] + [shutil.which("wine"), shutil.which("wineserver"),
                                                 "/usr/lib/wine/wine"]  # the 32-bit loader
        self.assertGreater(len(programs), 10)
        for program in programs:
            path = os.path.realpath(program)
            owners = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True, check=True).stdout
            owners = {bare(o) for o in owners.rsplit(": ", 1)[0].split(", ")}
            self.assertTrue(owners & installed, "%s (of %s) is installed by none of %s" % (path, owners, listed))


def bare(package):
    """A package's name without its architecture or version."""
    return package.strip().split(" ")[0].split(":")[0]


def installs(packages):
    """The names of packages and of everything they need, installed here."""
    seen, todo = set(), list(packages)
    while todo:
        fields = subprocess.run(["dpkg-query", "-W", "-f=${Pre-Depends}, ${Depends}\n", *todo],
                                capture_output=True, text=True).stdout
        seen |= {bare(p) for p in todo}
        needed = {bare(d.split("|")[0]) for d in fields.replace("\n", ",").split(",") if d.strip()}
        todo = sorted(needed - seen)
    return seen


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
    unittest.main(argv=sys.argv if len(sys.argv) > 1 else sys.argv + ["InstallDeps", "Machines", "Verdict"])
