"""./b64filter and ./b64unfilter, the wrappers (their body is
tools/run-image); every case runs for both. Given arguments, one line on
standard error says that the filter reads standard input only; the image
still gets the arguments, and the output and the exit status are the
image's, as without them. Started through symbolic links from anywhere, each
runs its own image of the tree it is in. Each asks tools/install-deps for
what running the image needs, no more, and configures its tree
(build/wrapper/win32) again when a preset has changed. Two started at once get ready one after the other, and
neither waits for the other's image. Under Wine, ./b64filter < f |
./b64unfilter gives f back, from a file and from pieces on a pipe.

    /usr/bin/python3 tests/e2e/test_wrapper.py           (stand-ins, no Wine)
    B64FILTER_WIN32_IMAGE=build/win32/b64filter.exe /usr/bin/python3 tests/e2e/test_wrapper.py --wine

Without --wine the wrapper runs in a copied tree of stand-ins: an
install-deps that records its arguments, a cmake that records its own, and
a tools/wine-run that records its arguments, writes its input in capitals
and exits with 42, so that the output and the status can only be passed on,
never made by the wrapper; tools/can-run-image answers that the image runs.

On a machine that cannot run the image (faked as arm64 through the fake
apt's dpkg, in a copy of the whole source tree), each wrapper says so in one
line, asks apt for the Linux build's needs alone, builds build/wrapper/linux
and runs the Linux program instead: ./b64filter | ./b64unfilter gives f
back, and arguments get the Linux program's refusal. The same machine, in
the states a user's reaches (States, one table): sudo first and then the
owner, another user's checkout, a moved and a copied checkout, a tree made
by another generator or broken, standard error closed or full, a first run
(one line a stage), a failing stage, a user without root lacking packages.
"""

import os
import random
import re
import shutil
import string
import subprocess
import sys
import tempfile
import time
import unittest

import fcntl
import hashlib
import select

import harness

sys.path.insert(0, os.path.join(harness.SOURCE_ROOT, "tests", "tools"))
import test_install_deps as packages  # noqa: E402 (the fake apt's helpers)

WRAPPERS = ("b64filter", "b64unfilter")
ARGUMENTS = [(), ("--help",), ("photo.jpg", "two words")]
STAND_IN_STATUS = 42
LINUX_BUILD = ("cmake", "ninja-build", "g++")  # what the Linux build needs of apt
DATA = b"some input"


def stand_in(path, body):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="ascii") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, 0o755)


def check_told(case, name, arguments, stderr):
    """No word without arguments; with them, exactly one line about standard
    input, from the wrapper of that name."""
    if not arguments:
        case.assertEqual(stderr, b"")
        return
    case.assertEqual(stderr.count(b"\n"), 1, stderr)
    case.assertTrue(stderr.endswith(b"\n"), stderr)
    case.assertTrue(stderr.startswith(name.encode() + b": "), stderr)
    case.assertIn(b"reads standard input only", stderr)


def lock_waiters(path):
    """How many processes wait for the flock of the file at path (/proc/locks
    marks a waiter with "->")."""
    inode = ":%d " % os.stat(path).st_ino
    with open("/proc/locks", encoding="ascii") as f:
        return sum(1 for line in f if " -> FLOCK " in line and inode in line)


