"""The static checks reach every C++ file of the tree: tools/static-checks
formats all of them, gives cppcheck and clang-tidy every file the host trees
compile, and clang-tidy's header filter (.clang-tidy) takes every header of
ours, reached through those files, and none of the system's; every script,
shell or Python, goes to shellcheck or flake8."""
import os
import re
import subprocess
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Compiled for the image only: the host trees' commands, which cppcheck and
# clang-tidy read, do not build it.
IMAGE_ONLY = {"platform/windows/load_config.cpp"}
# What the programs do not ship.
TEST_ONLY = ("tests/",)
# Headers of other projects that our files include: the filter must leave
# their findings alone.
THEIRS = ["/usr/include/gtest/gtest.h", "/usr/include/unicorn/unicorn.h", "/usr/include/capstone/capstone.h",
          "/usr/include/openssl/evp.h", "/usr/lib/llvm-14/lib/clang/14.0.6/include/fuzzer/FuzzedDataProvider.h",
          "/usr/include/c++/12/bits/stl_vector.h", "/usr/include/benchmark/benchmark.h"]


def tracked(*patterns):
    out = subprocess.run(["git", "-C", ROOT, "ls-files", *patterns], capture_output=True, text=True, check=True)
    return out.stdout.split()


def listed():
    out = subprocess.run([os.path.join(ROOT, "tools", "static-checks"), "--list"], capture_output=True, text=True,
                         check=True).stdout
    lists = {"formatted": set(), "compiled": set(), "shell": set(), "python": set(), "shipped": set(),
             "header-filter": set()}
    for line in out.splitlines():
        kind, _, item = line.partition(" ")
        lists[kind].add(item)
    (header_filter,) = lists.pop("header-filter")
    return lists, header_filter


def included(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return re.findall(r'^\s*#\s*include\s+"([^"]+)"', f.read(), re.M)


class StaticChecks(unittest.TestCase):
    def setUp(self):
        self.lists, self.header_filter = listed()

    def test_every_file_is_formatted_and_every_host_file_checked(self):
        for path in tracked("*.cpp", "*.h"):
            self.assertIn(path, self.lists["formatted"])
        for path in set(tracked("*.cpp")) - IMAGE_ONLY:
            self.assertIn(path, self.lists["compiled"], "cppcheck and clang-tidy never see it")
            # ./check's clang-tidy (--shipped) takes every file of the programs.
            if not path.startswith(TEST_ONLY):
                self.assertIn(path, self.lists["shipped"], "./check's clang-tidy never sees it")
        self.assertLessEqual(self.lists["shipped"], self.lists["compiled"])

    def test_every_script_is_linted_in_its_language(self):
        modes = subprocess.run(["git", "-C", ROOT, "ls-files", "-s"], capture_output=True, text=True,
                               check=True).stdout
        executable = {line.split("\t", 1)[1] for line in modes.splitlines() if line.startswith("100755")}
        for path in executable | set(tracked("*.py")):
            with open(os.path.join(ROOT, path), "rb") as f:
                first = f.readline()
            python = path.endswith(".py") or b"python" in first
            self.assertIn(path, self.lists["python" if python else "shell"], first)
        self.assertFalse(self.lists["shell"] & self.lists["python"])

    def test_the_header_filter_takes_each_header_of_ours_and_none_of_theirs(self):
        for path in tracked("*.h"):
            self.assertTrue(re.search(self.header_filter, os.path.join(ROOT, path)),
                            "%s is outside clang-tidy's HeaderFilterRegex %r" % (path, self.header_filter))
        for path in THEIRS:
            self.assertFalse(re.search(self.header_filter, path), path)

    def test_each_header_is_reached_from_a_checked_file(self):
        # Headers are checked only as part of a file that includes them.
        reached, todo = set(), sorted(self.lists["compiled"])
        while todo:
            for name in included(todo.pop()):
                if name not in reached and os.path.exists(os.path.join(ROOT, name)):
                    reached.add(name)
                    todo.append(name)
        for path in tracked("*.h"):
            self.assertIn(path, reached, "no file that clang-tidy checks includes it")


if __name__ == "__main__":
    unittest.main()
