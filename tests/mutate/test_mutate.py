"""tools/mutate's own logic, on a small file of known mutation points: which
points it finds and how it keys them, which survivors and entries fail a run,
how the image runner's lines are read, when a scratch tree is configured
afresh, and that a level rewrites only its own section of the report; what a
mutant's verdict is reused under, and that a reused verdict is judged as a
fresh one (the mutants' runs faked: nothing is built)."""

import contextlib
import functools
import importlib.machinery
import importlib.util
import io
import os
import re
import subprocess
import tempfile
import unittest
from unittest import mock

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_loader = importlib.machinery.SourceFileLoader("mutate", os.path.join(ROOT, "tools", "mutate"))
_spec = importlib.util.spec_from_loader("mutate", _loader)
mutate = importlib.util.module_from_spec(_spec)
_loader.exec_module(mutate)

SOURCE = """\
#define LIMIT 7
#define FLOOR -7
#define DEPTH (-9)
#define TEXT "no\\n" // a message
#define TWICE(x) ((x) * 2)
// if (a < b) in a comment is no point, nor "a < b" in a string
static int Pick(int a, int b)
{
    if (a < b && !b)
        return a + 1;
    Log("x < y", &a);
    int c = -a;
    p = Point{a, c};
    return 0;
}
#ifdef __LLVM_INSTR_PROFILE_GENERATE
static void Dump(void) { Flush(1); }
#endif
static void Quiet(int *p) { *p = 2; return; }
"""

# Code for one tree alone: the image's (_WIN32) or the host's.
BRANCHES = """\
#if defined(_WIN32)
int Image(int a) { return a == 3; }
#else
int Host(int a) { return a; }
#endif
"""


class MutationPoints(unittest.TestCase):

    def test_each_operator_once_in_compiled_code_only(self):
        keys = [m.key[len("source t.cpp "):] for m in mutate.source_mutants("t.cpp", SOURCE)]
        self.assertEqual(keys, [
            "#define LIMIT: #define LIMIT 7 => #define LIMIT 6",
            "#define LIMIT: #define LIMIT 7 => #define LIMIT 8",
            "#define FLOOR: #define FLOOR -7 => #define FLOOR -6",
            "#define FLOOR: #define FLOOR -7 => #define FLOOR -8",
            "#define DEPTH: #define DEPTH (-9) => #define DEPTH (-10)",
            "#define DEPTH: #define DEPTH (-9) => #define DEPTH (-8)",
            '#define TEXT: #define TEXT "no\\n" => #define TEXT ""',
            '#define TEXT: #define TEXT "no\\n" => #define TEXT "no"',
            "Pick: if (a < b && !b) => if (a <= b && !b)",
            "Pick: if (a < b && !b) => if (a >= b && !b)",
            "Pick: if (a < b && !b) => if (a < b || !b)",
            "Pick: if (a < b && !b) => if (a < b && b)",
            "Pick: return a + 1; => return 0;",
            "Pick: return a + 1; => return a - 1;",
            "Pick: return a + 1; => return a + 0;",
            "Pick: return a + 1; => return a + 2;",
            'Pick: Log("x < y", &a); => ;',
            'Pick: Log("x < y", &a); => Log("", &a);',
            'Pick: Log("x < y", &a); => Log("x < ", &a);',
            "Pick: p = Point{a, c}; => ;",
            "Pick: return 0; => return -1;",
            "Pick: return 0; => return 1;",
            "Quiet: static void Quiet(int *p) { *p = 2; return; } => static void Quiet(int *p) { ; return; }",
            "Quiet: static void Quiet(int *p) { *p = 2; return; } => static void Quiet(int *p) { *p = 1; return; }",
            "Quiet: static void Quiet(int *p) { *p = 2; return; } => static void Quiet(int *p) { *p = 3; return; }",
        ])

    def test_a_branch_is_mutated_when_a_tree_that_builds_the_file_compiles_it(self):
        def functions(parses):
            return sorted({m.function for m in mutate.source_mutants("t.cpp", BRANCHES, parses)})
        self.assertEqual(functions((mutate.PARSE_HOST,)), ["Host"])
        self.assertEqual(functions((mutate.PARSE_HOST, mutate.PARSE_IMAGE)), ["Host", "Image"])

    def test_an_equality_is_negated_and_widened_both_ways(self):
        keys = [m.key for m in mutate.source_mutants("t.cpp", BRANCHES, (mutate.PARSE_IMAGE,))]
        relational = [k for k in keys if k.endswith(" 3; }") and "=> int Image(int a) { return a " in k]
        self.assertEqual(relational, ["source t.cpp Image: int Image(int a) { return a == 3; } => "
                                      "int Image(int a) { return a %s 3; }" % r for r in ("!=", "<=", ">=")])

    def test_the_image_is_parsed_for_a_file_whose_steps_run_it(self):
        self.assertEqual(mutate.parses_of("filter/encode_chunk.h"), (mutate.PARSE_HOST, mutate.PARSE_IMAGE))
        self.assertEqual(mutate.parses_of("platform/posix/posix_platform.cpp"), (mutate.PARSE_HOST,))

    def test_the_headers_limits_and_messages_are_mutated(self):
        keys = [m.key for p in ("filter/encode_chunk.h", "diagnostics/messages.h")
                for m in mutate.mutants_of([p])[p]]
        for name in ("CHUNK_BYTES", "INPUT_BUFFER_BYTES", "LINE_BUFFER_BYTES", "MSG_WRITEFILE"):
            self.assertEqual(sum(" #define %s: " % name in k for k in keys), 2, name)

    def test_a_repeated_mutant_is_numbered(self):
        keys = [m.key for m in mutate.source_mutants("t.cpp", "int f(int a)\n{\n    a++;\n    a++;\n}\n")]
        self.assertEqual(keys.count("source t.cpp f: a++; => ;"), 1)
        self.assertIn("source t.cpp f: a++; => ; #2", keys)


