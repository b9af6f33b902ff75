"""The host build as installed: its files, its manual pages, its hardening.

    /usr/bin/python3 tests/release/test_install.py BUILD_DIR CMAKE [--hardened]

`cmake --install` of the build tree into a temporary prefix, and again with
DESTDIR, must put exactly the two programs, b64filter and b64unfilter, and
their manual pages in place, and the installed programs must encode and
decode. Each page must pass `mandoc -T lint` with nothing above style level
and render with `man -l`; the encoder's must give the same errno-to-code
table as the POSIX layer's code. With --hardened (a tree built with every
protection), hardening-check must find them in both installed programs.
"""

import os
import re
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = CMAKE = None
HARDENED = "--hardened" in sys.argv
STACK_CLASH_UNKNOWN = "unknown, no -fstack-clash-protection instructions found"
START_FILE = subprocess.run(["cc", "-print-file-name=Scrt1.o"], stdout=subprocess.PIPE,
                            text=True).stdout.strip()
PROGRAMS = ("b64filter", "b64unfilter")
INSTALLED = {path % name for name in PROGRAMS for path in ("bin/%s", "share/man/man1/%s.1")}
# Each program's own entry, whose first instruction the hardening test looks at.
ENTRY = {"b64filter": "FilterMain", "b64unfilter": "UnfilterMain"}


def run(argv, **kwargs):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=300, **kwargs)


def files_under(top):
    return {os.path.relpath(os.path.join(d, f), top) for d, _, names in os.walk(top) for f in names}


class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.prefix = os.path.join(cls.temp.name, "prefix")
        result = run([CMAKE, "--install", BUILD, "--prefix", cls.prefix])
        assert result.returncode == 0, result.stderr
        cls.programs = {name: os.path.join(cls.prefix, "bin", name) for name in PROGRAMS}
        cls.pages = {name: os.path.join(cls.prefix, "share", "man", "man1", name + ".1")
                     for name in PROGRAMS}

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def test_exactly_the_programs_and_their_pages(self):
        self.assertEqual(files_under(self.prefix), INSTALLED)
        with open(os.path.join(BUILD, "install_manifest.txt")) as f:
            self.assertEqual({os.path.relpath(p, self.prefix) for p in f.read().split()}, INSTALLED)
        for name, given, made in (("b64filter", b"hello", b"aGVsbG8=\r\n"),
                                  ("b64unfilter", b"aGVs\r\nbG8=\r\n", b"hello")):
            result = subprocess.run([self.programs[name]], input=given, capture_output=True, timeout=60)
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, made, b""), name)
        # A packager's staged install: the prefix under DESTDIR.
        stage = os.path.join(self.temp.name, "stage")
        result = run([CMAKE, "--install", BUILD, "--prefix", "/usr"], env=dict(os.environ, DESTDIR=stage))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(files_under(stage), {"usr/" + f for f in INSTALLED})

    def test_pages_are_clean_and_render(self):
        for name, page in self.pages.items():
            lint = run(["mandoc", "-T", "lint", "-W", "warning", page])
            self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""), name)
            shown = run(["man", "-l", page], env=dict(os.environ, MANPAGER="cat", MANWIDTH="80"))
            self.assertEqual((shown.returncode, shown.stderr), (0, ""), name)
            self.assertRegex(shown.stdout, r"(?m)^ +%s (--?|\u2014) " % name)
            for heading in ("NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES", "DIAGNOSTICS"):
                self.assertRegex(shown.stdout, r"(?m)^%s$" % heading, name)

    def test_page_gives_the_posix_layers_codes(self):
        with open(os.path.join(ROOT, "platform", "platform.h")) as f:
            codes = {name: int(value) for name, value in
                     re.findall(r"#define (ERROR_\w+) (\d+)UL", f.read())}
        with open(os.path.join(ROOT, "platform", "posix", "posix_platform.cpp")) as f:
            source = f.read()
        mapping = source[source.index("ErrorCodeFromErrno"):source.index("default:")]
        in_code = {}
        for cases, name in re.findall(r"((?:case E\w+:\s*)+)return (ERROR_\w+);", mapping):
            for error in re.findall(r"case (E\w+):", cases):
                in_code[error] = codes[name]
        with open(self.pages["b64filter"]) as f:
            page = f.read()
        in_page = {}
        for row in re.findall(r"(?m)^\.It Er (.*)$", page):
            errors, code = re.split(r"\s+Ta\b\s*", row)[:2]
            for error in re.findall(r"E[A-Z]+", errors):
                in_page[error] = int(code)
        self.assertEqual(in_page, in_code)
        other = re.search(r"APPLICATION_ERROR_BIT (0x[0-9A-F]+)UL", source).group(1)
        self.assertIn("any other Ar e Ta %s + Ar e" % other, page)

    @unittest.skipUnless(HARDENED, "built without every protection")
    def test_hardening_check(self):
        for name, program in self.programs.items():
            with self.subTest(name):
                self.hardened(program, ENTRY[name])

    def hardened(self, program, entry):
        result = run(["hardening-check", "--verbose", program])
        found = dict(re.findall(r"(?m)^ ([^:\n]+): (.*)$", result.stdout))
        expected = dict.fromkeys(["Position Independent Executable", "Stack protected",
                                  "Fortify Source functions", "Read-only relocations",
                                  "Immediate binding", "Stack clash protection",
                                  "Control flow integrity"], "yes")
        # The only fortifiable calls are read() into ReadFile's buffer, whose
        # size no header can know, and poll() on one local pollfd, which the
        # compiler proves in bounds: glibc calls the plain functions for both,
        # and the tool takes them for unfortified ones.
        if set(re.findall(r"(?m)^\tunprotected: (\w+)$", result.stdout)) <= {"read", "poll"}:
            expected["Fortify Source functions"] = "no, only unprotected functions found!"
        # Probes are made only for a frame of a page or more. The encoder has
        # none that big; gcc records the option in the debug information
        # instead. The decoder's entry, whose buffers take more than a page,
        # probes with an "or" of 0 into each page it steps over, which the
        # tool does not recognise: that is checked in its code below.
        expected["Stack clash protection"] = STACK_CLASH_UNKNOWN
        producers = re.findall(r"DW_AT_producer.*: (GNU C\+\+.*)",
                               run(["readelf", "--debug-dump=info", program]).stdout)
        for producer in producers:
            self.assertIn("-fstack-clash-protection", producer)
        # The IBT and SHSTK marks survive linking only if every object has
        # them, and Debian 12's C start files (Scrt1.o, crti.o, crtn.o) have
        # none. The program's own code must show it: its functions start with endbr64.
        if "IBT, SHSTK" not in run(["readelf", "-n", START_FILE]).stdout:
            expected["Control flow integrity"] = "no, not found!"
        code = run(["objdump", "-d", "--no-show-raw-insn", program]).stdout
        for function in ("main", entry, "ReadFile", "WriteFile", "wvsprintfA"):
            self.assertTrue(re.search(r"<%s>:\n\s+[0-9a-f]+:\s+endbr64" % function, code), function)
        if entry == "UnfilterMain":
            body = code.split("<UnfilterMain>:", 1)[1].split("\n\n", 1)[0]
            self.assertRegex(body, r"sub\s+\$0x1000,%rsp\n\s+[0-9a-f]+:\s+orq\s+\$0x0,\(%rsp\)")
        self.assertEqual(found, expected, result.stdout)


if __name__ == "__main__":
    BUILD, CMAKE = os.path.abspath(sys.argv.pop(1)), sys.argv.pop(1)
    if HARDENED:
        sys.argv.remove("--hardened")
    unittest.main()