class StandIns(unittest.TestCase):
    def setUp(self):
        temp = tempfile.TemporaryDirectory()
        self.addCleanup(temp.cleanup)
        self.tree = os.path.join(temp.name, "tree")
        self.elsewhere = os.path.join(temp.name, "elsewhere")
        os.makedirs(self.elsewhere)
        for name in (*WRAPPERS, "CMakePresets.json", "tools/run-image", "tools/configure", "tools/build-root"):
            os.makedirs(os.path.dirname(os.path.join(self.tree, name)), exist_ok=True)
            shutil.copy2(os.path.join(harness.SOURCE_ROOT, name), os.path.join(self.tree, name))
        # A machine that runs the image, whatever this one is.
        stand_in(os.path.join(self.tree, "tools", "can-run-image"), "exit 0\n")
        self.records = {name: os.path.join(temp.name, name) for name in ("install-deps", "cmake", "wine-run")}
        stand_in(os.path.join(self.tree, "tools", "install-deps"),
                 'echo "$@" >> "%s"\n' % self.records["install-deps"])
        # A cmake that records its arguments, and configures by writing a
        # sound tree with nothing to build.
        stand_in(os.path.join(self.tree, "bin", "cmake"),
                 'echo "$@" >> "%s"\n[ "$1" != --preset ] || sound_tree "$4" "$(pwd -P)"\n' % self.records["cmake"])
        stand_in(os.path.join(self.tree, "bin", "sound_tree"),
                 'mkdir -p "$1"\nprintf "%s\\n" "CMAKE_HOME_DIRECTORY:INTERNAL=$2" "CMAKE_CACHEFILE_DIR:INTERNAL=$1"'
                 ' CMAKE_GENERATOR:INTERNAL=Ninja > "$1/CMakeCache.txt"\n'
                 'echo "# nothing to build" > "$1/build.ninja"\n')
        self.configured()
        stand_in(os.path.join(self.tree, "tools", "wine-run"),
                 '[ "$1" != --ready ] || exit 0\necho "$B64FILTER_WINE_ROOT" > "%s.prefixes"\n'
                 'printf "%%s\\n" "$@" > "%s"\ntr a-z A-Z\nexit %d\n'
                 % ((self.records["wine-run"],) * 2 + (STAND_IN_STATUS,)))
        self.path = "%s:%s" % (os.path.join(self.tree, "bin"), os.environ["PATH"])

    def configured(self):
        """The wrapper's tree as tools/configure leaves it, its presets older than that."""
        tree = self.wrapper_tree()
        subprocess.run([os.path.join(self.tree, "bin", "sound_tree"), tree, self.tree], check=True)
        open(os.path.join(tree, "presets.stamp"), "w").close()
        past = time.time() - 100
        os.utime(os.path.join(self.tree, "CMakePresets.json"), (past, past))

    def wrapper_tree(self):
        return os.path.join(self.tree, "build", "wrapper", "win32")

    def forget_records(self):
        for record in [*self.records.values(), self.records["wine-run"] + ".prefixes"]:
            if os.path.exists(record):
                os.remove(record)

    def environment(self, path=None):
        return harness.Target("host", [], {"PATH": path or self.path}).environment()

    def run_wrapper(self, argv, cwd=None, path=None, data=DATA):
        self.forget_records()
        result = subprocess.run(argv, input=data, capture_output=True, cwd=cwd or self.elsewhere,
                                env=self.environment(path), timeout=harness.DEFAULT_TIMEOUT)
        return harness.Result(result.returncode, result.stdout, result.stderr)

    def start_wrapper(self, name, stdin=subprocess.PIPE):
        """A wrapper of the tree; its image (the stand-in) reads stdin to its end."""
        wrapper = subprocess.Popen([os.path.join(self.tree, name)], stdin=stdin,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   cwd=self.elsewhere, env=self.environment())
        self.addCleanup(lambda: wrapper.poll() is not None or (wrapper.kill(), wrapper.communicate()))
        return wrapper

    def waits_for_the_lock(self, wrapper, lock):
        """True once the wrapper waits for the lock, False if it ends first."""
        deadline = time.monotonic() + harness.DEFAULT_TIMEOUT  # a hang guard only
        while wrapper.poll() is None:
            if lock_waiters(lock):
                return True
            self.assertLess(time.monotonic(), deadline, "the wrapper neither waited nor ended")
            select.select([], [], [], 0.005)
        return False

    def image(self, name):
        return os.path.join(self.wrapper_tree(), name + ".exe")

    def recorded(self, name):
        if not os.path.exists(self.records[name]):
            return []
        with open(self.records[name], encoding="ascii") as f:
            return f.read().splitlines()

    def test_arguments_are_told_and_passed_on(self):
        data = "".join(random.Random(21).choices(string.ascii_lowercase, k=300)).encode()
        for name in WRAPPERS:
            for arguments in ARGUMENTS:
                with self.subTest(wrapper=name, arguments=arguments):
                    result = self.run_wrapper([os.path.join(self.tree, name), *arguments], data=data)
                    self.assertEqual((result.code, result.stdout), (STAND_IN_STATUS, data.upper()))
                    check_told(self, name, arguments, result.stderr)
                    self.assertEqual(self.recorded("wine-run"), [self.image(name), *arguments])

    def test_started_through_links_from_anywhere(self):
        for name in WRAPPERS:
            wrapper = os.path.join(self.tree, name)
            links = os.path.join(self.elsewhere, name, "bin")
            os.makedirs(links)
            os.symlink(wrapper, os.path.join(links, "absolute"))
            os.symlink(os.path.relpath(wrapper, links), os.path.join(links, "relative"))
            os.symlink("relative", os.path.join(links, name))  # a link to a link
            below = os.path.join(links, "below")
            os.mkdir(below)
            # how it is started, from which directory
            table = [
                ([wrapper], self.elsewhere),
                (["%s/bin/absolute" % name], self.elsewhere),
                (["../relative"], below),
                ([os.path.join(links, name)], "/"),
                ([name], "/"),  # found on PATH
            ]
            for argv, cwd in table:
                with self.subTest(argv=argv, cwd=cwd):
                    result = self.run_wrapper(argv, cwd=cwd, path=links + ":" + self.path)
                    self.assertEqual((result.code, result.stdout, result.stderr),
                                     (STAND_IN_STATUS, DATA.upper(), b""))
                    self.assertEqual(self.recorded("wine-run"), [self.image(name)])

    def test_a_changed_preset_reaches_the_tree(self):
        presets = os.path.join(self.tree, "CMakePresets.json")
        tree = self.wrapper_tree()
        ninja = os.path.join(tree, "build.ninja")
        # the tree's state before the run -> whether the run configures it
        table = [
            ("configured", False),
            ("presets edited", True),
            ("configured since", False),
            ("never configured", True),
        ]
        for name in WRAPPERS:
            self.configured()
            for before, configures in table:
                with self.subTest(wrapper=name, before=before):
                    if before == "presets edited":  # after the stamp, by more than any clock's step
                        stamp = os.path.join(tree, "presets.stamp")
                        os.utime(stamp, (os.stat(presets).st_mtime - 10,) * 2)
                    if before == "never configured":
                        os.remove(ninja)
                    result = self.run_wrapper([os.path.join(self.tree, name)])
                    self.assertEqual(result.code, STAND_IN_STATUS, result.stderr)
                    calls = ["--preset win32 -B " + tree, "--build " + tree] if configures else []
                    self.assertEqual(self.recorded("cmake"), calls, result.stderr)
                    told = b"%s: building %s\n" % (name.encode(), tree.encode()) if configures else b""
                    self.assertEqual(result.stderr, told)

    def test_a_build_of_another_users_runs_with_a_prefix_of_ones_own(self):
        """The checkout's build/ is root's (a first run with sudo): nobody
        runs root's image as it is, with Wine's prefixes in nobody's cache."""
        if os.geteuid() != 0:
            self.skipTest("runs as another user: needs root")
        os.chmod(os.path.dirname(self.tree), 0o755)
        os.chmod(os.path.dirname(self.records["wine-run"]), 0o777)
        home = os.path.join(self.elsewhere, "home")
        os.mkdir(home)
        os.chown(home, NOBODY, NOBODY)
        key = hashlib.sha256(os.path.realpath(self.tree).encode()).hexdigest()[:16]
        # who runs it -> the prefixes' directory
        table = [(None, os.path.join(self.tree, "build", "wine")),
                 (NOBODY, os.path.join(home, ".cache", "base64-filter", "tree-" + key, "wine"))]
        for user, prefixes in table:
            with self.subTest(user=user):
                self.forget_records()
                argv = [] if user is None else ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"]
                result = harness.run(harness.Target("host", argv + [os.path.join(self.tree, "b64filter")],
                                                    {"PATH": self.path, "HOME": home}), stdin=DATA)
                self.assertEqual(result, (STAND_IN_STATUS, DATA.upper(), b""))
                self.assertEqual(self.recorded("wine-run"), [self.image("b64filter")])
                with open(self.records["wine-run"] + ".prefixes") as f:
                    self.assertEqual(f.read(), prefixes + "\n")
                self.assertEqual(self.recorded("cmake"), [])

    def test_asks_for_what_running_the_image_needs(self):
        shutil.copy2(os.path.join(harness.SOURCE_ROOT, "tools", "install-deps"), os.path.join(self.tree, "tools"))
        for name in WRAPPERS:
            with self.subTest(wrapper=name):
                state = os.path.join(self.tree, "apt-" + name)
                os.mkdir(state)
                path = packages.fake_apt(state, ("*",), self.path)
                env = {"FAKE_APT_STATE": state}
                wrapper = harness.Target("host", [os.path.join(self.tree, name)], dict(env, PATH=path))
                result = harness.run(wrapper, stdin=DATA)
                self.assertEqual((result.code, result.stdout), (STAND_IN_STATUS, DATA.upper()), result.stderr)
                kinds, asked = packages.apt_runs(state)
                self.assertEqual(kinds, [packages.UPDATE, packages.PLAIN])
                self.assertEqual(set(asked[0]), set(packages.purpose_list("run")))
                self.assertEqual(set(asked[0]) & packages.CONTRIBUTORS_ONLY, set())
                # The wrapper's second run finds all of it there.
                self.assertEqual(harness.run(wrapper, stdin=DATA).code, STAND_IN_STATUS)
                self.assertEqual(packages.apt_runs(state)[0], [packages.UPDATE, packages.PLAIN])

    def test_two_at_once_get_ready_one_after_the_other(self):
        lock = os.path.join(self.tree, "build", "wrapper", "lock")
        for first, second in (WRAPPERS, WRAPPERS[::-1]):
            with self.subTest(getting_ready=first, started=second):
                # The other getting ready (we hold its lock): this one takes
                # no step of its own until it is done.
                self.forget_records()
                with open(lock, "w") as held:
                    fcntl.flock(held, fcntl.LOCK_EX)
                    wrapper = self.start_wrapper(second, stdin=subprocess.DEVNULL)
                    self.assertTrue(self.waits_for_the_lock(wrapper, lock), "it ran while the lock was held")
                    # (asking what is missing is all it may do before)
                    self.assertEqual((set(self.recorded("install-deps")), self.recorded("cmake")),
                                     ({"run --missing"}, []))
                out, err = wrapper.communicate(timeout=harness.DEFAULT_TIMEOUT)
                self.assertEqual((wrapper.returncode, out, err), (STAND_IN_STATUS, b"", b""))
                self.assertEqual(self.recorded("install-deps"), ["run --missing"] * 2)
                # The other's image running: this one does not wait for it.
                self.forget_records()
                running = self.start_wrapper(first)
                while not self.recorded("wine-run"):  # its image has started
                    if running.poll() is not None:
                        self.fail("it ended before its image started: %r" % (running.communicate(),))
                    select.select([], [], [], 0.005)
                wrapper = self.start_wrapper(second, stdin=subprocess.DEVNULL)
                self.assertFalse(self.waits_for_the_lock(wrapper, lock), "it waited for the other's image")
                out, err = wrapper.communicate()
                self.assertEqual((wrapper.returncode, out, err), (STAND_IN_STATUS, b"", b""))
                out, _ = running.communicate(DATA, timeout=harness.DEFAULT_TIMEOUT)
                self.assertEqual((running.returncode, out), (STAND_IN_STATUS, DATA.upper()))