class Judging(unittest.TestCase):

    def test_unlisted_survivors_and_stale_entries_of_the_files_run(self):
        outcomes = {"source a.cpp f: x": ("survived", None), "source a.cpp f: y": ("survived", None),
                    "source a.cpp f: z": ("killed", "unit: [  FAILED  ] T.t")}
        entries = {"source a.cpp f: x": "why", "source a.cpp f: z": "why", "source a.cpp f: gone": "why",
                   "source b.cpp f: other": "why", "image b64filter.exe f: other": "why"}
        survivors, stale = mutate.judge(outcomes, entries, ["source a.cpp "])
        self.assertEqual(survivors, ["source a.cpp f: y"])
        self.assertEqual(sorted(stale), ["source a.cpp f: gone", "source a.cpp f: z"])

    def test_only_chooses_the_mutants_and_the_entries_judged(self):
        outcomes = {"source a.cpp f: x => y": ("survived", None)}
        entries = {"source a.cpp f: x => y": "why", "source a.cpp f: x => z": "why"}
        self.assertEqual(mutate.judge(outcomes, entries, ["source a.cpp "], ["=> y"]), ([], []))
        self.assertEqual(mutate.judge(outcomes, entries, ["source a.cpp "]), ([], ["source a.cpp f: x => z"]))

    def test_an_entry_needs_a_reason(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as f:
            f.write("# comment\nsource a.cpp f: x :: a reason\nsource a.cpp f: y\n")
            f.flush()
            with self.assertRaises(SystemExit):
                mutate.read_equivalents(f.name)

    def test_a_level_rewrites_only_its_section(self):
        with tempfile.TemporaryDirectory() as d:
            report = os.path.join(d, "mutants.md")
            mutate.write_section("image", "image rows\n", report)
            mutate.write_section("sources", "first\n", report)
            mutate.write_section("sources", "second\n", report)
            text = open(report).read()
        self.assertIn("image rows", text)
        self.assertIn("second", text)
        self.assertNotIn("first", text)

    def test_the_image_runners_lines_give_key_verdict_and_why(self):
        path = "/" + "checkout/" * 30 + "tests/fuzz/corpus/copy_loop/0092a6fd"
        lines = {
            "mutate: 3/170 survived  image b64filter.exe FilterMain: +0xA mov eax, 0xffffffc4 => imm +1":
                ("image b64filter.exe FilterMain: +0xA mov eax, 0xffffffc4 => imm +1", "survived", "",
                 ("b64filter.exe", "FilterMain")),
            "mutate: 9/170 killed  image b64filter.exe f(CloseHandle,GetLastError): +0xC jne +0x20 => inverted  "
            "(FilterMain.FailurePaths/Image: exit code (6) is not 8)":
                ("image b64filter.exe f(CloseHandle,GetLastError): +0xC jne +0x20 => inverted", "killed",
                 "FilterMain.FailurePaths/Image: exit code (6) is not 8",
                 ("b64filter.exe", "f(CloseHandle,GetLastError)")),
            "mutate: image: 170 mutants of .code, each against 7 tests": None,
        }
        for line, verdict in lines.items():
            self.assertEqual(mutate.image_verdict(line), verdict, line)
        # A hang is told by the whole message, however far its words are
        # from the start; what is shown is cut.
        _, status, detail, _ = mutate.image_verdict(
            "mutate: 5/170 killed  image b64filter.exe f(): +0x14 ja +0x1A => always taken  (CopyLoopCorpus.T: "
            "Value of: run.exited Actual: false Expected: true %s: ran past its limit of 9 instructions)" % path)
        self.assertEqual((status, detail[:len("hang: CopyLoopCorpus.T")]), ("killed", "hang: CopyLoopCorpus.T"))
        self.assertEqual(len(detail), len("hang: ") + mutate.DETAIL_CHARS + len("..."))


class ScratchTrees(unittest.TestCase):
    """A tree is configured from its preset, and again from nothing when the
    presets or the tool's arguments change; otherwise it is kept."""

    def test_a_changed_preset_configures_the_tree_afresh(self):
        with tempfile.TemporaryDirectory() as d, mock.patch.object(mutate, "SCRATCH", d):
            scratch = mutate.Scratch(0)
            scratch.src = os.path.join(d, "src")
            os.makedirs(scratch.src)
            presets = os.path.join(scratch.src, "CMakePresets.json")
            runs = []

            def cmake(command, **_):
                runs.append(command)
                build = command[command.index("-B") + 1]
                os.makedirs(build, exist_ok=True)
                open(os.path.join(build, "build.ninja"), "w").close()
                return subprocess.CompletedProcess(command, 0, b"")

            with mock.patch.object(mutate.subprocess, "run", cmake):
                for text in ('{"a": 1}', '{"a": 1}', '{"a": 2}'):
                    open(presets, "w").write(text)
                    mutate.Scratch.configure(scratch, "asan")
                    open(os.path.join(scratch.base, "asan", "left"), "w").close()
        self.assertEqual(len(runs), 2)
        self.assertEqual(runs[0][runs[0].index("--preset") + 1], "asan")


class FakeTree:
    """A main tree as tools/verdicts sees it: built or not, and a digest
    (None: not up to date) for each set of targets."""

    def __init__(self, digest):
        self.digest_of = digest

    def built(self):
        return self.digest_of != "missing"

    def digest(self, targets):
        return None if self.digest_of is None else "%s %s" % (self.digest_of, targets)


class MutantKeys(unittest.TestCase):
    """A mutant's key changes with what its verdict depends on, and with
    nothing else; without the main trees there is none."""

    TEXT = "int Pick(int a)\n{\n    return a + 1;\n}\n"

    def key(self, path, trees=None, text=TEXT, steps=None):
        mutate.file_key.cache_clear()
        m = mutate.Mutant("Pick", text.index("+"), text.index("+") + 1, "-", "arithmetic")
        m.key = "source %s Pick: return a + 1; => return a - 1;" % path
        fake = functools.partial(lambda given, build: FakeTree(given.get(os.path.basename(build), "same")),
                                 trees or {})
        with mock.patch.object(mutate.verdicts(), "tree", fake), \
                mock.patch.dict(mutate.SOURCES, {path: steps} if steps else {}):
            return mutate.mutant_key(path, text, m)

    def test_what_changes_a_key(self):
        encoder, posix = "filter/encode_chunk.cpp", "platform/posix/posix_platform.cpp"
        rows = [  # (what, path, trees, text, steps, whether the key is the one of nothing changed)
            ("nothing", encoder, None, self.TEXT, None, True),
            ("the inputs of the sanitizer tree's targets", encoder, {"asan": "other"}, self.TEXT, None, False),
            ("the inputs of the images, for a file whose steps run one", encoder, {"win32": "other"}, self.TEXT,
             None, False),
            ("the inputs of the images, for a file whose steps run none", posix, {"win32": "other"}, self.TEXT,
             None, True),
            ("the file's text away from the mutant", encoder, None, "// note\n" + self.TEXT, None, False),
            ("a step fewer", encoder, None, self.TEXT, mutate.ENCODER_STEPS[:-1], False),
        ]
        for what, path, trees, text, steps, same in rows:
            self.assertEqual(self.key(path, trees, text, steps) == self.key(path), same, what)

    def test_no_key_without_main_trees_up_to_date(self):
        for trees in ({"asan": "missing"}, {"host": None}):
            self.assertIsNone(self.key("filter/encode_chunk.cpp", trees), trees)
        self.assertIsNotNone(self.key("platform/posix/posix_platform.cpp", {"win32": "missing"}))

    def test_a_step_is_defined_without_the_checkouts_path(self):
        for step in mutate.steps_of(list(mutate.SOURCES)):
            self.assertNotIn(ROOT, mutate.step_definition(step), step)

    def test_recorded_verdicts_read_back(self):
        rows = [("killed", "hang: e2e ran past its limit of 9 s", "e2e"),
                ("killed", "asan-unit: runtime error: shift; of 32", "asan-unit"),
                ("unbuilt", "host tree: error: expected ';'", "unit"), ("survived", None, None)]
        for status, detail, step in rows:
            words = mutate.verdict_words(status, detail, step, False)
            expected = (status, detail, step if status == "killed" else None)
            self.assertEqual(mutate.recorded_verdict(words), expected, words)
        self.assertIsNone(mutate.recorded_verdict("passed"))


class Reuse(unittest.TestCase):
    """Runs of a small file whose mutants' runs are faked: a verdict reused
    from the record counts and is judged against the list of equivalents as
    it is now, as a fresh one is; nothing is built when every verdict is
    reused; a mutant whose key changed runs the step that last killed it
    first."""

    TEXT = "int f(int a)\n{\n    return a + 1;\n}\n"
    STEPS = [("unit", "host", "unit X"), ("e2e", "host", "e2e"), ("asan-unit", "asan", "unit X")]
    # What each mutant's run gives, by its replacement.
    FAKED = {"return 0;": ("killed", "e2e: FAIL: test_x", "e2e"),
             "return a - 1;": ("killed", "hang: asan-unit ran past its limit of 5 s", "asan-unit"),
             "return a + 0;": ("survived", None, None),
             "return a + 2;": ("unbuilt", "host tree: error: x", "unit")}

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        d = self.dir.name
        open(os.path.join(d, "t.cpp"), "w").write(self.TEXT)
        self.equivalents = os.path.join(d, "equivalent-mutants.txt")
        self.shared, self.tried, self.built = "one", [], []
        self.patches = [mock.patch.object(mutate, "ROOT", d), mock.patch.dict(mutate.SOURCES, {"t.cpp": self.STEPS}),
                        mock.patch.object(mutate, "EQUIVALENTS", self.equivalents),
                        mock.patch.object(mutate, "VERDICTS", os.path.join(d, "verdicts.txt")),
                        mock.patch.object(mutate, "file_key", lambda p: (self.shared, None)),
                        mock.patch.object(mutate, "Scratch", lambda k: mock.Mock(slowest=(0.0, None))),
                        mock.patch.object(mutate, "baseline", self.baseline),
                        mock.patch.object(mutate, "try_mutant", self.try_mutant)]
        for p in self.patches:
            p.start()

    def tearDown(self):
        for p in reversed(self.patches):
            p.stop()
        self.dir.cleanup()

    def baseline(self, slots, paths):
        self.built.append(paths)
        return {step: 1.0 for step in self.STEPS}

    def try_mutant(self, scratch, path, original, mutant, clean, first=None):
        self.tried.append((mutant.key.split(" => ")[1], first))
        return self.FAKED[mutant.key.split(" => ")[1]]

    def run_listing(self, *listed):
        with open(self.equivalents, "w") as f:
            f.writelines("source t.cpp f: return a + 1; => %s :: a reason\n" % k for k in listed)
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = mutate.run_sources(["t.cpp"], full=False)
        lines = out.getvalue().splitlines()
        summary = re.sub(r"; \d+m\d\ds", "", lines[-1])
        return status, summary, [k for k in lines if "SURVIVED" in k or "STALE" in k], lines

    def test_a_reused_verdict_is_judged_as_a_fresh_one(self):
        fresh = self.run_listing("return a + 0;", "return 0;")
        self.assertEqual(len(self.tried), 4)
        self.assertIn("4 mutants, 2 killed (1 of them hangs), 1 equivalent, 1 did not build, 0 survived unlisted, "
                      "1 stale entries", fresh[1])
        self.tried, self.built = [], []
        reused = self.run_listing("return a + 0;", "return 0;")
        self.assertEqual((self.tried, self.built), ([], []))  # nothing run, no scratch tree built
        self.assertEqual(reused[:2], (fresh[0], fresh[1].replace("; 0 reused", "; 4 reused")))
        self.assertEqual(reused[2], fresh[2])
        self.assertEqual(sum("[reused: run " in k for k in reused[3]), 4)
        # A survivor is equivalent only while it is listed; an edited list needs no run.
        status, summary, told, _ = self.run_listing("return 0;")
        self.assertEqual((status, self.tried), (1, []))
        self.assertIn("0 equivalent, 1 did not build, 1 survived unlisted, 1 stale entries", summary)
        self.assertEqual(len(told), 2)
        self.assertEqual(self.run_listing("return a + 0;")[0], 0)

    def test_a_changed_key_runs_the_last_killing_step_first(self):
        self.run_listing("return a + 0;")
        self.shared, self.tried, self.built = "two", [], []
        self.run_listing("return a + 0;")
        self.assertEqual(sorted(self.tried), sorted([("return 0;", "e2e"), ("return a - 1;", "asan-unit"),
                                                     ("return a + 0;", None), ("return a + 2;", None)]))
        self.assertEqual(len(self.built), 1)

    def test_the_last_killing_step_goes_first_and_the_rest_keep_their_order(self):
        for first, names in ((None, ["unit", "e2e", "asan-unit"]), ("asan-unit", ["asan-unit", "unit", "e2e"]),
                             ("gone", ["unit", "e2e", "asan-unit"])):
            self.assertEqual([step[0] for step in mutate.ordered(self.STEPS, first)], names, first)


if __name__ == "__main__":
    unittest.main()
