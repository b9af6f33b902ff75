"""The static checks reach every C++ file of the tree: tools/static-checks
formats all of them, gives cppcheck and clang-tidy every file the host trees
compile, and clang-tidy's header filter (.clang-tidy) takes every header of
ours, reached through those files, and none of the system's."""
import os
import re
import subprocess
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Compiled for the image only: the host trees' commands, which cppcheck and
# clang-tidy read, do not build it.
IMAGE_ONLY = {"platform/windows/load_config.cpp"}
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
    lists = {"formatted": set(), "compiled": set(), "shell": set(), "python": set(), "header-filter": set()}
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