class WhereTheImageCannotRun(unittest.TestCase):
    """The wrappers on a machine faked as arm64 (dpkg's architecture, from
    the fake apt), in a copy of the source tree: one line says that the Linux
    build runs instead; apt is asked for the Linux build's needs alone, never
    for Wine or i386; build/wrapper/linux is built, and the Linux program runs with
    the wrapper's streams and arguments. tools/wine-run is a stand-in that
    records any run."""

    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.tree = os.path.join(cls.temp.name, "tree")
        shutil.copytree(harness.SOURCE_ROOT, cls.tree, symlinks=True, ignore=shutil.ignore_patterns("build", ".git"))
        cls.wine_record = os.path.join(cls.temp.name, "wine-run")
        stand_in(os.path.join(cls.tree, "tools", "wine-run"), 'echo "$@" >> "%s"\nexit 1\n' % cls.wine_record)
        cls.state = os.path.join(cls.temp.name, "apt")
        os.mkdir(cls.state)
        path = packages.fake_apt(cls.state, LINUX_BUILD, arch="arm64")
        # The kernel's answer is not what decides on a CPU that is not x86.
        env = {"PATH": path, "FAKE_APT_STATE": cls.state, "B64FILTER_RUNS_32BIT": "yes"}
        cls.env = harness.Target("host", [], env).environment()

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def notice(self, name):
        return ("%s: this machine cannot run the Windows image (arm64, not x86): running the Linux build of %s"
                " instead" % (name, name)).encode()

    def run_in_tree(self, argv, given):
        done = subprocess.run(argv, input=given, capture_output=True, cwd=self.temp.name, env=self.env,
                              timeout=harness.DEFAULT_TIMEOUT)
        return harness.Result(done.returncode, done.stdout, done.stderr)

    def check_nothing_of_wine(self):
        kinds, asked = packages.apt_runs(self.state)
        self.assertEqual({p for run in asked for p in run}, set(LINUX_BUILD))
        with open(os.path.join(self.state, "foreign")) as f:
            self.assertEqual(f.read(), "")
        self.assertFalse(os.path.exists(self.wine_record))
        self.assertFalse(os.path.exists(os.path.join(self.tree, "build", "win32")))

    def test_the_round_trip(self):
        data = random.Random(30).randbytes(3 * 10240 + 7)
        pipeline = ["/bin/bash", "-c", 'set -o pipefail; "$0" | "$1"',
                    *(os.path.join(self.tree, name) for name in WRAPPERS)]
        result = self.run_in_tree(pipeline, data)
        self.assertEqual((result.code, result.stdout), (0, data), result.stderr)
        lines = result.stderr.splitlines()
        for name in WRAPPERS:
            told = [line for line in lines if line.startswith(name.encode() + b": ")]
            self.assertEqual(told, [self.notice(name)], result.stderr)
        self.check_nothing_of_wine()
        # Ready now: the notice alone, and the Linux program's own encoding (LF kept as it came).
        result = self.run_in_tree([os.path.join(self.tree, "b64filter")], b"hello\n")
        self.assertEqual(result, (0, b"aGVsbG8K\r\n", self.notice("b64filter") + b"\n"))

    def test_arguments_are_the_linux_programs_to_refuse(self):
        for name in WRAPPERS:  # each ready first: installed and built
            self.assertEqual(self.run_in_tree([os.path.join(self.tree, name)], b"").code, 0)
        for name in WRAPPERS:
            for arguments in ARGUMENTS[1:]:
                with self.subTest(wrapper=name, arguments=arguments):
                    result = self.run_in_tree([os.path.join(self.tree, name), *arguments], DATA)
                    usage = "%s: takes no arguments; usage: %s < INPUT > OUTPUT\n" % (name, name)
                    self.assertEqual(result, (2, b"", self.notice(name) + b"\n" + usage.encode()))
        self.check_nothing_of_wine()


