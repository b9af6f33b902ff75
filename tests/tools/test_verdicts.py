"""tools/verdicts on a small CMake project built for real in two clones: the
key of a target is the same in both, changes with what the target is built
from and with nothing else, and is none for a tree not built since a change;
a ctest run reuses the recorded passes and runs and records the rest."""

import contextlib
import importlib.machinery
import importlib.util
import io
import os
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_loader = importlib.machinery.SourceFileLoader("verdicts", os.path.join(ROOT, "tools", "verdicts"))
verdicts = importlib.util.module_from_spec(importlib.util.spec_from_loader("verdicts", _loader))
_loader.exec_module(verdicts)

PROJECT = {
    "CMakeLists.txt": """cmake_minimum_required(VERSION 3.25)
project(tiny LANGUAGES CXX)
configure_file(version.h.in version.h)
add_executable(prog main.cpp)
target_include_directories(prog PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
add_executable(other other.cpp)
enable_testing()
add_test(NAME prog COMMAND prog)
add_test(NAME fails COMMAND prog fail)
add_test(NAME script COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/check.py)
set_tests_properties(script PROPERTIES ENVIRONMENT PROGRAM=$<TARGET_FILE:prog>)
""",
    "CMakePresets.json": """{"version": 6,
 "configurePresets": [{"name": "tiny", "generator": "Ninja", "binaryDir": "${sourceDir}/build/tiny"}],
 "testPresets": [{"name": "tiny", "configurePreset": "tiny"}]}
""",
    "main.cpp": ('#include "a.h"\n#include "version.h"\n'
                 "int main(int argc, char **) { return argc > 1 || A != VERSION; }\n"),
    "a.h": "// A header only the deps log names.\n#define A 3\n",
    "version.h.in": "#define VERSION 3\n",
    "other.cpp": "int main() { return 0; }\n",
    # A test script given the program in its environment, the module beside it that it imports, and a log
    # of its runs.
    "check.py": "import helper\nopen('runs.log', 'a').write('ran\\n')\nraise SystemExit(helper.STATUS)\n",
    "helper.py": "STATUS = 0\n",
}


def run(*command, cwd):
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)


class TinyProject(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.clones = [os.path.join(self.dir.name, name, "tiny") for name in ("one", "two-elsewhere")]
        for clone in self.clones:
            os.makedirs(clone)
            for name, text in PROJECT.items():
                self.write(clone, name, text)
            run("cmake", "--preset", "tiny", cwd=clone)
            self.build(clone)

    def tearDown(self):
        self.dir.cleanup()

    @staticmethod
    def write(clone, name, text):
        with open(os.path.join(clone, name), "w", encoding="utf-8") as f:
            f.write(text)

    @staticmethod
    def build(clone):
        run("cmake", "--build", "build/tiny", cwd=clone)

    @staticmethod
    def key(clone, targets=("prog",)):
        return verdicts.Tree(os.path.join(clone, "build", "tiny")).digest(targets)

    def test_a_key_is_the_clones_and_changes_with_what_the_target_is_built_from(self):
        one, two = self.clones
        self.assertIsNotNone(self.key(one))
        self.assertEqual(self.key(one), self.key(two))
        rows = [  # (what changes in the second clone, file, its new text, whether prog's key stays)
            ("a comment in a header the compile read", "a.h", PROJECT["a.h"] + "// more\n", False),
            ("a comment in the source", "main.cpp", "// note\n" + PROJECT["main.cpp"], False),
            ("the template of a header CMake writes into the tree", "version.h.in", "#define VERSION  3\n", False),
            ("a flag of the compile command", "CMakeLists.txt",
             PROJECT["CMakeLists.txt"] + "target_compile_options(prog PRIVATE -DNOTE)\n", False),
            ("another target's source", "other.cpp", "// note\n" + PROJECT["other.cpp"], True),
            ("a file no target reads", "README", "notes\n", True),
        ]
        for what, name, text, stays in rows:
            before = self.key(two)
            self.write(two, name, text)
            if not stays:
                self.assertIsNone(self.key(two), "%s, before the build" % what)
            self.build(two)
            self.assertEqual(self.key(two) == before, stays, what)

    def test_ctest_reuses_recorded_passes_and_records_what_passes(self):
        clone = self.clones[0]
        record = os.path.join(self.dir.name, "verdicts.txt")
        runs = os.path.join(clone, "build", "tiny", "runs.log")

        def ctest(reuse=True):
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                status = verdicts.run_ctest("tiny", None, reuse, root=clone, path=record)
            with open(runs, encoding="utf-8") if os.path.isfile(runs) else io.StringIO() as log:
                ran = len(log.readlines())
            reused = sorted(line.split(": ")[1] for line in out.getvalue().splitlines() if "reusing" in line)
            return status, ran, reused, verdicts.read_record(record)

        status, ran, reused, first = ctest()
        self.assertEqual((status, ran, reused, sorted(first)), (1, 1, [], ["ctest prog", "ctest script"]))
        self.assertTrue(all(v[2] == "passed" for v in first.values()))
        rows = [  # (what changes, file, its new text, build first, reuse, runs of the script, tests reused)
            ("nothing", None, None, True, True, 0, ["reusing prog", "reusing script"]),
            ("the module the script imports", "helper.py", "STATUS = 0  # again\n", True, True, 1,
             ["reusing prog"]),
            ("nothing, but no reuse", None, None, True, False, 1, []),
            ("the program's source, not built", "main.cpp", "// note\n" + PROJECT["main.cpp"], False, True, 1, []),
        ]
        for what, name, text, build, reuse, script_runs, expected in rows:
            before = ran
            if name:
                self.write(clone, name, text)
            if build:
                self.build(clone)
            status, ran, reused, _ = ctest(reuse)
            self.assertEqual((status, ran - before, reused), (1, script_runs, expected), what)
        # The passes of a tree not up to date are not recorded: prog's is the one before.
        self.assertEqual(verdicts.read_record(record)["ctest prog"][0], first["ctest prog"][0])
        with open(record, encoding="utf-8") as f:
            names = [line.split("\t")[0] for line in f if not line.startswith("#")]
        self.assertEqual(names, sorted(names))


if __name__ == "__main__":
    unittest.main()