NOBODY = 65534  # the user who is not the checkout's owner, nor root
ENCODED = b"aGkK\r\n"  # "hi\n" encoded: the Linux program ran
EDITED = b"takes no arguments at all; usage"  # the usage line, as an edit of host/main.cpp words it


def edit(tree):
    """A change to a source that the program shows when given an argument."""
    path = os.path.join(tree, "host", "main.cpp")
    with open(path) as f:
        text = f.read()
    with open(path, "w") as f:
        f.write(text.replace("takes no arguments; usage", EDITED.decode()))


def garble(path, keep=()):
    """The file's lines replaced by bytes that mean nothing, but for those that start with keep."""
    with open(path, "rb") as f:
        kept = [line for line in f if line.startswith(keep)] if keep else []
    with open(path, "wb") as f:
        f.write(b"".join(kept) + b"\x00\xffCMAKE_CXX_COMPILER:FILEPATH=/nonexistent/c++\n" + bytes(range(256)))


class States(unittest.TestCase):
    """The wrappers in the states a user's machine reaches, as one table: each
    row starts from a fresh copy of the source tree on a machine faked as
    arm64 (the fake apt's dpkg), so that the Linux build runs; the trees,
    the log and the lock are the same for the image. Each row prepares the
    copy, runs ./b64filter on "hi" (or as the row says), and checks the
    status, the output and standard error, line by line. Where another user
    runs it, the test (root) starts it as nobody; not root, those rows skip.
    A row that starts from a ready copy gets the build the first such row
    made, copied in at the same path: it is current there as it was."""

    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        os.chmod(cls.temp.name, 0o755)
        cls.source = os.path.join(cls.temp.name, "source")
        shutil.copytree(harness.SOURCE_ROOT, cls.source, symlinks=True,
                        ignore=shutil.ignore_patterns("build", ".git"))

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["rm", "-rf", cls.temp.name])

    def checkout(self, owner=None):
        """A fresh copy of the sources, owned by owner (root unless given).
        Each row's copy is at the same path, the last row's removed first, so
        that a build made once for a ready copy is current in the next."""
        place = os.path.join(self.temp.name, "row")
        subprocess.run(["rm", "-rf", place], check=True)
        os.mkdir(place)
        tree = os.path.join(place, "co")
        shutil.copytree(self.source, tree, symlinks=True)
        if owner is not None:
            subprocess.run(["chown", "-R", "%d:%d" % (owner, owner), place], check=True)
        return tree

    def machine(self, tree, absent=(), **apt):
        """The environment of a run: the fake apt's tools first on PATH, a home of nobody's."""
        state = os.path.join(os.path.dirname(tree), "apt")
        os.mkdir(state)
        path = packages.fake_apt(state, absent, arch="arm64", **apt)
        subprocess.run(["chmod", "-R", "a+rwX", state], check=True)
        home = os.path.join(os.path.dirname(tree), "home")
        os.mkdir(home)
        os.chown(home, NOBODY, NOBODY)
        # Every row builds a copy of the same sources, one or more times: they
        # share one ccache, which paths below the copies' place do not split.
        cache = dict(CMAKE_CXX_COMPILER_LAUNCHER="ccache", CCACHE_DIR=os.path.join(self.temp.name, "ccache"),
                     CCACHE_BASEDIR=self.temp.name, CCACHE_NOHASHDIR="1", CCACHE_UMASK="000")
        return dict(cache, PATH=path, FAKE_APT_STATE=state, HOME=home, B64FILTER_RUNS_32BIT="yes")

    def run_as(self, user, argv, env, data=b"hi\n", stderr=harness.CAPTURE):
        prefix = [] if user is None else ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"]
        return harness.run(harness.Target("host", prefix + argv, env), stdin=data, stderr=stderr)

    def notice(self, name="b64filter"):
        return ("%s: this machine cannot run the Windows image (arm64, not x86): running the Linux build of %s"
                " instead" % (name, name))

    def cache_tree(self, env, tree):
        key = hashlib.sha256(tree.encode()).hexdigest()[:16]
        return os.path.join(env["HOME"], ".cache", "base64-filter", "co-" + key, "wrapper", "linux")

    def test_each_state(self):
        usage = "b64filter: takes no arguments; usage: b64filter < INPUT > OUTPUT"
        edited = usage.replace("takes no arguments; usage", EDITED.decode())
        ours = "{tree}/build/wrapper/linux"

        # Each row: what is done to a ready copy (or to an unbuilt one), who
        # runs it, how, and what comes of it: status, output, standard error
        # ({tree} the copy run, {cache} nobody's tree for it).
        built = os.path.join(self.temp.name, "ready")

        def ready(tree, env):  # built by the test's user, then the row's change (one build, copied)
            if os.path.isdir(built):
                subprocess.run(["cp", "-a", built, os.path.join(tree, "build")], check=True)
                return
            self.assertEqual(self.run_as(None, [tree + "/b64filter"], env).code, 0)
            subprocess.run(["cp", "-a", os.path.join(tree, "build"), built], check=True)

        def sudo_first(tree, env):  # the checkout is nobody's; root ran it first
            ready(tree, env)

        def moved(tree, env):
            ready(tree, env)
            os.rename(tree, tree + "-moved")
            return tree + "-moved"

        def copied_and_edited(tree, env):
            ready(tree, env)
            subprocess.run(["cp", "-a", tree, tree + "-copy"], check=True)
            edit(tree + "-copy")
            # the original, run after: its own code, nothing built
            self.assertEqual(self.run_as(None, [tree + "/b64filter", "x"], env),
                             (2, b"", ("%s\n%s\n" % (self.notice(), usage)).encode()))
            return tree + "-copy"

        def then(*changes):
            def change(tree, env):
                ready(tree, env)
                for one in changes:
                    one(tree)
            return change

        wrapper_tree = "build/wrapper/linux/"

        def other_generator(tree):  # the install route's tree, made with make
            os.makedirs(os.path.join(tree, "build", "linux"))
            with open(os.path.join(tree, "build", "linux", "CMakeCache.txt"), "w") as f:
                f.write("CMAKE_GENERATOR:INTERNAL=Unix Makefiles\nCMAKE_HOME_DIRECTORY:INTERNAL=%s\n" % tree)

        def cache_lost(tree):
            os.remove(os.path.join(tree, wrapper_tree + "CMakeCache.txt"))

        def cache_garbled(tree):
            garble(os.path.join(tree, wrapper_tree + "CMakeCache.txt"))

        def cache_garbled_but_sound(tree):  # passes for sound; the build fails, then the tree is made again
            garble(os.path.join(tree, wrapper_tree + "CMakeCache.txt"),
                   keep=(b"CMAKE_HOME_DIRECTORY:", b"CMAKE_CACHEFILE_DIR:", b"CMAKE_GENERATOR:"))

        def ninja_emptied(tree):
            open(os.path.join(tree, wrapper_tree + "build.ninja"), "w").close()

        def broken(tree):
            with open(os.path.join(tree, "filter", "encode_chunk.cpp"), "a") as f:
                f.write("\nnot C++\n")

        nowhere = "b64filter: nowhere to build: nobody may write neither {tree}/build nor {base}" \
            " (set XDG_CACHE_HOME to a directory of yours)"
        needs_root = "b64filter: only root can install what it needs: run  sudo {tree}/tools/install-deps run" \
            "  and then this again"
        building = "b64filter: building " + ours
        # (state, owner, change, user, argv, stderr arrangement, machine) -> status, stdout, stderr lines
        table = [
            ("first run: one line a stage", None, None, None, [], harness.CAPTURE, dict(absent=LINUX_BUILD),
             0, ENCODED, ["b64filter: installing: cmake ninja-build g++", building]),
            ("not root, packages missing", None, None, None, [], harness.CAPTURE,
             dict(absent=LINUX_BUILD, uid="1000", sudo="asks"), 121, b"", [needs_root]),
            ("sudo, then the owner", NOBODY, sudo_first, NOBODY, [], harness.CAPTURE, {}, 0, ENCODED, []),
            ("sudo, then the owner's edit", NOBODY, then(edit), NOBODY, ["x"], harness.CAPTURE, {},
             2, b"", ["b64filter: building {cache}", edited]),
            ("another user's checkout", None, None, NOBODY, [], harness.CAPTURE, {},
             0, ENCODED, ["b64filter: building {cache}"]),
            ("another user's checkout, no home", None, None, NOBODY, [], harness.CAPTURE,
             dict(HOME="/nonexistent"), 120, b"", [nowhere]),
            ("moved", None, moved, None, [], harness.CAPTURE, {}, 0, ENCODED, [building]),
            ("copied, the copy edited", None, copied_and_edited, None, ["x"], harness.CAPTURE, {},
             2, b"", [building, edited]),
            ("the install route's tree by make", None, then(other_generator), None, [], harness.CAPTURE, {},
             0, ENCODED, []),
            ("cache lost", None, then(cache_lost, edit), None, ["x"], harness.CAPTURE, {},
             2, b"", [building, edited]),
            ("cache garbled", None, then(cache_garbled, edit), None, ["x"], harness.CAPTURE, {},
             2, b"", [building, edited]),
            ("cache garbled, its own lines kept", None, then(cache_garbled_but_sound), None, [], harness.CAPTURE, {},
             0, ENCODED, [building]),
            ("build.ninja emptied", None, then(ninja_emptied, edit), None, ["x"], harness.CAPTURE, {},
             2, b"", [building, edited]),
            ("standard error closed, first run", None, None, None, [], harness.CLOSED, {}, 0, ENCODED, None),
            ("standard error full, first run", None, None, None, [], "/dev/full", {}, 0, ENCODED, None),
            ("a source that does not build", None, then(broken), None, [], harness.CAPTURE, {}, 123, b"",
             [building, "b64filter: building %s failed; the end of its log, {tree}/build/wrapper/log:" % ours]),
        ]
        for state, owner, change, user, argv, stderr, machine, status, out, err in table:
            with self.subTest(state=state):
                if NOBODY in (owner, user) and os.geteuid() != 0:
                    self.skipTest("runs as another user: needs root")  # (the other rows have run by then)
                tree = self.checkout(owner)
                apt = {k: v for k, v in machine.items() if k not in ("HOME",)}
                env = self.machine(tree, **apt)
                env.update({k: v for k, v in machine.items() if k == "HOME"})
                run = (change or (lambda tree, env: None))(tree, env) or tree
                if owner is not None:  # what root made is root's
                    self.assertEqual(os.stat(os.path.join(tree, "build")).st_uid, 0)
                result = self.run_as(user, [run + "/b64filter", *argv], env, stderr=stderr)
                self.assertEqual(result[:2], (status, out), result.stderr)
                if err is None:
                    continue
                base = os.path.dirname(os.path.dirname(self.cache_tree(env, run)))
                lines = [self.notice()] + [line.format(tree=run, cache=self.cache_tree(env, run), base=base)
                                           for line in err]
                got = result.stderr.decode().splitlines()
                self.assertEqual(got[:len(lines)], lines, result.stderr)
                if status == 123:  # the end of the log: the compiler's words on the broken line
                    self.assertIn("not C++", result.stderr.decode())
                else:
                    self.assertEqual(len(got), len(lines), result.stderr)
                if user == NOBODY and owner == NOBODY:  # nothing of root's written by nobody
                    found = subprocess.run(["find", os.path.join(run, "build"), "-not", "-uid", "0"],
                                           capture_output=True, text=True, check=True).stdout
                    self.assertEqual(found, "")

    def test_the_kernel_is_asked_without_a_writable_checkout(self):
        """tools/can-run-image as nobody in root's checkout, the real dpkg
        and kernel asked: the answer root gets, or, with no directory to run
        a probe from, that reason and no other."""
        if os.geteuid() != 0:
            self.skipTest("runs as another user: needs root")
        tree = self.checkout()
        probe = [tree + "/tools/can-run-image"]
        closed = os.path.join(os.path.dirname(tree), "closed")  # root's, not nobody's
        os.mkdir(closed)
        env = {"B64FILTER_RUNS_32BIT": ""}
        truth = self.run_as(None, probe, env)
        shutil.rmtree(os.path.join(tree, "build"))  # root's probe went there
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
        nowhere = (1, ("%s, and no directory here lets a program run to ask the kernel whether it runs 32-bit"
                       " programs\n" % arch).encode(), b"")
        # (home, temporary directory) -> the answer
        table = [
            (self.machine(tree)["HOME"], "/tmp", truth),
            ("/nonexistent", closed, truth if arch not in ("amd64", "i386") else nowhere),
        ]
        for home, temporary, answer in table:
            with self.subTest(home=home, temporary=temporary):
                got = self.run_as(NOBODY, probe, dict(env, HOME=home, TMPDIR=temporary))
                self.assertEqual(got, answer)
        self.assertFalse(os.path.exists(os.path.join(tree, "build")))


def read_exactly(fd, count, timeout=harness.LINE_TIMEOUT):
    """count bytes from fd; fails if they do not come within timeout seconds."""
    deadline = time.monotonic() + timeout
    data = b""
    while len(data) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise AssertionError("%d of %d bytes came" % (len(data), count))
        more = os.read(fd, count - len(data))
        if not more:
            raise AssertionError("output ended after %d of %d bytes" % (len(data), count))
        data += more
    return data


class UnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        """Each wrapper run once first: on a first run it says one line a
        stage (its tree, Wine's prefix) and nothing else, and the runs of the
        tests then find it ready."""
        stages = re.compile(rb"(installing: |building |making Wine's prefix )\S")
        for name in WRAPPERS:
            wrapper = harness.Target("wine", [os.path.join(harness.SOURCE_ROOT, name)], {})
            result = harness.run(wrapper, stdin=b"")
            lines = result.stderr.splitlines()
            told = [line for line in lines if line.startswith(name.encode() + b": ")
                    and stages.match(line, len(name) + 2)]
            if (result.code, result.stdout, told) != (0, b"", lines):
                raise AssertionError("getting %s ready: %r" % (name, result))

    def test_the_images_ignore_them(self):
        data = random.Random(22).randbytes(3 * harness.CHUNK_BYTES + 7)
        text = harness.expected_output(data)
        # wrapper, its input, its output
        table = [("b64filter", data, text), ("b64unfilter", text, data)]
        for name, given, made in table:
            for arguments in ARGUMENTS:
                with self.subTest(wrapper=name, arguments=arguments):
                    wrapper = harness.Target("wine", [os.path.join(harness.SOURCE_ROOT, name), *arguments], {})
                    result = harness.run(wrapper, stdin=given)
                    self.assertEqual((result.code, result.stdout), (0, made))
                    check_told(self, name, arguments, result.stderr)

    def test_the_round_trip(self):
        # ./b64filter | ./b64unfilter in one shell, with the status of both.
        pipeline = harness.Target("wine", ["/bin/bash", "-c", 'set -o pipefail; "$0" | "$1"',
                                           *(os.path.join(harness.SOURCE_ROOT, name) for name in WRAPPERS)], {})
        data = random.Random(23).randbytes(3 * 10240 + 7)
        with self.subTest(given="a file"):
            self.assertEqual(harness.run(pipeline, stdin=data), (0, data, b""))
        with self.subTest(given="pieces of 10240 bytes on a pipe, as tar cf - writes them"):
            # Each piece goes in once the bytes of the one before are out, so
            # the encoder reads each on its own and ends it with a short,
            # padded line (10240 = 179 * 57 + 37): padded lines in the middle.
            pieces = [data[i:i + 10240] for i in range(0, len(data), 10240)]
            with harness.start(pipeline) as running:
                out = b""
                for piece in pieces:
                    running.send(piece)
                    out += read_exactly(running.output, len(piece))
                result = running.finish()
            self.assertEqual(result._replace(stdout=out + result.stdout), (0, data, b""))


if __name__ == "__main__":
    wine = sys.argv[-1] == "--wine"
    if wine:
        sys.argv.pop()
    unittest.main(defaultTest="UnderWine" if wine else ["StandIns", "WhereTheImageCannotRun", "States"])
